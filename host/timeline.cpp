#include "timeline.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace kri_host {
namespace {

using Wide = __int128;  // products of ticks, frame numbers and rate terms overflow 64 bits

// One frame line of framemd5: "0, dts, pts, duration, size, md5".
bool read_frame_line(const std::string& line, long long& pts, long long& duration,
                     uint64_t& digest) {
    int stream = -1;
    long long dts = 0, size = 0;
    char hash[17] = {};
    if (std::sscanf(line.c_str(), "%d, %lld, %lld, %lld, %lld, %16[0-9a-f]", &stream, &dts, &pts,
                    &duration, &size, hash) != 6 ||
        stream != 0)
        return false;
    digest = std::strtoull(hash, nullptr, 16);
    return true;
}

// How long the last frame lasts when its duration is not given: as long as the one
// before it, else one tick.
long long last_duration(const FrameTimes& t, long long given) {
    if (given > 0) return given;
    size_t n = t.pts.size();
    return n > 1 && t.pts[n - 1] > t.pts[n - 2] ? t.pts[n - 1] - t.pts[n - 2] : 1;
}

}  // namespace

bool read_frame_times(const std::string& text, FrameTimes& times, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    long long duration = 0;
    times = {};
    while (std::getline(lines, line)) {
        long long num = 0, den = 0, pts = 0;
        uint64_t digest = 0;
        if (std::sscanf(line.c_str(), "#tb 0: %lld/%lld", &num, &den) == 2 && num > 0 && den > 0) {
            times.tick = {num, den};
        } else if (line[0] != '#' && read_frame_line(line, pts, duration, digest)) {
            times.pts.push_back(pts);
            times.digest.push_back(digest);
        }
    }
    if (times.pts.empty() || times.tick.num <= 0) {
        error = "no frames could be decoded";
        return false;
    }
    times.end =
        *std::max_element(times.pts.begin(), times.pts.end()) + last_duration(times, duration);
    return true;
}

std::vector<size_t> key_frames(const FrameTimes& times, bool dedup) {
    std::vector<size_t> keys;
    for (size_t i = 0; i < times.pts.size(); ++i) {
        if (!keys.empty()) {
            size_t last = keys.back();
            // A frame not after the last key has no place on the timeline.
            if (times.pts[i] <= times.pts[last]) continue;
            if (dedup && times.digest[i] == times.digest[last]) continue;
        }
        keys.push_back(i);
    }
    return keys;
}

// Output frame k lies at k * a / b ticks, with a = rate.den * tick.den and
// b = rate.num * tick.num; comparisons are done in whole numbers, on times doubled and
// multiplied by b. Timestamps rounded to a coarse tick (a fractional rate stored in
// milliseconds) are off by up to half a tick, so a frame that close counts as on the grid;
// but no more than a sixteenth of an output frame, for ticks as long as a frame (numbered
// images).
std::vector<SlotPlan> plan_slots(const FrameTimes& times, const std::vector<size_t>& keys,
                                 const Rational& rate) {
    const Wide a = Wide(rate.den) * times.tick.den, b = Wide(rate.num) * times.tick.num;
    const Wide near = std::min(b, a / 8);  // twice the tolerance, times b
    Wide end = 2 * Wide(times.end) * b - near;
    size_t count = end > 0 ? static_cast<size_t>((end + 2 * a - 1) / (2 * a)) : 0;
    std::vector<SlotPlan> plan(count);
    size_t j = 0;  // the last key at or before the frame's time
    auto key_time = [&](size_t key) { return 2 * Wide(times.pts[keys[key]]) * b; };
    for (size_t k = 0; k < count; ++k) {
        Wide at = 2 * Wide(k) * a;
        while (j + 1 < keys.size() && key_time(j + 1) <= at + near) ++j;
        Wide from = at - key_time(j);
        plan[k].key = static_cast<uint32_t>(j);
        if (from <= near || j + 1 == keys.size()) continue;  // on the key, before it, or after all
        double span = static_cast<double>(times.pts[keys[j + 1]] - times.pts[keys[j]]);
        plan[k].between = true;
        plan[k].t =
            static_cast<float>(static_cast<double>(from) / (2.0 * static_cast<double>(b)) / span);
    }
    return plan;
}

PartRange part_range(const std::vector<SlotPlan>& plan, size_t keys, int part, int parts) {
    PartRange r;
    r.first_key = keys * static_cast<size_t>(part - 1) / static_cast<size_t>(parts);
    r.end_key = keys * static_cast<size_t>(part) / static_cast<size_t>(parts);
    auto first_slot_of = [&](size_t key) {
        return static_cast<size_t>(
            std::partition_point(plan.begin(), plan.end(),
                                 [&](const SlotPlan& s) { return s.key < key; }) -
            plan.begin());
    };
    r.first_slot = part == 1 ? 0 : first_slot_of(r.first_key);
    r.end_slot = part == parts ? plan.size() : first_slot_of(r.end_key);
    return r;
}

}  // namespace kri_host
