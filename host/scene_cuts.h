// Telling a scene cut, where a blend of the two frames would mix two shots, from motion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace kri_host {

// Mean absolute difference of two packed RGB frames, 0 to 255, over a sparse grid of at
// most about 128 x 128 pixels: cheap next to an inference, and enough to tell a cut (most
// of the picture changes a lot) from motion (a part of it changes).
double frame_difference(const uint8_t* a, const uint8_t* b, int width, int height);

// A cut is a difference many times the usual one between the frames of the last second
// (their median), and above a floor: how much frames differ inside a shot depends on the
// footage (a fast pan, a still, film grain) far more than how much they differ at a cut.
// A threshold given by the user replaces the rule.
class SceneCutDetector {
  public:
    // fixed_threshold < 0: the rule above, over the last `window` steps.
    SceneCutDetector(double fixed_threshold, size_t window);
    // Whether the step from the earlier to the later frame is a cut.
    bool is_cut(const uint8_t* earlier, const uint8_t* later, int width, int height);

    static constexpr double kRatio = 5;   // times the median of the recent differences
    static constexpr double kFloor = 12;  // on the 0-255 scale of frame_difference

  private:
    double threshold() const;

    double fixed_threshold_;
    size_t window_;
    std::deque<double> recent_;  // differences of the last steps inside the shot
};

}  // namespace kri_host
