// kestrune-rife-inference: the engine record and its lifecycle (its session settings are in
// session_options.h), the interpolation call (its tensor conversions are in
// tensor_layout.h; both headers are shared with the benchmark), and the file front end.
// All state is the process-wide engine record below; every exported function is a free
// function over it.

#include "kestrune-rife-inference.h"

#include <onnxruntime_c_api.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "model_contract.h"
#include "session_options.h"
#include "stb_codecs.h"
#include "tensor_layout.h"

#ifdef _WIN32
#    define WIN32_LEAN_AND_MEAN
#    ifndef NOMINMAX
#        define NOMINMAX
#    endif
#    include <windows.h>
#endif

namespace {

// ---------------------------------------------------------------------------------------
// Engine record. Zero at load; nothing runs at load or unload.

int g_initialized;
const OrtApi* g_ort;
OrtEnv* g_env;
OrtSessionOptions* g_opts;
OrtSession* g_session;
OrtMemoryInfo* g_mem;
char g_error[512];
int g_progress;

constexpr uint32_t kOrtApiVersion = 27;
constexpr size_t kPathBufferSize = 1024;
constexpr size_t kMaxTensorElements = 2147483647;  // the largest 32-bit signed count

// Fixed messages are stored whole; all of them are far below the 511-byte limit.
void set_error(const char* message) { std::snprintf(g_error, sizeof g_error, "%s", message); }

// Copies an ONNX Runtime failure into the error text behind an optional step name
// ("Run: ..."), releases the status and returns -1, so callers can `return` it.
int fail_with_status(OrtStatus* status, const char* step) {
    const char* message = g_ort->GetErrorMessage(status);
    if (step != nullptr)
        std::snprintf(g_error, sizeof g_error, "%s: %s", step, message);
    else
        std::snprintf(g_error, sizeof g_error, "%s", message);
    g_ort->ReleaseStatus(status);
    return -1;
}

// Releases every handle of the engine that is held, in the order session, options,
// memory description, environment, and clears each right after its release.
void release_handles() {
    if (g_session != nullptr) {
        g_ort->ReleaseSession(g_session);
        g_session = nullptr;
    }
    if (g_opts != nullptr) {
        g_ort->ReleaseSessionOptions(g_opts);
        g_opts = nullptr;
    }
    if (g_mem != nullptr) {
        g_ort->ReleaseMemoryInfo(g_mem);
        g_mem = nullptr;
    }
    if (g_env != nullptr) {
        g_ort->ReleaseEnv(g_env);
        g_env = nullptr;
    }
}

// ---------------------------------------------------------------------------------------
// Interpolation. The tensor conversions themselves are in tensor_layout.h.

// The output must be a float tensor holding at least `needed` elements before it is read.
// Returns -1 with the error text set otherwise. A sequence or map is refused like a tensor
// of the wrong type, not with ONNX Runtime's complaint about it.
int check_output(OrtValue* output, size_t needed, float** data) {
    int is_tensor = 0;
    OrtStatus* status = g_ort->IsTensor(output, &is_tensor);
    if (status != nullptr) return fail_with_status(status, nullptr);
    if (is_tensor == 0) {
        set_error("Unexpected model output");
        return -1;
    }
    OrtTensorTypeAndShapeInfo* info = nullptr;
    status = g_ort->GetTensorTypeAndShape(output, &info);
    if (status != nullptr) return fail_with_status(status, nullptr);
    ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    size_t count = 0;
    status = g_ort->GetTensorElementType(info, &type);
    if (status == nullptr) status = g_ort->GetTensorShapeElementCount(info, &count);
    g_ort->ReleaseTensorTypeAndShapeInfo(info);
    if (status != nullptr) return fail_with_status(status, nullptr);
    if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || count < needed) {
        set_error("Unexpected model output");
        return -1;
    }
    void* raw = nullptr;
    status = g_ort->GetTensorMutableData(output, &raw);
    if (status != nullptr) return fail_with_status(status, nullptr);
    if (raw == nullptr) {
        set_error("Unexpected model output");
        return -1;
    }
    *data = static_cast<float*>(raw);
    return 0;
}

// ---------------------------------------------------------------------------------------
// File front end helpers.

struct FileSink {
    FILE* file;
    bool failed;
};

void write_to_sink(void* context, void* data, int size) {
    FileSink* sink = static_cast<FileSink*>(context);
    if (sink->failed || size <= 0) return;
    if (std::fwrite(data, 1, static_cast<size_t>(size), sink->file) != static_cast<size_t>(size))
        sink->failed = true;
}

