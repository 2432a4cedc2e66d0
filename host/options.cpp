#include "options.h"

#include "build_paths.h"
#include "common.h"
#include "model_contract.h"
#include "paths.h"
#include "scene_cuts.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace kri_host {
namespace {

void print_pair_help(FILE* to) {
    std::fprintf(to,
                 "pair   Computes the frame that lies between images A and B (PNG or JPEG,\n"
                 "       same size) and writes it to OUT: PNG if OUT ends in .png, JPEG\n"
                 "       otherwise.\n"
                 "         -t T            where the new frame lies, 0 (= A) to 1 (= B);\n"
                 "                         default 0.5, the middle\n"
                 "         -n N            write the N-1 frames at t = 1/N, 2/N, ... instead;\n"
                 "                         each gets its number before the extension:\n"
                 "                         -o mid.png -n 4 writes mid_1.png mid_2.png mid_3.png\n"
                 "         --jobs J        with -n: J engine processes share the frames\n"
                 "                         (default %d, one per 4 logical processors)\n",
                 default_jobs());
}

void print_video_help(FILE* to) {
    std::fprintf(to,
                 "video  Changes the frame rate of a video. Output frames lie at exact times\n"
                 "       on the new rate's grid; each is computed between the two input frames\n"
                 "       around it, at the point their own timestamps give (variable-rate\n"
                 "       input keeps its timing), and one that falls on an input frame is that\n"
                 "       frame. The last frame lasts as long as IN says, so OUT lasts as long\n"
                 "       as IN and the sound stays in step. ffmpeg decodes IN and encodes OUT\n"
                 "       upright, same size, same colours (matrix, range and tags of IN). The\n"
                 "       format follows OUT's extension: .mp4, .m4v, .mov, .mkv: H.264 High\n"
                 "       4:2:0 (an odd width or height gets one more column or row, a copy of\n"
                 "       the last); .webm: VP9 profile 0; .gif: no sound, at most 50 fps. The\n"
                 "       audio is copied when the format can hold it (else encoded: AAC, or\n"
                 "       Opus for .webm).\n"
                 "         --fps RATE      the output's rate: 60, 60000/1001, 59.94 (taken\n"
                 "                         exactly), or Nx for N times IN's rate (default 2x)\n"
                 "         --factor N      the same as --fps Nx, N from 2 to 64\n"
                 "         --dedup         frames that repeat the one before exactly (from\n"
                 "                         telecine or a screen recorder) are passed over:\n"
                 "                         frames are computed across the run of repeats,\n"
                 "                         from its first frame to the next different one\n"
                 "         Image sequences: IN may be a folder of numbered PNG or JPEG files\n"
                 "         (one run of numbers, no gaps) or an ffmpeg pattern such as\n"
                 "         frames/%%05d.png; OUT may be a folder (a name ending in '/', made\n"
                 "         if need be, or an existing folder): numbered PNG files 000001.png,\n"
                 "         000002.png, ... appear there once all are complete. A run whose\n"
                 "         names are taken already is refused; other files stay as they are.\n"
                 "         --input-fps RATE\n"
                 "                         the rate of an image sequence given as IN (needed)\n"
                 "         Scene cuts: where two frames differ %g times more than frames did\n"
                 "         in the last second (the median of their mean absolute difference,\n"
                 "         0-255, on a sparse grid) and by more than %g, the earlier frame is\n"
                 "         repeated instead of computing a blend of two shots.\n"
                 "         --scene-threshold D\n"
                 "                         a cut is a difference above D instead\n"
                 "         --no-scene-detect\n"
                 "                         interpolate every pair\n"
                 "         --part I/N      only the I-th of N parts of the output timeline\n"
                 "                         (cut evenly on input frames), to run parts on\n"
                 "                         several machines: joined in order they are exactly\n"
                 "                         the frames of one whole run. Parts hold no sound:\n"
                 "                         concat PARTS -o OUT --audio-from IN joins them and\n"
                 "                         adds IN's sound once; into one folder their images\n"
                 "                         are numbered as in a whole run. Not with --start\n"
                 "                         or --duration\n"
                 "         --start S       skip the first S seconds of IN\n"
                 "         --duration S    convert only S seconds of IN\n"
                 "         --quiet         no progress line (shown only on a terminal) and\n"
                 "                         no summary\n"
                 "         --stats         print where the time went: the library versus\n"
                 "                         decoding and encoding\n"
                 "         --jobs J        J engine processes, each with its own engine,\n"
                 "                         compute frames at once; they are written in order\n"
                 "                         (default %d, one per 4 logical processors)\n",
                 SceneCutDetector::kRatio, SceneCutDetector::kFloor, default_jobs());
}

void print_concat_help(FILE* to) {
    std::fprintf(to,
                 "concat Joins PARTS (files of one video cut in pieces, e.g. by several\n"
                 "       video --part runs: same codec, size and rate) into OUT, in the order\n"
                 "       given, without encoding the video again.\n"
                 "         --audio-from IN the sound of IN (the original video), cut to the\n"
                 "                         length of OUT; copied when OUT's format can hold\n"
                 "                         it, else encoded as video does\n"
                 "         --quiet         no summary\n");
}

void print_common_help(FILE* to) {
    std::string model = default_model_dir();
    std::fprintf(to,
                 "Options of pair and video (-o also of concat):\n"
                 "  -o OUT            the file to write; it appears only when complete, and an\n"
                 "                    existing OUT is replaced (through a symbolic link, its\n"
                 "                    target; a device or FIFO is written to as it is)\n"
                 "  --model-dir DIR   folder holding %s\n"
                 "                    (default: %s)\n"
                 "  --library FILE    the library file to load (default:\n"
                 "                    %s, looked for beside\n"
                 "                    this program, then by the dynamic loader)\n"
                 "  -v, --verbose     say which library and model are used; implies --stats\n"
                 "  -h, --help        this text\n"
                 "  --version         the program's version\n",
                 kri_model::kFileName, model.c_str(), KRI_HOST_LIBRARY_NAME);
}

// The help of one subcommand, or of the program when `command` is empty.
void print_help(FILE* to, const std::string& command) {
    auto shown = [&](const char* name) { return command.empty() || command == name; };
    std::fprintf(to,
                 "kestrune-interp: computes in-between frames with the kestrune-rife-inference\n"
                 "library (a RIFE frame-interpolation network run on the CPU).\n\nUsage:\n");
    if (shown("pair")) std::fprintf(to, "  %s pair A B -o OUT [-t T | -n N] [options]\n", kProgram);
    if (shown("video")) std::fprintf(to, "  %s video IN -o OUT [--fps RATE] [options]\n", kProgram);
    if (shown("concat"))
        std::fprintf(to, "  %s concat PARTS... -o OUT [--audio-from IN]\n", kProgram);
    std::fputc('\n', to);
    if (shown("pair")) print_pair_help(to), std::fputc('\n', to);
    if (shown("video")) print_video_help(to), std::fputc('\n', to);
    if (shown("concat")) print_concat_help(to), std::fputc('\n', to);
    print_common_help(to);
    std::fprintf(to,
                 "\nNeeds ffmpeg and ffprobe on PATH for video and concat. Exit status: 0 done,\n"
                 "1 failed (one line on stderr says why), 2 bad command line.\n");
    if (command.empty())
        std::fprintf(to,
                     "\nExamples:\n"
                     "  kestrune-interp pair a.png b.png -o middle.png\n"
                     "  kestrune-interp video clip.mp4 -o clip-50fps.mp4\n"
                     "  kestrune-interp video clip.mp4 -o slow.mp4 --factor 4\n"
                     "  kestrune-interp video film.mkv -o smooth.mkv --fps 60000/1001\n"
                     "  kestrune-interp video screen.mp4 -o smooth.mp4 --fps 60 --dedup\n"
                     "  kestrune-interp video frames/ -o frames-48/ --input-fps 24 --fps 48\n"
                     "  kestrune-interp video long.mp4 -o long-2.mkv --part 2/4\n"
                     "  kestrune-interp concat p1.mkv p2.mkv -o all.mkv --audio-from clip.mp4\n"
                     "  kestrune-interp video --help      (the options of one command)\n");
}

[[gnu::format(printf, 1, 2)]] int usage_error(const char* format, ...) {
    std::fprintf(stderr, "%s: ", kProgram);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, " (see %s --help)\n", kProgram);
    return kExitUsage;
}

