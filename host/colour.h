// How the input's YCbCr relates to RGB, so that frames go to RGB and back with the same
// matrix and range, and OUT is tagged like IN.
#pragma once

#include <map>
#include <string>

namespace kri_host {

struct Colour {
    std::string matrix;  // ffmpeg's name of the matrix: "bt709", "smpte170m", ...
    std::string scaler;  // the same matrix as the scale filter names it
    bool full_range = false;
    std::string primaries;  // as ffprobe names them; never empty
    std::string transfer;
};

// From ffprobe's fields of the video stream. Untagged video is what players assume:
// BT.709 when it is HD, BT.601 otherwise, limited range.
Colour colour_of(std::map<std::string, std::string>& stream, int width, int height);

// The bits per sample of a pixel format ("yuv420p10le": 10), 8 when it does not say.
int bit_depth_of(const std::string& pix_fmt);

// Filter options converting YCbCr to RGB (decoding) and RGB to YCbCr (encoding).
std::string to_rgb_filter(const Colour& c);
std::string from_rgb_filter(const Colour& c);
// Encoder options that tag the stream.
std::string range_name(const Colour& c);

}  // namespace kri_host