// True when the text from the last "." of the whole path is exactly ".png" or ".PNG".
bool wants_png(const char* path) {
    const char* dot = std::strrchr(path, '.');
    return dot != nullptr && (std::strcmp(dot, ".png") == 0 || std::strcmp(dot, ".PNG") == 0);
}

// Encodes the pixels into output_path as PNG or JPEG (by name). stb's own file writers
// ignore fwrite and fclose errors, so the encoders write through our FILE* and both are
// checked. A failure part-way removes the partial file, but only a regular file: a
// device, FIFO or anything else the caller named is left alone.
int write_image(const char* output_path, int width, int height, const uint8_t* pixels) {
    FILE* file = std::fopen(output_path, "wb");
    if (file == nullptr) {
        set_error("Failed to write output");
        return -1;
    }
    struct stat info;
    const bool regular = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
    FileSink sink{file, false};
    const int encoded = wants_png(output_path)
                            ? stb_codecs_write_png(write_to_sink, &sink, width, height, pixels)
                            : stb_codecs_write_jpg(write_to_sink, &sink, width, height, pixels);
    const bool closed = std::fclose(file) == 0;
    if (encoded == 0 || sink.failed || !closed) {
        if (regular) std::remove(output_path);
        set_error("Failed to write output");
        return -1;
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Exported functions.

extern "C" {

RIFE_API const char* rife_get_error(void) { return g_error; }

RIFE_API int rife_get_progress(void) { return g_progress; }

RIFE_API void rife_cancel(void) {}

RIFE_API int rife_init(const char* model_dir) {
    if (g_initialized != 0) return 0;
    if (model_dir == nullptr) {
        set_error("model_dir is NULL");
        return -1;
    }
    // A failed attempt leaves what it had created; start from nothing.
    if (g_ort != nullptr) release_handles();

    char path[kPathBufferSize];
    const int length = std::snprintf(path, sizeof path, "%s/%s", model_dir, kri_model::kFileName);
    // A cut path could name a different file, so it is refused rather than loaded.
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        set_error("Model path too long");
        return -1;
    }

    g_ort = OrtGetApiBase()->GetApi(kOrtApiVersion);
    if (g_ort == nullptr) {
        set_error("Failed to get ORT API");
        return -1;
    }
    OrtStatus* status = g_ort->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "rife", &g_env);
    if (status != nullptr) return fail_with_status(status, nullptr);
    status = g_ort->CreateSessionOptions(&g_opts);
    if (status != nullptr) return fail_with_status(status, nullptr);
    configure_session_options(g_ort, g_opts);

#ifdef _WIN32
    // ONNX Runtime's Windows build takes UTF-16 paths. With flags 0 a byte that is not
    // UTF-8 becomes U+FFFD instead of failing, and a path of at most 1023 bytes never
    // needs more than 1024 UTF-16 units, so a 0 result (nothing converted, the buffer
    // not terminated) means a path that does not fit: refused, never handed on.
    wchar_t wide_path[kPathBufferSize];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide_path, static_cast<int>(kPathBufferSize)) ==
        0) {
        set_error("Model path too long");
        return -1;
    }
    status = g_ort->CreateSession(g_env, wide_path, g_opts, &g_session);
#else
    status = g_ort->CreateSession(g_env, path, g_opts, &g_session);
#endif
    if (status != nullptr) return fail_with_status(status, "CreateSession");

    status = g_ort->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &g_mem);
    if (status != nullptr) return fail_with_status(status, nullptr);

    g_initialized = 1;
    g_error[0] = '\0';
    return 0;
}

RIFE_API void rife_shutdown(void) {
    // Handles are only ever non-null after g_ort was obtained.
    if (g_ort != nullptr) release_handles();
    g_initialized = 0;
    g_progress = 0;
}

