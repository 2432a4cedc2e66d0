// The library's own work per call: two packed -> planar conversions and one planar ->
// packed conversion of a frame. Each conversion is timed against a loop written exactly as
// its arithmetic reads (the baseline) and against memcpy/memset moving the same bytes (the
// memory-traffic reference); rife_interpolate end to end is timed against a bare ONNX
// Runtime Run of the same model on ready-made tensors. Every case allocates its
// destination afresh, as the library does, so allocation and page faults count alike.
// A summary of the ratios follows Google Benchmark's own table.
#include <benchmark/benchmark.h>
#include <onnxruntime_c_api.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kestrune-rife-inference.h"
#include "tensor_layout.h"

namespace {

struct FrameSize {
    int width, height;
    const char* name;
};
const FrameSize kSizes[] = {{1280, 720, "1280x720"}, {1920, 1080, "1920x1080"}};

struct Geometry {
    size_t w, h, pw, ph;
    size_t packed_bytes() const { return 3 * w * h; }
    size_t planar_bytes() const { return 3 * pw * ph * sizeof(float); }
};

Geometry geometry(const FrameSize& size) {
    return {static_cast<size_t>(size.width), static_cast<size_t>(size.height),
            pad_to_64(size.width), pad_to_64(size.height)};
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

// A planar network output: samples mostly in [0, 1], some outside, as a real model gives.
std::vector<float> random_planar(const Geometry& g, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-0.05f, 1.05f);
    std::vector<float> planar(3 * g.pw * g.ph);
    for (auto& v : planar) v = dist(rng);
    return planar;
}

// ---- the baselines: the arithmetic as it reads -----------------------------------------

float* baseline_hwc_to_nchw(const uint8_t* src, int width, int height, int padded_width,
                            int padded_height) {
    const size_t w = width, h = height, pw = padded_width, ph = padded_height;
    float* planar = static_cast<float*>(std::calloc(3 * pw * ph, sizeof(float)));
    if (planar == nullptr) return nullptr;
    for (size_t c = 0; c < 3; ++c)
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x)
                planar[c * ph * pw + y * pw + x] = src[(y * w + x) * 3 + c] / 255.0f;
    return planar;
}

void baseline_nchw_to_hwc(const float* planar, int width, int height, int padded_width,
                          int padded_height, uint8_t* dst) {
    const size_t w = width, h = height, pw = padded_width, ph = padded_height;
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x)
            for (size_t c = 0; c < 3; ++c) {
                const float v = planar[c * ph * pw + y * pw + x];
                uint8_t byte;
                if (std::isnan(v) || v < 0.0f) {
                    byte = 0;
                } else {
                    const float m = v > 1.0f ? 1.0f : v;
                    byte = static_cast<uint8_t>(m * 255.0f + 0.5f);
                }
                dst[(y * w + x) * 3 + c] = byte;
            }
}

// ---- packed -> planar ------------------------------------------------------------------

void in_library(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const auto src = random_bytes(g.packed_bytes(), 1);
    for (auto _ : state) {
        float* planar = hwc_to_nchw(src.data(), size.width, size.height, static_cast<int>(g.pw),
                                    static_cast<int>(g.ph));
        benchmark::DoNotOptimize(planar);
        std::free(planar);
    }
    state.SetBytesProcessed(state.iterations() * (g.packed_bytes() + g.planar_bytes()));
}

void in_baseline(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const auto src = random_bytes(g.packed_bytes(), 1);
    for (auto _ : state) {
        float* planar = baseline_hwc_to_nchw(src.data(), size.width, size.height,
                                             static_cast<int>(g.pw), static_cast<int>(g.ph));
        benchmark::DoNotOptimize(planar);
        std::free(planar);
    }
    state.SetBytesProcessed(state.iterations() * (g.packed_bytes() + g.planar_bytes()));
}

// Reads the packed bytes once and writes every byte of a fresh tensor-sized buffer once.
void in_memory(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const auto src = random_bytes(g.packed_bytes(), 1);
    for (auto _ : state) {
        char* planar = static_cast<char*>(std::malloc(g.planar_bytes()));
        std::memcpy(planar, src.data(), g.packed_bytes());
        std::memset(planar + g.packed_bytes(), 0, g.planar_bytes() - g.packed_bytes());
        benchmark::DoNotOptimize(planar);
        benchmark::ClobberMemory();
        std::free(planar);
    }
    state.SetBytesProcessed(state.iterations() * (g.packed_bytes() + g.planar_bytes()));
}

// ---- planar -> packed ------------------------------------------------------------------

void out_library(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const auto planar = random_planar(g, 2);
    for (auto _ : state) {
        uint8_t* dst = static_cast<uint8_t*>(std::malloc(g.packed_bytes()));
        nchw_to_hwc(planar.data(), size.width, size.height, static_cast<int>(g.pw),
                    static_cast<int>(g.ph), dst);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
        std::free(dst);
    }
    state.SetBytesProcessed(state.iterations() * 5 * g.packed_bytes());
}

