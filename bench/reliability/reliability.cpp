// Reliability benchmark: resident memory over long runs, over start-up/shutdown cycles,
// for very large frames and for frame sizes that keep changing. Prints figures; it asserts
// nothing about them except that every library call succeeds (or, for large frames, fails
// with a message), and prints each figure against its target where there is one.
//
//   kri-bench-reliability soak      --model DIR --size WxH --calls N --every K --warmup M
//   kri-bench-reliability cycle     --model DIR --cycles N --every K --warmup M
//   kri-bench-reliability large     --model DIR --size WxH [--repeat R]
//   kri-bench-reliability alternate --model DIR --sizes WxH,WxH,... --calls N
//
// Memory figures come from /proc/self/status: VmRSS (resident now) and VmHWM (peak
// resident), the peak being reset between phases through /proc/self/clear_refs.
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#    include <malloc.h>
#endif

#include "kestrune-rife-inference.h"
#include "model_contract.h"

namespace {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;

// The target for the growth of resident memory, in KiB per 1 000 calls or cycles.
constexpr double kSlopeTargetKib = 64.0;

// One field of /proc/self/status in KiB ("VmRSS", "VmHWM", "VmSize"), or -1.
long status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}
long rss_kib() { return status_kib("VmRSS"); }
long hwm_kib() { return status_kib("VmHWM"); }

// Bytes the process holds from malloc (all arenas, plus the blocks it maps on its own), in
// KiB, or -1. Unlike RSS it does not move with the pages the allocator keeps or returns,
// so a leak shows in it without the noise of RSS.
long heap_kib() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
#else
    return -1;
#endif
}

// Sets the peak resident figure back to the current one (Linux 4.0 and later).
bool reset_hwm() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double mib(double kib) { return kib / 1024.0; }

// A frame with some structure (smooth gradients, a moving square, a little noise), so a
// real network sees a picture and motion rather than noise only.
Frame make_frame(int width, int height, int shift, uint32_t seed) {
    Frame frame(static_cast<size_t>(width) * height * 3);
    std::mt19937 rng(seed);
    const int side = std::max(4, std::min(width, height) / 4);
    const int x0 = width / 4 + shift, y0 = height / 3;
    size_t i = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool inside = x >= x0 && x < x0 + side && y >= y0 && y < y0 + side;
            const uint8_t noise = static_cast<uint8_t>(rng() & 7);
            frame[i++] = inside ? 230 : static_cast<uint8_t>((x * 255 / width + noise) & 0xff);
            frame[i++] = inside ? 40 : static_cast<uint8_t>((y * 255 / height + noise) & 0xff);
            frame[i++] =
                inside ? 60 : static_cast<uint8_t>(((x + y) * 127 / (width + height)) + noise);
        }
    }
    return frame;
}

// Least-squares slope of y over x.
double slope(const std::vector<std::pair<double, double>>& points) {
    const double n = static_cast<double>(points.size());
    if (points.size() < 2) return 0.0;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& [x, y] : points) {
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double denominator = n * sxx - sx * sx;
    return denominator == 0.0 ? 0.0 : (n * sxy - sx * sy) / denominator;
}

struct Options {
    std::string mode;
    std::string model;
    int width = 320, height = 240;
    long calls = 0, every = 0, warmup = -1, cycles = 0;
    int repeat = 2;
    size_t print_every = 1;
    bool quick_exit = false;
    std::vector<std::pair<int, int>> sizes;
};

