// Engine start-up and shutdown, the error text and the two no-op queries. Every test runs
// in a freshly started process, so "fresh library" really means nothing was called yet.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_support.h"

namespace {

// One interpolation of a small frame pair; returns the library's result.
int interpolate_once(std::vector<uint8_t>* out = nullptr) {
    const auto a = random_frame(8, 4, 1);
    const auto b = random_frame(8, 4, 2);
    std::vector<uint8_t> result(a.size());
    const int rc = rife_interpolate(a.data(), b.data(), 8, 4, result.data(), 0.5f);
    if (out) *out = result;
    return rc;
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

// An odd size, so the frame is padded both to the right and below.
constexpr int kWidth = 70;
constexpr int kHeight = 33;

}  // namespace

TEST(Fresh, EmptyErrorProgressZeroAndNotReady) {
    const char* error = rife_get_error();
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, "");
    EXPECT_EQ(rife_get_progress(), 0);
    EXPECT_EQ(interpolate_once(), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    EXPECT_EQ(rife_get_error(), error) << "the error text lives at one address";

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

TEST(Init, NullDirectoryOnFreshLibrary) {
    EXPECT_EQ(rife_init(nullptr), -1);
    EXPECT_STREQ(rife_get_error(), "model_dir is NULL");
}

TEST(Init, NullDirectoryWhileReadyIsAcceptedAndKeepsTheError) {
    init_with("blend");
    const uint8_t pixel[3] = {1, 2, 3};
    uint8_t out[3];
    ASSERT_EQ(rife_interpolate(pixel, pixel, 0, 1, out, 0.5f), -1);
    EXPECT_EQ(rife_init(nullptr), 0);
    EXPECT_STREQ(rife_get_error(), "Invalid dimensions");
    EXPECT_EQ(interpolate_once(), 0) << "still ready";
}

TEST(Init, SecondInitWhileReadyKeepsTheFirstModel) {
    init_with("identity");
    EXPECT_EQ(rife_init(model_dir("second").c_str()), 0);
    EXPECT_EQ(rife_init("/no/such/folder"), 0);
    const auto a = random_frame(8, 4, 1);
    const auto b = random_frame(8, 4, 2);
    std::vector<uint8_t> out(a.size());
    ASSERT_EQ(rife_interpolate(a.data(), b.data(), 8, 4, out.data(), 0.5f), 0);
    EXPECT_EQ(out, a) << "the identity model (first input) must still be loaded";
}

TEST(Init, GoodInitEmptiesTheError) {
    ASSERT_EQ(rife_init(nullptr), -1);
    ASSERT_STRNE(rife_get_error(), "");
    init_with("blend");
    EXPECT_STREQ(rife_get_error(), "");
}

// A model file that is missing or not a model fails in CreateSession and leaves the engine
// not ready. A failed attempt leaves handles behind; the next attempt must start cleanly
// (the sanitizer build turns a leak of the first attempt's objects into a failure).
TEST(Init, CreateSessionFailuresThenAGoodInit) {
    const Frame a = random_frame(kWidth, kHeight, 61);
    const Frame b = random_frame(kWidth, kHeight, 62);
    Frame out;
    for (const std::string& dir : {model_dir("not-a-model"), scratch_dir()}) {
        SCOPED_TRACE(dir);
        ASSERT_EQ(rife_init(dir.c_str()), -1);
        EXPECT_TRUE(starts_with(rife_get_error(), "CreateSession: ")) << rife_get_error();
        EXPECT_EQ(interpolate_once(), -1);
        EXPECT_STREQ(rife_get_error(), "Not initialized");
        ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 0.5f), -1);
        EXPECT_STREQ(rife_get_error(), "Not initialized");
    }
    init_with("blend");
    EXPECT_STREQ(rife_get_error(), "");
    EXPECT_EQ(interpolate_once(), 0);
    ASSERT_EQ(interpolate(a, b, kWidth, kHeight, &out, 1.0f), 0) << rife_get_error();
    EXPECT_EQ(out, b) << "timestep 1 of the blend is the second frame";
    rife_shutdown();
}

TEST(Init, TrailingSlashGivesADoubledSeparatorThatStillLoads) {
    const std::string dir = model_dir("blend") + "/";
    EXPECT_EQ(rife_init(dir.c_str()), 0) << rife_get_error();
    EXPECT_EQ(interpolate_once(), 0);
}

