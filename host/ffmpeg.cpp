#include "ffmpeg.h"

#include "child_process.h"
#include "common.h"
#include "paths.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

namespace kri_host {
namespace {

// Copy the audio when every stream is one of these; m4v and mov take what mp4 takes.
constexpr const char* kMp4Audio = " aac mp3 alac ac3 eac3 opus ";

// Every format OUT can have.
constexpr Container kContainers[] = {
    {".mp4", VideoCodec::kH264, kMp4Audio, "aac", true, 0},
    {".m4v", VideoCodec::kH264, kMp4Audio, "aac", true, 0},
    {".mov", VideoCodec::kH264, kMp4Audio, "aac", true, 0},
    {".mkv", VideoCodec::kH264, "", "aac", false, 0},
    {".webm", VideoCodec::kVp9, " opus vorbis ", "libopus", false, 0},
    // Frame delays are whole hundredths of a second, and players stretch the shortest
    // ones: past the last rate the format holds, a GIF plays far too slowly.
    {".gif", VideoCodec::kGif, "", nullptr, false, 50},
};

bool parse_rational(const std::string& text, Rational& r) {
    long long num = 0, den = 1;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%lld/%lld%c", &num, &den, &tail) == 2 && num > 0 && den > 0) {
        r = {num, den};
        return true;
    }
    return false;
}

long long gcd(long long a, long long b) { return b == 0 ? a : gcd(b, a % b); }

// One [STREAM] or [FORMAT] block of ffprobe's "default" output: its key=value lines.
struct ProbeBlock {
    std::string kind;  // "STREAM" or "FORMAT"
    std::map<std::string, std::string> values;
};

std::vector<ProbeBlock> parse_probe(const std::string& text) {
    std::vector<ProbeBlock> blocks;
    bool open = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line == "[STREAM]" || line == "[FORMAT]") {
            blocks.push_back({line.substr(1, line.size() - 2), {}});
            open = true;
        } else if (line == "[/STREAM]" || line == "[/FORMAT]") {
            open = false;
        } else if (open && line.find('=') != std::string::npos) {
            size_t eq = line.find('=');
            blocks.back().values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return blocks;
}

void read_video_stream(std::map<std::string, std::string>& stream, VideoInfo& info) {
    info.width = std::atoi(stream["width"].c_str());
    info.height = std::atoi(stream["height"].c_str());
    info.colour = colour_of(stream, info.width, info.height);
    info.bit_depth = bit_depth_of(stream["pix_fmt"]);
    // The decoder turns the frames as the display matrix says.
    info.rotation = std::atoi(stream["rotation"].c_str());
    if (std::abs(info.rotation) % 180 == 90) std::swap(info.width, info.height);
    if (!parse_rational(stream["avg_frame_rate"], info.rate) &&
        !parse_rational(stream["r_frame_rate"], info.rate))
        info.rate = {0, 1};
    info.frames = std::atoll(stream["nb_frames"].c_str());
}

// Reads ffprobe's answer; returns the container's format name, or "" without a video.
std::string read_probe(const std::string& text, VideoInfo& info) {
    bool found = false;
    std::string format;
    for (auto& block : parse_probe(text)) {
        auto& stream = block.values;
        if (block.kind == "FORMAT") {
            format = stream["format_name"];
            info.duration = std::atof(stream["duration"].c_str());
        } else if (stream["codec_type"] == "audio") {
            info.audio_codecs.push_back(stream["codec_name"]);
        } else if (!found && stream["codec_type"] == "video" &&
                   stream["DISPOSITION:attached_pic"] != "1") {
            read_video_stream(stream, info);
            found = true;
        }
    }
    return found && info.width > 0 && info.height > 0 ? format : "";
}

// Containers without a frame count: count the packets (demuxing only, no decode).
long long count_packets(const std::string& input) {
    std::string counted, ignored;
    if (!run_capture({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                      "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", "--", input},
                     counted, ignored))
        return 0;
    return std::atoll(counted.c_str());
}

bool kept_as_is(const Container& c, const std::string& codec) {
    return *c.audio_kept == 0 ||
           std::string(c.audio_kept).find(" " + codec + " ") != std::string::npos;
}

// ffmpeg reading this program's frames (packed RGB at out_rate) from its stdin.
std::vector<std::string> raw_frames_input(const VideoInfo& info, const Rational& out_rate) {
    return {"ffmpeg",
            "-nostdin",
            "-v",
            "error",
            "-y",
            "-f",
            "rawvideo",
            "-pix_fmt",
            "rgb24",
            "-video_size",
            std::to_string(info.width) + "x" + std::to_string(info.height),
            "-framerate",
            rate_text(out_rate),
            "-i",
            "pipe:0"};
}

}  // namespace

