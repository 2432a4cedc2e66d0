// What must not outlive the program: temporary output files and the ffmpeg processes
// writing them. Both are registered here, so that a fatal signal (SIGINT, SIGTERM, SIGHUP)
// stops the children first (an encoder left running could create its output again) and
// then removes the temporaries, whatever their number.
#pragma once

#include <sys/types.h>

#include <string>

namespace kri_host {

// A temporary file, removed by the destructor unless kept, and by a fatal signal.
class TempFile {
  public:
    TempFile() = default;
    explicit TempFile(const std::string& path);
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // The file now lives on under another name (renamed into place): stop tracking it.
    void keep();

  private:
    struct Entry* entry_ = nullptr;
};

// For its lifetime, a fatal signal waits until the object is gone, then acts: the library
// writes a file under a hidden name of its own and renames it, which a signal in between
// would leave behind. A second signal acts at once.
class DeferFatalSignals {
  public:
    DeferFatalSignals();
    ~DeferFatalSignals();
    DeferFatalSignals(const DeferFatalSignals&) = delete;
    DeferFatalSignals& operator=(const DeferFatalSignals&) = delete;
};

// Child processes, stopped by a fatal signal before the temporaries go.
void track_child(pid_t pid);
void untrack_child(pid_t pid);

void install_signal_handlers();

}  // namespace kri_host
