// Reliability: repeated start-up and shutdown, a long model path of multi-byte UTF-8
// folder names, and a working engine after every kind of failed call. Each test runs in a
// process of its own; all of them are cheap (small frames, probe models).
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb/stb_image.h>
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace {

using Frame = std::vector<uint8_t>;

// An odd size, so the frame is padded both to the right and below.
constexpr int kWidth = 70;
constexpr int kHeight = 33;

const char kModelFile[] = "/rife49_ensemble.onnx";

int interpolate(const Frame& a, const Frame& b, int width, int height, Frame* out, float timestep) {
    out->assign(a.size(), 0);
    return rife_interpolate(a.data(), b.data(), width, height, out->data(), timestep);
}

// The blend model computes (1 - t) * a + t * b in float; the result may differ from the
// exact value by the final rounding only.
void expect_blend(const Frame& a, const Frame& b, const Frame& out, float timestep) {
    ASSERT_EQ(out.size(), a.size());
    size_t off_by_more = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double exact = (1.0 - timestep) * a[i] + timestep * b[i];
        if (std::fabs(out[i] - exact) > 1.0) ++off_by_more;
    }
    EXPECT_EQ(off_by_more, 0u) << "samples further than 1 from the blend";
}

// A good call whose result must equal `reference`, which the caller made with the same
// frames, size and timestep before anything failed.
void expect_still_good(const Frame& a, const Frame& b, int width, int height,
                       const Frame& reference, float timestep) {
    Frame out;
    ASSERT_EQ(interpolate(a, b, width, height, &out, timestep), 0) << rife_get_error();
    EXPECT_EQ(out, reference);
}

// A failed call must give the expected text and leave the output buffer unwritten.
void expect_refused(const uint8_t* a, const uint8_t* b, int width, int height, bool with_output,
                    const char* message) {
    uint8_t sentinel[64];
    std::memset(sentinel, 0xAB, sizeof sentinel);
    EXPECT_EQ(rife_interpolate(a, b, width, height, with_output ? sentinel : nullptr, 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), message) << width << "x" << height;
    for (uint8_t byte : sentinel) ASSERT_EQ(byte, 0xAB) << "output written by a failed call";
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

void copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    ASSERT_TRUE(in.good() || in.eof());
    ASSERT_TRUE(out.good()) << to;
}

// UTF-8 characters in `text` (bytes that are not continuation bytes).
size_t utf8_characters(const std::string& text) {
    size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

// Creates nested folders under `base`, named by repeating a multi-byte UTF-8 word, until
// the whole folder path is exactly `bytes` bytes long, and returns it. Every folder name
// stays below the 255-byte limit of one name.
std::string utf8_folder_of_length(const std::string& base, size_t bytes) {
    const std::string word = "modèles-日本";  // 15 bytes, 10 characters
    std::string path = base;
    while (path.size() < bytes) {
        size_t room = bytes - path.size() - 1;  // minus the "/"
        if (room > 240) {
            // A full name of 16 words, unless that would leave a single byte, which
            // cannot hold "/" and a name.
            room = (room - 240 == 1) ? 225 : 240;
        }
        std::string name;
        while (name.size() + word.size() <= room) name += word;
        name += std::string(room - name.size(), 'e');
        path += "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    }
    EXPECT_EQ(path.size(), bytes);
    return path;
}

void write_png(const std::string& path, const Frame& frame, int width, int height) {
    ASSERT_NE(stbi_write_png(path.c_str(), width, height, 3, frame.data(), width * 3), 0) << path;
}

Frame read_png(const std::string& path, int width, int height) {
    int w = 0, h = 0, channels = 0;
    stbi_uc* pixels = stbi_load(path.c_str(), &w, &h, &channels, 3);
    EXPECT_NE(pixels, nullptr) << path;
    if (pixels == nullptr) return {};
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    Frame frame(pixels, pixels + static_cast<size_t>(w) * h * 3);
    stbi_image_free(pixels);
    return frame;
}

// Threads of this process, from /proc/self/status.
int thread_count() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key)
        if (key == "Threads:") {
            int count = -1;
            status >> count;
            return count;
        }
    return -1;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

TEST(Cycling, FiftyInitInterpolateShutdownCyclesGiveTheCorrectResult) {
    const Frame a = random_frame(kWidth, kHeight, 11);
    const Frame b = random_frame(kWidth, kHeight, 12);
    Frame reference;
    int threads_after_first = -1;
    for (int cycle = 0; cycle < 50; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        // Every tenth cycle loads another model, so a cycle that kept the old session
        // instead of loading afresh shows.
        const bool other = cycle % 10 == 9;
        ASSERT_EQ(rife_init(model_dir(other ? "second" : "blend").c_str()), 0) << rife_get_error();
        EXPECT_STREQ(rife_get_error(), "");
        Frame out;
        ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.5f), 0) << rife_get_error();
        if (other) {
            EXPECT_EQ(out, b) << "the second-input model must be the one loaded";
        } else if (reference.empty()) {
            expect_blend(a, b, out, 0.5f);
            reference = out;
        } else {
            EXPECT_EQ(out, reference);
        }
        rife_shutdown();
        ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.5f), -1);
        ASSERT_STREQ(rife_get_error(), "Not initialized");
        // ONNX Runtime keeps one thread of its own from the first start-up on; a session
        // left unreleased would keep its whole thread pool, cycle after cycle.
        if (cycle == 0) threads_after_first = thread_count();
        EXPECT_EQ(thread_count(), threads_after_first);
    }
    EXPECT_GT(threads_after_first, 0);
}

