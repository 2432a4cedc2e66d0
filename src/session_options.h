// The engine's ONNX Runtime session settings. Internal to the library; its benchmark
// compiles this too, so that the bare Run it times against rife_interpolate runs in the
// same kind of session. Nothing here is exported; every definition has internal linkage.
#pragma once

#include <onnxruntime_c_api.h>

#include <thread>

namespace {

constexpr int kIntraOpThreads = 4;
constexpr int kInterOpThreads = 2;

// Applies the settings to freshly created session options. A failing setter does not stop
// start-up: its status is released and the next setting is applied.
inline void configure_session_options(const OrtApi* ort, OrtSessionOptions* opts) {
    const auto ignore = [ort](OrtStatus* status) {
        if (status != nullptr) ort->ReleaseStatus(status);
    };
    ignore(ort->SetIntraOpNumThreads(opts, kIntraOpThreads));
    ignore(ort->SetInterOpNumThreads(opts, kInterOpThreads));
    ignore(ort->SetSessionGraphOptimizationLevel(opts, ORT_ENABLE_ALL));
    // No memory pattern: from the second run of a frame size on, ONNX Runtime would take
    // one block for all of that size's intermediate tensors from its arena, on top of the
    // blocks the first run left there, and the arena never shrinks. That about doubles what
    // a session holds for large frames, and runs without it take no longer (docs/results.md).
    ignore(ort->DisableMemPattern(opts));
    // With fewer cores than intra-op threads, ONNX Runtime's idle workers busy-wait on the
    // cores the working ones (and the host) need, which slows every run (docs/results.md).
    // There, idle workers sleep instead.
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores != 0 && cores < static_cast<unsigned>(kIntraOpThreads)) {
        ignore(ort->AddSessionConfigEntry(opts, "session.intra_op.allow_spinning", "0"));
    }
}

}  // namespace
