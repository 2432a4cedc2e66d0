// kestrune-interp: the reference host of kestrune-rife-inference.
//
// It loads the library at run time by name (dlopen/dlsym of its seven functions, the way
// any host application meets it) and offers two commands:
//
//   pair A B -o OUT [-t T | -n N]   in-between frame(s) of two image files
//   video IN -o OUT [--fps RATE]    change a video's frame rate

#include "cleanup.h"
#include "commands.h"
#include "options.h"

int main(int argc, char** argv) {
    kri_host::Options options;
    int rc = kri_host::parse(argc, argv, options);
    if (rc >= 0) return rc;
    kri_host::install_signal_handlers();
    return options.command == "pair" ? kri_host::run_pair(options) : kri_host::run_video(options);
}