bool parse_size(const std::string& text, int* width, int* height) {
    return std::sscanf(text.c_str(), "%dx%d", width, height) == 2 && *width > 0 && *height > 0;
}

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr,
                 "kri-bench-reliability: %s\n"
                 "usage: kri-bench-reliability soak|cycle|large|alternate --model DIR\n"
                 "       [--size WxH] [--sizes WxH,...] [--calls N] [--cycles N]\n"
                 "       [--every K] [--warmup M] [--repeat R] [--print-every P] [--quick-exit]\n",
                 message);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    if (argc < 2) usage("no mode given");
    Options o;
    o.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--quick-exit") {
            o.quick_exit = true;
            continue;
        }
        if (i + 1 >= argc) usage(("missing value after " + flag).c_str());
        const std::string value = argv[++i];
        if (flag == "--model") {
            o.model = value;
        } else if (flag == "--size") {
            if (!parse_size(value, &o.width, &o.height)) usage("bad --size");
        } else if (flag == "--sizes") {
            std::stringstream list(value);
            std::string item;
            while (std::getline(list, item, ',')) {
                int w = 0, h = 0;
                if (!parse_size(item, &w, &h)) usage("bad --sizes");
                o.sizes.emplace_back(w, h);
            }
        } else if (flag == "--calls") {
            o.calls = std::atol(value.c_str());
        } else if (flag == "--cycles") {
            o.cycles = std::atol(value.c_str());
        } else if (flag == "--every") {
            o.every = std::atol(value.c_str());
        } else if (flag == "--warmup") {
            o.warmup = std::atol(value.c_str());
        } else if (flag == "--print-every") {
            o.print_every = static_cast<size_t>(std::max(1, std::atoi(value.c_str())));
        } else if (flag == "--repeat") {
            o.repeat = std::atoi(value.c_str());
        } else {
            usage(("unknown flag " + flag).c_str());
        }
    }
    if (o.model.empty()) usage("--model is required");
    return o;
}

void init_or_die(const std::string& model) {
    if (rife_init(model.c_str()) != 0) {
        std::fprintf(stderr, "rife_init(%s): %s\n", model.c_str(), rife_get_error());
        std::exit(1);
    }
}

struct Sample {
    double count, rss_kib, heap_kib;
};

Sample sample_at(long count) {
    return {static_cast<double>(count), static_cast<double>(rss_kib()),
            static_cast<double>(heap_kib())};
}

// Takes one sample and prints it as it comes (every `print_every`-th one, and always the
// last), so a long run shows its progress.
void record(std::vector<Sample>* samples, long count, long warmup, size_t print_every, bool last) {
    samples->push_back(sample_at(count));
    const Sample& s = samples->back();
    if ((samples->size() - 1) % print_every == 0 || last)
        std::printf("  %8.0f  %7.0f  %8.0f%s\n", s.count, s.rss_kib, s.heap_kib,
                    s.count > warmup ? "" : "  (warm-up)");
}

// Prints the slopes of RSS and of the malloc heap over the samples after the warm-up, in
// KiB per 1 000 counted operations, the RSS slope against the target.
void report_slope(const char* unit, const std::vector<Sample>& samples, long warmup) {
    std::vector<std::pair<double, double>> rss, heap;
    for (const Sample& s : samples) {
        if (s.count > warmup) {
            rss.emplace_back(s.count, s.rss_kib);
            heap.emplace_back(s.count, s.heap_kib);
        }
    }
    const double rss_slope = slope(rss) * 1000.0;
    std::printf(
        "  RSS slope after warm-up (%s > %ld, %zu samples): %+.1f KiB per 1000 %s "
        "(target < %.0f): %s\n",
        unit, warmup, rss.size(), rss_slope, unit, kSlopeTargetKib,
        rss_slope < kSlopeTargetKib ? "PASS" : "FAIL");
    std::printf("  heap slope after warm-up: %+.2f KiB per 1000 %s\n", slope(heap) * 1000.0, unit);
    if (!rss.empty())
        std::printf(
            "  RSS first/last fitted sample: %.0f / %.0f KiB (%+.0f KiB); heap %.0f / "
            "%.0f KiB (%+.0f KiB)\n",
            rss.front().second, rss.back().second, rss.back().second - rss.front().second,
            heap.front().second, heap.back().second, heap.back().second - heap.front().second);
}

int run_soak(const Options& o) {
    const long calls = o.calls > 0 ? o.calls : 20000;
    const long every = o.every > 0 ? o.every : 1000;
    const long warmup = o.warmup >= 0 ? o.warmup : calls / 10;
    const char* unit = "calls";
    std::printf("soak: model %s, %dx%d, %ld calls, RSS every %ld calls\n", o.model.c_str(), o.width,
                o.height, calls, every);
    const Frame a = make_frame(o.width, o.height, 0, 1);
    const Frame b = make_frame(o.width, o.height, 8, 2);
    Frame out(a.size()), first(a.size());
    init_or_die(o.model);
    std::printf("  %8s  rss_kib  heap_kib\n", unit);
    std::vector<Sample> samples;
    record(&samples, 0, warmup, o.print_every, false);
    long differing = 0;
    const auto start = Clock::now();
    for (long call = 1; call <= calls; ++call) {
        const float timestep = 0.5f;
        if (rife_interpolate(a.data(), b.data(), o.width, o.height, out.data(), timestep) != 0) {
            std::printf("  call %ld failed: %s\n", call, rife_get_error());
            return 1;
        }
        if (call == 1)
            first = out;
        else if (out != first)
            ++differing;
        if (call % every == 0) record(&samples, call, warmup, o.print_every, call == calls);
    }
    const double elapsed = seconds_since(start);
    report_slope(unit, samples, warmup);
    std::printf("  time: %.1f s, %.2f ms per call; outputs differing from the first: %ld\n",
                elapsed, elapsed * 1000.0 / calls, differing);
    std::printf("  peak RSS (VmHWM): %ld KiB\n", hwm_kib());
    rife_shutdown();
    return differing == 0 ? 0 : 1;
}

