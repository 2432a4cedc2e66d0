// concat: joins the parts of one video (made by several `video --part I/N` runs, or cut by
// any other means with one codec, size and rate) into OUT without encoding the video
// again: ffmpeg's concat demuxer reads the parts in turn and the packets are copied. The
// sound comes from the parts, or with --audio-from from the original video, cut to the
// length of the parts together.

#include "child_process.h"
#include "cleanup.h"
#include "commands.h"
#include "common.h"
#include "ffmpeg.h"
#include "output_target.h"
#include "paths.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace kri_host {
namespace {

// What must be the same in every part, as ffprobe writes it, and how long the part lasts.
struct Part {
    std::string path;
    std::map<std::string, std::string> stream;
    double duration = 0;
};

bool probe_part(Part& part, std::string& error) {
    std::string out;
    if (!run_capture({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                      "stream=codec_name,profile,width,height,pix_fmt,r_frame_rate,time_base:"
                      "format=duration",
                      "-of", "default=nw=1", "--", part.path},
                     out, error)) {
        error = part.path + ": not a video ffmpeg can read (" + error + ")";
        return false;
    }
    for (size_t pos = 0, end; pos < out.size(); pos = end + 1) {
        end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(pos, end - pos);
        if (line.compare(0, 9, "duration=") == 0)
            part.duration = std::atof(line.c_str() + 9);
        else if (line.find('=') != std::string::npos)
            part.stream[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    if (part.stream.count("codec_name") == 0) {
        error = part.path + ": not a video (no video stream found)";
        return false;
    }
    return true;
}

// "width=32 instead of 64, ...": what differs between two parts' video streams.
std::string difference(const Part& part, const Part& first) {
    std::string text;
    for (const auto& [key, value] : part.stream) {
        auto theirs = first.stream.find(key);
        if (theirs == first.stream.end() || theirs->second != value)
            text += (text.empty() ? "" : ", ") + key + "=" + value + " instead of " +
                    (theirs == first.stream.end() ? "nothing" : theirs->second);
    }
    return text;
}

// Every part exists, is a video and matches the first.
bool probe_parts(const Options& o, std::vector<Part>& parts) {
    for (const std::string& input : o.inputs) {
        if (!is_file(input)) {
            say("%s: %s", input.c_str(),
                access(input.c_str(), F_OK) == 0 ? "not a file" : "No such file");
            return false;
        }
        if (real_path(input) == real_path(o.output)) {
            say("%s: the output would replace one of the parts", o.output.c_str());
            return false;
        }
        parts.push_back({input, {}, 0});
        std::string error;
        if (!probe_part(parts.back(), error)) {
            say("%s", error.c_str());
            return false;
        }
        std::string differs = difference(parts.back(), parts.front());
        if (!differs.empty()) {
            say("%s cannot be joined to %s: %s", input.c_str(), parts.front().path.c_str(),
                differs.c_str());
            return false;
        }
    }
    return true;
}

// The list the concat demuxer reads on its stdin: absolute paths, quoted.
std::string concat_list(const std::vector<Part>& parts) {
    std::string list;
    for (const Part& part : parts) {
        std::string path = "file:" + real_path(part.path), quoted;
        for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        list += "file '" + quoted + "'\n";
    }
    return list;
}

// The parts' video, copied; the sound of --audio-from IN cut to the parts' length (copied
// when OUT's format holds it, else encoded as video does), or else the parts' own.
std::vector<std::string> join_args(const Options& o, const std::vector<Part>& parts,
                                   const VideoInfo& original, const std::string& written) {
    std::vector<std::string> args = {
        "ffmpeg", "-nostdin", "-v", "error", "-y",    "-protocol_whitelist", "file,pipe", "-f",
        "concat", "-safe",    "0",  "-i",    "pipe:0"};
    const Container& c = container_for(o.output);
    bool holds_audio = c.audio_encoder != nullptr;
    if (holds_audio && !o.audio_from.empty()) {
        double total = 0;
        for (const Part& part : parts) total += part.duration;
        args.insert(args.end(), {"-i", o.audio_from, "-map", "0:v:0", "-map", "1:a?"});
        std::string audio = audio_plan(o, original);
        if (!audio.empty()) args.insert(args.end(), {"-c:a", audio});
        if (total > 0) args.insert(args.end(), {"-t", std::to_string(total)});
    } else {
        args.insert(args.end(), {"-map", "0:v:0"});
        if (holds_audio) args.insert(args.end(), {"-map", "0:a?", "-c:a", "copy"});
    }
    args.insert(args.end(), {"-c:v", "copy"});
    if (c.faststart) args.insert(args.end(), {"-movflags", "+faststart"});
    args.push_back(written);
    return args;
}

// OUT's format and the way to write it, and the original video's sound.
bool check_output(const Options& o, OutputTarget& target, VideoInfo& original) {
    std::string problem;
    if (find_container(o.output) == nullptr) {
        say("cannot write %s: no video format for the extension '%s' (use one of: %s)",
            o.output.c_str(), split_extension(o.output).second.c_str(), known_extensions().c_str());
        return false;
    }
    if (!plan_output(o.output, target, problem)) {
        say("cannot write %s: %s", o.output.c_str(), problem.c_str());
        return false;
    }
    if (o.audio_from.empty()) return true;
    if (!is_file(o.audio_from)) {
        say("%s: No such file", o.audio_from.c_str());
        return false;
    }
    if (!probe(file_input(o.audio_from), original, problem)) {
        say("%s", problem.c_str());
        return false;
    }
    return true;
}

}  // namespace

int run_concat(const Options& o) {
    OutputTarget target;
    VideoInfo original;
    std::vector<Part> parts;
    if (!ffmpeg_tools_found() || !check_output(o, target, original) || !probe_parts(o, parts))
        return kExitFailure;
    TempFile temp;
    if (!target.in_place()) temp = TempFile(target.written);
    Child ffmpeg;
    std::string error, list = concat_list(parts);
    if (!ffmpeg.start(join_args(o, parts, original, target.written), true, false, error)) {
        say("cannot start ffmpeg: %s", error.c_str());
        return kExitFailure;
    }
    write_full(ffmpeg.to_child(), reinterpret_cast<const uint8_t*>(list.data()), list.size());
    if (!ffmpeg.finish()) {
        say("ffmpeg could not join the parts into %s: %s", o.output.c_str(),
            replace_all(ffmpeg.complaint(), target.written, o.output).c_str());
        return kExitFailure;
    }
    if (!commit_output(target)) {
        say("cannot write %s: %s", o.output.c_str(), strerror(errno));
        return kExitFailure;
    }
    temp.keep();
    if (!o.quiet)
        say("wrote %s: %zu parts joined%s", o.output.c_str(), parts.size(),
            !original.has_audio()               ? ""
            : audio_plan(o, original) == "copy" ? ", sound copied from the original"
                                                : ", sound of the original encoded again");
    return 0;
}

}  // namespace kri_host
