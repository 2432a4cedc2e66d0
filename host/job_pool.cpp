#include "job_pool.h"

#include "child_process.h"
#include "common.h"
#include "model_contract.h"
#include "worker_protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

namespace kri_host {
namespace {

struct Reply {
    int32_t status = 0;
    std::vector<uint8_t> payload;
};

// Messages as the worker writes them: "kestrune-interp: cannot load ...".
std::string without_program_name(std::string line) {
    std::string prefix = std::string(kProgram) + ": ";
    if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
    return line;
}

// One engine process and the bytes on their way to and from it. Its pipes do not block:
// the pool moves whatever they take or give, so that neither side ever waits on the other
// while both write.
class Worker {
  public:
    explicit Worker(int number) : number_(number) {}

    bool start(const Options& o, std::string& error);
    void send(std::vector<uint8_t> message) { outgoing_.push_back(std::move(message)); }
    std::vector<uint8_t> spare() { return std::move(spare_); }  // a buffer to reuse
    void give_back(std::vector<uint8_t> buffer) { spare_ = std::move(buffer); }

    bool write_some();  // false once the worker is gone
    bool read_some();
    bool has_reply() const { return !replies_.empty(); }
    Reply take_reply();

    // Waits for the ended worker and says how it ended, on one line.
    std::string gone(size_t of);
    // What the ended worker said on stderr, without the program's name; "" if nothing.
    std::string own_message() const;

    // The end of a run: no more requests, so the worker shuts its engine down and exits.
    void end_input() { child_.close_input(); }
    void wait() { child_.finish(); }

    int to_fd() const { return outgoing_.empty() ? -1 : child_.to_child(); }
    int from_fd() const { return child_.from_child(); }

  private:
    bool take_header();

    int number_;
    pid_t pid_ = -1;
    Child child_;  // stopped by its destructor
    std::deque<std::vector<uint8_t>> outgoing_;
    size_t sent_ = 0;  // bytes of outgoing_.front() written
    ReplyHeader header_{};
    size_t header_got_ = 0;
    Reply incoming_;
    size_t payload_got_ = 0;
    std::deque<Reply> replies_;
    std::vector<uint8_t> spare_;
};

bool Worker::start(const Options& o, std::string& error) {
    std::vector<std::string> args = {"/proc/self/exe", "worker", "--model-dir", o.model_dir};
    if (!o.library.empty()) args.insert(args.end(), {"--library", o.library});
    if (!child_.start(args, true, true, error)) return false;
    pid_ = child_.pid();
    fcntl(child_.to_child(), F_SETFL, fcntl(child_.to_child(), F_GETFL) | O_NONBLOCK);
    fcntl(child_.from_child(), F_SETFL, fcntl(child_.from_child(), F_GETFL) | O_NONBLOCK);
    return true;
}

bool Worker::write_some() {
    while (!outgoing_.empty()) {
        std::vector<uint8_t>& message = outgoing_.front();
        ssize_t put = write(child_.to_child(), message.data() + sent_, message.size() - sent_);
        if (put < 0) return errno == EAGAIN || errno == EINTR;
        sent_ += static_cast<size_t>(put);
        if (sent_ < message.size()) continue;
        if (spare_.empty()) spare_ = std::move(message);
        outgoing_.pop_front();
        sent_ = 0;
    }
    return true;
}

// The header is complete: the payload follows (the spare buffer takes it, when there is
// one), or the reply is complete already.
bool Worker::take_header() {
    incoming_.status = header_.status;
    if (incoming_.payload.capacity() < header_.size && !spare_.empty())
        incoming_.payload = std::move(spare_);
    incoming_.payload.resize(header_.size);
    payload_got_ = 0;
    return header_.size == 0;
}

bool Worker::read_some() {
    for (;;) {
        bool in_header = header_got_ < sizeof header_;
        uint8_t* into = in_header ? reinterpret_cast<uint8_t*>(&header_) + header_got_
                                  : incoming_.payload.data() + payload_got_;
        size_t wanted =
            in_header ? sizeof header_ - header_got_ : incoming_.payload.size() - payload_got_;
        ssize_t got = read(child_.from_child(), into, wanted);
        if (got == 0) return false;  // the worker is gone
        if (got < 0) return errno == EAGAIN || errno == EINTR;
        (in_header ? header_got_ : payload_got_) += static_cast<size_t>(got);
        bool complete = in_header ? header_got_ == sizeof header_ && take_header()
                                  : payload_got_ == incoming_.payload.size();
        if (complete) {
            replies_.push_back(std::move(incoming_));
            incoming_ = Reply();
            header_got_ = 0;
        }
    }
}

Reply Worker::take_reply() {
    Reply reply = std::move(replies_.front());
    replies_.pop_front();
    return reply;
}

std::string Worker::gone(size_t of) {
    child_.finish();
    std::string how = child_.ending(), said = child_.complaint();
    if (said != how) how += " (" + without_program_name(said) + ")";
    return "engine process " + std::to_string(number_) + " of " + std::to_string(of) + " (pid " +
           std::to_string(pid_) + ") stopped: " + how;
}

std::string Worker::own_message() const {
    std::string said = child_.complaint();
    return said != child_.ending() ? without_program_name(said) : "";
}

class JobPool final : public Interpolator {
  public:
    ~JobPool() override;
    bool start(const Options& o);

