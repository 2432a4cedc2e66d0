// concat: joins the parts of a video. Its command line is parsed; the join itself is the
// next change.
#include "commands.h"
#include "common.h"

namespace kri_host {

int run_concat(const Options&) {
    say("concat: not available in this build");
    return kExitFailure;
}

}  // namespace kri_host