int run_cycle(const Options& o) {
    const long cycles = o.cycles > 0 ? o.cycles : 1000;
    const long every = o.every > 0 ? o.every : 50;
    const long warmup = o.warmup >= 0 ? o.warmup : cycles / 10;
    const char* unit = "cycles";
    std::printf(
        "cycle: model %s, %ld x (rife_init, one %dx%d interpolation, rife_shutdown), "
        "RSS every %ld cycles\n",
        o.model.c_str(), cycles, o.width, o.height, every);
    const Frame a = make_frame(o.width, o.height, 0, 3);
    const Frame b = make_frame(o.width, o.height, 4, 4);
    Frame out(a.size()), first(a.size());
    std::printf("  %8s  rss_kib  heap_kib\n", unit);
    std::vector<Sample> samples;
    record(&samples, 0, warmup, o.print_every, false);
    long differing = 0;
    const long threads_before = status_kib("Threads");
    long threads_after_first = -1;
    const auto start = Clock::now();
    for (long cycle = 1; cycle <= cycles; ++cycle) {
        init_or_die(o.model);
        if (rife_interpolate(a.data(), b.data(), o.width, o.height, out.data(), 0.5f) != 0) {
            std::printf("  cycle %ld failed: %s\n", cycle, rife_get_error());
            return 1;
        }
        rife_shutdown();
        if (cycle == 1) {
            threads_after_first = status_kib("Threads");
            first = out;
        } else if (out != first) {
            ++differing;
        }
        if (cycle % every == 0) record(&samples, cycle, warmup, o.print_every, cycle == cycles);
    }
    const double elapsed = seconds_since(start);
    report_slope(unit, samples, warmup);
    std::printf("  time: %.1f s, %.1f ms per cycle; outputs differing from the first: %ld\n",
                elapsed, elapsed * 1000.0 / cycles, differing);
    std::printf(
        "  threads: %ld before the first rife_init, %ld after the first rife_shutdown, "
        "%ld after the last\n",
        threads_before, threads_after_first, status_kib("Threads"));
    const int rc = differing == 0 ? 0 : 1;
    if (o.quick_exit) {
        // Leaves without running static destructors (see bench/run-reliability).
        std::fflush(stdout);
        std::_Exit(rc);
    }
    return rc;
}

size_t padded(int n) {
    return (static_cast<size_t>(n) + kri_model::kPadMultiple - 1) / kri_model::kPadMultiple *
           kri_model::kPadMultiple;
}

int run_large(const Options& o) {
    const int w = o.width, h = o.height;
    const double library_kib = 2.0 * 12.0 * padded(w) * padded(h) / 1024.0;
    std::printf("large: model %s, %dx%d (tensors %zux%zu), %d call(s)\n", o.model.c_str(), w, h,
                padded(w), padded(h), o.repeat);
    const long before_init = rss_kib();
    init_or_die(o.model);
    const long after_init = rss_kib();
    // The host's own buffers are made and touched before the baseline.
    const Frame a = make_frame(w, h, 0, 5);
    const Frame b = make_frame(w, h, std::max(1, w / 200), 6);
    Frame out(a.size(), 0);
    const long baseline = rss_kib();
    std::printf(
        "  RSS: %ld KiB before rife_init, %ld after, %ld with the host's three frames "
        "(baseline)\n",
        before_init, after_init, baseline);
    int failures = 0;
    for (int call = 1; call <= o.repeat; ++call) {
        reset_hwm();
        const long start_rss = rss_kib();
        const auto start = Clock::now();
        const int rc = rife_interpolate(a.data(), b.data(), w, h, out.data(), 0.5f);
        const double elapsed = seconds_since(start);
        const long peak = hwm_kib();
        const long after = rss_kib();
        if (rc != 0) {
            std::printf("  call %d: FAILED after %.1f s with \"%s\"; peak %.0f MiB\n", call,
                        elapsed, rife_get_error(), mib(peak));
            ++failures;
            continue;
        }
        const double onnx_kib = static_cast<double>(peak - baseline) - library_kib;
        std::printf(
            "  call %d: %.2f s; peak RSS %.0f MiB (%.0f MiB above the baseline, RSS at "
            "the call's start %.0f MiB); after the call %.0f MiB\n",
            call, elapsed, mib(peak), mib(peak - baseline), mib(start_rss), mib(after));
        std::printf(
            "          library's two planar buffers %.0f MiB; ONNX Runtime %.0f MiB "
            "(%.1f x the library's share)\n",
            mib(library_kib), mib(onnx_kib), onnx_kib / library_kib);
    }
    rife_shutdown();
    std::printf("  after rife_shutdown: RSS %.0f MiB; peak address space (VmPeak) %.0f MiB\n",
                mib(rss_kib()), mib(status_kib("VmPeak")));
    return failures == 0 ? 0 : 1;
}