void out_baseline(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const auto planar = random_planar(g, 2);
    for (auto _ : state) {
        uint8_t* dst = static_cast<uint8_t*>(std::malloc(g.packed_bytes()));
        baseline_nchw_to_hwc(planar.data(), size.width, size.height, static_cast<int>(g.pw),
                             static_cast<int>(g.ph), dst);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
        std::free(dst);
    }
    state.SetBytesProcessed(state.iterations() * 5 * g.packed_bytes());
}

// Reads 4 bytes per output byte (the frame's float samples) and writes the output once:
// memcpy moves the first quarter into the fresh destination, memchr reads the rest (it
// looks for a byte the buffer does not hold).
void out_memory(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const size_t n = g.packed_bytes();
    std::vector<uint8_t> samples(4 * n, 0x3f);
    for (auto _ : state) {
        uint8_t* dst = static_cast<uint8_t*>(std::malloc(n));
        std::memcpy(dst, samples.data(), n);
        benchmark::DoNotOptimize(std::memchr(samples.data() + n, 0x00, 3 * n));
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
        std::free(dst);
    }
    state.SetBytesProcessed(state.iterations() * 5 * n);
}

// ---- whole calls -----------------------------------------------------------------------

const OrtApi* ort() { return OrtGetApiBase()->GetApi(ORT_API_VERSION); }

void check(OrtStatus* status, const char* step) {
    if (status == nullptr) return;
    std::fprintf(stderr, "%s: %s\n", step, ort()->GetErrorMessage(status));
    std::exit(1);
}

bool engine_ready = false;

void start_engine() {
    if (engine_ready) return;
    if (rife_init(KRI_BENCH_MODEL_DIR) != 0) {
        std::fprintf(stderr, "rife_init: %s\n", rife_get_error());
        std::exit(1);
    }
    engine_ready = true;
}

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// rife_interpolate end to end and a bare Run of the same model, with the engine's session
// settings, on tensors built once. The two alternate call by call (their order swapped
// every iteration), so both meet the same machine: the overhead is the median of the
// differences between neighbouring calls. The output buffer is allocated afresh for each
// call, as a caller that keeps no buffers would.
void call_paired(benchmark::State& state, FrameSize size) {
    start_engine();
    const OrtApi* api = ort();
    const Geometry g = geometry(size);
    OrtEnv* env = nullptr;
    OrtSessionOptions* options = nullptr;
    OrtSession* session = nullptr;
    OrtMemoryInfo* memory = nullptr;
    check(api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "bench", &env), "CreateEnv");
    check(api->CreateSessionOptions(&options), "CreateSessionOptions");
    check(api->SetIntraOpNumThreads(options, 4), "SetIntraOpNumThreads");
    check(api->SetInterOpNumThreads(options, 2), "SetInterOpNumThreads");
    check(api->SetSessionGraphOptimizationLevel(options, ORT_ENABLE_ALL), "SetOptLevel");
    check(api->CreateSession(env, KRI_BENCH_MODEL_DIR "/rife49_ensemble.onnx", options, &session),
          "CreateSession");
    check(api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory), "MemoryInfo");

    auto a = random_planar(g, 5), b = random_planar(g, 6);
    float timestep = 0.5f;
    const int64_t shape[4] = {1, 3, static_cast<int64_t>(g.ph), static_cast<int64_t>(g.pw)};
    const int64_t timestep_shape[1] = {1};
    OrtValue* inputs[3] = {nullptr, nullptr, nullptr};
    check(api->CreateTensorWithDataAsOrtValue(memory, a.data(), g.planar_bytes(), shape, 4,
                                              ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[0]),
          "CreateTensor");
    check(api->CreateTensorWithDataAsOrtValue(memory, b.data(), g.planar_bytes(), shape, 4,
                                              ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[1]),
          "CreateTensor");
    check(api->CreateTensorWithDataAsOrtValue(memory, &timestep, sizeof timestep, timestep_shape, 1,
                                              ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[2]),
          "CreateTensor");
    const char* const input_names[3] = {"img0", "img1", "timestep"};
    const char* const output_names[1] = {"output"};
    auto bare_run = [&] {
        OrtValue* output = nullptr;
        check(api->Run(session, nullptr, input_names, inputs, 3, output_names, 1, &output), "Run");
        benchmark::DoNotOptimize(output);
        api->ReleaseValue(output);
    };

    const auto frame1 = random_bytes(g.packed_bytes(), 3);
    const auto frame2 = random_bytes(g.packed_bytes(), 4);
    bool failed = false;
    auto library_call = [&] {
        uint8_t* out = static_cast<uint8_t*>(std::malloc(g.packed_bytes()));
        failed |=
            rife_interpolate(frame1.data(), frame2.data(), size.width, size.height, out, 0.5f) != 0;
        benchmark::DoNotOptimize(out);
        std::free(out);
    };

    using Clock = std::chrono::steady_clock;
    auto ms_since = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    std::vector<double> calls, runs, overheads;
    bool library_first = false;
    for (auto _ : state) {
        double call = 0, run = 0;
        for (int half = 0; half < 2; ++half) {
            const auto start = Clock::now();
            if ((half == 0) == library_first) {
                bare_run();
                run = ms_since(start);
            } else {
                library_call();
                call = ms_since(start);
            }
        }
        library_first = !library_first;
        state.SetIterationTime((call + run) / 1e3);
        calls.push_back(call);
        runs.push_back(run);
        overheads.push_back(call - run);
    }
    if (failed) state.SkipWithError(rife_get_error());
    state.counters["call_ms"] = median(calls);
    state.counters["bare_run_ms"] = median(runs);
    state.counters["overhead_ms"] = median(overheads);

    for (OrtValue* value : inputs) api->ReleaseValue(value);
    api->ReleaseMemoryInfo(memory);
    api->ReleaseSession(session);
    api->ReleaseSessionOptions(options);
    api->ReleaseEnv(env);
}

