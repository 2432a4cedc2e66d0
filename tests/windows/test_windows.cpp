// The Windows build of the library, exercised as a Windows host would: lifecycle and error
// texts, in-memory interpolation, the file front end, and a model folder whose name is not
// ASCII (which only works if the UTF-8 model path is converted to UTF-16 for ONNX Runtime).
//
// Usage: kri_windows_test.exe <fixtures>
//   <fixtures>/models/{blend,identity,not-a-model}/rife49_ensemble.onnx  (make_models.py)
//   <fixtures>/a.png, b.png (70 x 50 RGB), c.png (70 x 51 RGB)
// <fixtures> is an ASCII Windows path (under Wine, Z:/...). The engine record is one per
// process, so the cases run in order and each leaves the engine shut down.
#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kestrune-rife-inference.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#include <stb/stb_image.h>  // a system header here (kri_use_stb): stb's warnings stay out

namespace {

int g_checks = 0;
int g_failures = 0;

void report_failure(const char* file, int line, const char* what, const std::string& detail) {
    ++g_failures;
    std::printf("FAILED %s:%d: %s%s%s\n", file, line, what, detail.empty() ? "" : " -- ",
                detail.c_str());
}

// CHECK continues after a failure; REQUIRE leaves the current case.
#define CHECK_MSG(cond, detail)                                           \
    do {                                                                  \
        ++g_checks;                                                       \
        if (!(cond)) report_failure(__FILE__, __LINE__, #cond, (detail)); \
    } while (0)
#define CHECK(cond) CHECK_MSG(cond, std::string(rife_get_error()))
#define REQUIRE(cond)                                                    \
    do {                                                                 \
        ++g_checks;                                                      \
        if (!(cond)) {                                                   \
            report_failure(__FILE__, __LINE__, #cond, rife_get_error()); \
            return;                                                      \
        }                                                                \
    } while (0)
#define CHECK_ERROR(expected)                                 \
    CHECK_MSG(std::strcmp(rife_get_error(), (expected)) == 0, \
              std::string("error text: ") + rife_get_error())

std::string g_fixtures;  // UTF-8 (ASCII) fixtures folder, '/' separated

std::string model(const char* name) { return g_fixtures + "/models/" + name; }
std::string fixture(const char* name) { return g_fixtures + "/" + name; }

bool starts_with(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

std::vector<uint8_t> gradient_frame(int width, int height, int phase) {
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &frame[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = static_cast<uint8_t>((x * 3 + phase) & 0xff);
            p[1] = static_cast<uint8_t>((y * 5 + 2 * phase) & 0xff);
            p[2] = static_cast<uint8_t>((x * y + 7 * phase) & 0xff);
        }
    return frame;
}

// (1 - t) * a + t * b on the unit scale, back to a byte with halves rounding up.
int expected_blend(uint8_t a, uint8_t b, float t) {
    const double v = (1.0 - t) * (a / 255.0) + t * (b / 255.0);
    return static_cast<int>(std::floor(v * 255.0 + 0.5));
}

// Largest absolute difference between two byte buffers of one size (-1 if sizes differ).
int max_difference(const uint8_t* a, const uint8_t* b, size_t size) {
    int worst = 0;
    for (size_t i = 0; i < size; ++i) {
        const int d = std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
        if (d > worst) worst = d;
    }
    return worst;
}

bool file_exists(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

// The first bytes of a file, or an empty vector when it cannot be read.
std::vector<uint8_t> file_head(const std::string& path, size_t count) {
    std::vector<uint8_t> head(count);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return {};
    head.resize(std::fread(head.data(), 1, count, f));
    std::fclose(f);
    return head;
}

bool is_png(const std::string& path) {
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    const auto head = file_head(path, 8);
    return head.size() == 8 && std::memcmp(head.data(), signature, 8) == 0;
}

bool is_jpeg(const std::string& path) {
    const auto head = file_head(path, 3);
    return head.size() == 3 && head[0] == 0xff && head[1] == 0xd8 && head[2] == 0xff;
}

struct Image {
    std::vector<uint8_t> rgb;
    int width = 0;
    int height = 0;
};

Image decode(const std::string& path) {
    Image image;
    int channels = 0;
    uint8_t* data = stbi_load(path.c_str(), &image.width, &image.height, &channels, 3);
    if (data != nullptr) {
        image.rgb.assign(data, data + static_cast<size_t>(image.width) * image.height * 3);
        stbi_image_free(data);
    }
    return image;
}

// ---------------------------------------------------------------------------------------

void case_lifecycle_and_errors() {
    const char* error = rife_get_error();
    REQUIRE(error != nullptr);
    CHECK(error[0] == '\0');
    CHECK(rife_get_progress() == 0);
    rife_shutdown();  // on a fresh library: no effect
    rife_shutdown();

    uint8_t pixel[3] = {1, 2, 3}, out[3] = {0, 0, 0};
    CHECK(rife_interpolate(pixel, pixel, 1, 1, out, 0.5f) == -1);
    CHECK_ERROR("Not initialized");
    CHECK(rife_get_error() == error);  // one address for the life of the library

    CHECK(rife_init(nullptr) == -1);
    CHECK_ERROR("model_dir is NULL");

    CHECK(rife_init(fixture("no-such-folder").c_str()) == -1);
    CHECK_MSG(starts_with(rife_get_error(), "CreateSession: "), rife_get_error());
    CHECK(rife_init(model("not-a-model").c_str()) == -1);
    CHECK_MSG(starts_with(rife_get_error(), "CreateSession: "), rife_get_error());
    CHECK(rife_interpolate(pixel, pixel, 1, 1, out, 0.5f) == -1);
    CHECK_ERROR("Not initialized");

    // Bytes that are not UTF-8 must still give a clean refusal, not a crash or a load.
    CHECK(rife_init((g_fixtures + "/bad-\xff\xfe-folder").c_str()) == -1);
    CHECK_MSG(starts_with(rife_get_error(), "CreateSession: ") ||
                  std::strcmp(rife_get_error(), "Model path too long") == 0,
              rife_get_error());

    const std::string too_long = g_fixtures + "/" + std::string(1100, 'd');
    CHECK(rife_init(too_long.c_str()) == -1);
    CHECK_ERROR("Model path too long");

    REQUIRE(rife_init(model("blend").c_str()) == 0);
    CHECK_ERROR("");
    CHECK(rife_interpolate(pixel, pixel, 0, 1, out, 0.5f) == -1);
    CHECK_ERROR("Invalid dimensions");
    CHECK(rife_init(nullptr) == 0);  // ready: nothing examined, error kept
    CHECK_ERROR("Invalid dimensions");
    CHECK(rife_init(model("identity").c_str()) == 0);  // keeps the blend model
    CHECK(rife_interpolate(nullptr, pixel, 1, 1, out, 0.5f) == -1);
    CHECK_ERROR("NULL frame pointer");
    CHECK(rife_interpolate(pixel, pixel, 1, -3, out, 0.5f) == -1);
    CHECK_ERROR("Invalid dimensions");

    const uint8_t black[3] = {0, 0, 0}, white[3] = {255, 255, 255};
    CHECK(rife_interpolate(black, white, 1, 1, out, 0.5f) == 0);
    CHECK_MSG(out[0] == 128 && out[1] == 128 && out[2] == 128,
              "blend of black and white at 0.5 (the identity model would give 0): " +
                  std::to_string(out[0]));
    CHECK_ERROR("Invalid dimensions");  // a success leaves the old text
    rife_cancel();
    CHECK(rife_get_progress() == 0);

    rife_shutdown();
    CHECK(rife_interpolate(black, white, 1, 1, out, 0.5f) == -1);
    CHECK_ERROR("Not initialized");
    CHECK(rife_init((model("identity") + "/").c_str()) == 0);  // doubled separator loads
    CHECK(rife_interpolate(black, white, 1, 1, out, 0.5f) == 0);
    CHECK_MSG(out[0] == 0 && out[1] == 0 && out[2] == 0, "identity after re-init");
    rife_shutdown();
    CHECK(rife_get_progress() == 0);
}

void case_interpolation() {
    REQUIRE(rife_init(model("blend").c_str()) == 0);
    // 70 x 50: neither side a multiple of 64, so the padding is exercised on both axes.
    const int w = 70, h = 50;
    const auto a = gradient_frame(w, h, 0);
    const auto b = gradient_frame(w, h, 91);
    std::vector<uint8_t> out(a.size(), 0xcd);

    REQUIRE(rife_interpolate(a.data(), b.data(), w, h, out.data(), 0.0f) == 0);
    CHECK_MSG(out == a, "t = 0 gives the first frame");
    REQUIRE(rife_interpolate(a.data(), b.data(), w, h, out.data(), 1.0f) == 0);
    CHECK_MSG(out == b, "t = 1 gives the second frame");

    REQUIRE(rife_interpolate(a.data(), b.data(), w, h, out.data(), 0.25f) == 0);
    int worst = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        const int d = std::abs(out[i] - expected_blend(a[i], b[i], 0.25f));
        if (d > worst) worst = d;
    }
    CHECK_MSG(worst <= 1, "largest deviation from the blend at 0.25: " + std::to_string(worst));
    rife_shutdown();

    REQUIRE(rife_init(model("identity").c_str()) == 0);
    std::fill(out.begin(), out.end(), 0);
    REQUIRE(rife_interpolate(a.data(), b.data(), w, h, out.data(), 0.5f) == 0);
    CHECK_MSG(out == a, "identity returns the first frame byte for byte");
    rife_shutdown();
}

void case_files() {
    const std::string a = fixture("a.png"), b = fixture("b.png"), c = fixture("c.png");
    const Image image_a = decode(a), image_b = decode(b);
    REQUIRE(image_a.width == 70 && image_a.height == 50);
    REQUIRE(image_b.width == 70 && image_b.height == 50);

    // Not ready: both inputs are decoded, the call fails, and no file is written.
    const std::string early = fixture("out-not-ready.png");
    CHECK(rife_interpolate_files(a.c_str(), b.c_str(), early.c_str(), 0.5f) == -1);
    CHECK_ERROR("Not initialized");
    CHECK(!file_exists(early));

    REQUIRE(rife_init(model("blend").c_str()) == 0);
    std::vector<uint8_t> expected(image_a.rgb.size());
    REQUIRE(rife_interpolate(image_a.rgb.data(), image_b.rgb.data(), 70, 50, expected.data(),
                             0.25f) == 0);

    // PNG only for exactly ".png" / ".PNG"; every other name gets JPEG at quality 95.
    struct Output {
        const char* name;
        bool png;
    };
    const Output outputs[] = {{"out-lower.png", true},  {"out-upper.PNG", true},
                              {"out-mixed.Png", false}, {"out.jpg", false},
                              {"out.bmp", false},       {"out-no-extension", false},
                              {"out.jpg.png", true},    {"out.png.jpg", false}};
    for (const Output& output : outputs) {
        const std::string path = fixture(output.name);
        CHECK_MSG(rife_interpolate_files(a.c_str(), b.c_str(), path.c_str(), 0.25f) == 0,
                  std::string(output.name) + ": " + rife_get_error());
        const Image written = decode(path);
        CHECK_MSG(written.width == 70 && written.height == 50, output.name);
        if (written.rgb.size() != expected.size()) continue;
        const int worst = max_difference(written.rgb.data(), expected.data(), expected.size());
        if (output.png) {
            CHECK_MSG(is_png(path), output.name);
            CHECK_MSG(worst == 0, std::string(output.name) +
                                      " differs from the in-memory frame by " +
                                      std::to_string(worst));
        } else {
            // Quality 95 on smooth gradients stays within a few levels everywhere.
            CHECK_MSG(is_jpeg(path), output.name);
            CHECK_MSG(worst <= 12, std::string(output.name) +
                                       " is too far from the frame: " + std::to_string(worst));
        }
    }

    const std::string out = fixture("out-errors.png");
    CHECK(rife_interpolate_files(nullptr, b.c_str(), out.c_str(), 0.5f) == -1);
    CHECK_ERROR("NULL path");
    CHECK(rife_interpolate_files(a.c_str(), b.c_str(), nullptr, 0.5f) == -1);
    CHECK_ERROR("NULL path");
    CHECK(rife_interpolate_files(fixture("missing-1.png").c_str(), fixture("missing-2.png").c_str(),
                                 out.c_str(), 0.5f) == -1);
    CHECK_ERROR("Failed to load frame1");
    CHECK(rife_interpolate_files(a.c_str(), fixture("missing-2.png").c_str(), out.c_str(), 0.5f) ==
          -1);
    CHECK_ERROR("Failed to load frame2");
    CHECK(rife_interpolate_files(a.c_str(), c.c_str(), out.c_str(), 0.5f) == -1);
    CHECK_ERROR("Frame dimensions mismatch");
    CHECK(!file_exists(out));
    // Output that cannot be created: a missing folder, or a name that is a folder.
    const std::string nowhere = fixture("no-such-folder/out.png");
    CHECK(rife_interpolate_files(a.c_str(), b.c_str(), nowhere.c_str(), 0.5f) == -1);
    CHECK_ERROR("Failed to write output");
    CHECK(rife_interpolate_files(a.c_str(), b.c_str(), model("blend").c_str(), 0.5f) == -1);
    CHECK_ERROR("Failed to write output");
    CHECK(file_exists(model("blend") + "/rife49_ensemble.onnx"));

    // Backslash separators, as a Windows host writes them, reach fopen as they are.
    std::string backslashed = fixture("out-backslash.png");
    for (char& ch : backslashed)
        if (ch == '/') ch = '\\';
    CHECK(rife_interpolate_files(a.c_str(), b.c_str(), backslashed.c_str(), 0.25f) == 0);
    CHECK(is_png(fixture("out-backslash.png")));
    rife_shutdown();
}

// The fixtures folder as a wide string (it is ASCII, so each byte is one character).
std::wstring wide_fixtures() {
    std::wstring root;
    for (char ch : g_fixtures) root += static_cast<wchar_t>(static_cast<unsigned char>(ch));
    return root;
}

// The model folder "modèles-日本" is created through the wide-character API, so its name on
// disk is the UTF-16 one; rife_init gets the same name as UTF-8 and must find the model.
void case_non_ascii_model_folder() {
    const std::wstring root = wide_fixtures();
    const std::wstring folder = root + L"\\mod\u00e8les-\u65e5\u672c";
    const std::wstring source = root + L"\\models\\blend\\rife49_ensemble.onnx";
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        REQUIRE(GetLastError() == ERROR_ALREADY_EXISTS);
    }
    REQUIRE(CopyFileW(source.c_str(), (folder + L"\\rife49_ensemble.onnx").c_str(), FALSE));

    const std::string utf8 = g_fixtures + "/mod\xc3\xa8les-\xe6\x97\xa5\xe6\x9c\xac";
    REQUIRE(rife_init(utf8.c_str()) == 0);
    CHECK_ERROR("");
    const uint8_t black[3] = {0, 0, 0}, white[3] = {255, 255, 255};
    uint8_t out[3] = {0, 0, 0};
    CHECK(rife_interpolate(black, white, 1, 1, out, 0.75f) == 0);
    CHECK_MSG(out[0] == 191 && out[1] == 191 && out[2] == 191,
              "blend at 0.75 through the non-ASCII folder: " + std::to_string(out[0]));
    rife_shutdown();
}

// Image paths reach fopen as they are, so on Windows they are read in the ANSI code page,
// unlike the UTF-8 model path: names spelt in that code page open the files whose wide
// names they spell.
void case_image_paths_in_the_ansi_code_page() {
    const std::wstring root = wide_fixtures();
    const wchar_t* input_name = L"entr\u00e9e.png";
    const wchar_t* output_name = L"sortie-\u00e9t\u00e9.png";
    std::string input_ansi, output_ansi;
    for (auto [wide, ansi] : {std::pair{input_name, &input_ansi}, {output_name, &output_ansi}}) {
        char buffer[MAX_PATH];
        BOOL lossy = FALSE;
        const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, buffer,
                                          sizeof buffer, nullptr, &lossy);
        if (n == 0 || lossy) {
            std::printf("     (skipped: ANSI code page %u cannot spell the test names)\n",
                        GetACP());
            return;
        }
        *ansi = buffer;
    }
    REQUIRE(CopyFileW((root + L"\\a.png").c_str(), (root + L"\\" + input_name).c_str(), FALSE));
    REQUIRE(rife_init(model("blend").c_str()) == 0);
    const std::string input = g_fixtures + "/" + input_ansi;
    const std::string output = g_fixtures + "/" + output_ansi;
    CHECK(rife_interpolate_files(input.c_str(), fixture("b.png").c_str(), output.c_str(), 0.25f) ==
          0);
    CHECK_MSG(
        GetFileAttributesW((root + L"\\" + output_name).c_str()) != INVALID_FILE_ATTRIBUTES,
        "no file under the wide output name (ANSI code page " + std::to_string(GetACP()) + ")");
    rife_shutdown();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <fixtures folder>\n", argv[0]);
        return 2;
    }
    g_fixtures = argv[1];
    for (char ch : g_fixtures)
        if (static_cast<unsigned char>(ch) >= 0x80) {
            std::fprintf(stderr, "the fixtures folder must be an ASCII path\n");
            return 2;
        }
    while (!g_fixtures.empty() && (g_fixtures.back() == '/' || g_fixtures.back() == '\\'))
        g_fixtures.pop_back();

    struct Case {
        const char* name;
        void (*run)();
    };
    const Case cases[] = {
        {"lifecycle and errors", case_lifecycle_and_errors},
        {"interpolation", case_interpolation},
        {"files", case_files},
        {"non-ASCII model folder", case_non_ascii_model_folder},
        {"image paths in the ANSI code page", case_image_paths_in_the_ansi_code_page}};
    for (const Case& c : cases) {
        const int before = g_failures;
        const DWORD start = GetTickCount();
        c.run();
        rife_shutdown();
        std::printf("%-4s %s (%lu ms)\n", g_failures == before ? "ok" : "FAIL", c.name,
                    static_cast<unsigned long>(GetTickCount() - start));
    }
    std::printf("%d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
