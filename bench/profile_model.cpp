// Per-operator profile of a model on one frame pair: runs the model the way the library
// does (the same session settings) on a synthetic textured pair, with ONNX Runtime's
// profiler on, and prints the time spent per operator type, largest first.
//
//   build/bench/profile_model MODEL_DIR [WIDTH HEIGHT [RUNS]]
//
// The first run sizes ONNX Runtime's arena; the totals include it. A file exported with
// `model/export.py --by-stage` also gets a table per stage of the model.
#include <onnxruntime_c_api.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "model_contract.h"
#include "session_options.h"

namespace {

const OrtApi* g_api;

void check(OrtStatus* status, const char* what) {
    if (status == nullptr) return;
    std::fprintf(stderr, "%s: %s\n", what, g_api->GetErrorMessage(status));
    g_api->ReleaseStatus(status);
    std::exit(1);
}

int padded(int n) {
    const int m = static_cast<int>(kri_model::kPadMultiple);
    return (n + m - 1) / m * m;
}

// A textured frame (sums of sines) moved by (dx, dy) pixels, as planes padded with black
// the way the library pads frames.
std::vector<float> frame(int width, int height, double dx, double dy) {
    const int pw = padded(width), ph = padded(height);
    std::vector<float> planes(3 * static_cast<size_t>(pw) * ph);
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const double u = x - dx, v = y - dy;
                const double value = 0.5 + 0.2 * std::sin(0.05 * u + c) * std::cos(0.07 * v) +
                                     0.15 * std::sin(0.31 * u + 0.17 * v + c);
                planes[(static_cast<size_t>(c) * ph + y) * pw + x] = static_cast<float>(value);
            }
    return planes;
}

using Rows = std::vector<std::pair<std::string, double>>;

// The stage a node was made in, from its name: the path of lower-case components before the
// node's own name ("/bidirectional_flow/refine_2/Mul_3_kernel_time" -> "bidirectional_flow/
// refine_2"). Capitalised components are ONNX Runtime's fused nodes, not stages.
std::string stage_of(const std::string& node) {
    std::string stage;
    size_t start = node.find_first_not_of('/');
    for (size_t slash = node.find('/', start); slash != std::string::npos;
         start = slash + 1, slash = node.find('/', start)) {
        const std::string part = node.substr(start, slash - start);
        if (part.empty() || !std::islower(static_cast<unsigned char>(part[0]))) continue;
        stage += (stage.empty() ? "" : "/") + part;
    }
    return stage.empty() ? "(top level)" : stage;
}

// The text of the string field `key` of the JSON event that starts at `from`.
std::string field(const std::string& s, const char* key, size_t from) {
    const size_t at = s.find(std::string("\"") + key + "\"", from);
    const size_t start = s.find('"', s.find(':', at) + 1) + 1;
    return s.substr(start, s.find('"', start) - start);
}

Rows largest_first(const std::map<std::string, double>& sums) {
    Rows rows(sums.begin(), sums.end());
    std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.second > b.second; });
    return rows;
}

// Sums the "dur" (microseconds) of every node event in the profile by operator type and by
// stage.
void summarise(const std::string& path, Rows* by_operator, Rows* by_stage, int* events) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    std::map<std::string, double> operators, stages;
    *events = 0;
    for (size_t at = s.find("\"op_name\""); at != std::string::npos;
         at = s.find("\"op_name\"", at + 1)) {
        const size_t event_start = s.rfind('{', s.rfind("\"dur\"", at));
        const size_t dur = s.find("\"dur\"", event_start);
        if (dur == std::string::npos || dur > at) continue;
        const double micros = std::atof(s.c_str() + s.find(':', dur) + 1);
        operators[field(s, "op_name", at)] += micros;
        stages[stage_of(field(s, "name", event_start))] += micros;
        ++*events;
    }
    *by_operator = largest_first(operators);
    *by_stage = largest_first(stages);
}

void print_table(const char* what, const Rows& rows, int runs) {
    double total = 0;
    for (const auto& row : rows) total += row.second;
    std::printf("| %s | ms per run | share |\n|---|---:|---:|\n", what);
    for (const auto& row : rows)
        std::printf("| %s | %.1f | %.1f %% |\n", row.first.c_str(), row.second / 1000.0 / runs,
                    100.0 * row.second / total);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MODEL_DIR [WIDTH HEIGHT [RUNS]]\n", argv[0]);
        return 2;
    }
    const int width = argc > 3 ? std::atoi(argv[2]) : 1280;
    const int height = argc > 3 ? std::atoi(argv[3]) : 720;
    const int runs = argc > 4 ? std::atoi(argv[4]) : 3;
    g_api = OrtGetApiBase()->GetApi(ORT_API_VERSION);
    OrtEnv* env = nullptr;
    check(g_api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "profile", &env), "CreateEnv");
    OrtSessionOptions* options = nullptr;
    check(g_api->CreateSessionOptions(&options), "CreateSessionOptions");
    configure_session_options(g_api, options);
    check(g_api->EnableProfiling(options, "kri-profile"), "EnableProfiling");
    const std::string model = std::string(argv[1]) + "/" + kri_model::kFileName;
    OrtSession* session = nullptr;
    check(g_api->CreateSession(env, model.c_str(), options, &session), "CreateSession");
    OrtMemoryInfo* memory = nullptr;
    check(g_api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory), "memory");

    std::vector<float> a = frame(width, height, 0, 0), b = frame(width, height, 9.0, 5.0);
    float timestep = 0.5f;
    const int64_t shape[4] = {1, 3, padded(height), padded(width)}, one[1] = {1};
    OrtValue* inputs[3] = {};
    check(g_api->CreateTensorWithDataAsOrtValue(memory, a.data(), a.size() * 4, shape, 4,
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[0]),
          "tensor");
    check(g_api->CreateTensorWithDataAsOrtValue(memory, b.data(), b.size() * 4, shape, 4,
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[1]),
          "tensor");
    check(g_api->CreateTensorWithDataAsOrtValue(memory, &timestep, 4, one, 1,
                                                ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[2]),
          "tensor");
    const char* in_names[3] = {kri_model::kFirstFrame, kri_model::kSecondFrame,
                               kri_model::kTimestep};
    const char* out_names[1] = {kri_model::kOutput};
    for (int i = 0; i <= runs; ++i) {
        OrtValue* output = nullptr;
        check(g_api->Run(session, nullptr, in_names, inputs, 3, out_names, 1, &output), "Run");
        g_api->ReleaseValue(output);
    }
    OrtAllocator* allocator = nullptr;
    check(g_api->GetAllocatorWithDefaultOptions(&allocator), "allocator");
    char* path = nullptr;
    check(g_api->SessionEndProfiling(session, allocator, &path), "SessionEndProfiling");
    int events = 0;
    Rows by_operator, by_stage;
    summarise(path, &by_operator, &by_stage, &events);
    std::printf("%dx%d, %d runs after the first (which the totals include), %d node events, %s\n",
                width, height, runs, events, path);
    print_table("operator", by_operator, runs + 1);
    // Only a file exported with model/export.py --by-stage names its nodes by stage.
    if (by_stage.size() > 1) {
        std::printf("\n");
        print_table("stage", by_stage, runs + 1);
    }
    std::remove(path);
    allocator->Free(allocator, path);
    for (OrtValue* value : inputs) g_api->ReleaseValue(value);
    g_api->ReleaseMemoryInfo(memory);
    g_api->ReleaseSession(session);
    g_api->ReleaseSessionOptions(options);
    g_api->ReleaseEnv(env);
    return 0;
}
