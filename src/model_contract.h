// What the library asks of a model file, in one place: its file name inside the model
// folder, its tensor names and the multiple that frames are padded to. The library, its
// benchmarks and the host program include this; nothing here is exported.
#pragma once

#include <cstddef>

namespace kri_model {

// The file rife_init loads from the folder it is given.
constexpr const char kFileName[] = "rife49_ensemble.onnx";

// Inputs in the order Run receives them, and the one output.
constexpr const char kFirstFrame[] = "img0";
constexpr const char kSecondFrame[] = "img1";
constexpr const char kTimestep[] = "timestep";
constexpr const char kOutput[] = "output";

// Frames are padded with black to multiples of this on both axes.
constexpr size_t kPadMultiple = 64;

}  // namespace kri_model