TEST(LongPath, MultiByteFolderNamesUpTo1023BytesLoadAndOneByteMoreIsRefused) {
    const size_t folder_bytes = 1023 - std::strlen(kModelFile);
    const std::string fits_base = scratch_dir();
    const std::string fits = utf8_folder_of_length(fits_base, folder_bytes);
    const std::string model_path = fits + kModelFile;
    ASSERT_EQ(model_path.size(), 1023u);
    // Far fewer characters than bytes: a limit counted in characters would accept the
    // refused path below.
    ASSERT_LT(utf8_characters(model_path), 800u);
    copy_file(model_dir("blend") + kModelFile, model_path);

    // One byte too many. A valid model waits at the path cut to 1023 bytes, so loading
    // a cut path instead of refusing it would succeed.
    const std::string too_long_base = scratch_dir();
    const std::string too_long = utf8_folder_of_length(too_long_base, folder_bytes + 1);
    ASSERT_EQ((too_long + kModelFile).size(), 1024u);
    copy_file(model_dir("blend") + kModelFile, (too_long + kModelFile).substr(0, 1023));
    EXPECT_EQ(rife_init(too_long.c_str()), -1);
    EXPECT_STREQ(rife_get_error(), "Model path too long");

    // The refusal leaves nothing behind: the path that fits loads and runs.
    ASSERT_EQ(rife_init(fits.c_str()), 0) << rife_get_error();
    const Frame a = random_frame(kWidth, kHeight, 21);
    const Frame b = random_frame(kWidth, kHeight, 22);
    Frame out;
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.0f), 0) << rife_get_error();
    EXPECT_EQ(out, a) << "timestep 0 of the blend is the first frame";
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.75f), 0) << rife_get_error();
    expect_blend(a, b, out, 0.75f);
    rife_shutdown();
    std::filesystem::remove_all(fits_base);
    std::filesystem::remove_all(too_long_base);
}

TEST(AfterFailure, NotInitializedThenGoodInit) {
    const Frame a = random_frame(kWidth, kHeight, 31);
    const Frame b = random_frame(kWidth, kHeight, 32);
    Frame out;
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    init_with("blend");
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.5f), 0) << rife_get_error();
    expect_blend(a, b, out, 0.5f);
    rife_shutdown();
}

