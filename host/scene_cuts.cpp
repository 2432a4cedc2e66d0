#include "scene_cuts.h"

#include <algorithm>
#include <cstdlib>

namespace kri_host {

double frame_difference(const uint8_t* a, const uint8_t* b, int width, int height) {
    int step_x = std::max(1, width / 128), step_y = std::max(1, height / 128);
    uint64_t sum = 0, count = 0;
    for (int y = step_y / 2; y < height; y += step_y) {
        size_t row = static_cast<size_t>(y) * static_cast<size_t>(width) * 3;
        for (int x = step_x / 2; x < width; x += step_x) {
            size_t i = row + static_cast<size_t>(x) * 3;
            sum += static_cast<uint64_t>(std::abs(a[i] - b[i]) + std::abs(a[i + 1] - b[i + 1]) +
                                         std::abs(a[i + 2] - b[i + 2]));
            count += 3;
        }
    }
    return count ? static_cast<double>(sum) / static_cast<double>(count) : 0.0;
}

bool SceneCutDetector::is_cut(const uint8_t* earlier, const uint8_t* later, int width, int height) {
    return frame_difference(earlier, later, width, height) > threshold_;
}

}  // namespace kri_host
