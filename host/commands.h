// The subcommands; each returns the program's exit code.
#pragma once

#include "options.h"

namespace kri_host {

int run_pair(const Options& options);
int run_video(const Options& options);
int run_concat(const Options& options);
int run_worker(const Options& options);  // the engine process of --jobs

}  // namespace kri_host