TEST(AfterFailure, ArgumentErrorsLeaveTheEngineUsable) {
    init_with("blend");
    const Frame a = random_frame(kWidth, kHeight, 41);
    const Frame b = random_frame(kWidth, kHeight, 42);
    Frame reference;
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &reference, 0.25f), 0) << rife_get_error();
    expect_blend(a, b, reference, 0.25f);

    struct Case {
        bool null_a, null_b, null_out;
        int width, height;
        const char* message;
    };
    const Case cases[] = {
        {true, false, false, kWidth, kHeight, "NULL frame pointer"},
        {false, true, false, kWidth, kHeight, "NULL frame pointer"},
        {false, false, true, kWidth, kHeight, "NULL frame pointer"},
        {false, false, false, 0, kHeight, "Invalid dimensions"},
        {false, false, false, kWidth, -1, "Invalid dimensions"},
        {false, false, false, INT_MIN, INT_MIN, "Invalid dimensions"},
        // Refused before a byte of the frames is read, so small buffers stand in.
        {false, false, false, 65536, 65536, "Frame too large"},
        {false, false, false, INT_MAX, 1, "Frame too large"},
        {false, false, false, 1, INT_MAX, "Frame too large"},
        {false, false, false, 26800, 26800, "Frame too large"},
    };
    for (const Case& c : cases) {
        expect_refused(c.null_a ? nullptr : a.data(), c.null_b ? nullptr : b.data(), c.width,
                       c.height, !c.null_out, c.message);
        expect_still_good(a, b, kWidth, kHeight, reference, 0.25f);
        EXPECT_STREQ(rife_get_error(), c.message) << "a success leaves the text as it was";
    }
    rife_shutdown();
}

TEST(AfterFailure, MemoryAllocationFailureLeavesTheEngineUsable) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator does not return null under an address limit";
#else
    init_with("blend");
    const Frame a = random_frame(kWidth, kHeight, 51);
    const Frame b = random_frame(kWidth, kHeight, 52);
    Frame reference;
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &reference, 0.5f), 0) << rife_get_error();

    // 8192 x 8192 is within the size limit, and each planar buffer needs 805 MB; an
    // address-space limit 64 MiB above what the process maps now makes both fail. The
    // frames are never read when the buffers cannot be had, so small ones stand in.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    size_t mapped_kib = 0;
    {
        std::ifstream status("/proc/self/status");
        std::string key;
        while (status >> key)
            if (key == "VmSize:") status >> mapped_kib;
    }
    ASSERT_GT(mapped_kib, 0u);
    struct rlimit tight = saved;
    tight.rlim_cur = (mapped_kib + 64 * 1024) * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    uint8_t sentinel[16];
    std::memset(sentinel, 0xAB, sizeof sentinel);
    const int rc = rife_interpolate(a.data(), b.data(), 8192, 8192, sentinel, 0.5f);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(rife_get_error(), "Memory allocation failed");
    for (uint8_t byte : sentinel) EXPECT_EQ(byte, 0xAB);
    expect_still_good(a, b, kWidth, kHeight, reference, 0.5f);
    rife_shutdown();
#endif
}

TEST(AfterFailure, CreateSessionFailuresThenGoodInit) {
    const Frame a = random_frame(kWidth, kHeight, 61);
    const Frame b = random_frame(kWidth, kHeight, 62);
    Frame out;
    for (const std::string& dir : {model_dir("not-a-model"), scratch_dir()}) {
        ASSERT_EQ(rife_init(dir.c_str()), -1);
        EXPECT_TRUE(starts_with(rife_get_error(), "CreateSession: ")) << rife_get_error();
        ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.5f), -1);
        EXPECT_STREQ(rife_get_error(), "Not initialized");
    }
    init_with("blend");
    EXPECT_STREQ(rife_get_error(), "");
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 1.0f), 0) << rife_get_error();
    EXPECT_EQ(out, b) << "timestep 1 of the blend is the second frame";
    rife_shutdown();
}

TEST(AfterFailure, RunFailuresAndGoodRunsAlternateOnOneSession) {
    // The fixed-64 model reshapes img0 to 64 x 64: any frame that pads to 64 x 64 runs
    // and comes back unchanged, any larger one fails inside Run.
    init_with("fixed-64");
    const Frame small_a = random_frame(50, 64, 71);
    const Frame small_b = random_frame(50, 64, 72);
    const Frame big_a = random_frame(65, 64, 73);
    const Frame big_b = random_frame(65, 64, 74);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Frame out(big_a.size(), 0xAB);
        ASSERT_EQ(rife_interpolate(big_a.data(), big_b.data(), 65, 64, out.data(), 0.5f), -1);
        EXPECT_TRUE(starts_with(rife_get_error(), "Run: ")) << rife_get_error();
        EXPECT_EQ(out, Frame(big_a.size(), 0xAB)) << "output written by a failed run";
        ASSERT_EQ(interpolate(small_a, small_b, 50, 64, &out, 0.5f), 0) << rife_get_error();
        EXPECT_EQ(out, small_a);
    }
    rife_shutdown();
}

