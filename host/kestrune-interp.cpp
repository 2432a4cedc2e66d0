// kestrune-interp: the reference host of kestrune-rife-inference.
//
// It loads the library at run time by name (dlopen/dlsym of its seven functions, the way
// any host application meets it) and offers two commands:
//
//   pair A B -o OUT [-t T | -n N]   in-between frame(s) of two image files
//   video IN -o OUT [--factor N]    multiply a video's frame rate by N
//
// For video, one ffmpeg process decodes IN to packed RGB (rgb24) on a pipe, which is
// exactly the library's frame layout, so frames are read straight into the buffers that
// rife_interpolate() takes and its output is written straight to the pipe of a second
// ffmpeg process that encodes OUT. Nothing but OUT reaches the disk, and OUT appears
// under its name only once it is complete (it is written under a temporary name in the
// same folder and renamed at the end).

#include "kestrune-rife-inference.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

// Paths and names fixed by the build (host/CMakeLists.txt).
#ifndef KRI_HOST_BUILD_DIR
#    define KRI_HOST_BUILD_DIR ""
#endif
#ifndef KRI_HOST_BUILD_LIBRARY
#    define KRI_HOST_BUILD_LIBRARY ""
#endif
#ifndef KRI_HOST_BUILD_MODEL_DIR
#    define KRI_HOST_BUILD_MODEL_DIR ""
#endif
#ifndef KRI_HOST_LIBRARY_NAME
#    define KRI_HOST_LIBRARY_NAME "libkestrune-rife-inference.so.1"
#endif
#ifndef KRI_HOST_INSTALL_LIBDIR
#    define KRI_HOST_INSTALL_LIBDIR "../lib"
#endif
#ifndef KRI_HOST_INSTALL_MODEL_DIR
#    define KRI_HOST_INSTALL_MODEL_DIR "../share/kestrune-rife-inference/models"
#endif
#ifndef KRI_HOST_VERSION
#    define KRI_HOST_VERSION "1.0.0"
#endif

constexpr const char* kProgram = "kestrune-interp";
constexpr const char* kModelFile = "rife49_ensemble.onnx";
constexpr double kDefaultSceneThreshold = 40.0;

// Exit codes: 0 success, 1 a failure while doing the work, 2 a bad command line.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// ---------------------------------------------------------------------------------------
// Messages

