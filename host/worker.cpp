// worker: the engine process of --jobs (a hidden subcommand). It starts one engine, then
// answers frame requests on stdin with frames on stdout until stdin ends.

#include "child_process.h"
#include "commands.h"
#include "common.h"
#include "library_binding.h"
#include "worker_protocol.h"

#include <unistd.h>

#include <limits>
#include <string>
#include <vector>

namespace kri_host {

size_t frame_bytes(int32_t width, int32_t height) {
    // A reply's size field is 32 bits.
    constexpr size_t kLargest = std::numeric_limits<uint32_t>::max();
    if (width <= 0 || height <= 0) return 0;
    size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    return bytes <= kLargest ? bytes : 0;
}

namespace {

bool reply(int status, const void* data, size_t size) {
    ReplyHeader header{status, static_cast<uint32_t>(size)};
    return write_full(STDOUT_FILENO, reinterpret_cast<const uint8_t*>(&header), sizeof header) &&
           write_full(STDOUT_FILENO, static_cast<const uint8_t*>(data), size);
}

enum class Request { kRead, kEnd, kMalformed };

// Reads one request into `frames` (both frames, one after the other).
Request read_request(RequestHeader& request, std::vector<uint8_t>& frames) {
    auto* header = reinterpret_cast<uint8_t*>(&request);
    ssize_t got = read_full(STDIN_FILENO, header, sizeof request);
    if (got == 0) return Request::kEnd;
    size_t bytes = got == sizeof request ? frame_bytes(request.width, request.height) : 0;
    if (bytes == 0) {
        say("worker: a request cut short or for a %dx%d frame", request.width, request.height);
        return Request::kMalformed;
    }
    frames.resize(2 * bytes);
    got = read_full(STDIN_FILENO, frames.data(), frames.size());
    return got == static_cast<ssize_t>(frames.size()) ? Request::kRead : Request::kMalformed;
}

}  // namespace

int run_worker(const Options& o) {
    Engine engine;
    if (!engine.start(o.library, o.model_dir, false)) return kExitFailure;
    const std::string& library = engine.lib().path;
    if (!reply(0, library.data(), library.size())) return kExitFailure;
    RequestHeader request{};
    std::vector<uint8_t> frames, computed;
    Request got;
    while ((got = read_request(request, frames)) == Request::kRead) {
        size_t bytes = frames.size() / 2;
        computed.resize(bytes);
        bool ok = engine.lib().interpolate(frames.data(), frames.data() + bytes, request.width,
                                           request.height, computed.data(), request.t) == 0;
        std::string error = ok ? std::string() : engine.error();
        if (!(ok ? reply(0, computed.data(), bytes) : reply(1, error.data(), error.size())))
            return kExitFailure;  // the program that asked is gone
    }
    return got == Request::kEnd ? 0 : kExitFailure;
}

}  // namespace kri_host
