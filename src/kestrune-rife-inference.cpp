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

#ifndef _WIN32
#    include <fcntl.h>
#    include <pthread.h>
#    include <unistd.h>

#    include <cerrno>
#    include <climits>
#    include <csignal>
#    include <ctime>
#endif

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

// Encodes the pixels into an open file. stb's own file writers ignore fwrite errors, so
// the encoders write through our FILE* and every write is checked. True on success; the
// file is left open and unflushed.
bool encode_into(FILE* file, bool png, int width, int height, const uint8_t* pixels) {
    FileSink sink{file, false};
    const int encoded = png ? stb_codecs_write_png(write_to_sink, &sink, width, height, pixels)
                            : stb_codecs_write_jpg(write_to_sink, &sink, width, height, pixels);
    return encoded != 0 && !sink.failed;
}

// Writes straight into output_path. On POSIX systems this serves outputs that are not
// regular files (devices, FIFOs) and folders that take no new file; whatever a failed
// write leaves stays, as the folder may not allow the name to be created again. Windows
// builds write every output this way and remove a partial regular file.
bool write_in_place(const char* output_path, bool png, int width, int height,
                    const uint8_t* pixels) {
    FILE* file = std::fopen(output_path, "wb");
    if (file == nullptr) return false;
#ifdef _WIN32
    struct stat info;
    const bool regular = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
#endif
    const bool encoded = encode_into(file, png, width, height, pixels);
    const bool written = std::fclose(file) == 0 && encoded;
#ifdef _WIN32
    if (!written && regular) std::remove(output_path);
#endif
    return written;
}

#ifndef _WIN32

// Blocks SIGPIPE on the calling thread while it lives, so that writing to a pipe whose
// reader has gone fails with EPIPE instead of ending the host. A SIGPIPE raised meanwhile
// is consumed and the thread's mask restored; the host's handlers are never touched.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigemptyset(&sigpipe_);
        sigaddset(&sigpipe_, SIGPIPE);
        was_pending_ = pending();
        blocked_ = pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_) == 0;
    }
    ~SigpipeBlock() {
        if (!blocked_) return;
        if (!was_pending_ && pending()) {
            const struct timespec no_wait = {0, 0};
            sigtimedwait(&sigpipe_, nullptr, &no_wait);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    static bool pending() {
        sigset_t set;
        return sigpending(&set) == 0 && sigismember(&set, SIGPIPE) == 1;
    }
    sigset_t sigpipe_;
    sigset_t previous_;
    bool was_pending_ = false;
    bool blocked_ = false;
};

// A new file beside `target` (in the same folder, so that a rename replaces the target
// in one step), under a hidden name of its own. It is removed on destruction unless
// finish() renamed it over the target.
class ReplacementFile {
  public:
    explicit ReplacementFile(const char* target) : target_(target) {
        const char* slash = std::strrchr(target, '/');
        const int folder_length = slash != nullptr ? static_cast<int>(slash - target + 1) : 0;
        struct timespec now = {0, 0};
        clock_gettime(CLOCK_REALTIME, &now);
        unsigned salt =
            static_cast<unsigned>(getpid()) * 2654435761u ^ static_cast<unsigned>(now.tv_nsec);
        for (int attempt = 0; attempt < 100; ++attempt, salt = salt * 1664525u + 1013904223u) {
            const int length = std::snprintf(path_, sizeof path_, "%.*s.kri-%08x.part",
                                             folder_length, target, salt);
            if (length < 0 || static_cast<size_t>(length) >= sizeof path_) break;
            // 0666 lets the umask choose a new file's mode, as fopen would.
            const int fd = open(path_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                file_ = fdopen(fd, "wb");
                if (file_ == nullptr) {
                    close(fd);
                    unlink(path_);
                }
                break;
            }
            if (errno != EEXIST) break;
        }
        if (file_ == nullptr) path_[0] = '\0';
    }
    ~ReplacementFile() {
        if (file_ != nullptr) std::fclose(file_);
        if (path_[0] != '\0' && !renamed_) unlink(path_);
    }
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Null when the folder took no new file.
    FILE* file() const { return file_; }

    // The owner (where permitted) and mode of the file being replaced.
    void keep_mode_of(const struct stat& existing) {
        if (fchown(fileno(file_), existing.st_uid, existing.st_gid) != 0) {
            // Not permitted: the replacement keeps the caller as its owner.
        }
        fchmod(fileno(file_), existing.st_mode & 07777);
    }

    // Flushes the file to disk and renames it over the target; true on success.
    bool finish() {
        // EINVAL: a file system that has nothing to synchronise.
        const bool synced =
            std::fflush(file_) == 0 && (fsync(fileno(file_)) == 0 || errno == EINVAL);
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        renamed_ = synced && closed && std::rename(path_, target_) == 0;
        return renamed_;
    }

  private:
    const char* target_;
    char path_[PATH_MAX];
    FILE* file_ = nullptr;
    bool renamed_ = false;
};

enum class OutputKind { kNew, kRegular, kInPlace };

// Classifies the output. A regular file (or a symlink to one) is replaced: `target` gets
// its real path and `existing` its status. A name not taken yet is created through a
// replacement too (`target` is output_path). Anything else is written in place: devices,
// FIFOs, folders, dangling links, and paths that cannot be examined.
OutputKind classify_output(const char* output_path, char* target, struct stat* existing) {
    if (stat(output_path, existing) != 0) {
        struct stat link;
        if (errno != ENOENT || lstat(output_path, &link) == 0) return OutputKind::kInPlace;
        const int length = std::snprintf(target, PATH_MAX, "%s", output_path);
        return length >= 0 && length < PATH_MAX ? OutputKind::kNew : OutputKind::kInPlace;
    }
    if (!S_ISREG(existing->st_mode) || realpath(output_path, target) == nullptr)
        return OutputKind::kInPlace;
    return OutputKind::kRegular;
}

// Encodes into a file beside the target and renames it over the target only when it is
// complete, so a failed write never costs the file that was there (an input named as the
// output included). Falls back to writing in place where the folder takes no new file.
bool write_replacing(const char* output_path, bool png, int width, int height,
                     const uint8_t* pixels) {
    char target[PATH_MAX];
    struct stat existing;
    const OutputKind kind = classify_output(output_path, target, &existing);
    if (kind == OutputKind::kInPlace)
        return write_in_place(output_path, png, width, height, pixels);
    ReplacementFile replacement(target);
    if (replacement.file() == nullptr)
        return write_in_place(output_path, png, width, height, pixels);
    if (kind == OutputKind::kRegular) replacement.keep_mode_of(existing);
    return encode_into(replacement.file(), png, width, height, pixels) && replacement.finish();
}

#endif  // !_WIN32

// Writes the pixels to output_path as PNG or JPEG (by name). A size the format cannot
// hold is refused before any file is touched.
int write_image(const char* output_path, int width, int height, const uint8_t* pixels) {
    const bool png = wants_png(output_path);
    bool written = false;
    if (stb_codecs_can_write(png ? 1 : 0, width, height) != 0) {
#ifdef _WIN32
        written = write_in_place(output_path, png, width, height, pixels);
#else
        SigpipeBlock sigpipe_block;
        written = write_replacing(output_path, png, width, height, pixels);
#endif
    }
    if (!written) {
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