int run_alternate(const Options& o) {
    std::vector<std::pair<int, int>> sizes = o.sizes;
    if (sizes.empty()) sizes = {{320, 240}, {640, 360}, {1280, 720}, {720, 480}, {1920, 1080}};
    const long calls = o.calls > 0 ? o.calls : 200;
    std::printf("alternate: model %s, %ld calls cycling through", o.model.c_str(), calls);
    for (const auto& [w, h] : sizes) std::printf(" %dx%d", w, h);
    std::printf("\n");
    std::vector<Frame> frames_a, frames_b;
    for (size_t i = 0; i < sizes.size(); ++i) {
        frames_a.push_back(make_frame(sizes[i].first, sizes[i].second, 0, 10 + i));
        frames_b.push_back(make_frame(sizes[i].first, sizes[i].second, 6, 20 + i));
    }
    Frame out;
    init_or_die(o.model);
    const long baseline = rss_kib();
    std::printf("  baseline RSS after rife_init and the frames: %ld KiB\n", baseline);
    std::printf("  round  peak_kib  rss_end_kib  seconds\n");
    std::vector<std::pair<double, double>> peaks;
    const long rounds =
        (calls + static_cast<long>(sizes.size()) - 1) / static_cast<long>(sizes.size());
    long done = 0;
    for (long round = 1; round <= rounds && done < calls; ++round) {
        reset_hwm();
        const auto start = Clock::now();
        for (size_t i = 0; i < sizes.size() && done < calls; ++i, ++done) {
            const auto [w, h] = sizes[i];
            out.resize(frames_a[i].size());
            if (rife_interpolate(frames_a[i].data(), frames_b[i].data(), w, h, out.data(), 0.5f) !=
                0) {
                std::printf("  call %ld (%dx%d) failed: %s\n", done + 1, w, h, rife_get_error());
                return 1;
            }
        }
        const long peak = hwm_kib();
        std::printf("  %5ld  %8ld  %11ld  %7.2f\n", round, peak, rss_kib(), seconds_since(start));
        peaks.emplace_back(static_cast<double>(round), static_cast<double>(peak));
    }
    // The first round grows ONNX Runtime's arena to what the sizes need; the fit starts
    // with the second.
    std::vector<std::pair<double, double>> settled(peaks.begin() + (peaks.size() > 1 ? 1 : 0),
                                                   peaks.end());
    double low = settled.front().second, high = low;
    for (const auto& point : settled) {
        low = std::min(low, point.second);
        high = std::max(high, point.second);
    }
    std::printf(
        "  per-round peak from round 2 on: %.0f to %.0f MiB (spread %.1f MiB); slope "
        "%+.1f KiB per round\n",
        mib(low), mib(high), mib(high - low), slope(settled));
    std::printf("  peak above the baseline: round 1 %.0f MiB, last round %.0f MiB\n",
                mib(peaks.front().second - baseline), mib(peaks.back().second - baseline));
    rife_shutdown();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (o.mode == "soak") return run_soak(o);
    if (o.mode == "cycle") return run_cycle(o);
    if (o.mode == "large") return run_large(o);
    if (o.mode == "alternate") return run_alternate(o);
    usage(("unknown mode " + o.mode).c_str());
}