TEST(AfterFailure, UnexpectedModelOutputThenGoodModel) {
    init_with("short-output");
    const Frame a = random_frame(kWidth, kHeight, 81);
    const Frame b = random_frame(kWidth, kHeight, 82);
    for (int call = 0; call < 3; ++call) {
        Frame out(a.size(), 0xAB);
        ASSERT_EQ(rife_interpolate(a.data(), b.data(), kWidth, kHeight, out.data(), 0.5f), -1);
        EXPECT_STREQ(rife_get_error(), "Unexpected model output");
        EXPECT_EQ(out, Frame(a.size(), 0xAB)) << "output written by a failed call";
    }
    rife_shutdown();
    init_with("blend");
    Frame out;
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.0f), 0) << rife_get_error();
    EXPECT_EQ(out, a);
    rife_shutdown();
}

TEST(AfterFailure, FileFrontEndFailuresLeaveBothFrontEndsUsable) {
    const std::string dir = scratch_dir();
    const Frame a = random_frame(kWidth, kHeight, 91);
    const Frame b = random_frame(kWidth, kHeight, 92);
    const Frame other = random_frame(kWidth + 1, kHeight, 93);
    const std::string pa = dir + "/a.png", pb = dir + "/b.png", pother = dir + "/other.png";
    write_png(pa, a, kWidth, kHeight);
    write_png(pb, b, kWidth, kHeight);
    write_png(pother, other, kWidth + 1, kHeight);
    const std::string not_image = dir + "/not-an-image.png";
    std::ofstream(not_image) << "not a picture\n";
    const std::string out_png = dir + "/out.png";

    // Before start-up the files decode and the interpolation refuses.
    EXPECT_EQ(rife_interpolate_files(pa.c_str(), pb.c_str(), out_png.c_str(), 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    EXPECT_FALSE(exists(out_png));

    init_with("blend");
    Frame reference;
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &reference, 0.5f), 0) << rife_get_error();
    expect_blend(a, b, reference, 0.5f);

    struct Case {
        const char *first, *second, *output, *message;
    };
    const std::string missing = dir + "/missing.png";
    const std::string unwritable = dir + "/no-such-folder/out.png";
    const Case cases[] = {
        {nullptr, pb.c_str(), out_png.c_str(), "NULL path"},
        {pa.c_str(), pb.c_str(), nullptr, "NULL path"},
        {missing.c_str(), pb.c_str(), out_png.c_str(), "Failed to load frame1"},
        {not_image.c_str(), missing.c_str(), out_png.c_str(), "Failed to load frame1"},
        {pa.c_str(), not_image.c_str(), out_png.c_str(), "Failed to load frame2"},
        {pa.c_str(), pother.c_str(), out_png.c_str(), "Frame dimensions mismatch"},
        {pa.c_str(), pb.c_str(), unwritable.c_str(), "Failed to write output"},
        {pa.c_str(), pb.c_str(), dir.c_str(), "Failed to write output"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::remove(out_png.c_str());
        EXPECT_EQ(rife_interpolate_files(c.first, c.second, c.output, 0.5f), -1);
        EXPECT_STREQ(rife_get_error(), c.message);
        EXPECT_FALSE(exists(out_png));
        // Both front ends still give the reference result.
        ASSERT_EQ(rife_interpolate_files(pa.c_str(), pb.c_str(), out_png.c_str(), 0.5f), 0)
            << rife_get_error();
        EXPECT_EQ(read_png(out_png, kWidth, kHeight), reference);
        expect_still_good(a, b, kWidth, kHeight, reference, 0.5f);
    }
    rife_shutdown();
}