    bool submit(const uint8_t* earlier, const uint8_t* later, int width, int height,
                float t) override;
    bool collect(uint8_t* out) override;
    size_t pending() const override { return order_.size(); }
    // Two per worker: each has the next request waiting while it computes.
    size_t capacity() const override { return 2 * workers_.size(); }
    std::string error() const override { return error_; }

  private:
    bool pump(bool wait);
    bool await_reply(Worker& worker);

    struct Asked {
        size_t worker;
        size_t bytes;
    };
    std::vector<std::unique_ptr<Worker>> workers_;
    std::deque<Asked> order_;   // the requests not yet collected, oldest first
    size_t next_ = 0;           // the worker the next request goes to
    Worker* failed_ = nullptr;  // a worker is gone: nothing more can be trusted
    std::string error_;
};

// After a clean run every worker ends its engine and exits; otherwise the workers'
// destructors stop them at once.
JobPool::~JobPool() {
    if (failed_ || !order_.empty()) return;
    for (auto& worker : workers_) worker->end_input();
    for (auto& worker : workers_) worker->wait();
}

// Starts every worker first, so that the engines load at the same time.
bool JobPool::start(const Options& o) {
    for (int k = 1; k <= o.jobs; ++k) {
        workers_.push_back(std::make_unique<Worker>(k));
        std::string error;
        if (!workers_.back()->start(o, error)) {
            say("cannot start an engine process: %s", error.c_str());
            return false;
        }
    }
    std::vector<uint8_t> library;  // the path each worker loaded
    for (auto& worker : workers_) {
        if (!await_reply(*worker)) {
            std::string said = failed_ ? failed_->own_message() : "";
            say("%s", said.empty() ? error_.c_str() : said.c_str());
            return false;
        }
        library = worker->take_reply().payload;
    }
    if (o.verbose)
        say("library %s, model %s/%s, %d engine processes",
            std::string(library.begin(), library.end()).c_str(), o.model_dir.c_str(),
            kri_model::kFileName, o.jobs);
    return true;
}

// Moves bytes both ways on every pipe that is ready; with `wait`, waits until one is.
// False once a worker is gone.
bool JobPool::pump(bool wait) {
    if (failed_) return false;
    std::vector<pollfd> fds;
    for (auto& worker : workers_) {
        fds.push_back({worker->from_fd(), POLLIN, 0});
        fds.push_back({worker->to_fd(), POLLOUT, 0});  // -1, ignored, when nothing waits
    }
    int ready;
    while ((ready = poll(fds.data(), fds.size(), wait ? -1 : 0)) < 0 && errno == EINTR) {
    }
    if (ready < 0) {
        error_ = std::string("poll: ") + strerror(errno);
        return false;
    }
    for (size_t i = 0; i < workers_.size(); ++i) {
        Worker& worker = *workers_[i];
        if ((fds[2 * i].revents && !worker.read_some()) ||
            (fds[2 * i + 1].revents && !worker.write_some())) {
            failed_ = &worker;
            error_ = worker.gone(workers_.size());
            return false;
        }
    }
    return true;
}

bool JobPool::await_reply(Worker& worker) {
    while (!worker.has_reply())
        if (!pump(true)) return false;
    return true;
}

bool JobPool::submit(const uint8_t* earlier, const uint8_t* later, int width, int height, float t) {
    size_t bytes = frame_bytes(width, height);
    if (bytes == 0) {
        error_ = "a frame of " + std::to_string(width) + "x" + std::to_string(height) +
                 " is too large for an engine process";
        return false;
    }
    Worker& worker = *workers_[next_];
    RequestHeader header{width, height, t};
    std::vector<uint8_t> message = worker.spare();
    message.resize(sizeof header + 2 * bytes);
    std::memcpy(message.data(), &header, sizeof header);
    std::memcpy(message.data() + sizeof header, earlier, bytes);
    std::memcpy(message.data() + sizeof header + bytes, later, bytes);
    worker.send(std::move(message));
    order_.push_back({next_, bytes});
    next_ = (next_ + 1) % workers_.size();
    return pump(false);
}

bool JobPool::collect(uint8_t* out) {
    Asked asked = order_.front();
    order_.pop_front();
    Worker& worker = *workers_[asked.worker];
    if (!await_reply(worker)) return false;
    Reply reply = worker.take_reply();
    if (reply.status != 0) {
        error_ = one_line(std::string(reply.payload.begin(), reply.payload.end()));
        return false;
    }
    if (reply.payload.size() != asked.bytes) {
        error_ = "engine process " + std::to_string(asked.worker + 1) + " sent a frame of " +
                 std::to_string(reply.payload.size()) + " bytes instead of " +
                 std::to_string(asked.bytes);
        return false;
    }
    std::copy(reply.payload.begin(), reply.payload.end(), out);
    worker.give_back(std::move(reply.payload));
    return true;
}

}  // namespace

std::unique_ptr<Interpolator> make_job_pool(const Options& options) {
    auto pool = std::make_unique<JobPool>();
    if (!pool->start(options)) return nullptr;
    return pool;
}

}  // namespace kri_host
