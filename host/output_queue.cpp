#include "output_queue.h"

#include "child_process.h"

namespace kri_host {

OutputQueue::OutputQueue(Interpolator& interpolator, int width, int height, Writer write)
    : interpolator_(interpolator),
      width_(width),
      height_(height),
      write_(std::move(write)),
      collected_(static_cast<size_t>(width) * static_cast<size_t>(height) * 3),
      // Shown slots share the decoded frame, so this is a few frames per worker.
      max_shown_(2 * interpolator.capacity() + 4) {}

bool OutputQueue::write_ready() {
    while (!slots_.empty() && slots_.front()) {
        if (!write_(slots_.front()->data())) return false;
        slots_.pop_front();
    }
    return true;
}

bool OutputQueue::write_oldest() {
    if (!write_ready()) return false;
    if (slots_.empty()) return true;
    double t0 = now_seconds();
    bool ok = interpolator_.collect(collected_.data());
    library_seconds_ += now_seconds() - t0;
    slots_.pop_front();
    if (!ok) {
        interpolator_failed_ = true;
        return false;
    }
    return write_(collected_.data()) && write_ready();
}

bool OutputQueue::show(const FrameBuffer& frame) {
    slots_.push_back(frame);
    if (!write_ready()) return false;
    // Everything left waits behind a computed frame.
    return slots_.size() - interpolator_.pending() <= max_shown_ || write_oldest();
}

bool OutputQueue::compute(const FrameBuffer& earlier, const FrameBuffer& later, float t) {
    while (interpolator_.pending() >= interpolator_.capacity())
        if (!write_oldest()) return false;
    double t0 = now_seconds();
    bool ok = interpolator_.submit(earlier->data(), later->data(), width_, height_, t);
    library_seconds_ += now_seconds() - t0;
    if (!ok) {
        interpolator_failed_ = true;
        return false;
    }
    ++computed_;
    slots_.push_back(nullptr);
    return true;
}

bool OutputQueue::finish() {
    while (!slots_.empty())
        if (!write_oldest()) return false;
    return true;
}

}  // namespace kri_host
