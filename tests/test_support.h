// Shared helpers of the test programs: where the generated models live, scratch
// folders, and small frame utilities.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kestrune-rife-inference.h"

// The folder holding <name>/rife49_ensemble.onnx for one generated test model.
inline std::string model_dir(const std::string& name) {
    return std::string(KRI_TEST_MODELS) + "/" + name;
}

// A fresh, empty scratch folder, unique per test process.
inline std::string scratch_dir() {
    char pattern[] = "/tmp/kri-test-XXXXXX";
    const char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    return dir ? std::string(dir) : std::string("/tmp");
}

inline std::vector<uint8_t> random_frame(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3);
    for (auto& byte : frame) byte = static_cast<uint8_t>(rng() & 0xff);
    return frame;
}

// Starts the engine with a generated test model, failing the test if that fails.
inline void init_with(const std::string& name) {
    ASSERT_EQ(rife_init(model_dir(name).c_str()), 0) << rife_get_error();
}
