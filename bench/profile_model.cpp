// Per-operator profile of a model on one frame pair: runs the model the way the library
// does (the same session settings) on a synthetic textured pair, with ONNX Runtime's
// profiler on, and prints the time spent per operator type, largest first.
//
//   build/bench/profile_model MODEL_DIR [WIDTH HEIGHT [RUNS]]
//
// The first run sizes ONNX Runtime's arena and is left out of the totals.
#include <onnxruntime_c_api.h>

#include <algorithm>
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

// Sums the "dur" (microseconds) of every node event in the profile by operator type.
std::vector<std::pair<std::string, double>> per_operator(const std::string& path, int* events) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    std::map<std::string, double> sums;
    *events = 0;
    for (size_t at = s.find("\"op_name\""); at != std::string::npos;
         at = s.find("\"op_name\"", at + 1)) {
        const size_t name_start = s.find('"', s.find(':', at) + 1) + 1;
        const std::string op = s.substr(name_start, s.find('"', name_start) - name_start);
        const size_t event_start = s.rfind('{', s.rfind("\"dur\"", at));
        const size_t dur = s.find("\"dur\"", event_start);
        if (dur == std::string::npos || dur > at) continue;
        sums[op] += std::atof(s.c_str() + s.find(':', dur) + 1);
        ++*events;
    }
    std::vector<std::pair<std::string, double>> rows(sums.begin(), sums.end());
    std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.second > b.second; });
    return rows;
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
    const auto rows = per_operator(path, &events);
    double total = 0;
    for (const auto& row : rows) total += row.second;
    std::printf("%dx%d, %d runs after the first (which the totals include), %d node events, %s\n",
                width, height, runs, events, path);
    std::printf("| operator | ms per run | share |\n|---|---:|---:|\n");
    for (const auto& row : rows)
        std::printf("| %s | %.1f | %.1f %% |\n", row.first.c_str(),
                    row.second / 1000.0 / (runs + 1), 100.0 * row.second / total);
    std::remove(path);
    allocator->Free(allocator, path);
    for (OrtValue* value : inputs) g_api->ReleaseValue(value);
    g_api->ReleaseMemoryInfo(memory);
    g_api->ReleaseSession(session);
    g_api->ReleaseSessionOptions(options);
    g_api->ReleaseEnv(env);
    return 0;
}