// Folder names of multi-byte UTF-8 characters: the limit counts bytes.
TEST(Init, ModelPathUpTo1023BytesLoadsAndLongerIsRefusedNotCut) {
    const std::string model_file = model_file_suffix();
    const size_t folder_bytes = 1023 - model_file.size();
    const std::string fits_base = scratch_dir();
    const std::string fits = utf8_folder_of_length(fits_base, folder_bytes);
    const std::string model_path = fits + model_file;
    ASSERT_EQ(model_path.size(), 1023u);
    // Far fewer characters than bytes: a limit counted in characters would accept the
    // refused path below.
    ASSERT_LT(utf8_characters(model_path), 800u);
    copy_file(model_dir("blend") + model_file, model_path);

    // One byte too many. A valid model waits at the path cut to 1023 bytes (a different
    // file name), so loading a cut path instead of refusing it would succeed.
    const std::string too_long_base = scratch_dir();
    const std::string too_long = utf8_folder_of_length(too_long_base, folder_bytes + 1);
    ASSERT_EQ((too_long + model_file).size(), 1024u);
    copy_file(model_dir("blend") + model_file, (too_long + model_file).substr(0, 1023));
    EXPECT_EQ(rife_init(too_long.c_str()), -1);
    EXPECT_STREQ(rife_get_error(), "Model path too long");
    EXPECT_EQ(interpolate_once(), -1);
    const std::string huge(5000, 'x');
    EXPECT_EQ(rife_init(huge.c_str()), -1);
    EXPECT_STREQ(rife_get_error(), "Model path too long");

    // The refusals leave nothing behind: the path that fits loads and runs.
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

TEST(Init, LongOnnxRuntimeMessageIsCutTo511Bytes) {
    // ONNX Runtime names the missing file in its message, so a long missing path makes a
    // message well over 511 bytes.
    const std::string dir = "/" + std::string(900, 'm');
    ASSERT_EQ(rife_init(dir.c_str()), -1);
    const std::string error = rife_get_error();
    EXPECT_EQ(error.size(), 511u);
    EXPECT_TRUE(starts_with(error, "CreateSession: ")) << error;
}

TEST(Shutdown, OnFreshLibraryAndTwiceInARow) {
    rife_shutdown();
    rife_shutdown();
    EXPECT_STREQ(rife_get_error(), "");
    EXPECT_EQ(rife_get_progress(), 0);
    EXPECT_EQ(interpolate_once(), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
}

TEST(Shutdown, KeepsTheErrorAndMakesTheEngineNotReady) {
    init_with("blend");
    ASSERT_EQ(rife_interpolate(nullptr, nullptr, 1, 1, nullptr, 0.5f), -1);
    rife_shutdown();
    EXPECT_STREQ(rife_get_error(), "NULL frame pointer");
    EXPECT_EQ(interpolate_once(), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    rife_shutdown();
}

TEST(Shutdown, InitShutdownInitAgain) {
    init_with("blend");
    EXPECT_EQ(interpolate_once(), 0);
    rife_shutdown();
    init_with("blend");
    EXPECT_EQ(interpolate_once(), 0);
    rife_shutdown();
    init_with("identity");  // a new init really loads the new directory
    std::vector<uint8_t> out;
    EXPECT_EQ(interpolate_once(&out), 0);
    EXPECT_EQ(out, random_frame(8, 4, 1));
    rife_shutdown();
}

TEST(Shutdown, FiftyCyclesGiveTheCorrectResultAndKeepNoThreads) {
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

TEST(Shutdown, AfterAFailedInitReleasesWhatItLeft) {
    ASSERT_EQ(rife_init(model_dir("not-a-model").c_str()), -1);
    rife_shutdown();
    EXPECT_TRUE(starts_with(rife_get_error(), "CreateSession: "));
    init_with("blend");
    rife_shutdown();
}

TEST(Queries, ProgressIsAlwaysZeroAndCancelChangesNothing) {
    rife_cancel();
    EXPECT_EQ(rife_get_progress(), 0);
    EXPECT_STREQ(rife_get_error(), "");
    init_with("blend");
    rife_cancel();
    EXPECT_EQ(rife_get_progress(), 0);
    std::vector<uint8_t> before, after;
    ASSERT_EQ(interpolate_once(&before), 0);
    rife_cancel();
    ASSERT_EQ(interpolate_once(&after), 0) << "cancel must not affect a later call";
    EXPECT_EQ(before, after);
    EXPECT_EQ(rife_get_progress(), 0);
    rife_shutdown();
    rife_cancel();
    EXPECT_EQ(rife_get_progress(), 0);
}