[[gnu::format(printf, 1, 2)]] void say(const char* format, ...) {
    std::fprintf(stderr, "%s: ", kProgram);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// Texts from the library or from ffmpeg can hold line breaks; errors stay on one line.
std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// ---------------------------------------------------------------------------------------
// Temporary output files, removed on failure and on SIGINT/SIGTERM/SIGHUP.

constexpr int kMaxTempFiles = 64;
char g_temp_files[kMaxTempFiles][PATH_MAX];
volatile sig_atomic_t g_temp_count;

void register_temp(const std::string& path) {
    if (g_temp_count >= kMaxTempFiles || path.size() >= PATH_MAX) return;
    std::memcpy(g_temp_files[g_temp_count], path.c_str(), path.size() + 1);
    g_temp_count = g_temp_count + 1;
}

void forget_temps() { g_temp_count = 0; }

void remove_temps() {
    for (int i = 0; i < g_temp_count; ++i) unlink(g_temp_files[i]);
    g_temp_count = 0;
}

// The ffmpeg processes running, stopped before the temporary files go: an encoder left
// running could create its output again.
volatile pid_t g_children[2];

void track_child(pid_t pid) {
    for (auto& slot : g_children)
        if (slot <= 0) {
            slot = pid;
            return;
        }
}

void untrack_child(pid_t pid) {
    for (auto& slot : g_children)
        if (slot == pid) slot = 0;
}

extern "C" void on_fatal_signal(int sig) {
    for (auto& slot : g_children) {
        pid_t pid = slot;
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    for (int i = 0; i < g_temp_count; ++i) unlink(g_temp_files[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
    // A dead encoder shows as a failed write (EPIPE), not as a signal.
    signal(SIGPIPE, SIG_IGN);
}

// ---------------------------------------------------------------------------------------
// Paths

std::string dir_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Splits "dir/name.ext" into "dir/name" and ".ext" (the extension is empty when the
// file name has no dot after its first character).
std::pair<std::string, std::string> split_extension(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= name_start) return {path, ""};
    return {path.substr(0, dot), path.substr(dot)};
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_dir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string real_path(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

// The folder of this executable, with symbolic links resolved.
std::string executable_dir() {
    std::string self = real_path("/proc/self/exe");
    return self.empty() ? std::string() : dir_of(self);
}

// True when this program runs from the build tree it was built in.
bool running_from_build_tree() {
    std::string build = real_path(KRI_HOST_BUILD_DIR);
    return !build.empty() && build == executable_dir();
}

std::string default_model_dir() {
    if (running_from_build_tree()) return KRI_HOST_BUILD_MODEL_DIR;
    std::string exe = executable_dir();
    if (exe.empty()) return KRI_HOST_BUILD_MODEL_DIR;
    std::string installed = exe + "/" + KRI_HOST_INSTALL_MODEL_DIR;
    std::string resolved = real_path(installed);
    return resolved.empty() ? installed : resolved;
}

// Where a result goes. A regular file (or a new one) is written under a temporary name in
// its folder and renamed over it once complete; a symbolic link is followed, so the link
// stays and its target gets the result. A device, FIFO or socket is written in place:
// renaming over it would replace the node itself.
struct OutputTarget {
    std::string written;  // the path the encoder or the library writes
    std::string final;    // what `written` is renamed to; empty when written in place
    bool in_place() const { return final.empty(); }
};

// Follows a chain of symbolic links to the path it ends at (which may not exist yet).
bool follow_links(std::string& path, std::string& problem) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char buffer[PATH_MAX];
        ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
        if (length < 0) {
            problem = std::string("cannot read the link: ") + strerror(errno);
            return false;
        }
        std::string link(buffer, static_cast<size_t>(length));
        path = link[0] == '/' ? link : dir_of(path) + "/" + link;
    }
    problem = "too many levels of symbolic links";
    return false;
}

// The temporary name of a result: in the folder of the file it replaces (so the rename
// stays on one file system), with OUT's extension (it picks the format).
std::string temp_name_for(const std::string& final, const std::string& out) {
    std::string stem = split_extension(final).first;
    std::string prefix = final.find('/') == std::string::npos ? "" : dir_of(final) + "/";
    return prefix + "." + base_of(stem) + ".partial-" + std::to_string(getpid()) +
           split_extension(out).second;
}

// Decides how OUT is written, or says why it cannot be.
bool plan_output(const std::string& out, OutputTarget& target, std::string& problem) {
    if (out.empty()) {
        problem = "empty output name";
        return false;
    }
    std::string final = out;
    if (!follow_links(final, problem)) return false;
    struct stat st {};
    if (stat(final.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        problem = out + " is a folder";
        return false;
    }
    if (stat(final.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (access(final.c_str(), W_OK) != 0) {
            problem = strerror(errno);
            return false;
        }
        target = {out, ""};
        return true;
    }
    std::string dir = dir_of(final);
    if (!is_dir(dir)) {
        problem = "folder " + dir + " does not exist";
        return false;
    }
    if (access(dir.c_str(), W_OK) != 0) {
        problem = "cannot write in " + dir + ": " + strerror(errno);
        return false;
    }
    target = {temp_name_for(final, out), final};
    return true;
}

// Puts a finished result in place (nothing to do when it was written in place).
bool commit_output(const OutputTarget& target) {
    return target.in_place() || rename(target.written.c_str(), target.final.c_str()) == 0;
}

// Finds an executable on PATH, the way execvp() would.
std::string find_on_path(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = std::getenv("PATH");
    if (path == nullptr) return {};
    std::string all = path;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        std::string dir = all.substr(start, end - start);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        if (is_file(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// ---------------------------------------------------------------------------------------
// The library, loaded at run time

struct Library {
    void* handle = nullptr;
    std::string path;
    int (*init)(const char*) = nullptr;
    int (*interpolate)(const uint8_t*, const uint8_t*, int, int, uint8_t*, float) = nullptr;
    int (*interpolate_files)(const char*, const char*, const char*, float) = nullptr;
    int (*get_progress)() = nullptr;
    void (*cancel)() = nullptr;
    const char* (*get_error)() = nullptr;
    void (*shutdown)() = nullptr;
};

template <typename F>
bool bind(Library& lib, F& slot, const char* name, std::string& error) {
    dlerror();
    void* symbol = dlsym(lib.handle, name);
    if (symbol == nullptr) {
        error = lib.path + " does not export " + name;
        return false;
    }
    slot = reinterpret_cast<F>(symbol);
    return true;
}

// Loads the library: the file given with --library, else the one of the build tree (when
// this program runs from it), else the installed one beside this program (../lib), else
// the same folder, else whatever the dynamic loader finds under the library's name.
bool load_library(const std::string& requested, Library& lib, std::string& error) {
    std::vector<std::string> candidates;
    if (!requested.empty()) {
        candidates.push_back(requested.find('/') == std::string::npos ? "./" + requested
                                                                      : requested);
    } else {
        std::string exe = executable_dir();
        if (running_from_build_tree()) candidates.push_back(KRI_HOST_BUILD_LIBRARY);
        if (!exe.empty()) {
            candidates.push_back(exe + "/" + KRI_HOST_INSTALL_LIBDIR + "/" + KRI_HOST_LIBRARY_NAME);
            candidates.push_back(exe + "/" + KRI_HOST_LIBRARY_NAME);
        }
        candidates.push_back(KRI_HOST_LIBRARY_NAME);  // LD_LIBRARY_PATH, ld.so.cache
    }
    std::string reasons;
    for (const std::string& candidate : candidates) {
        bool is_path = candidate.find('/') != std::string::npos;
        if (is_path && !is_file(candidate)) {
            if (!requested.empty()) reasons = candidate + ": no such file";
            continue;
        }
        lib.handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib.handle != nullptr) {
            lib.path = candidate;
            break;
        }
        const char* why = dlerror();
        reasons = why ? why : candidate;
    }
    if (lib.handle == nullptr) {
        error = "cannot load the library " +
                (requested.empty() ? std::string(KRI_HOST_LIBRARY_NAME) : requested) +
                (reasons.empty() ? std::string(" (not found beside this program nor by the "
                                               "dynamic loader; use --library FILE)")
                                 : ": " + reasons);
        return false;
    }
    return bind(lib, lib.init, "rife_init", error) &&
           bind(lib, lib.interpolate, "rife_interpolate", error) &&
           bind(lib, lib.interpolate_files, "rife_interpolate_files", error) &&
           bind(lib, lib.get_progress, "rife_get_progress", error) &&
           bind(lib, lib.cancel, "rife_cancel", error) &&
           bind(lib, lib.get_error, "rife_get_error", error) &&
           bind(lib, lib.shutdown, "rife_shutdown", error);
}

std::string library_error(const Library& lib) { return one_line(lib.get_error()); }

// Loads the library and starts its engine with the model folder. On failure prints one
// line and returns false.
bool start_engine(const std::string& library_file, const std::string& model_dir, bool verbose,
                  Library& lib) {
    std::string error;
    if (!load_library(library_file, lib, error)) {
        say("%s", error.c_str());
        return false;
    }
    std::string model = model_dir + "/" + kModelFile;
    if (verbose) say("library %s, model %s", lib.path.c_str(), model.c_str());
    if (lib.init(model_dir.c_str()) != 0) {
        std::string why = library_error(lib);
        if (!is_file(model))
            say("no model file %s (choose the folder with --model-dir): %s", model.c_str(),
                why.c_str());
        else
            say("cannot load the model %s: %s", model.c_str(), why.c_str());
        lib.shutdown();  // releases whatever the failed start-up left
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Child processes (ffprobe, ffmpeg)

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Child {
    pid_t pid = -1;
    int to_child = -1;    // its stdin, when we feed it
    int from_child = -1;  // its stdout, when we read it
    int stderr_fd = -1;   // a memory file holding what it wrote on stderr
    double cpu_seconds = 0;
    int status = 0;
};

// Enlarges a pipe so a whole frame row block moves per system call (best effort).
void widen_pipe(int fd) {
#ifdef F_SETPIPE_SZ
    fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#else
    (void)fd;
#endif
}

// Starts argv[0] (searched on PATH) with its stdin and/or stdout on pipes and its stderr
// in an anonymous memory file, so failures can be quoted without touching the disk.
bool spawn(const std::vector<std::string>& args, bool pipe_stdin, bool pipe_stdout, Child& child,
           std::string& error) {
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
    if ((pipe_stdin && pipe2(in_pipe, O_CLOEXEC) != 0) ||
        (pipe_stdout && pipe2(out_pipe, O_CLOEXEC) != 0)) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    int err_fd = memfd_create("ffmpeg-stderr", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe_stdin)
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (pipe_stdout) posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    if (err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, err_fd, 2);

    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_stdin) close(in_pipe[0]);
    if (pipe_stdout) close(out_pipe[1]);
    if (rc != 0) {
        error = args[0] + ": " + strerror(rc);
        if (pipe_stdin) close(in_pipe[1]);
        if (pipe_stdout) close(out_pipe[0]);
        if (err_fd >= 0) close(err_fd);
        child.pid = -1;
        return false;
    }
    track_child(child.pid);
    child.to_child = pipe_stdin ? in_pipe[1] : -1;
    child.from_child = pipe_stdout ? out_pipe[0] : -1;
    child.stderr_fd = err_fd;
    if (child.to_child >= 0) widen_pipe(child.to_child);
    if (child.from_child >= 0) widen_pipe(child.from_child);
    return true;
}

// Closes our pipe ends, waits for the child and records its CPU time. Returns true when it
// exited with status 0.
bool finish(Child& child) {
    if (child.to_child >= 0) close(child.to_child);
    if (child.from_child >= 0) close(child.from_child);
    child.to_child = child.from_child = -1;
    if (child.pid <= 0) return false;
    rusage usage{};
    while (wait4(child.pid, &child.status, 0, &usage) < 0 && errno == EINTR) {
    }
    untrack_child(child.pid);
    child.pid = -1;
    child.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0;
}

void stop(Child& child) {
    if (child.pid > 0) kill(child.pid, SIGTERM);
    finish(child);
}

// What the child said on stderr, as one line: its first message (ffmpeg's most specific
// one) and, when it said more, its last (the summary); or how it ended.
std::string child_complaint(const Child& child) {
    std::vector<std::string> lines;
    if (child.stderr_fd >= 0) {
        off_t size = lseek(child.stderr_fd, 0, SEEK_END);
        std::string text(static_cast<size_t>(std::min<off_t>(std::max<off_t>(size, 0), 65536)),
                         '\0');
        ssize_t got = pread(child.stderr_fd, text.data(), text.size(), 0);
        text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string line = one_line(text.substr(pos, end - pos));
            // Drop the "[mov,mp4 @ 0x55e1...] " tag that names ffmpeg's component.
            size_t close = line.find("] ");
            if (line[0] == '[' && close != std::string::npos && line.find(" @ 0x") < close)
                line.erase(0, close + 2);
            if (!line.empty()) lines.push_back(line);
            pos = end + 1;
        }
    }
    if (lines.size() == 1) return lines[0];
    if (lines.size() > 1) return lines.front() + " / " + lines.back();
    if (WIFSIGNALED(child.status))
        return std::string("killed by ") + strsignal(WTERMSIG(child.status));
    if (WIFEXITED(child.status)) return "exit status " + std::to_string(WEXITSTATUS(child.status));
    return "failed";
}

void release(Child& child) {
    if (child.stderr_fd >= 0) close(child.stderr_fd);
    child.stderr_fd = -1;
}

// Runs a command to the end and returns its stdout.
bool run_capture(const std::vector<std::string>& args, std::string& out, std::string& error) {
    Child child;
    if (!spawn(args, false, true, child, error)) return false;
    char buffer[8192];
    for (;;) {
        ssize_t got = read(child.from_child, buffer, sizeof buffer);
        if (got > 0)
            out.append(buffer, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    bool ok = finish(child);
    if (!ok) error = child_complaint(child);
    release(child);
    return ok;
}

// Reads exactly size bytes; returns the count read (less only at end of stream), or -1.
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

// ---------------------------------------------------------------------------------------
// Probing a video with ffprobe

struct Rational {
    long long num = 0, den = 1;
    double value() const { return den ? static_cast<double>(num) / static_cast<double>(den) : 0; }
};

bool parse_rational(const std::string& text, Rational& r) {
    long long num = 0, den = 1;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%lld/%lld%c", &num, &den, &tail) == 2 && num > 0 && den > 0) {
        r = {num, den};
        return true;
    }
    return false;
}

long long gcd(long long a, long long b) { return b == 0 ? a : gcd(b, a % b); }

struct VideoInfo {
    int width = 0, height = 0;
    Rational rate;
    long long frames = 0;  // 0 when unknown
    bool has_audio = false;
    std::vector<std::string> audio_codecs;
};

// One [STREAM] or [FORMAT] block of ffprobe's "default" output: its key=value lines.
struct ProbeBlock {
    std::string kind;  // "STREAM" or "FORMAT"
    std::map<std::string, std::string> values;
};

std::vector<ProbeBlock> parse_probe(const std::string& text) {
    std::vector<ProbeBlock> blocks;
    bool open = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line == "[STREAM]" || line == "[FORMAT]") {
            blocks.push_back({line.substr(1, line.size() - 2), {}});
            open = true;
        } else if (line == "[/STREAM]" || line == "[/FORMAT]") {
            open = false;
        } else if (open && line.find('=') != std::string::npos) {
            size_t eq = line.find('=');
            blocks.back().values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return blocks;
}

bool probe(const std::string& input, VideoInfo& info, std::string& error) {
    std::string out;
    if (!run_capture(
            {"ffprobe", "-v", "error", "-show_entries",
             "stream=codec_type,codec_name,width,height,r_frame_rate,avg_frame_rate,nb_frames:"
             "stream_disposition=attached_pic:format=format_name",
             "-of", "default", "--", input},
            out, error)) {
        error = input + ": not a video ffmpeg can read (" + error + ")";
        return false;
    }
    bool found = false;
    std::string format;
    for (auto& block : parse_probe(out)) {
        auto& stream = block.values;
        if (block.kind == "FORMAT") {
            format = stream["format_name"];
            continue;
        }
        if (stream["codec_type"] == "audio") {
            info.has_audio = true;
            info.audio_codecs.push_back(stream["codec_name"]);
        }
        if (found || stream["codec_type"] != "video" || stream["DISPOSITION:attached_pic"] == "1")
            continue;
        info.width = std::atoi(stream["width"].c_str());
        info.height = std::atoi(stream["height"].c_str());
        if (!parse_rational(stream["avg_frame_rate"], info.rate) &&
            !parse_rational(stream["r_frame_rate"], info.rate))
            info.rate = {0, 1};
        info.frames = std::atoll(stream["nb_frames"].c_str());
        found = true;
    }
    if (!found || info.width <= 0 || info.height <= 0) {
        error = input + ": not a video (no video stream found)";
        return false;
    }
    // Still images (png_pipe, jpeg_pipe, image2, ...) have a video stream of one frame.
    if (format == "image2" || (format.size() > 5 && format.substr(format.size() - 5) == "_pipe")) {
        error = input + ": an image, not a video (for two images use: " + kProgram + " pair)";
        return false;
    }
    if (info.rate.num <= 0) {
        error = input + ": the video stream has no frame rate";
        return false;
    }
    if (info.frames <= 0) {
        // Containers without a frame count: count the packets (demuxing only, no decode).
        std::string counted, ignored;
        if (run_capture({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                         "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", "--", input},
                        counted, ignored))
            info.frames = std::atoll(counted.c_str());
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Scene cuts

// Mean absolute difference of two packed RGB frames, 0 to 255, over a sparse grid of at
// most about 128 x 128 pixels: cheap next to an inference, and enough to tell a cut (most
// of the picture changes a lot) from motion (a part of it changes).
double frame_difference(const uint8_t* a, const uint8_t* b, int width, int height) {
    int step_x = std::max(1, width / 128), step_y = std::max(1, height / 128);
    uint64_t sum = 0, count = 0;
    for (int y = step_y / 2; y < height; y += step_y) {
        size_t row = static_cast<size_t>(y) * static_cast<size_t>(width) * 3;
        for (int x = step_x / 2; x < width; x += step_x) {
            size_t i = row + static_cast<size_t>(x) * 3;
            sum += static_cast<uint64_t>(std::abs(a[i] - b[i]) + std::abs(a[i + 1] - b[i + 1]) +
                                         std::abs(a[i + 2] - b[i + 2]));
            count += 3;
        }
    }
    return count ? static_cast<double>(sum) / static_cast<double>(count) : 0.0;
}

// ---------------------------------------------------------------------------------------
// Command line

struct Options {
    std::string command;
    std::vector<std::string> inputs;
    std::string output;
    std::string model_dir;
    std::string library;
    double timestep = 0.5;
    bool timestep_given = false;
    int count = 0;  // pair -n
    int factor = 2;
    double scene_threshold = kDefaultSceneThreshold;
    bool scene_detect = true;
    std::string start, duration;
    bool quiet = false, stats = false, verbose = false;
};

void print_help(FILE* to) {
    std::string model = default_model_dir();
    std::fprintf(to,
                 "kestrune-interp: computes in-between frames with the kestrune-rife-inference\n"
                 "library (a RIFE frame-interpolation network run on the CPU).\n"
                 "\n"
                 "Usage:\n"
                 "  kestrune-interp pair A B -o OUT [-t T | -n N] [options]\n"
                 "  kestrune-interp video IN -o OUT [--factor N] [options]\n"
                 "\n"
                 "pair   Computes the frame that lies between images A and B (PNG or JPEG,\n"
                 "       same size) and writes it to OUT: PNG if OUT ends in .png, JPEG\n"
                 "       otherwise.\n"
                 "         -t T            where the new frame lies, 0 (= A) to 1 (= B);\n"
                 "                         default 0.5, the middle\n"
                 "         -n N            write the N-1 frames at t = 1/N, 2/N, ... instead;\n"
                 "                         each gets its number before the extension:\n"
                 "                         -o mid.png -n 4 writes mid_1.png mid_2.png mid_3.png\n"
                 "\n"
                 "video  Multiplies the frame rate of a video by N: between every two frames\n"
                 "       it puts N-1 computed ones. ffmpeg decodes IN and encodes OUT at N\n"
                 "       times the rate, same size. The format follows OUT's extension\n"
                 "       (.mp4, .mkv, .mov: H.264; .webm: VP9); the audio is copied when the\n"
                 "       format can hold it (else encoded: AAC, or Opus for .webm). The last\n"
                 "       frame is shown N times, so OUT lasts as long as IN.\n"
                 "         --factor N      frames out per frame in (default 2)\n"
                 "         --scene-threshold D\n"
                 "                         two frames whose mean absolute difference (0-255,\n"
                 "                         measured on a sparse grid) exceeds D are a scene\n"
                 "                         cut: the earlier frame is repeated there instead\n"
                 "                         of computing a blend of two scenes (default %g)\n"
                 "         --no-scene-detect\n"
                 "                         interpolate every pair\n"
                 "         --start S       skip the first S seconds of IN\n"
                 "         --duration S    convert only S seconds of IN\n"
                 "         --quiet         no progress line (shown only on a terminal) and\n"
                 "                         no summary\n"
                 "         --stats         print where the time went: the library versus\n"
                 "                         decoding and encoding\n"
                 "\n"
                 "Options of both:\n"
                 "  -o OUT            the file to write; it appears only when complete, and an\n"
                 "                    existing OUT is replaced\n"
                 "  --model-dir DIR   folder holding %s\n"
                 "                    (default: %s)\n"
                 "  --library FILE    the library file to load (default:\n"
                 "                    %s, looked for beside\n"
                 "                    this program, then by the dynamic loader)\n"
                 "  -v, --verbose     say which library and model are used; implies --stats\n"
                 "  -h, --help        this text\n"
                 "  --version         the program's version\n"
                 "\n"
                 "Needs ffmpeg and ffprobe on PATH for video. Exit status: 0 done, 1 failed\n"
                 "(one line on stderr says why), 2 bad command line.\n"
                 "\n"
                 "Examples:\n"
                 "  kestrune-interp pair a.png b.png -o middle.png\n"
                 "  kestrune-interp video clip.mp4 -o clip-50fps.mp4\n"
                 "  kestrune-interp video clip.mp4 -o slow.mp4 --factor 4\n",
                 kDefaultSceneThreshold, kModelFile, model.c_str(), KRI_HOST_LIBRARY_NAME);
}

[[gnu::format(printf, 1, 2)]] int usage_error(const char* format, ...) {
    std::fprintf(stderr, "%s: ", kProgram);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, " (see %s --help)\n", kProgram);
    return kExitUsage;
}

bool parse_double(const std::string& text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == 0 && errno == 0 && std::isfinite(value);
}

bool parse_int(const std::string& text, int& value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end != 0 || errno != 0 || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

// Returns -1 when parsing succeeded, or the exit code to leave with.
int parse(int argc, char** argv, Options& o) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            print_help(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("%s %s\n", kProgram, KRI_HOST_VERSION);
            return 0;
        } else if (a == "-o" || a == "--output") {
            if (!value(o.output)) return usage_error("%s needs a file name", a.c_str());
        } else if (a == "--model-dir") {
            if (!value(o.model_dir)) return usage_error("--model-dir needs a folder");
        } else if (a == "--library") {
            if (!value(o.library)) return usage_error("--library needs a file");
        } else if (a == "-t" || a == "--timestep") {
            if (!value(v) || !parse_double(v, o.timestep) || o.timestep < 0 || o.timestep > 1)
                return usage_error("%s needs a number from 0 to 1", a.c_str());
            o.timestep_given = true;
        } else if (a == "-n" || a == "--count") {
            if (!value(v) || !parse_int(v, o.count) || o.count < 2 || o.count > 1000)
                return usage_error("%s needs a whole number from 2 to 1000", a.c_str());
        } else if (a == "--factor") {
            if (!value(v) || !parse_int(v, o.factor) || o.factor < 2 || o.factor > 64)
                return usage_error("--factor needs a whole number from 2 to 64");
        } else if (a == "--scene-threshold") {
            if (!value(v) || !parse_double(v, o.scene_threshold) || o.scene_threshold < 0 ||
                o.scene_threshold > 255)
                return usage_error("--scene-threshold needs a number from 0 to 255");
        } else if (a == "--no-scene-detect") {
            o.scene_detect = false;
        } else if (a == "--start" || a == "--duration") {
            double seconds = 0;
            if (!value(v) || !parse_double(v, seconds) || seconds < 0)
                return usage_error("%s needs a number of seconds", a.c_str());
            (a == "--start" ? o.start : o.duration) = v;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "--stats") {
            o.stats = true;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = o.stats = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option %s", a.c_str());
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.inputs.push_back(a);
        }
    }
    if (o.command.empty()) {
        print_help(stderr);
        return kExitUsage;
    }
    if (o.command != "pair" && o.command != "video")
        return usage_error("unknown command '%s': use pair or video", o.command.c_str());
    size_t wanted = o.command == "pair" ? 2 : 1;
    if (o.inputs.size() != wanted)
        return usage_error("%s takes %s", o.command.c_str(),
                           wanted == 2 ? "two images" : "one video");
    if (o.output.empty()) return usage_error("say where to write with -o OUT");
    if (o.command == "pair" && o.count && o.timestep_given)
        return usage_error("give either -t or -n, not both");
    if (o.model_dir.empty()) o.model_dir = default_model_dir();
    return -1;
}

// ---------------------------------------------------------------------------------------
// pair

std::string numbered(const std::string& out, int k, int last) {
    auto [stem, ext] = split_extension(out);
    char number[16];
    std::snprintf(number, sizeof number, "%0*d", static_cast<int>(std::to_string(last).size()), k);
    return stem + "_" + number + ext;
}

int run_pair(const Options& o) {
    for (size_t i = 0; i < 2; ++i) {
        if (!is_file(o.inputs[i])) {
            say("%s: %s", o.inputs[i].c_str(),
                access(o.inputs[i].c_str(), F_OK) == 0 ? "not a file" : "No such file");
            return kExitFailure;
        }
    }
    std::vector<std::pair<std::string, double>> jobs;  // final name, timestep
    if (o.count) {
        for (int k = 1; k < o.count; ++k)
            jobs.emplace_back(numbered(o.output, k, o.count - 1), static_cast<double>(k) / o.count);
    } else {
        jobs.emplace_back(o.output, o.timestep);
    }
    std::vector<OutputTarget> targets(jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i) {
        std::string problem;
        if (!plan_output(jobs[i].first, targets[i], problem)) {
            say("cannot write %s: %s", jobs[i].first.c_str(), problem.c_str());
            return kExitFailure;
        }
    }
    Library lib;
    if (!start_engine(o.library, o.model_dir, o.verbose, lib)) return kExitFailure;

    for (size_t i = 0; i < jobs.size(); ++i) {
        const auto& job = jobs[i];
        if (!targets[i].in_place()) register_temp(targets[i].written);
        if (lib.interpolate_files(o.inputs[0].c_str(), o.inputs[1].c_str(),
                                  targets[i].written.c_str(),
                                  static_cast<float>(job.second)) != 0) {
            say("cannot interpolate %s and %s: %s", o.inputs[0].c_str(), o.inputs[1].c_str(),
                library_error(lib).c_str());
            remove_temps();
            lib.shutdown();
            return kExitFailure;
        }
    }
    lib.shutdown();
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (!commit_output(targets[i])) {
            say("cannot write %s: %s", jobs[i].first.c_str(), strerror(errno));
            remove_temps();
            return kExitFailure;
        }
    }
    forget_temps();
    if (!o.quiet && o.verbose)
        for (auto& job : jobs) say("wrote %s (t = %g)", job.first.c_str(), job.second);
    return 0;
}

// ---------------------------------------------------------------------------------------
// video

struct Timing {
    double library = 0, decode_wait = 0, encode_wait = 0, cuts = 0;
};

std::string clock_text(double seconds) {
    long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

struct Progress {
    bool enabled = false;
    long long total = 0;  // frames out expected, 0 when unknown
    double started = 0, last_shown = -1;
    size_t width = 0;

    void show(long long done, bool final_line) {
        if (!enabled) return;
        double now = now_seconds();
        if (!final_line && now - last_shown < 0.25) return;
        last_shown = now;
        double elapsed = now - started;
        double fps = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
        char line[160];
        if (total > 0) {
            long long shown_total = std::max(total, done);
            double eta = fps > 0 ? static_cast<double>(shown_total - done) / fps : 0;
            std::snprintf(line, sizeof line, "frames %lld/%lld (%d%%)  %.1f fps  ETA %s", done,
                          shown_total, static_cast<int>(100.0 * done / shown_total), fps,
                          fps > 0 ? clock_text(eta).c_str() : "?");
        } else {
            std::snprintf(line, sizeof line, "frames %lld  %.1f fps  %s elapsed", done, fps,
                          clock_text(elapsed).c_str());
        }
        std::string text = line;
        size_t length = text.size();
        if (text.size() < width) text.append(width - text.size(), ' ');
        width = length;
        std::fprintf(stderr, "\r%s%s", text.c_str(), final_line ? "\n" : "");
        std::fflush(stderr);
    }
};

std::string rate_text(const Rational& r) {
    return std::to_string(r.num) + "/" + std::to_string(r.den);
}

// ffmpeg names the temporary file in its messages; the user knows only OUT.
std::string unmask(std::string text, const std::string& temp, const std::string& out) {
    for (size_t at = text.find(temp); at != std::string::npos;
         at = text.find(temp, at + out.size()))
        text.replace(at, temp.size(), out);
    return text;
}

// The audio codecs a format takes as they are; an empty list: any (Matroska, AVI, ...).
std::vector<std::string> audio_codecs_kept(const std::string& ext) {
    if (ext == ".mp4" || ext == ".m4v" || ext == ".mov")
        return {"aac", "mp3", "alac", "ac3", "eac3", "opus"};
    if (ext == ".webm") return {"opus", "vorbis"};
    return {};
}

// What the encoder does with the audio: "copy", or the codec it is encoded with.
std::string audio_plan(const Options& o, const VideoInfo& info, const std::string& ext) {
    std::vector<std::string> kept = audio_codecs_kept(ext);
    bool copyable = std::all_of(
        info.audio_codecs.begin(), info.audio_codecs.end(), [&](const std::string& codec) {
            return kept.empty() || std::find(kept.begin(), kept.end(), codec) != kept.end();
        });
    // After a seek, copied packets keep their place on the timeline, and the one
    // straddling the start would shift the whole file: the audio is encoded again there.
    if (copyable && o.start.empty()) return "copy";
    if (ext == ".webm") return "libopus";
    if (!kept.empty() || ext == ".mkv") return "aac";
    return "";  // the format's default
}

std::vector<std::string> encoder_args(const Options& o, const VideoInfo& info,
                                      const Rational& out_rate, const std::string& temp) {
    std::vector<std::string> args = {"ffmpeg",
                                     "-nostdin",
                                     "-v",
                                     "error",
                                     "-y",
                                     "-f",
                                     "rawvideo",
                                     "-pix_fmt",
                                     "rgb24",
                                     "-video_size",
                                     std::to_string(info.width) + "x" + std::to_string(info.height),
                                     "-framerate",
                                     rate_text(out_rate),
                                     "-i",
                                     "pipe:0"};
    std::string ext = lower(split_extension(o.output).second);
    if (info.has_audio) {
        // The audio comes from IN itself, cut like the video.
        if (!o.start.empty()) args.insert(args.end(), {"-ss", o.start});
        if (!o.duration.empty()) args.insert(args.end(), {"-t", o.duration});
        args.insert(args.end(), {"-i", o.inputs[0], "-map", "0:v:0", "-map", "1:a?"});
        std::string audio = audio_plan(o, info, ext);
        if (!audio.empty()) args.insert(args.end(), {"-c:a", audio});
    } else {
        args.insert(args.end(), {"-map", "0:v:0"});
    }
    if (ext == ".mp4" || ext == ".m4v" || ext == ".mkv" || ext == ".mov") {
        // 4:2:0 needs even sizes; odd ones keep their size in 4:4:4.
        bool even = info.width % 2 == 0 && info.height % 2 == 0;
        args.insert(args.end(), {"-c:v", "libx264", "-preset", "fast", "-crf", "18", "-pix_fmt",
                                 even ? "yuv420p" : "yuv444p"});
    } else if (ext == ".webm") {
        args.insert(args.end(), {"-c:v", "libvpx-vp9", "-crf", "30", "-b:v", "0", "-row-mt", "1",
                                 "-deadline", "good", "-cpu-used", "4"});
    } else {
        args.insert(args.end(), {"-q:v", "2"});
    }
    if (ext == ".mp4" || ext == ".m4v" || ext == ".mov")
        args.insert(args.end(), {"-movflags", "+faststart"});
    args.push_back(temp);
    return args;
}

int run_video(const Options& o) {
    const std::string& input = o.inputs[0];
    for (const char* tool : {"ffmpeg", "ffprobe"}) {
        if (find_on_path(tool).empty()) {
            say("%s not found on PATH: video needs ffmpeg and ffprobe (Debian: apt-get install "
                "ffmpeg)",
                tool);
            return kExitFailure;
        }
    }
    if (!is_file(input)) {
        say("%s: %s", input.c_str(),
            access(input.c_str(), F_OK) == 0 ? "not a file" : "No such file");
        return kExitFailure;
    }
    OutputTarget target;
    std::string problem;
    if (!plan_output(o.output, target, problem)) {
        say("cannot write %s: %s", o.output.c_str(), problem.c_str());
        return kExitFailure;
    }
    if (real_path(input) == real_path(o.output)) {
        say("%s: the output would replace the input", o.output.c_str());
        return kExitFailure;
    }
    VideoInfo info;
    std::string error;
    if (!probe(input, info, error)) {
        say("%s", error.c_str());
        return kExitFailure;
    }
    const int n = o.factor;
    const size_t frame_bytes = static_cast<size_t>(info.width) * info.height * 3;
    Rational out_rate{info.rate.num * n, info.rate.den};
    long long g = gcd(out_rate.num, out_rate.den);
    out_rate = {out_rate.num / g, out_rate.den / g};
    long long expected_in = info.frames;
    if (!o.duration.empty() && expected_in > 0)
        expected_in = std::min<long long>(
            expected_in,
            static_cast<long long>(std::ceil(std::atof(o.duration.c_str()) * info.rate.value())));

    std::vector<std::string> decode_args = {"ffmpeg", "-nostdin", "-v", "error", "-noautorotate"};
    if (!o.start.empty()) decode_args.insert(decode_args.end(), {"-ss", o.start});
    if (!o.duration.empty()) decode_args.insert(decode_args.end(), {"-t", o.duration});
    // Constant rate at the probed rate: frames are duplicated or dropped where the source
    // varies, so that OUT, at exactly N times that rate, stays in step with the audio.
    decode_args.insert(decode_args.end(),
                       {"-i", input, "-map", "0:v:0", "-an", "-sn", "-fps_mode", "cfr", "-r",
                        rate_text(info.rate), "-f", "rawvideo", "-pix_fmt", "rgb24", "pipe:1"});
    const std::string& temp = target.written;
    if (!target.in_place()) register_temp(temp);

    // ffmpeg starts first, so that it opens IN while the engine loads the model.
    Child decoder, encoder;
    if (!spawn(decode_args, false, true, decoder, error) ||
        !spawn(encoder_args(o, info, out_rate, temp), true, false, encoder, error)) {
        say("cannot start ffmpeg: %s", error.c_str());
        stop(decoder);
        release(decoder);
        remove_temps();
        return kExitFailure;
    }
    Library lib;
    if (!start_engine(o.library, o.model_dir, o.verbose, lib)) {
        stop(decoder);
        stop(encoder);
        release(decoder);
        release(encoder);
        remove_temps();
        return kExitFailure;
    }
    if (o.verbose)
        say("%s: %dx%d at %s fps, %lld frames%s", input.c_str(), info.width, info.height,
            rate_text(info.rate).c_str(), info.frames,
            !info.has_audio ? ""
            : audio_plan(o, info, lower(split_extension(o.output).second)) == "copy"
                ? ", audio copied"
                : ", audio encoded again");

    // Three frame buffers: the earlier frame, the later one, and the computed one. The
    // pair is swapped by pointer, so every decoded frame is read once and never copied.
    std::vector<uint8_t> buffers(frame_bytes * 3);
    uint8_t* earlier = buffers.data();
    uint8_t* later = earlier + frame_bytes;
    uint8_t* computed = later + frame_bytes;

    Timing timing;
    Progress progress;
    progress.enabled = !o.quiet && isatty(STDERR_FILENO);
    progress.total = expected_in > 0 ? expected_in * n : 0;
    progress.started = now_seconds();
    long long frames_in = 0, frames_out = 0, cuts = 0;
    std::string failure;  // set on the first failure; the loop then stops

    auto read_frame = [&](uint8_t* into) -> bool {
        double t0 = now_seconds();
        ssize_t got = read_full(decoder.from_child, into, frame_bytes);
        timing.decode_wait += now_seconds() - t0;
        if (got == static_cast<ssize_t>(frame_bytes)) {
            ++frames_in;
            return true;
        }
        if (got < 0)
            failure = std::string("reading from the decoder: ") + strerror(errno);
        else if (got > 0)
            failure = "the decoder stopped in the middle of a frame";
        return false;
    };
    auto write_frame = [&](const uint8_t* frame) -> bool {
        double t0 = now_seconds();
        bool ok = write_full(encoder.to_child, frame, frame_bytes);
        timing.encode_wait += now_seconds() - t0;
        if (!ok) {
            failure = "the encoder stopped";
            return false;
        }
        ++frames_out;
        progress.show(frames_out, false);
        return true;
    };

    bool have_first = read_frame(earlier);
    if (!have_first && failure.empty()) failure = "no frames could be decoded";
    while (failure.empty()) {
        bool have_next = read_frame(later);
        if (!failure.empty()) break;
        if (!write_frame(earlier)) break;
        if (!have_next) {
            // The last frame is held for the whole of its time slot.
            for (int k = 1; k < n && write_frame(earlier); ++k) {
            }
            break;
        }
        bool cut = false;
        if (o.scene_detect) {
            double t0 = now_seconds();
            cut = frame_difference(earlier, later, info.width, info.height) > o.scene_threshold;
            timing.cuts += now_seconds() - t0;
        }
        if (cut) {
            ++cuts;
            for (int k = 1; k < n && write_frame(earlier); ++k) {
            }
        } else {
            for (int k = 1; k < n && failure.empty(); ++k) {
                double t0 = now_seconds();
                int rc = lib.interpolate(earlier, later, info.width, info.height, computed,
                                         static_cast<float>(k) / static_cast<float>(n));
                timing.library += now_seconds() - t0;
                if (rc != 0) {
                    failure = "rife_interpolate failed between frames " +
                              std::to_string(frames_in - 2) + " and " +
                              std::to_string(frames_in - 1) + ": " + library_error(lib);
                    break;
                }
                write_frame(computed);
            }
        }
        std::swap(earlier, later);
    }
    double elapsed = now_seconds() - progress.started;
    lib.shutdown();

    if (!failure.empty()) {
        // Stop the decoder first (it may be blocked writing), then let the encoder end.
        stop(decoder);
        stop(encoder);
        std::string why = failure;
        if (failure == "the encoder stopped")
            why = "ffmpeg could not encode " + o.output + ": " +
                  unmask(child_complaint(encoder), temp, o.output);
        else if (failure == "no frames could be decoded" || failure.rfind("the decoder", 0) == 0)
            why = input + ": " + failure + " (" + child_complaint(decoder) + ")";
        if (progress.enabled) std::fputc('\n', stderr);
        say("%s", why.c_str());
        release(decoder);
        release(encoder);
        remove_temps();
        return kExitFailure;
    }
    bool decoded_ok = finish(decoder);
    double t0 = now_seconds();
    bool encoded_ok = finish(encoder);  // closing its stdin lets it write the file's end
    timing.encode_wait += now_seconds() - t0;
    elapsed = now_seconds() - progress.started;
    if (!decoded_ok || !encoded_ok) {
        if (progress.enabled) std::fputc('\n', stderr);
        if (!decoded_ok)
            say("%s: ffmpeg failed while decoding: %s", input.c_str(),
                child_complaint(decoder).c_str());
        else
            say("ffmpeg could not encode %s: %s", o.output.c_str(),
                unmask(child_complaint(encoder), temp, o.output).c_str());
        release(decoder);
        release(encoder);
        remove_temps();
        return kExitFailure;
    }
    release(decoder);
    release(encoder);
    if (!commit_output(target)) {
        say("cannot write %s: %s", o.output.c_str(), strerror(errno));
        remove_temps();
        return kExitFailure;
    }
    forget_temps();
    progress.show(frames_out, true);

    if (!o.quiet) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.6g", out_rate.value());
        say("wrote %s: %lld frames at %s fps from %lld frames, %lld scene cut%s (frames "
            "repeated instead of interpolated)",
            o.output.c_str(), frames_out, rate, frames_in, cuts, cuts == 1 ? "" : "s");
    }
    if (o.stats) {
        auto share = [&](double part) { return elapsed > 0 ? 100.0 * part / elapsed : 0.0; };
        double other = elapsed - timing.library - timing.decode_wait - timing.encode_wait;
        long long computed_frames = frames_in > 0 ? (frames_in - 1 - cuts) * (n - 1) : 0;
        std::fprintf(stderr,
                     "%s: stats: %dx%d x%d, %lld frames out in %.2f s = %.2f fps out "
                     "(%.2f fps in)\n"
                     "%s: stats: library %.2f s (%.1f%%, %.3f s per computed frame, %lld "
                     "computed), waiting for the decoder %.2f s (%.1f%%), waiting for the "
                     "encoder %.2f s (%.1f%%), scene-cut checks %.3f s, other %.2f s\n"
                     "%s: stats: CPU time of ffmpeg: decoder %.2f s, encoder %.2f s\n",
                     kProgram, info.width, info.height, n, frames_out, elapsed,
                     elapsed > 0 ? frames_out / elapsed : 0.0,
                     elapsed > 0 ? frames_in / elapsed : 0.0, kProgram, timing.library,
                     share(timing.library),
                     computed_frames ? timing.library / static_cast<double>(computed_frames) : 0.0,
                     computed_frames, timing.decode_wait, share(timing.decode_wait),
                     timing.encode_wait, share(timing.encode_wait), timing.cuts,
                     other - timing.cuts, kProgram, decoder.cpu_seconds, encoder.cpu_seconds);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int rc = parse(argc, argv, options);
    if (rc >= 0) return rc;
    install_signal_handlers();
    return options.command == "pair" ? run_pair(options) : run_video(options);
}
