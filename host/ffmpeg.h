// What ffprobe says about a video, the formats OUT can have, and the ffmpeg command lines
// that decode IN to packed RGB and encode OUT from it.
#pragma once

#include "colour.h"
#include "options.h"

#include <string>
#include <vector>

namespace kri_host {

std::string rate_text(const Rational& r);  // "30000/1001"
Rational reduced(Rational r);

struct VideoInfo {
    int width = 0, height = 0;  // as displayed: after the rotation the input asks for
    int rotation = 0;           // degrees, from its display matrix
    Colour colour;
    int bit_depth = 8;
    Rational rate;
    long long frames = 0;  // 0 when unknown
    double duration = 0;   // seconds; 0 when unknown
    std::vector<std::string> audio_codecs;
    bool has_audio() const { return !audio_codecs.empty(); }
};

// How ffmpeg opens IN: a video file, or numbered images read at a given rate.
struct Input {
    std::string name;                    // as the user gave it
    std::vector<std::string> open_args;  // what goes before and with -i, -i included
    bool sequence = false;
    std::string start, duration;  // --start and --duration, as given
};
Input video_input(const Options& o);        // IN, with --start and --duration
Input file_input(const std::string& path);  // a whole video file

// True when ffmpeg and ffprobe are on PATH; else says so, on one line.
bool ffmpeg_tools_found();

// Fills `info`; on failure `error` is one line naming the input.
bool probe(const Input& input, VideoInfo& info, std::string& error);

enum class VideoCodec { kH264, kVp9, kGif };

// One output format, chosen by OUT's extension.
struct Container {
    const char* extension;
    VideoCodec codec;
    const char* audio_kept;     // audio codecs copied as they are ("" when any is)
    const char* audio_encoder;  // for audio that cannot be copied; "" the format's
                                // default; nullptr: the format holds no audio
    bool faststart;             // index at the front, so that playback starts at once
    int max_rate;               // the highest frame rate it plays right; 0: no limit
};
// The format of OUT's extension; nullptr when there is none for it.
const Container* find_container(const std::string& out);
const Container& container_for(const std::string& out);  // once find_container found it
std::string known_extensions();                          // ".mp4 .m4v ..."

// The rate OUT is written at: the rate of the frames made, or the format's limit.
Rational written_rate(const Options& o, const Rational& out_rate);

// "copy", the encoder the audio goes through, or "" for the format's default.
std::string audio_plan(const Options& o, const VideoInfo& info);

// The first pass: one framemd5 line per frame the decoder will give, with its time in the
// input's own time base and a hash of its pixels.
std::vector<std::string> timestamp_args(const Input& input);
// The decoder: frames as they come (no constant rate forced), upright, in RGB. `seek`
// starts at that time instead of the beginning ("": no seek) and `frames` (0: all) limits
// how many are decoded.
std::vector<std::string> decoder_args(const Input& input, const VideoInfo& info,
                                      const std::string& seek, long long frames);
// An encoder writing numbered PNG files, the first numbered `first_number`.
std::vector<std::string> image_encoder_args(const VideoInfo& info, const Rational& out_rate,
                                            const std::string& pattern, long long first_number);
std::vector<std::string> encoder_args(const Options& o, const VideoInfo& info,
                                      const Rational& out_rate, const std::string& written);

}  // namespace kri_host
