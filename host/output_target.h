// Where a result goes. A regular file (or a new one) is written under a temporary name in
// its folder and renamed over it once complete; a symbolic link is followed, so the link
// stays and its target gets the result. A device, FIFO or socket is written in place:
// renaming over it would replace the node itself.
#pragma once

#include <string>

namespace kri_host {

struct OutputTarget {
    std::string written;  // the path the encoder or the library writes
    std::string final;    // what `written` is renamed to; empty when written in place
    bool in_place() const { return final.empty(); }
};

// Decides how OUT is written, or says why it cannot be.
bool plan_output(const std::string& out, OutputTarget& target, std::string& problem);

// Puts a finished result in place (nothing to do when it was written in place).
bool commit_output(const OutputTarget& target);

}  // namespace kri_host