// ---- summary ---------------------------------------------------------------------------

// Shows only the median of each case's repetitions (or its single run) and keeps its real
// time (in milliseconds) for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> median_ms;

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!median && !single && !run.error_occurred) continue;
            shown.push_back(run);
            if (run.error_occurred) continue;
            double ms = run.GetAdjustedRealTime();
            if (run.time_unit == benchmark::kMicrosecond) ms /= 1e3;
            if (run.time_unit == benchmark::kNanosecond) ms /= 1e6;
            if (run.time_unit == benchmark::kSecond) ms *= 1e3;
            median_ms[run.run_name.function_name] = ms;
            for (const auto& counter : run.counters)
                median_ms[run.run_name.function_name + ":" + counter.first] = counter.second.value;
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }
};

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

// Returns the number of targets missed.
int print_summary(const std::map<std::string, double>& ms) {
    auto get = [&](const std::string& name) {
        const auto it = ms.find(name);
        return it == ms.end() ? NAN : it->second;
    };
    int missed = 0;
    std::printf("\nSummary (median real time per call, ms; ratios from this run)\n");
    for (const FrameSize& size : kSizes) {
        const std::string s = size.name;
        std::printf("\n%s\n", size.name);
        for (const char* kind : {"in", "out"}) {
            const double lib = get(std::string(kind) + "/library/" + s);
            const double base = get(std::string(kind) + "/baseline/" + s);
            const double mem = get(std::string(kind) + "/memory/" + s);
            if (std::isnan(lib)) continue;
            const bool fast = base / lib >= 3.0, close = lib / mem <= 2.5;
            missed += !fast + !close;
            std::printf(
                "  %-15s library %7.3f  baseline %7.3f  memory %7.3f   baseline/library "
                "%5.2fx (>= 3: %s)   library/memory %5.2fx (<= 2.5: %s)\n",
                std::string(kind) == "in" ? "packed->planar" : "planar->packed", lib, base, mem,
                base / lib, verdict(fast), lib / mem, verdict(close));
        }
        const double call = get("call/paired/" + s + ":call_ms");
        const double bare = get("call/paired/" + s + ":bare_run_ms");
        const double overhead = get("call/paired/" + s + ":overhead_ms");
        if (std::isnan(call) || std::isnan(bare)) continue;
        const double memory = 2 * get("in/memory/" + s) + get("out/memory/" + s);
        const bool lean = overhead / memory <= 3.0;
        missed += !lean;
        std::printf(
            "  %-15s end to end %7.3f  bare Run %7.3f  overhead %7.3f  memory (2 in + 1 out) "
            "%7.3f   overhead/memory %5.2fx (<= 3: %s)\n",
            "rife_interpolate", call, bare, overhead, memory, overhead / memory, verdict(lean));
    }
    return missed;
}

void register_all() {
    using Case = void (*)(benchmark::State&, FrameSize);
    const std::pair<const char*, Case> cases[] = {
        {"in/library/", in_library},   {"in/baseline/", in_baseline},   {"in/memory/", in_memory},
        {"out/library/", out_library}, {"out/baseline/", out_baseline}, {"out/memory/", out_memory},
    };
    for (const auto& c : cases)
        for (const FrameSize& size : kSizes)
            benchmark::RegisterBenchmark((std::string(c.first) + size.name).c_str(), c.second, size)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->MinTime(0.3)
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
    // The whole calls last tens of milliseconds: fewer, longer repetitions, each the median
    // of its own pairs of calls.
    for (const FrameSize& size : kSizes)
        benchmark::RegisterBenchmark((std::string("call/paired/") + size.name).c_str(), call_paired,
                                     size)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->MinTime(1.0)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const int missed = print_summary(reporter.median_ms);
    if (missed == 0)
        std::printf("\nAll targets met.\n");
    else
        std::printf("\n%d target(s) missed.\n", missed);
    if (engine_ready) rife_shutdown();
    benchmark::Shutdown();
    return 0;
}
