// The library's own work per call: two packed -> planar conversions and one planar ->
// packed conversion of a frame. Each conversion is timed against a loop written exactly as
// its arithmetic reads (the baseline) and against memcpy/memset moving the same bytes (the
// memory-traffic reference); rife_interpolate end to end is timed against a bare ONNX
// Runtime Run of the same model on ready-made tensors. Every case allocates its
// destination afresh, as the library does, so allocation and page faults count alike.
// A summary of the ratios follows Google Benchmark's own table.
#include <benchmark/benchmark.h>
#include <onnxruntime_c_api.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kestrune-rife-inference.h"
#include "model_contract.h"
#include "session_options.h"
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

// Minor page faults of the whole process so far: a fresh allocation that the allocator
// maps anew costs one per 4 KiB page touched, often more than the copy itself.
long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

void count_faults(benchmark::State& state, long faults_before) {
    if (state.iterations() > 0)
        state.counters["faults"] = static_cast<double>(minor_faults() - faults_before) /
                                   static_cast<double>(state.iterations());
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

// The library's conversion and the baseline are timed by the same loop.
using ToPlanar = float* (*)(const uint8_t*, int, int, int, int);

template <ToPlanar convert>
void in_conversion(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const auto src = random_bytes(g.packed_bytes(), 1);
    const long faults_before = minor_faults();
    for (auto _ : state) {
        float* planar = convert(src.data(), size.width, size.height, static_cast<int>(g.pw),
                                static_cast<int>(g.ph));
        benchmark::DoNotOptimize(planar);
        std::free(planar);
    }
    count_faults(state, faults_before);
    state.SetBytesProcessed(state.iterations() * (g.packed_bytes() + g.planar_bytes()));
}

// Reads the packed bytes once and writes every byte of a fresh tensor-sized buffer once.
void in_memory(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const auto src = random_bytes(g.packed_bytes(), 1);
    const long faults_before = minor_faults();
    for (auto _ : state) {
        char* planar = static_cast<char*>(std::malloc(g.planar_bytes()));
        std::memcpy(planar, src.data(), g.packed_bytes());
        std::memset(planar + g.packed_bytes(), 0, g.planar_bytes() - g.packed_bytes());
        benchmark::DoNotOptimize(planar);
        benchmark::ClobberMemory();
        std::free(planar);
    }
    count_faults(state, faults_before);
    state.SetBytesProcessed(state.iterations() * (g.packed_bytes() + g.planar_bytes()));
}

// ---- planar -> packed ------------------------------------------------------------------

using ToPacked = void (*)(const float*, int, int, int, int, uint8_t*);

template <ToPacked convert>
void out_conversion(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const auto planar = random_planar(g, 2);
    const long faults_before = minor_faults();
    for (auto _ : state) {
        uint8_t* dst = static_cast<uint8_t*>(std::malloc(g.packed_bytes()));
        convert(planar.data(), size.width, size.height, static_cast<int>(g.pw),
                static_cast<int>(g.ph), dst);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
        std::free(dst);
    }
    count_faults(state, faults_before);
    state.SetBytesProcessed(state.iterations() * 5 * g.packed_bytes());
}

// Reads 4 bytes per output byte (the frame's float samples) and writes the output once:
// memcpy moves the first quarter into the fresh destination, memchr reads the rest (it
// looks for a byte the buffer does not hold).
void out_memory(benchmark::State& state, FrameSize size) {
    const Geometry g = geometry(size);
    const size_t n = g.packed_bytes();
    std::vector<uint8_t> samples(4 * n, 0x3f);
    const long faults_before = minor_faults();
    for (auto _ : state) {
        uint8_t* dst = static_cast<uint8_t*>(std::malloc(n));
        std::memcpy(dst, samples.data(), n);
        benchmark::DoNotOptimize(std::memchr(samples.data() + n, 0x00, 3 * n));
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
        std::free(dst);
    }
    count_faults(state, faults_before);
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

// A session over the blend model with the engine's settings (those of rife_init: keep the
// two in step), and ready-made input tensors of one size, kept for the whole program:
// building them is not what is measured.
struct BareRun {
    const OrtApi* api = ort();
    OrtEnv* env = nullptr;
    OrtSessionOptions* options = nullptr;
    OrtSession* session = nullptr;
    OrtMemoryInfo* memory = nullptr;
    std::vector<float> a, b;
    float timestep = 0.5f;
    int64_t shape[4] = {};
    OrtValue* inputs[3] = {nullptr, nullptr, nullptr};

    explicit BareRun(const Geometry& g) : a(random_planar(g, 5)), b(random_planar(g, 6)) {
        check(api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "bench", &env), "CreateEnv");
        check(api->CreateSessionOptions(&options), "CreateSessionOptions");
        configure_session_options(api, options);  // the library's own settings
        const std::string model = std::string(KRI_BENCH_MODEL_DIR "/") + kri_model::kFileName;
        check(api->CreateSession(env, model.c_str(), options, &session), "CreateSession");
        check(api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory),
              "MemoryInfo");
        const int64_t image_shape[4] = {1, 3, static_cast<int64_t>(g.ph),
                                        static_cast<int64_t>(g.pw)};
        std::memcpy(shape, image_shape, sizeof shape);
        const int64_t timestep_shape[1] = {1};
        check(api->CreateTensorWithDataAsOrtValue(memory, a.data(), g.planar_bytes(), shape, 4,
                                                  ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[0]),
              "CreateTensor");
        check(api->CreateTensorWithDataAsOrtValue(memory, b.data(), g.planar_bytes(), shape, 4,
                                                  ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[1]),
              "CreateTensor");
        check(
            api->CreateTensorWithDataAsOrtValue(memory, &timestep, sizeof timestep, timestep_shape,
                                                1, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[2]),
            "CreateTensor");
    }
    ~BareRun() {
        for (OrtValue* value : inputs) api->ReleaseValue(value);
        api->ReleaseMemoryInfo(memory);
        api->ReleaseSession(session);
        api->ReleaseSessionOptions(options);
        api->ReleaseEnv(env);
    }
    void run() {
        const char* const input_names[3] = {kri_model::kFirstFrame, kri_model::kSecondFrame,
                                            kri_model::kTimestep};
        const char* const output_names[1] = {kri_model::kOutput};
        OrtValue* output = nullptr;
        check(api->Run(session, nullptr, input_names, inputs, 3, output_names, 1, &output), "Run");
        benchmark::DoNotOptimize(output);
        api->ReleaseValue(output);
    }
};

