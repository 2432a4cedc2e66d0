#include "colour.h"

#include <cctype>
#include <cstdlib>

namespace kri_host {
namespace {

// Matrices as ffprobe names them, and as the scale filter does.
struct MatrixName {
    const char* probed;
    const char* scaler;
};
constexpr MatrixName kMatrices[] = {
    {"bt709", "bt709"}, {"smpte170m", "smpte170m"}, {"bt470bg", "bt470"}, {"bt2020nc", "bt2020"},
    {"fcc", "fcc"},     {"smpte240m", "smpte240m"},
};

bool known(const std::string& value) { return !value.empty() && value != "unknown"; }

bool is_hd(int width, int height) { return width >= 1280 || height >= 720; }

}  // namespace

Colour colour_of(std::map<std::string, std::string>& stream, int width, int height) {
    Colour c;
    for (const MatrixName& m : kMatrices)
        if (stream["color_space"] == m.probed) c = {m.probed, m.scaler, false, "", ""};
    const char* assumed = is_hd(width, height) ? "bt709" : "smpte170m";
    if (c.matrix.empty()) c = {assumed, assumed, false, "", ""};
    // RGB input says "pc", which is no YCbCr range: its output gets the usual one.
    c.full_range = stream["color_range"] == "pc" && stream["color_space"] != "gbr";
    c.primaries = known(stream["color_primaries"]) ? stream["color_primaries"] : assumed;
    c.transfer = known(stream["color_transfer"]) ? stream["color_transfer"] : assumed;
    return c;
}

int bit_depth_of(const std::string& pix_fmt) {
    if (pix_fmt.compare(0, 2, "nv") == 0) return 8;  // nv12, nv16: chroma layouts, 8 bits
    size_t end = pix_fmt.size();
    if (end > 2 &&
        (pix_fmt.compare(end - 2, 2, "le") == 0 || pix_fmt.compare(end - 2, 2, "be") == 0))
        end -= 2;
    size_t start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(pix_fmt[start - 1]))) --start;
    int depth = start < end ? std::atoi(pix_fmt.substr(start, end - start).c_str()) : 0;
    if (depth == 48 || depth == 64) return 16;  // rgb48, rgba64: per pixel
    return depth > 8 && depth <= 16 ? depth : 8;
}

std::string range_name(const Colour& c) { return c.full_range ? "pc" : "tv"; }

std::string to_rgb_filter(const Colour& c) {
    return "scale=in_color_matrix=" + c.scaler + ":in_range=" + range_name(c);
}

std::string from_rgb_filter(const Colour& c) {
    return "scale=out_color_matrix=" + c.scaler + ":out_range=" + range_name(c);
}

}  // namespace kri_host