RIFE_API int rife_interpolate(const uint8_t* frame1, const uint8_t* frame2, int width, int height,
                              uint8_t* out_rgb, float timestep) {
    if (g_initialized == 0) {
        set_error("Not initialized");
        return -1;
    }
    if (frame2 == nullptr || out_rgb == nullptr || frame1 == nullptr) {
        set_error("NULL frame pointer");
        return -1;
    }
    if (width < 1 || height < 1) {
        set_error("Invalid dimensions");
        return -1;
    }
    // Out of range, and NaN (which fails both bounds), runs the midpoint.
    if (!(timestep >= 0.0f && timestep <= 1.0f)) timestep = 0.5f;

    const size_t padded_width = pad_to_64(width);
    const size_t padded_height = pad_to_64(height);
    // 3 x padded_width x padded_height <= kMaxTensorElements, tested by division so that
    // the product itself can never wrap, whatever the width of size_t.
    if (padded_width > kMaxTensorElements / 3 / padded_height) {
        set_error("Frame too large");
        return -1;
    }
    const size_t elements = 3 * padded_width * padded_height;
    const int pw = static_cast<int>(padded_width);
    const int ph = static_cast<int>(padded_height);

    float* planar0 = hwc_to_nchw(frame1, width, height, pw, ph);
    float* planar1 = hwc_to_nchw(frame2, width, height, pw, ph);
    if (planar0 == nullptr || planar1 == nullptr) {
        std::free(planar0);
        std::free(planar1);
        set_error("Memory allocation failed");
        return -1;
    }

    const int64_t image_shape[4] = {1, 3, static_cast<int64_t>(ph), static_cast<int64_t>(pw)};
    const int64_t timestep_shape[1] = {1};
    const size_t image_bytes = elements * sizeof(float);
    OrtValue* inputs[3] = {nullptr, nullptr, nullptr};
    OrtValue* output = nullptr;
    int result = -1;

    OrtStatus* status =
        g_ort->CreateTensorWithDataAsOrtValue(g_mem, planar0, image_bytes, image_shape, 4,
                                              ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[0]);
    if (status == nullptr)
        status =
            g_ort->CreateTensorWithDataAsOrtValue(g_mem, planar1, image_bytes, image_shape, 4,
                                                  ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[1]);
    if (status == nullptr)
        status = g_ort->CreateTensorWithDataAsOrtValue(
            g_mem, &timestep, sizeof timestep, timestep_shape, 1,
            ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &inputs[2]);
    if (status != nullptr) {
        fail_with_status(status, nullptr);
    } else {
        const char* const input_names[3] = {kri_model::kFirstFrame, kri_model::kSecondFrame,
                                            kri_model::kTimestep};
        const char* const output_names[1] = {kri_model::kOutput};
        status = g_ort->Run(g_session, nullptr, input_names, inputs, 3, output_names, 1, &output);
        float* data = nullptr;
        if (status != nullptr) {
            fail_with_status(status, "Run");
        } else if (check_output(output, elements, &data) == 0) {
            nchw_to_hwc(data, width, height, pw, ph, out_rgb);
            result = 0;
        }
    }

    // The input values only borrow the planar buffers and never touch them on release.
    if (output != nullptr) g_ort->ReleaseValue(output);
    std::free(planar0);
    std::free(planar1);
    for (OrtValue* value : inputs)
        if (value != nullptr) g_ort->ReleaseValue(value);
    return result;
}

RIFE_API int rife_interpolate_files(const char* frame1_path, const char* frame2_path,
                                    const char* output_path, float timestep) {
    if (frame2_path == nullptr || output_path == nullptr || frame1_path == nullptr) {
        set_error("NULL path");
        return -1;
    }
    int width1 = 0, height1 = 0, width2 = 0, height2 = 0;
    // Both files are decoded whatever becomes of the first.
    uint8_t* image1 = stb_codecs_load_rgb(frame1_path, &width1, &height1);
    uint8_t* image2 = stb_codecs_load_rgb(frame2_path, &width2, &height2);
    if (image1 == nullptr) {
        std::free(image2);
        set_error("Failed to load frame1");
        return -1;
    }
    if (image2 == nullptr) {
        std::free(image1);
        set_error("Failed to load frame2");
        return -1;
    }
    if (width1 != width2 || height1 != height2) {
        std::free(image1);
        std::free(image2);
        set_error("Frame dimensions mismatch");
        return -1;
    }
    const size_t out_bytes = 3 * static_cast<size_t>(width1) * static_cast<size_t>(height1);
    uint8_t* pixels = static_cast<uint8_t*>(std::malloc(out_bytes));
    if (pixels == nullptr) {
        std::free(image1);
        std::free(image2);
        set_error("OOM");
        return -1;
    }
    int result = rife_interpolate(image1, image2, width1, height1, pixels, timestep);
    if (result == 0) result = write_image(output_path, width1, height1, pixels);
    std::free(image1);
    std::free(image2);
    std::free(pixels);
    return result;
}

}  // extern "C"