std::map<std::string, std::unique_ptr<BareRun>> bare_runs;

// The memory traffic of one whole call with the library's allocations: the caller's fresh
// output buffer, two fresh tensor-sized buffers each written in full from a packed frame
// (as in/memory), the output written from a quarter of the model's samples while the rest
// are read (as out/memory), and everything freed in the library's order.
struct WholeCallTraffic {
    Geometry g;
    std::vector<uint8_t> frame1, frame2, samples;

    explicit WholeCallTraffic(const Geometry& geometry)
        : g(geometry),
          frame1(random_bytes(g.packed_bytes(), 7)),
          frame2(random_bytes(g.packed_bytes(), 8)),
          samples(4 * g.packed_bytes(), 0x3f) {}

    char* fill(const std::vector<uint8_t>& frame) const {
        char* planar = static_cast<char*>(std::malloc(g.planar_bytes()));
        std::memcpy(planar, frame.data(), frame.size());
        std::memset(planar + frame.size(), 0, g.planar_bytes() - frame.size());
        return planar;
    }

    void run() const {
        const size_t n = g.packed_bytes();
        uint8_t* out = static_cast<uint8_t*>(std::malloc(n));
        char* planar0 = fill(frame1);
        char* planar1 = fill(frame2);
        benchmark::DoNotOptimize(planar0);
        benchmark::DoNotOptimize(planar1);
        std::memcpy(out, samples.data(), n);
        benchmark::DoNotOptimize(std::memchr(samples.data() + n, 0x00, 3 * n));
        benchmark::ClobberMemory();
        std::free(planar0);
        std::free(planar1);
        std::free(out);
    }
};

