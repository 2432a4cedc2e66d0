// Where computed frames come from. The run asks for frames in output order and takes them
// back in the same order; an implementation may compute several at once (one engine per
// worker process) as long as collect() returns them in the order they were submitted.
#pragma once

#include "options.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kri_host {

class Interpolator {
  public:
    virtual ~Interpolator() = default;

    // Queues the frame at `t` between `earlier` and `later` (packed RGB, width x height).
    // Both frames have been copied or sent when it returns, so the caller may reuse them.
    // Call only while pending() < capacity(). False on failure: see error().
    virtual bool submit(const uint8_t* earlier, const uint8_t* later, int width, int height,
                        float t) = 0;

    // Writes the oldest queued frame into `out` (width * height * 3 bytes) and removes it
    // from the queue. Call only while pending() > 0. False on failure: see error().
    virtual bool collect(uint8_t* out) = 0;

    virtual size_t pending() const = 0;
    virtual size_t capacity() const = 0;  // how many frames may be queued at once

    // What went wrong, on one line, naming the library's message when it has one.
    virtual std::string error() const = 0;
};

// The interpolator for a run: one engine in this process, or with options.jobs > 1 that
// many engine processes (job_pool.h). Prints one line and returns null when an engine
// cannot start.
std::unique_ptr<Interpolator> make_interpolator(const Options& options);

}  // namespace kri_host
