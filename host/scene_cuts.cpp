#include "scene_cuts.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

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

SceneCutDetector::SceneCutDetector(double fixed_threshold, size_t window)
    : fixed_threshold_(fixed_threshold), window_(std::max<size_t>(window, 1)) {}

// Before any step is known, the first one is measured against the floor alone.
double SceneCutDetector::threshold() const {
    if (fixed_threshold_ >= 0) return fixed_threshold_;
    if (recent_.empty()) return kRatio * kFloor;
    std::vector<double> sorted(recent_.begin(), recent_.end());
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    return std::max(kFloor, kRatio * sorted[sorted.size() / 2]);
}

bool SceneCutDetector::is_cut(const uint8_t* earlier, const uint8_t* later, int width, int height) {
    double difference = frame_difference(earlier, later, width, height);
    bool cut = difference > threshold();
    if (!cut) {  // a cut says nothing about how the next shot moves
        recent_.push_back(difference);
        if (recent_.size() > window_) recent_.pop_front();
    }
    return cut;
}

}  // namespace kri_host
