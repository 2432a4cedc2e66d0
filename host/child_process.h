// Child processes (ffprobe, ffmpeg) with their stdin and stdout on pipes, and the plain
// reads and writes the frame pipes need.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kri_host {

double now_seconds();  // a monotonic clock

class Child {
  public:
    Child() = default;
    ~Child();  // stops a child still running and closes everything
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts args[0] (searched on PATH) with the pipes asked for; its stderr goes to an
    // anonymous memory file, so failures can be quoted without touching the disk.
    bool start(const std::vector<std::string>& args, bool pipe_stdin, bool pipe_stdout,
               std::string& error);
    // Closes our pipe ends, waits for the child and records its CPU time. True when it
    // exited with status 0.
    bool finish();
    void stop();         // SIGTERM, then finish()
    void close_input();  // closes its stdin: a child reading it sees the end

    // What the child said on stderr, as one line: its first message (ffmpeg's most
    // specific one) and, when it said more, its last (the summary); or how it ended.
    std::string complaint() const;
    std::string ending() const;  // how it ended: "killed by signal 9 (Killed)", "exit status 1"

    pid_t pid() const { return pid_; }  // -1 once it has been waited for

    int to_child() const { return to_child_; }
    int from_child() const { return from_child_; }
    double cpu_seconds() const { return cpu_seconds_; }

  private:
    pid_t pid_ = -1;
    int to_child_ = -1;    // its stdin, when we feed it
    int from_child_ = -1;  // its stdout, when we read it
    int stderr_fd_ = -1;
    double cpu_seconds_ = 0;
    int status_ = 0;
};

// Runs a command to the end and returns its stdout.
bool run_capture(const std::vector<std::string>& args, std::string& out, std::string& error);

// Reads exactly size bytes; returns the count read (less only at end of stream), or -1.
ssize_t read_full(int fd, uint8_t* data, size_t size);
bool write_full(int fd, const uint8_t* data, size_t size);

}  // namespace kri_host
