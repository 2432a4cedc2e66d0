// The command line: what was asked for, and the help of each subcommand.
#pragma once

#include <string>
#include <vector>

namespace kri_host {

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
    int count = 0;  // pair -n
    int factor = 2;
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
