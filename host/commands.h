// The two subcommands; each returns the program's exit code.
#pragma once

#include "options.h"

namespace kri_host {

int run_pair(const Options& options);
int run_video(const Options& options);

}  // namespace kri_host
