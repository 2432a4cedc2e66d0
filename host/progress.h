// What a video run shows while it works (the progress line) and after (the statistics).
#pragma once

#include <cstddef>
#include <string>

namespace kri_host {

// Where the time of a run went, in seconds.
struct Timing {
    double library = 0, decode_wait = 0, encode_wait = 0, cuts = 0;
};

// "m:ss" or "h:mm:ss".
std::string clock_text(double seconds);

// The progress line (frames done of the total, percentage, rate and time left), redrawn
// in place on stderr.
class Progress {
  public:
    Progress(bool enabled, long long total);
    void show(long long done, bool final_line);
    double elapsed() const;
    bool enabled() const { return enabled_; }

  private:
    bool enabled_;
    long long total_;  // frames out expected, 0 when unknown
    double started_;
    double last_shown_ = -1;
    size_t width_ = 0;
};

}  // namespace kri_host
