#include "cleanup.h"

#include "options.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

namespace kri_host {

// The registry is a list that only grows at its head, with a flag per entry: the signal
// handler may run on any thread (ONNX Runtime's workers included) at any moment, so it
// must never see an entry half made or half freed. Entries therefore live until the
// program ends; there is one per output written.
struct Entry {
    std::string path;
    std::atomic<bool> live{true};
    Entry* next = nullptr;
};

namespace {

std::atomic<Entry*> g_temp_files{nullptr};

// The decoder, the encoder, a probe and the engine processes of --jobs (kMaxJobs).
constexpr int kMaxChildren = kMaxJobs + 8;
std::atomic<pid_t> g_children[kMaxChildren];

// While a library call writes a file the registry cannot see, the first fatal signal waits
// for the call to end (g_deferring, g_pending_signal); a second one acts at once.
std::atomic<bool> g_deferring{false};
std::atomic<int> g_pending_signal{0};

void clean_up_and_die(int sig) {
    for (auto& slot : g_children) {
        pid_t pid = slot.exchange(0);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    for (Entry* e = g_temp_files.load(); e != nullptr; e = e->next)
        if (e->live.exchange(false)) unlink(e->path.c_str());
    signal(sig, SIG_DFL);
    raise(sig);
}

extern "C" void on_fatal_signal(int sig) {
    if (!g_deferring.load()) return clean_up_and_die(sig);
    if (g_pending_signal.exchange(sig) != 0) return clean_up_and_die(sig);
    // The call may have ended meanwhile without seeing the signal: then it is ours again.
    if (!g_deferring.load() && g_pending_signal.exchange(0) != 0) clean_up_and_die(sig);
}

}  // namespace

TempFile::TempFile(const std::string& path) : entry_(new Entry) {
    entry_->path = path;
    entry_->next = g_temp_files.load();
    while (!g_temp_files.compare_exchange_weak(entry_->next, entry_)) {
    }
}

TempFile::~TempFile() {
    if (entry_ != nullptr && entry_->live.exchange(false)) unlink(entry_->path.c_str());
}

TempFile::TempFile(TempFile&& other) noexcept : entry_(other.entry_) { other.entry_ = nullptr; }

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        if (entry_ != nullptr && entry_->live.exchange(false)) unlink(entry_->path.c_str());
        entry_ = other.entry_;
        other.entry_ = nullptr;
    }
    return *this;
}

void TempFile::keep() {
    if (entry_ != nullptr) entry_->live = false;
}

DeferFatalSignals::DeferFatalSignals() { g_deferring = true; }

DeferFatalSignals::~DeferFatalSignals() {
    g_deferring = false;
    if (int sig = g_pending_signal.exchange(0)) clean_up_and_die(sig);
}

void track_child(pid_t pid) {
    for (auto& slot : g_children) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) return;
    }
}

void untrack_child(pid_t pid) {
    for (auto& slot : g_children) {
        pid_t expected = pid;
        slot.compare_exchange_strong(expected, 0);
    }
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
    // A dead encoder shows as a failed write (EPIPE), not as a signal.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace kri_host
