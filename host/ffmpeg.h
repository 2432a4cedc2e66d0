// What ffprobe says about a video, the formats OUT can have, and the ffmpeg command lines
// that decode IN to packed RGB and encode OUT from it.
#pragma once

#include "colour.h"
#include "options.h"

#include <string>
#include <vector>

namespace kri_host {

struct Rational {
    long long num = 0, den = 1;
    double value() const { return den ? static_cast<double>(num) / static_cast<double>(den) : 0; }
};
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

// True when ffmpeg and ffprobe are on PATH; else says so, on one line.
bool ffmpeg_tools_found();

// Fills `info`; on failure `error` is one line naming the input.
bool probe(const std::string& input, VideoInfo& info, std::string& error);

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

std::vector<std::string> decoder_args(const Options& o, const VideoInfo& info);
std::vector<std::string> encoder_args(const Options& o, const VideoInfo& info,
                                      const Rational& out_rate, const std::string& written);

}  // namespace kri_host
