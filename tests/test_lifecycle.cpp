// Engine start-up and shutdown, the error text and the two no-op queries. Every test runs
// in a freshly started process, so "fresh library" really means nothing was called yet.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
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

// Builds nested folders under `base` until the whole folder name is exactly `length`
// bytes long, and returns it.
std::string folder_of_length(const std::string& base, size_t length) {
    std::string path = base;
    while (path.size() < length) {
        const size_t room = length - path.size() - 1;  // minus the "/"
        path += "/" + std::string(room > 200 ? 200 : room, 'd');
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    }
    EXPECT_EQ(path.size(), length);
    return path;
}

void copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
}

const char kModelFile[] = "/rife49_ensemble.onnx";

}  // namespace

TEST(Fresh, EmptyErrorProgressZeroAndNotReady) {
    const char* error = rife_get_error();
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, "");
    EXPECT_EQ(rife_get_progress(), 0);
    EXPECT_EQ(interpolate_once(), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    EXPECT_EQ(rife_get_error(), error) << "the error text lives at one address";
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

TEST(Init, DirectoryWithoutModel) {
    const std::string empty = scratch_dir();
    EXPECT_EQ(rife_init(empty.c_str()), -1);
    EXPECT_EQ(std::string(rife_get_error()).rfind("CreateSession: ", 0), 0u) << rife_get_error();
    EXPECT_EQ(interpolate_once(), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
}

TEST(Init, FileThatIsNotAModel) {
    EXPECT_EQ(rife_init(model_dir("not-a-model").c_str()), -1);
    EXPECT_EQ(std::string(rife_get_error()).rfind("CreateSession: ", 0), 0u) << rife_get_error();
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

TEST(Init, RetryAfterFailuresOfEveryStage) {
    // A failed attempt leaves handles behind; the next attempt must start cleanly (the
    // sanitizer build turns a leak of the first attempt's objects into a failure).
    ASSERT_EQ(rife_init(model_dir("not-a-model").c_str()), -1);
    ASSERT_EQ(rife_init(scratch_dir().c_str()), -1);
    init_with("blend");
    EXPECT_EQ(interpolate_once(), 0);
    rife_shutdown();
}

TEST(Init, TrailingSlashGivesADoubledSeparatorThatStillLoads) {
    const std::string dir = model_dir("blend") + "/";
    EXPECT_EQ(rife_init(dir.c_str()), 0) << rife_get_error();
    EXPECT_EQ(interpolate_once(), 0);
}

TEST(Init, ModelPathOfExactly1023BytesLoads) {
    const std::string base = scratch_dir();
    const std::string dir = folder_of_length(base, 1023 - std::strlen(kModelFile));
    copy_file(model_dir("blend") + kModelFile, dir + kModelFile);
    ASSERT_EQ((dir + kModelFile).size(), 1023u);
    EXPECT_EQ(rife_init(dir.c_str()), 0) << rife_get_error();
}

TEST(Init, ModelPathOver1023BytesIsRefusedNotCut) {
    // The cut path would name "<dir>/rife49_ensemble.onn", a different file: put a valid
    // model there to prove the library does not load it.
    const std::string base = scratch_dir();
    const std::string dir = folder_of_length(base, 1024 - std::strlen(kModelFile));
    copy_file(model_dir("blend") + kModelFile, (dir + kModelFile).substr(0, 1023));
    EXPECT_EQ(rife_init(dir.c_str()), -1);
    EXPECT_STREQ(rife_get_error(), "Model path too long");
    EXPECT_EQ(interpolate_once(), -1);
    const std::string huge(5000, 'x');
    EXPECT_EQ(rife_init(huge.c_str()), -1);
    EXPECT_STREQ(rife_get_error(), "Model path too long");
}

TEST(Init, LongOnnxRuntimeMessageIsCutTo511Bytes) {
    // ONNX Runtime names the missing file in its message, so a long missing path makes a
    // message well over 511 bytes.
    const std::string dir = "/" + std::string(900, 'm');
    ASSERT_EQ(rife_init(dir.c_str()), -1);
    const std::string error = rife_get_error();
    EXPECT_EQ(error.size(), 511u);
    EXPECT_EQ(error.rfind("CreateSession: ", 0), 0u) << error;
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

TEST(Shutdown, AfterAFailedInitReleasesWhatItLeft) {
    ASSERT_EQ(rife_init(model_dir("not-a-model").c_str()), -1);
    rife_shutdown();
    EXPECT_EQ(std::string(rife_get_error()).rfind("CreateSession: ", 0), 0u);
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
