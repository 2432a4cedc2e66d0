// The output's frames on a grid of exact times, each placed between the two decoded frames
// around it by their presentation timestamps. The timestamps come from a first pass of
// ffmpeg over the input (framemd5: one line per frame with its time and a hash of its
// pixels), so variable-rate input keeps its real timing and repeated frames are known
// before any frame is decoded for the run itself.
#pragma once

#include "options.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kri_host {

// Every frame the decoder will give, in its order.
struct FrameTimes {
    Rational tick;                 // seconds per unit of pts
    std::vector<long long> pts;    // in ticks
    std::vector<uint64_t> digest;  // part of each frame's MD5: equal for repeated frames
    long long end = 0;             // in ticks: when the last frame's time is over
};

// Reads ffmpeg's framemd5 output; false with `error` when it holds no frame.
bool read_frame_times(const std::string& text, FrameTimes& times, std::string& error);

// The frames used as interpolation endpoints ("keys"): every frame whose time comes after
// the previous key's; with `dedup`, only the first of a run of identical frames.
std::vector<size_t> key_frames(const FrameTimes& times, bool dedup);

// What one output frame shows: key `key` itself, or the frame at `t` (0 < t < 1) between
// it and the next key.
struct SlotPlan {
    uint32_t key = 0;
    bool between = false;
    float t = 0;
};

// The output frames k = 0, 1, ... at k / rate seconds, up to the end of the last frame.
// A time within half a tick of a key's (timestamps are rounded to ticks), and within a
// sixteenth of an output frame, falls on it and shows that key.
std::vector<SlotPlan> plan_slots(const FrameTimes& times, const std::vector<size_t>& keys,
                                 const Rational& rate);

// The I-th of N parts of a run (1-based): the keys it owns, and its output frames (those
// whose earlier key it owns). Parts are cut on keys, evenly by their count.
struct PartRange {
    size_t first_key = 0, end_key = 0;  // [first_key, end_key)
    size_t first_slot = 0, end_slot = 0;
};
PartRange part_range(const std::vector<SlotPlan>& plan, size_t keys, int part, int parts);

}  // namespace kri_host