std::string rate_text(const Rational& r) {
    return std::to_string(r.num) + "/" + std::to_string(r.den);
}

Rational reduced(Rational r) {
    long long g = gcd(r.num, r.den);
    return g ? Rational{r.num / g, r.den / g} : r;
}

bool ffmpeg_tools_found() {
    for (const char* tool : {"ffmpeg", "ffprobe"}) {
        if (find_on_path(tool).empty()) {
            say("%s not found on PATH: this command needs ffmpeg and ffprobe (Debian: "
                "apt-get install ffmpeg)",
                tool);
            return false;
        }
    }
    return true;
}

Input file_input(const std::string& path) { return {path, {"-i", path}, false, "", ""}; }

Input video_input(const Options& o) {
    Input in = file_input(o.inputs[0]);
    in.start = o.start, in.duration = o.duration;
    return in;
}

bool probe(const Input& in, VideoInfo& info, std::string& error) {
    std::string out;
    const std::string& input = in.name;
    std::vector<std::string> args = {
        "ffprobe",
        "-v",
        "error",
        "-show_entries",
        "stream=codec_type,codec_name,width,height,r_frame_rate,avg_frame_rate,nb_frames,"
        "pix_fmt,color_space,color_range,color_primaries,color_transfer:"
        "stream_side_data=rotation:stream_disposition=attached_pic:format=format_name,"
        "duration",
        "-of",
        "default"};
    args.insert(args.end(), in.open_args.begin(), in.open_args.end());
    if (!run_capture(args, out, error)) {
        error = input + ": not a video ffmpeg can read (" + error + ")";
        return false;
    }
    std::string format = read_probe(out, info);
    if (format.empty()) {
        error = input + ": not a video (no video stream found)";
        return false;
    }
    // Still images (png_pipe, jpeg_pipe, image2, ...) have a video stream of one frame.
    if (!in.sequence && (format == "image2" ||
                         (format.size() > 5 && format.substr(format.size() - 5) == "_pipe"))) {
        error = input + ": an image, not a video (for two images use: " + kProgram + " pair)";
        return false;
    }
    if (info.rate.num <= 0) {
        error = input + ": the video stream has no frame rate";
        return false;
    }
    if (info.frames <= 0 && !in.sequence) info.frames = count_packets(input);
    return true;
}

const Container* find_container(const std::string& out) {
    std::string ext = lower(split_extension(out).second);
    for (const Container& c : kContainers)
        if (ext == c.extension) return &c;
    return nullptr;
}

const Container& container_for(const std::string& out) { return *find_container(out); }

std::string known_extensions() {
    std::string list;
    for (const Container& c : kContainers)
        list += std::string(list.empty() ? "" : " ") + c.extension;
    return list;
}

Rational written_rate(const Options& o, const Rational& out_rate) {
    const Container* c = find_container(o.output);  // none for a folder of images
    return c && c->max_rate && out_rate.value() > c->max_rate ? Rational{c->max_rate, 1} : out_rate;
}

std::string audio_plan(const Options& o, const VideoInfo& info) {
    const Container& c = container_for(o.output);
    bool copyable = true;
    for (const std::string& codec : info.audio_codecs) copyable = copyable && kept_as_is(c, codec);
    // After a seek, copied packets keep their place on the timeline, and the one
    // straddling the start would shift the whole file: the audio is encoded again there.
    if (copyable && o.start.empty()) return "copy";
    return c.audio_encoder ? c.audio_encoder : "";
}

std::vector<std::string> timestamp_args(const Input& input) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error"};
    if (!input.start.empty()) args.insert(args.end(), {"-ss", input.start});
    if (!input.duration.empty()) args.insert(args.end(), {"-t", input.duration});
    args.insert(args.end(), input.open_args.begin(), input.open_args.end());
    // The input's time base, not one of 1/rate that would round variable-rate times.
    args.insert(args.end(), {"-map", "0:v:0", "-an", "-sn", "-fps_mode", "passthrough",
                             "-enc_time_base", "-1", "-f", "framemd5", "-"});
    return args;
}

