#include "progress.h"

#include "child_process.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kri_host {

std::string clock_text(double seconds) {
    long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

Progress::Progress(bool enabled, long long total)
    : enabled_(enabled), total_(total), started_(now_seconds()) {}

double Progress::elapsed() const { return now_seconds() - started_; }

void Progress::show(long long done, bool final_line) {
    if (!enabled_) return;
    double now = now_seconds();
    if (!final_line && now - last_shown_ < 0.25) return;
    last_shown_ = now;
    double elapsed = now - started_;
    double fps = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    char line[160];
    if (total_ > 0) {
        long long shown_total = std::max(total_, done);
        double eta = fps > 0 ? static_cast<double>(shown_total - done) / fps : 0;
        std::snprintf(line, sizeof line, "frames %lld/%lld (%d%%)  %.1f fps  ETA %s", done,
                      shown_total, static_cast<int>(100.0 * done / shown_total), fps,
                      fps > 0 ? clock_text(eta).c_str() : "?");
    } else {
        std::snprintf(line, sizeof line, "frames %lld  %.1f fps  %s elapsed", done, fps,
                      clock_text(elapsed).c_str());
    }
    std::string text = line;
    size_t length = text.size();
    if (text.size() < width_) text.append(width_ - text.size(), ' ');
    width_ = length;
    std::fprintf(stderr, "\r%s%s", text.c_str(), final_line ? "\n" : "");
    std::fflush(stderr);
}

}  // namespace kri_host
