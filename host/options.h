// The command line: what was asked for, and the help of each subcommand.
#pragma once

#include <string>
#include <vector>

namespace kri_host {

// A frame rate or a time base, as ffmpeg writes them ("30000/1001").
struct Rational {
    long long num = 0, den = 1;
    double value() const { return den ? static_cast<double>(num) / static_cast<double>(den) : 0; }
};

// At most this many engine processes (--jobs).
constexpr int kMaxJobs = 64;

struct Options {
    std::string command;  // "pair", "video", "concat" or the hidden "worker"
    std::vector<std::string> inputs;
    std::string output;
    std::string model_dir;
    std::string library;
    double timestep = 0.5;
    bool timestep_given = false;
    int count = 0;            // pair -n
    int factor = 2;           // video: the output rate is factor x the input's, unless fps is set
    Rational fps;             // video --fps RATE; num 0 when not given
    Rational input_fps;       // the rate of an image sequence; num 0 when not given
    bool dedup = false;       // video: repeated frames are no interpolation endpoints
    int part = 0, parts = 0;  // video --part I/N; 0 when not given
    double scene_threshold = -1;  // < 0: cuts found relative to the recent differences
    bool scene_detect = true;
    std::string start, duration;  // as given, in seconds; empty when not given
    int jobs = 0;                 // engine processes; 0 until parse() sets the default
    std::string audio_from;       // concat --audio-from
    bool quiet = false, stats = false, verbose = false;
};

// Fills `options` from the command line. Returns -1 when the work can go on, or the exit
// code to leave with (after printing the help, the version or a usage error).
int parse(int argc, char** argv, Options& options);

// One engine process per four logical processors, at least one.
int default_jobs();

}  // namespace kri_host
