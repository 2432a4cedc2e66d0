#include "child_process.h"

#include "cleanup.h"
#include "common.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace kri_host {

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

namespace {

// Enlarges a pipe so a whole frame row block moves per system call (best effort).
void widen_pipe(int fd) {
#ifdef F_SETPIPE_SZ
    fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#else
    (void)fd;
#endif
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// ffmpeg's lines start with a "[mov,mp4 @ 0x55e1...] " tag naming its component.
std::string without_component_tag(std::string line) {
    size_t close = line.find("] ");
    if (!line.empty() && line[0] == '[' && close != std::string::npos && line.find(" @ 0x") < close)
        line.erase(0, close + 2);
    return line;
}

std::vector<std::string> lines_of(int fd) {
    std::vector<std::string> lines;
    if (fd < 0) return lines;
    off_t size = lseek(fd, 0, SEEK_END);
    std::string text(static_cast<size_t>(std::min<off_t>(std::max<off_t>(size, 0), 65536)), '\0');
    ssize_t got = pread(fd, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = without_component_tag(one_line(text.substr(pos, end - pos)));
        if (!line.empty()) lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

}  // namespace

Child::~Child() {
    stop();
    close_fd(stderr_fd_);
}

bool Child::start(const std::vector<std::string>& args, bool pipe_stdin, bool pipe_stdout,
                  std::string& error) {
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
    if ((pipe_stdin && pipe2(in_pipe, O_CLOEXEC) != 0) ||
        (pipe_stdout && pipe2(out_pipe, O_CLOEXEC) != 0)) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    stderr_fd_ = memfd_create("ffmpeg-stderr", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe_stdin)
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (pipe_stdout) posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    if (stderr_fd_ >= 0) posix_spawn_file_actions_adddup2(&actions, stderr_fd_, 2);

    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close_fd(in_pipe[0]);
    close_fd(out_pipe[1]);
    to_child_ = in_pipe[1];
    from_child_ = out_pipe[0];
    if (rc != 0) {
        error = args[0] + ": " + strerror(rc);
        pid_ = -1;
        close_fd(to_child_);
        close_fd(from_child_);
        return false;
    }
    track_child(pid_);
    if (to_child_ >= 0) widen_pipe(to_child_);
    if (from_child_ >= 0) widen_pipe(from_child_);
    return true;
}

bool Child::finish() {
    close_fd(to_child_);
    close_fd(from_child_);
    if (pid_ <= 0) return false;
    rusage usage{};
    while (wait4(pid_, &status_, 0, &usage) < 0 && errno == EINTR) {
    }
    untrack_child(pid_);
    pid_ = -1;
    cpu_seconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

void Child::close_input() { close_fd(to_child_); }

void Child::stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    finish();
}

std::string Child::complaint() const {
    std::vector<std::string> lines = lines_of(stderr_fd_);
    if (lines.size() == 1) return lines[0];
    if (lines.size() > 1) return lines.front() + " / " + lines.back();
    return ending();
}

std::string Child::ending() const {
    if (WIFSIGNALED(status_))
        return "killed by signal " + std::to_string(WTERMSIG(status_)) + " (" +
               strsignal(WTERMSIG(status_)) + ")";
    if (WIFEXITED(status_)) return "exit status " + std::to_string(WEXITSTATUS(status_));
    return "failed";
}

bool run_capture(const std::vector<std::string>& args, std::string& out, std::string& error) {
    Child child;
    if (!child.start(args, false, true, error)) return false;
    char buffer[8192];
    for (;;) {
        ssize_t got = read(child.from_child(), buffer, sizeof buffer);
        if (got > 0)
            out.append(buffer, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    bool ok = child.finish();
    if (!ok) error = child.complaint();
    return ok;
}

ssize_t read_full(int fd, uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t got = read(fd, data + done, size - done);
        if (got > 0)
            done += static_cast<size_t>(got);
        else if (got == 0)
            break;
        else if (errno != EINTR)
            return -1;
    }
    return static_cast<ssize_t>(done);
}

bool write_full(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put > 0) {
            data += put;
            size -= static_cast<size_t>(put);
        } else if (put < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace kri_host