// Frames come upright (ffmpeg applies the display matrix) and in RGB converted with the
// input's own matrix and range; each frame as it is, so that the first pass's timestamps
// belong to them one for one.
std::vector<std::string> decoder_args(const Input& input, const VideoInfo& info,
                                      const std::string& seek, long long frames) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error"};
    std::string start = seek.empty() ? input.start : seek;
    if (!start.empty()) args.insert(args.end(), {"-ss", start});
    if (!input.duration.empty()) args.insert(args.end(), {"-t", input.duration});
    args.insert(args.end(), input.open_args.begin(), input.open_args.end());
    args.insert(args.end(), {"-map", "0:v:0", "-an", "-sn", "-fps_mode", "passthrough"});
    if (frames > 0) args.insert(args.end(), {"-frames:v", std::to_string(frames)});
    // Images of another size than the first are scaled to it: the pipe holds one size.
    std::string size =
        input.sequence ? ":w=" + std::to_string(info.width) + ":h=" + std::to_string(info.height)
                       : "";
    args.insert(args.end(), {"-vf", to_rgb_filter(info.colour) + size + ",format=rgb24", "-f",
                             "rawvideo", "-pix_fmt", "rgb24", "pipe:1"});
    return args;
}

std::vector<std::string> image_encoder_args(const VideoInfo& info, const Rational& out_rate,
                                            const std::string& pattern, long long first_number) {
    std::vector<std::string> args = raw_frames_input(info, out_rate);
    args.insert(args.end(), {"-c:v", "png", "-f", "image2", "-start_number",
                             std::to_string(first_number), pattern});
    return args;
}

namespace {

// RGB to 4:2:0 with the input's matrix and range, tagged like the input. H.264 4:2:0 needs
// even sizes: an odd width or height gets one more column or row, a copy of the last.
void add_yuv420(const VideoInfo& info, bool even_only, std::vector<std::string>& args) {
    std::string filters;
    int right = even_only ? info.width % 2 : 0, bottom = even_only ? info.height % 2 : 0;
    if (right || bottom)
        filters = "pad=" + std::to_string(info.width + right) + ":" +
                  std::to_string(info.height + bottom) +
                  ",fillborders=right=" + std::to_string(right) +
                  ":bottom=" + std::to_string(bottom) + ":mode=smear,";
    const Colour& c = info.colour;
    args.insert(args.end(), {"-vf", filters + from_rgb_filter(c) + ",format=yuv420p", "-pix_fmt",
                             "yuv420p", "-colorspace", c.matrix, "-color_primaries", c.primaries,
                             "-color_trc", c.transfer, "-color_range", range_name(c)});
}

void add_video_codec(const Container& c, const VideoInfo& info, std::vector<std::string>& args) {
    switch (c.codec) {
        case VideoCodec::kH264:
            add_yuv420(info, true, args);
            args.insert(args.end(),
                        {"-c:v", "libx264", "-profile:v", "high", "-preset", "fast", "-crf", "18"});
            break;
        case VideoCodec::kVp9:  // profile 0: 8-bit 4:2:0, any size
            add_yuv420(info, false, args);
            args.insert(args.end(), {"-c:v", "libvpx-vp9", "-crf", "30", "-b:v", "0", "-row-mt",
                                     "1", "-deadline", "good", "-cpu-used", "4"});
            break;
        case VideoCodec::kGif:
            break;
    }
}

// The audio comes from IN itself, cut like the video.
void add_audio(const Options& o, const VideoInfo& info, std::vector<std::string>& args) {
    if (!info.has_audio() || container_for(o.output).audio_encoder == nullptr) {
        args.insert(args.end(), {"-map", "0:v:0"});
        return;
    }
    if (!o.start.empty()) args.insert(args.end(), {"-ss", o.start});
    if (!o.duration.empty()) args.insert(args.end(), {"-t", o.duration});
    args.insert(args.end(), {"-i", o.inputs[0], "-map", "0:v:0", "-map", "1:a?"});
    std::string audio = audio_plan(o, info);
    if (!audio.empty()) args.insert(args.end(), {"-c:a", audio});
}

}  // namespace

std::vector<std::string> encoder_args(const Options& o, const VideoInfo& info,
                                      const Rational& out_rate, const std::string& written) {
    std::vector<std::string> args = raw_frames_input(info, out_rate);
    const Container& c = container_for(o.output);
    add_audio(o, info, args);
    add_video_codec(c, info, args);
    Rational rate = written_rate(o, out_rate);
    if (rate.num != out_rate.num || rate.den != out_rate.den)
        args.insert(args.end(), {"-r", rate_text(rate)});
    if (c.faststart) args.insert(args.end(), {"-movflags", "+faststart"});
    args.push_back(written);
    return args;
}

}  // namespace kri_host