bool parse_double(const std::string& text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == 0 && errno == 0 && std::isfinite(value);
}

bool parse_int(const std::string& text, int& value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end != 0 || errno != 0 || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

// A frame rate: "60", "60000/1001" or "59.94" (taken exactly, as 5994/100), above 0 and
// at most 1000 frames a second.
bool parse_rate(const std::string& text, Rational& rate) {
    long long num = 0, den = 1;
    size_t slash = text.find('/'), dot = text.find('.');
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789./") != std::string::npos)
        return false;
    if (slash != std::string::npos) {
        int whole = 0, below = 0;
        if (dot != std::string::npos || !parse_int(text.substr(0, slash), whole) ||
            !parse_int(text.substr(slash + 1), below) || below <= 0)
            return false;
        num = whole, den = below;
    } else {
        std::string digits = text;
        if (dot != std::string::npos) {
            digits.erase(dot, 1);
            for (size_t d = dot; d < text.size() - 1; ++d) den *= 10;
        }
        if (digits.empty() || digits.find('.') != std::string::npos || den > 1000000) return false;
        num = std::atoll(digits.c_str());
    }
    if (num <= 0 || num > 1000 * den) return false;
    rate = {num, den};
    return true;
}

// --fps: a rate, or "Nx", N times the input's rate (what --factor N says).
bool parse_fps(const std::string& text, Options& o) {
    if (!text.empty() && (text.back() == 'x' || text.back() == 'X')) {
        int n = 0;
        if (!parse_int(text.substr(0, text.size() - 1), n) || n < 1 || n > 64) return false;
        o.factor = n;
        o.fps = {};
        return true;
    }
    return parse_rate(text, o.fps);
}

// --part I/N: the I-th of N parts, 1 <= I <= N <= 1000.
bool parse_part(const std::string& text, Options& o) {
    size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    return parse_int(text.substr(0, slash), o.part) && parse_int(text.substr(slash + 1), o.parts) &&
           o.parts >= 1 && o.parts <= 1000 && o.part >= 1 && o.part <= o.parts;
}

bool is_help(const std::string& arg) { return arg == "-h" || arg == "--help"; }

// The options that only some subcommands take (" pair video ": the ones that do).
struct OptionOwner {
    const char* name;
    const char* commands;
};
constexpr OptionOwner kOwnedOptions[] = {
    {"-t", " pair "},
    {"--timestep", " pair "},
    {"-n", " pair "},
    {"--count", " pair "},
    {"--factor", " video "},
    {"--fps", " video "},
    {"--dedup", " video "},
    {"--input-fps", " video "},
    {"--part", " video "},
    {"--scene-threshold", " video "},
    {"--no-scene-detect", " video "},
    {"--start", " video "},
    {"--duration", " video "},
    {"--stats", " video "},
    {"--jobs", " pair video "},
    {"--audio-from", " concat "},
    {"--model-dir", " pair video "},
    {"--library", " pair video "},
    {"-v", " pair video "},
    {"--verbose", " pair video "},
};

// Returns an empty string, or the usage error of an option given to another command.
std::string foreign_option(const std::vector<std::string>& given, const std::string& command) {
    for (const std::string& name : given)
        for (const OptionOwner& owned : kOwnedOptions) {
            std::string owners = owned.commands;
            if (name != owned.name || owners.find(" " + command + " ") != std::string::npos)
                continue;
            owners = owners.substr(1, owners.size() - 2);
            size_t space = owners.rfind(' ');
            if (space != std::string::npos) owners.replace(space, 1, " and ");
            return name + " is an option of " + owners + ", not of " + command;
        }
    return {};
}

// Options that take a value. Returns "" when `name` is not one of them, "ok" when the
// value was taken, else the complaint.
std::string take_value_option(const std::string& name, const std::string& v, Options& o) {
    if (name == "-o" || name == "--output") {
        o.output = v;
    } else if (name == "--model-dir") {
        o.model_dir = v;
    } else if (name == "--library") {
        o.library = v;
    } else if (name == "-t" || name == "--timestep") {
        if (!parse_double(v, o.timestep) || o.timestep < 0 || o.timestep > 1)
            return name + " needs a number from 0 to 1";
        o.timestep_given = true;
    } else if (name == "-n" || name == "--count") {
        if (!parse_int(v, o.count) || o.count < 2 || o.count > 1000)
            return name + " needs a whole number from 2 to 1000";
    } else if (name == "--jobs") {
        if (!parse_int(v, o.jobs) || o.jobs < 1 || o.jobs > kMaxJobs)
            return "--jobs needs a whole number from 1 to " + std::to_string(kMaxJobs);
    } else if (name == "--audio-from") {
        o.audio_from = v;
    } else if (name == "--factor") {
        if (!parse_int(v, o.factor) || o.factor < 2 || o.factor > 64)
            return "--factor needs a whole number from 2 to 64";
        o.fps = {};
    } else if (name == "--fps") {
        if (!parse_fps(v, o))
            return "--fps needs a rate above 0 and at most 1000 (60, 60000/1001, 59.94) or a "
                   "factor from 1x to 64x";
    } else if (name == "--input-fps") {
        if (!parse_rate(v, o.input_fps))
            return "--input-fps needs a rate above 0 and at most 1000 (24, 24000/1001, 23.976)";
    } else if (name == "--part") {
        if (!parse_part(v, o)) return "--part needs I/N with 1 <= I <= N <= 1000, such as 2/3";
    } else if (name == "--scene-threshold") {
        if (!parse_double(v, o.scene_threshold) || o.scene_threshold < 0 || o.scene_threshold > 255)
            return "--scene-threshold needs a number from 0 to 255";
    } else if (name == "--start" || name == "--duration") {
        double seconds = 0;
        if (!parse_double(v, seconds) || seconds < 0) return name + " needs a number of seconds";
        if (name == "--duration" && seconds == 0) return "--duration needs more than 0 seconds";
        (name == "--start" ? o.start : o.duration) = v;
    } else {
        return "";
    }
    return "ok";
}

// Options without a value; false when `name` is not one of them.
bool take_flag(const std::string& name, Options& o) {
    if (name == "--no-scene-detect")
        o.scene_detect = false;
    else if (name == "--dedup")
        o.dedup = true;
    else if (name == "-q" || name == "--quiet")
        o.quiet = true;
    else if (name == "--stats")
        o.stats = true;
    else if (name == "-v" || name == "--verbose")
        o.verbose = o.stats = true;
    else
        return false;
    return true;
}

// Checks what the whole command line asks for, once every argument is read.
int check(Options& o, const std::vector<std::string>& given) {
    if (o.command.empty()) {
        print_help(stderr, "");
        return kExitUsage;
    }
    if (o.command != "pair" && o.command != "video" && o.command != "concat" &&
        o.command != "worker")
        return usage_error("unknown command '%s': use pair, video or concat", o.command.c_str());
    std::string foreign = o.command == "worker" ? "" : foreign_option(given, o.command);
    if (!foreign.empty()) return usage_error("%s", foreign.c_str());
    if (o.jobs == 0) o.jobs = default_jobs();
    if (o.model_dir.empty()) o.model_dir = default_model_dir();
    if (o.command == "worker") return o.inputs.empty() ? -1 : usage_error("worker takes no files");
    if (o.command == "concat" && o.inputs.empty())
        return usage_error("concat takes the part files to join");
    size_t wanted = o.command == "pair" ? 2 : 1;
    if (o.command != "concat" && o.inputs.size() != wanted)
        return usage_error("%s takes %s", o.command.c_str(),
                           wanted == 2 ? "two images" : "one video");
    if (o.output.empty()) return usage_error("say where to write with -o OUT");
    if (o.command == "pair" && o.count && o.timestep_given)
        return usage_error("give either -t or -n, not both");
    if (o.parts && (!o.start.empty() || !o.duration.empty()))
        return usage_error("--part cuts the whole input: it takes no --start or --duration");
    return -1;
}

}  // namespace

int default_jobs() {
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::clamp<long>(processors / 4, 1, kMaxJobs));
}

int parse(int argc, char** argv, Options& o) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--version") {
            std::printf("%s %s\n", kProgram, KRI_HOST_VERSION);
            return 0;
        }
        if (is_help(a)) {
            std::string command = args.empty() || args[0][0] == '-' ? "" : args[0];
            bool known = command == "pair" || command == "video" || command == "concat";
            print_help(stdout, known ? command : "");
            return 0;
        }
    }
    std::vector<std::string> given;  // the option names, to check against the command
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() > 1 && a[0] == '-') given.push_back(a);
        if (take_flag(a, o)) continue;
        std::string taken = take_value_option(a, i + 1 < args.size() ? args[i + 1] : "", o);
        if (taken == "ok" && i + 1 < args.size()) {
            ++i;
        } else if (!taken.empty()) {
            if (i + 1 >= args.size()) return usage_error("%s needs a value", a.c_str());
            return usage_error("%s", taken.c_str());
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option %s", a.c_str());
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.inputs.push_back(a);
        }
    }
    return check(o, given);
}

}  // namespace kri_host
