// Shared helpers of the test programs: where the generated models live, scratch
// folders, and small frame utilities.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kestrune-rife-inference.h"
#include "model_contract.h"

using Frame = std::vector<uint8_t>;

// "/" and the model file name, as rife_init appends them to the folder it is given.
inline std::string model_file_suffix() { return std::string("/") + kri_model::kFileName; }

// The folder holding the model file of one generated test model.
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

// One call of rife_interpolate into `out`, resized to the frame first.
inline int interpolate(const Frame& a, const Frame& b, int width, int height, Frame* out,
                       float timestep) {
    out->assign(a.size(), 0);
    return rife_interpolate(a.data(), b.data(), width, height, out->data(), timestep);
}

// The blend model computes (1 - t) * a + t * b in float; the result may differ from the
// exact value by the final rounding only.
inline void expect_blend(const Frame& a, const Frame& b, const Frame& out, float timestep) {
    ASSERT_EQ(out.size(), a.size());
    size_t off_by_more = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double exact = (1.0 - timestep) * a[i] + timestep * b[i];
        if (std::fabs(out[i] - exact) > 1.0) ++off_by_more;
    }
    EXPECT_EQ(off_by_more, 0u) << "samples further than 1 from the blend";
}

inline bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

inline void copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    ASSERT_TRUE(in.good() || in.eof());
    ASSERT_TRUE(out.good()) << to;
}