// rife_interpolate end to end, a bare Run of the same model on ready-made tensors, and the
// whole-call memory traffic, taking turns call by call (the order rotates every
// iteration), so all three meet the same machine and the same state of the heap: the
// overhead is the median of the differences between neighbouring library calls and bare
// Runs. The library's output buffer is allocated afresh for each call, as a caller that
// keeps no buffers would. The first calls at a size grow ONNX Runtime's memory arena and
// take far longer than the rest; they run before any timing.
void call_paired(benchmark::State& state, FrameSize size) {
    start_engine();
    const Geometry g = geometry(size);
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
    const WholeCallTraffic traffic(g);
    std::unique_ptr<BareRun>& bare = bare_runs[size.name];
    if (!bare) {
        bare = std::make_unique<BareRun>(g);
        for (int i = 0; i < 4; ++i) {
            bare->run();
            library_call();
        }
    }

    using Clock = std::chrono::steady_clock;
    struct Member {
        std::vector<double> ms;
        long faults = 0;
    } members[3];  // 0: library call, 1: bare Run, 2: memory traffic
    std::vector<double> overheads;
    int rotation = 0;
    for (auto _ : state) {
        double iteration_ms = 0;
        for (int turn = 0; turn < 3; ++turn) {
            const int which = (turn + rotation) % 3;
            const long faults = minor_faults();
            const auto start = Clock::now();
            if (which == 0)
                library_call();
            else if (which == 1)
                bare->run();
            else
                traffic.run();
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            members[which].ms.push_back(ms);
            members[which].faults += minor_faults() - faults;
            iteration_ms += ms;
        }
        rotation = (rotation + 1) % 3;
        overheads.push_back(members[0].ms.back() - members[1].ms.back());
        state.SetIterationTime(iteration_ms / 1e3);
    }
    if (failed) state.SkipWithError(rife_get_error());
    const char* names[3] = {"call", "bare_run", "memory"};
    for (int i = 0; i < 3; ++i) {
        state.counters[std::string(names[i]) + "_ms"] = median(members[i].ms);
        if (!members[i].ms.empty())
            state.counters[std::string(names[i]) + "_faults"] =
                static_cast<double>(members[i].faults) / static_cast<double>(members[i].ms.size());
    }
    state.counters["overhead_ms"] = median(overheads);
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
            double to_ms = 1;
            if (run.time_unit == benchmark::kMicrosecond) to_ms = 1e-3;
            if (run.time_unit == benchmark::kNanosecond) to_ms = 1e-6;
            if (run.time_unit == benchmark::kSecond) to_ms = 1e3;
            median_ms[run.run_name.function_name] = run.GetAdjustedRealTime() * to_ms;
            median_ms[run.run_name.function_name + ":cpu"] = run.GetAdjustedCPUTime() * to_ms;
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
            // The same ratios in CPU time of the calling thread, which waiting for a busy
            // machine's cores does not inflate (page faults are counted in both).
            auto cpu = [&](const char* which) {
                return get(std::string(kind) + "/" + which + "/" + s + ":cpu");
            };
            std::printf(
                "  %-15s library %7.3f  baseline %7.3f  memory %7.3f   baseline/library "
                "%5.2fx (>= 3: %s)   library/memory %5.2fx (<= 2.5: %s)   in CPU time %5.2fx "
                "and %5.2fx\n",
                std::string(kind) == "in" ? "packed->planar" : "planar->packed", lib, base, mem,
                base / lib, verdict(fast), lib / mem, verdict(close),
                cpu("baseline") / cpu("library"), cpu("library") / cpu("memory"));
        }
        const double call = get("call/paired/" + s + ":call_ms");
        const double bare = get("call/paired/" + s + ":bare_run_ms");
        const double overhead = get("call/paired/" + s + ":overhead_ms");
        if (std::isnan(call) || std::isnan(bare)) continue;
        const double memory = get("call/paired/" + s + ":memory_ms");
        const double separate = 2 * get("in/memory/" + s) + get("out/memory/" + s);
        // A negative overhead means the bare Run varied more than the library's work weighs.
        const bool lean = overhead >= 0 && overhead / memory <= 3.0;
        missed += !lean;
        std::printf(
            "  %-15s end to end %7.3f  bare Run %7.3f  overhead %7.3f  memory (whole call) "
            "%7.3f   overhead/memory %5.2fx (<= 3: %s)\n",
            "rife_interpolate", call, bare, overhead, memory, overhead / memory, verdict(lean));
        std::printf(
            "  %-15s page faults per call: library %.0f, bare Run %.0f, whole-call memory %.0f; "
            "in/memory x 2 + out/memory %.3f ms\n",
            "", get("call/paired/" + s + ":call_faults"),
            get("call/paired/" + s + ":bare_run_faults"),
            get("call/paired/" + s + ":memory_faults"), separate);
    }
    return missed;
}

void register_all() {
    using Case = void (*)(benchmark::State&, FrameSize);
    const std::pair<const char*, Case> cases[] = {
        {"in/library/", in_conversion<hwc_to_nchw>},
        {"in/baseline/", in_conversion<baseline_hwc_to_nchw>},
        {"in/memory/", in_memory},
        {"out/library/", out_conversion<nchw_to_hwc>},
        {"out/baseline/", out_conversion<baseline_nchw_to_hwc>},
        {"out/memory/", out_memory},
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
    bare_runs.clear();
    if (engine_ready) rife_shutdown();
    benchmark::Shutdown();
    return 0;
}
