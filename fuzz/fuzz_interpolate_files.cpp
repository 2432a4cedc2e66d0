// libFuzzer entry points for the file front end. Every input is written to a file that
// rife_interpolate_files reads as both frame 1 and frame 2 on a ready engine running the
// identity model, so the PNG and JPEG decoders, the size checks, the interpolation and
// (for inputs that decode) the PNG or JPEG encoder all see it.
//
// The same file builds the libFuzzer binary (clang, -fsanitize=fuzzer) and, with
// replay_main.cpp, a plain program that feeds saved inputs through the same function.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kestrune-rife-inference.h"

// A private copy of the (fixed) decoder, only to read the size an input claims before the
// library decodes it (see kMaxInterpolatedArea).
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#if defined(__GNUC__)
#    pragma GCC diagnostic push
#    pragma GCC diagnostic ignored "-Wunused-function"
#    pragma GCC diagnostic ignored "-Wsign-compare"
#    pragma GCC diagnostic ignored "-Wunused-parameter"
#    pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#    pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#endif
#if defined(__GNUC__) && !defined(__clang__)
#    pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <stb/stb_image.h>
#if defined(__GNUC__)
#    pragma GCC diagnostic pop
#endif

namespace {

// Inputs whose frame, padded to multiples of 64 as the network takes it, holds more pixels
// than this are decoded but not interpolated: the second frame is missing, so the call ends
// after both loads. Interpolation costs the model's memory and time, which grow with the
// padded size (a 70000 x 1 frame pads to 70016 x 64) and are no concern of the decoders.
constexpr long long kMaxInterpolatedArea = 1LL << 20;
// A truncated JPEG decodes as if the rest were zeros, so a few header bytes buy a legal
// image of up to 2^31 bytes that really is decoded, taking more memory and time than a run
// allows. JPEG inputs claiming more than this are skipped; PNG needs image data for every
// byte it fills, so PNG inputs of any size go through (under -rss_limit_mb/-malloc_limit_mb).
constexpr long long kMaxJpegPixels = 1LL << 22;

long long padded(int side) { return (static_cast<long long>(side) + 63) / 64 * 64; }

std::string g_dir, g_input, g_png, g_jpg, g_missing;

// The first bytes of an encoded file must be its format's signature.
bool starts_with(const std::string& path, const char* signature, size_t length) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char head[8] = {0};
    const size_t got = std::fread(head, 1, length, file);
    std::fclose(file);
    return got == length && std::memcmp(head, signature, length) == 0;
}

// Reports a broken expectation and aborts, which libFuzzer records as a crash. With
// -fork, a job's output is discarded, so the reason is also appended to the file named by
// KRI_FUZZ_FAILURE_LOG when that is set.
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_interpolate_files: %s (error text: \"%s\")\n", what,
                 rife_get_error());
    if (const char* log_path = std::getenv("KRI_FUZZ_FAILURE_LOG")) {
        if (FILE* log = std::fopen(log_path, "a")) {
            std::fprintf(log, "%s (error text: \"%s\")\n", what, rife_get_error());
            std::fclose(log);
        }
    }
    std::abort();
}

// When the two loads of one file disagree, records what else might explain it: whether
// the file on disk still holds the input, and what this copy of the decoder makes of it.
void explain_inconsistent_load(const uint8_t* data, size_t size) {
    const char* log_path = std::getenv("KRI_FUZZ_FAILURE_LOG");
    FILE* log = log_path != nullptr ? std::fopen(log_path, "a") : nullptr;
    if (log == nullptr) return;
    FILE* file = std::fopen(g_input.c_str(), "rb");
    std::string disk;
    if (file != nullptr) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) disk.append(buffer, got);
        std::fclose(file);
    }
    const bool same = disk.size() == size && std::memcmp(disk.data(), data, size) == 0;
    std::fprintf(log, "input of %zu bytes, file on disk %s\n", size,
                 same ? "identical" : "DIFFERENT");
    for (int attempt = 0; attempt < 3; ++attempt) {
        int w = 0, h = 0, c = 0;
        stbi_uc* pixels = stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &c, 3);
        std::fprintf(log, "  private decode %d: %s (%dx%d) %s\n", attempt,
                     pixels != nullptr ? "ok" : "failed", w, h,
                     pixels != nullptr ? "" : stbi_failure_reason());
        stbi_image_free(pixels);
    }
    std::fclose(log);
}

// True when the scratch folder holds nothing but the input: no output, no temporary.
bool only_input_left() {
    DIR* folder = opendir(g_dir.c_str());
    if (folder == nullptr) return false;
    bool only_input = true;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "input") only_input = false;
    }
    closedir(folder);
    return only_input;
}

// Checks the outcome of a call that interpolated: a success leaves a well-formed file; a
// failure can only be the first load (the same file is both frames).
void check_interpolated(int result, bool png) {
    const std::string& output = png ? g_png : g_jpg;
    if (result == 0) {
        const bool signed_right = png ? starts_with(output, "\x89PNG\r\n\x1a\n", 8)
                                      : starts_with(output, "\xff\xd8\xff", 3);
        if (!signed_right) fail("success without a well-formed output file");
        std::remove(output.c_str());
    } else if (result != -1) {
        fail("result neither 0 nor -1");
    } else if (std::strcmp(rife_get_error(), "Failed to load frame1") != 0) {
        fail("unexpected failure");
    }
}

void cleanup() {
    rife_shutdown();
    std::remove(g_input.c_str());
    std::remove(g_png.c_str());
    std::remove(g_jpg.c_str());
    rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/kri-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) fail("cannot create a scratch folder");
    g_dir = pattern;
    g_input = g_dir + "/input";
    g_png = g_dir + "/out.png";
    g_jpg = g_dir + "/out.jpg";
    g_missing = g_dir + "/missing";
    if (rife_init(KRI_FUZZ_MODEL_DIR) != 0) fail("rife_init failed");
    std::atexit(cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(INT32_MAX)) return 0;
    int width = 0, height = 0, channels = 0;
    const bool known =
        stbi_info_from_memory(data, static_cast<int>(size), &width, &height, &channels) != 0;
    const long long pixels = known ? static_cast<long long>(width) * height : 0;
    const bool is_png = size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0;
    if (pixels > kMaxJpegPixels && !is_png) return 0;

    FILE* file = std::fopen(g_input.c_str(), "wb");
    if (file == nullptr) fail("cannot write the input file");
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) fail("cannot write the input file");

    // Odd sizes go to PNG, even sizes to JPEG: both encoders get inputs.
    const bool png = (size & 1) != 0;
    const std::string& output = png ? g_png : g_jpg;
    if (padded(width) * padded(height) <= kMaxInterpolatedArea) {
        const int result =
            rife_interpolate_files(g_input.c_str(), g_input.c_str(), output.c_str(), 0.5f);
        if (result == -1 && std::strcmp(rife_get_error(), "Failed to load frame1") != 0)
            explain_inconsistent_load(data, size);
        check_interpolated(result, png);
    } else {
        const int result =
            rife_interpolate_files(g_input.c_str(), g_missing.c_str(), output.c_str(), 0.5f);
        if (result != -1 || (std::strcmp(rife_get_error(), "Failed to load frame1") != 0 &&
                             std::strcmp(rife_get_error(), "Failed to load frame2") != 0))
            fail("unexpected outcome of a load-only call");
    }
    if (!only_input_left()) fail("an output or temporary file left after the call");
    return 0;
}
