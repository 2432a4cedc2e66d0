// Telling a scene cut, where a blend of the two frames would mix two shots, from motion.
#pragma once

#include <cstdint>

namespace kri_host {

// Mean absolute difference of two packed RGB frames, 0 to 255, over a sparse grid of at
// most about 128 x 128 pixels: cheap next to an inference, and enough to tell a cut (most
// of the picture changes a lot) from motion (a part of it changes).
double frame_difference(const uint8_t* a, const uint8_t* b, int width, int height);

class SceneCutDetector {
  public:
    explicit SceneCutDetector(double threshold) : threshold_(threshold) {}
    // Whether the step from the earlier to the later frame is a cut.
    bool is_cut(const uint8_t* earlier, const uint8_t* later, int width, int height);

  private:
    double threshold_;
};

}  // namespace kri_host
