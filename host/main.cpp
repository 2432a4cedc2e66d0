// kestrune-interp: the reference host of kestrune-rife-inference.
//
// It loads the library at run time by name (dlopen/dlsym of its seven functions, the way
// any host application meets it) and offers three commands:
//
//   pair A B -o OUT [-t T | -n N]   in-between frame(s) of two image files
//   video IN -o OUT [--fps RATE]    change a video's frame rate
//   concat PARTS... -o OUT          join the parts of a video made by several runs
//
// and the hidden `worker`, the engine process that --jobs starts.

#include "cleanup.h"
#include "commands.h"
#include "options.h"

int main(int argc, char** argv) {
    kri_host::Options options;
    int rc = kri_host::parse(argc, argv, options);
    if (rc >= 0) return rc;
    kri_host::install_signal_handlers();
    if (options.command == "pair") return kri_host::run_pair(options);
    if (options.command == "concat") return kri_host::run_concat(options);
    if (options.command == "worker") return kri_host::run_worker(options);
    return kri_host::run_video(options);
}
