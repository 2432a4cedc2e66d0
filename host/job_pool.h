// --jobs: frames computed by several engine processes at once. Each process is this
// program run again with the hidden `worker` command (worker.cpp), with an engine and a
// library instance of its own; frames are handed to them in turn and come back in the
// order they were asked for.
#pragma once

#include "interpolator.h"

namespace kri_host {

// Starts options.jobs engine processes and waits until every engine is ready. Prints one
// line and returns null when one cannot start.
std::unique_ptr<Interpolator> make_job_pool(const Options& options);

}  // namespace kri_host
