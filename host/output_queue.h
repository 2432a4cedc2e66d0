// The output frames of a run, in order: each slot is an input frame shown as it is or a
// frame computed by the Interpolator. Computed frames are submitted as soon as their slot
// is known, as long as the interpolator has room, so that all of its workers stay busy;
// slots leave the queue in order, each once it is ready.
#pragma once

#include "interpolator.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kri_host {

using FrameBuffer = std::shared_ptr<std::vector<uint8_t>>;

class OutputQueue {
  public:
    using Writer = std::function<bool(const uint8_t* frame)>;
    // `write` puts one frame out; it returns false once writing has failed.
    OutputQueue(Interpolator& interpolator, int width, int height, Writer write);

    bool show(const FrameBuffer& frame);  // a slot showing this input frame
    bool compute(const FrameBuffer& earlier, const FrameBuffer& later, float t);
    bool finish();  // writes every slot still queued

    // After a false return: whether the interpolator failed (else the writer did).
    bool interpolator_failed() const { return interpolator_failed_; }
    long long computed() const { return computed_; }
    double library_seconds() const { return library_seconds_; }

  private:
    bool write_ready();   // the slots at the front that need no waiting
    bool write_oldest();  // waits for the oldest computed frame, writes up to it

    Interpolator& interpolator_;
    int width_, height_;
    Writer write_;
    std::deque<FrameBuffer> slots_;  // null: the next computed frame in the interpolator
    std::vector<uint8_t> collected_;
    size_t max_shown_;  // shown slots held behind computed ones, to bound memory
    bool interpolator_failed_ = false;
    long long computed_ = 0;
    double library_seconds_ = 0;
};

}  // namespace kri_host
