// rife_interpolate: the tensor conversions, the padding, the timestep rule, the order of the
// argument checks and the checks of the model's output, and a working engine after every
// kind of failed call (of both front ends). Every behaviour is observed through a small
// probe model (tests/make_models.py) whose output makes it visible in the bytes.
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
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

constexpr uint8_t kSentinel = 0xA5;

struct Result {
    int rc;
    std::vector<uint8_t> out;
};

// One call into an output buffer prefilled with the sentinel, so a refusal can be checked
// to have left it alone. Sizes that are refused get a small buffer of their own.
Result run(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width, int height,
           float timestep = 0.5f) {
    const bool valid =
        width > 0 && height > 0 && a.size() >= static_cast<size_t>(width) * height * 3;
    Result r{0,
             std::vector<uint8_t>(valid ? static_cast<size_t>(width) * height * 3 : 12, kSentinel)};
    r.rc = rife_interpolate(a.data(), b.data(), width, height, r.out.data(), timestep);
    return r;
}

bool untouched(const std::vector<uint8_t>& out) {
    for (uint8_t byte : out)
        if (byte != kSentinel) return false;
    return true;
}

std::vector<uint8_t> filled(int width, int height, uint8_t value) {
    return std::vector<uint8_t>(static_cast<size_t>(width) * height * 3, value);
}

// Random bytes in 1..255, so no frame sample is 0.0.
std::vector<uint8_t> nonzero_frame(int width, int height, uint32_t seed) {
    auto frame = random_frame(width, height, seed);
    for (auto& byte : frame)
        if (byte == 0) byte = 1;
    return frame;
}

void switch_to(const std::string& model) {
    rife_shutdown();
    init_with(model);
}

// Expects a refusal with `text` that left the output buffer as it was.
void expect_refused(const Result& r, const char* text) {
    EXPECT_EQ(r.rc, -1);
    EXPECT_STREQ(rife_get_error(), text);
    EXPECT_TRUE(untouched(r.out)) << "out_rgb was written by a failing call";
}

// An odd size, so the frame is padded both to the right and below.
constexpr int kWidth = 70;
constexpr int kHeight = 33;

// A good call whose result must equal `reference`, which the caller made with the same
// frames, size and timestep before anything failed.
void expect_still_good(const Frame& a, const Frame& b, int width, int height,
                       const Frame& reference, float timestep) {
    Frame out;
    ASSERT_EQ(interpolate(a, b, width, height, &out, timestep), 0) << rife_get_error();
    EXPECT_EQ(out, reference);
}

// One call with the address space capped at what the process maps now plus `spare`
// bytes, so that large planar buffers cannot be had. The cap is lifted before returning.
int interpolate_with_address_space_capped(const Frame& a, const Frame& b, int width, int height,
                                          uint8_t* out, rlim_t spare) {
    rlimit saved{};
    EXPECT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    EXPECT_NE(statm, nullptr);
    if (statm == nullptr) return 0;
    EXPECT_EQ(std::fscanf(statm, "%ld", &pages), 1);
    std::fclose(statm);
    EXPECT_GT(pages, 0);
    rlimit capped = saved;
    capped.rlim_cur = static_cast<rlim_t>(pages) * 4096 + spare;
    EXPECT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
    const int rc = rife_interpolate(a.data(), b.data(), width, height, out, 0.5f);
    EXPECT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    return rc;
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

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

// ---- input conversion ------------------------------------------------------------------

// The unit-check model outputs 1 where a sample is bit for bit float32(k) / float32(255)
// (numpy's own division) for both inputs, 0 elsewhere. A reciprocal multiply differs for
// 126 of the 256 bytes, so it would show up here.
TEST(InputConversion, EveryByteBecomesExactlyItsSinglePrecisionQuotient) {
    init_with("unit-check");
    // Sample i holds byte i % 256 in frame1 and 255 - i % 256 in frame2, so (3 and 256 being
    // coprime) every byte value appears in every channel of both frames: at a width whose
    // rows are converted four pixels at a time, and at a width of 4, which is converted one
    // pixel at a time.
    for (const int width : {258, 4}) {
        const int height = 768 / width + 3;
        std::vector<uint8_t> a(static_cast<size_t>(width) * height * 3), b(a.size());
        for (size_t i = 0; i < a.size(); ++i) {
            a[i] = static_cast<uint8_t>(i % 256);
            b[i] = static_cast<uint8_t>(255 - i % 256);
        }
        const Result r = run(a, b, width, height);
        ASSERT_EQ(r.rc, 0) << rife_get_error();
        for (size_t i = 0; i < r.out.size(); ++i)
            ASSERT_EQ(r.out[i], 255)
                << "byte " << int(a[i]) << " or " << int(b[i]) << " at sample " << i << " (width "
                << width << ") did not become exactly k / 255.0f";
    }
}

// ---- output conversion -----------------------------------------------------------------

// The lookup model maps input byte k to a chosen output sample (see LOOKUP_VALUES in
// make_models.py), so each sample's byte is read back at a known place.
TEST(OutputConversion, ClampsRoundsHalvesUpAndMapsNaNToZero) {
    init_with("lookup");
    struct Case {
        const char* sample;
        uint8_t byte;
    };
    const Case cases[] = {
        {"-0.3", 0},      {"0.0", 0},          {"0.001", 0},
        {"0.003", 1},     {"0.5", 128},        {"0.999", 255},
        {"1.0", 255},     {"7.0", 255},        {"NaN", 0},
        {"-NaN", 0},      {"+inf", 255},       {"-inf", 0},
        {"-0.0", 0},      {"1e-45", 0},        {"-1e-45", 0},
        {"3e38", 255},    {"-3e38", 0},        {"0x1.020202p-1", 129},
        {"0.998", 254},   {"0.99999994", 255}, {"1.0000001", 255},
        {"128/255", 128},
    };
    const int n = static_cast<int>(sizeof cases / sizeof cases[0]);
    // Sample i holds byte i % 256: the first n bytes pick the cases, the others map to
    // k / 255 and come back as k. 256 x 1 is converted four pixels at a time, 4 x 64 one
    // pixel at a time.
    for (const int width : {256, 4}) {
        const int height = 256 / width;
        std::vector<uint8_t> a(static_cast<size_t>(width) * height * 3);
        for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i % 256);
        const Result r = run(a, a, width, height);
        ASSERT_EQ(r.rc, 0) << rife_get_error();
        for (size_t i = 0; i < r.out.size(); ++i) {
            const int k = a[i];
            if (k < n)
                EXPECT_EQ(r.out[i], cases[k].byte)
                    << "output sample " << cases[k].sample << ", width " << width;
            else
                EXPECT_EQ(r.out[i], k) << "output sample " << k << "/255, width " << width;
        }
    }
}

// ---- padding ---------------------------------------------------------------------------

// The shape model writes img0's padded H / 64 and W / 64, and whether img1 has the same
// shape, into every output pixel.
TEST(Padding, TensorsArePaddedToMultiplesOf64) {
    init_with("shape");
    struct Case {
        int width, height, padded_width, padded_height;
    };
    const Case cases[] = {
        {64, 64, 64, 64},   {65, 1, 128, 64},     {1, 1, 64, 64},           {1, 65, 64, 128},
        {128, 63, 128, 64}, {129, 127, 192, 128}, {1920, 1080, 1920, 1088},
    };
    for (const Case& c : cases) {
        const auto frame = filled(c.width, c.height, 77);
        const Result r = run(frame, frame, c.width, c.height);
        ASSERT_EQ(r.rc, 0) << rife_get_error();
        const size_t pixels = static_cast<size_t>(c.width) * c.height;
        size_t wrong = 0;
        for (size_t p = 0; p < pixels; ++p)
            wrong += r.out[3 * p] != c.padded_height / 64 ||
                     r.out[3 * p + 1] != c.padded_width / 64 || r.out[3 * p + 2] != 255;
        EXPECT_EQ(wrong, 0u) << c.width << "x" << c.height << ": first pixel says "
                             << int(r.out[0]) * 64 << " high, " << int(r.out[1]) * 64
                             << " wide, same shape " << int(r.out[2]);
    }
}

// The nonzero-count model counts the samples of img0 and img1 that are not 0.0, padding
// included. With no zero byte in either frame the count is 6 x width x height exactly when
// every padding sample of both tensors is black.
TEST(Padding, PaddingIsBlackInBothTensors) {
    init_with("nonzero-count");
    const int sizes[][2] = {{65, 1}, {1, 1}, {64, 64}, {100, 37}, {1, 130}, {1920, 1080}};
    for (const auto& size : sizes) {
        const int width = size[0], height = size[1];
        const Result r =
            run(nonzero_frame(width, height, 5), filled(width, height, 255), width, height);
        ASSERT_EQ(r.rc, 0) << rife_get_error();
        const long count = r.out[0] * 65536L + r.out[1] * 256L + r.out[2];
        EXPECT_EQ(count, 6L * width * height) << width << "x" << height;
        // Every pixel carries the same count.
        for (size_t i = 3; i < r.out.size(); ++i) ASSERT_EQ(r.out[i], r.out[i % 3]);
    }
}

// ---- round trip and input order --------------------------------------------------------

// The identity model returns img0: every byte comes back, so the frame sits in the
// top-left corner of the tensor and the output is read from the same place.
TEST(RoundTrip, IdentityReturnsEveryByteAtOddSizes) {
    init_with("identity");
    const int sizes[][2] = {{1, 1},  {3, 5},     {63, 65},   {65, 1},
                            {1, 65}, {127, 129}, {641, 359}, {1920, 1080}};
    uint32_t seed = 10;
    for (const auto& size : sizes) {
        const auto a = random_frame(size[0], size[1], seed++);
        const auto b = random_frame(size[0], size[1], seed++);
        const Result r = run(a, b, size[0], size[1]);
        ASSERT_EQ(r.rc, 0) << rife_get_error();
        EXPECT_TRUE(r.out == a) << size[0] << "x" << size[1];
    }
}

TEST(RoundTrip, LargerOutputIsReadFromItsFirstThreePlanes) {
    init_with("four-planes");  // [1,4,H,W]: img0 and then a plane of img1
    const auto a = random_frame(70, 9, 1);
    const Result r = run(a, random_frame(70, 9, 2), 70, 9);
    ASSERT_EQ(r.rc, 0) << rife_get_error();
    EXPECT_TRUE(r.out == a);
}

TEST(InputOrder, Frame1IsImg0AndFrame2IsImg1) {
    const auto a = random_frame(67, 3, 21);
    const auto b = random_frame(67, 3, 22);
    init_with("identity");
    EXPECT_TRUE(run(a, b, 67, 3).out == a) << "img0 is not frame1";
    switch_to("second");
    EXPECT_TRUE(run(a, b, 67, 3).out == b) << "img1 is not frame2";
    // blend: (1 - t) * img0 + t * img1 is exact at both ends.
    switch_to("blend");
    EXPECT_TRUE(run(a, b, 67, 3, 0.0f).out == a);
    EXPECT_TRUE(run(a, b, 67, 3, 1.0f).out == b);
}

// ---- timestep rule ---------------------------------------------------------------------

// The timestep model writes t, 1 / t and 1 - t into the three channels: 1 / t tells +0
// (+inf, 255) from -0 (-inf, 0).
TEST(Timestep, OutOfRangeAndNaNRunTheMidpointAndBoundsAreKept) {
    init_with("timestep");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float timestep;
        uint8_t t, inverse, rest;
    };
    const Case midpoint{0.5f, 128, 255, 128};
    const Case cases[] = {
        midpoint,
        {0.25f, 64, 255, 191},
        {0.0f, 0, 255, 255},
        {-0.0f, 0, 0, 255},
        {1.0f, 255, 255, 0},
        {-0.1f, 128, 255, 128},
        {1.5f, 128, 255, 128},
        {nan, 128, 255, 128},
        {-nan, 128, 255, 128},
        {inf, 128, 255, 128},
        {-inf, 128, 255, 128},
        {-1e-45f, 128, 255, 128},
        {std::nextafter(1.0f, 2.0f), 128, 255, 128},
    };
    const auto frame = random_frame(5, 2, 3);
    for (const Case& c : cases) {
        const Result r = run(frame, frame, 5, 2, c.timestep);
        ASSERT_EQ(r.rc, 0) << rife_get_error();
        for (size_t p = 0; p < 10; ++p) {
            EXPECT_EQ(r.out[3 * p], c.t) << "timestep " << c.timestep;
            EXPECT_EQ(r.out[3 * p + 1], c.inverse) << "timestep " << c.timestep;
            EXPECT_EQ(r.out[3 * p + 2], c.rest) << "timestep " << c.timestep;
        }
    }
}

// ---- argument checks, in their order ---------------------------------------------------

TEST(ArgumentChecks, NotInitializedComesBeforeEverything) {
    EXPECT_EQ(rife_interpolate(nullptr, nullptr, 0, 0, nullptr, NAN), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    init_with("identity");
    rife_shutdown();
    const auto frame = filled(4, 4, 9);
    expect_refused(run(frame, frame, 4, 4), "Not initialized");
    std::vector<uint8_t> out(12, kSentinel);
    EXPECT_EQ(rife_interpolate(frame.data(), frame.data(), INT_MAX, INT_MAX, out.data(), 2.0f), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    EXPECT_TRUE(untouched(out));
}

TEST(ArgumentChecks, NullPointersComeBeforeSizes) {
    init_with("identity");
    const auto frame = filled(2, 2, 9);
    std::vector<uint8_t> out(12, kSentinel);
    const uint8_t* f = frame.data();
    EXPECT_EQ(rife_interpolate(nullptr, f, 0, 2, out.data(), 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), "NULL frame pointer");
    EXPECT_EQ(rife_interpolate(f, nullptr, 2, -5, out.data(), 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), "NULL frame pointer");
    EXPECT_EQ(rife_interpolate(f, f, INT_MAX, INT_MAX, nullptr, 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), "NULL frame pointer");
    EXPECT_EQ(rife_interpolate(nullptr, nullptr, 2, 2, nullptr, 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), "NULL frame pointer");
    EXPECT_TRUE(untouched(out));
}

TEST(ArgumentChecks, SizesBelowOneAreInvalid) {
    init_with("identity");
    const auto frame = filled(2, 2, 9);
    const int sizes[][2] = {{0, 2}, {2, 0}, {-1, 2}, {2, -1}, {INT_MIN, INT_MIN}, {INT_MAX, 0}};
    for (const auto& size : sizes) {
        std::vector<uint8_t> out(12, kSentinel);
        EXPECT_EQ(rife_interpolate(frame.data(), frame.data(), size[0], size[1], out.data(), 0.5f),
                  -1);
        EXPECT_STREQ(rife_get_error(), "Invalid dimensions") << size[0] << "x" << size[1];
        EXPECT_TRUE(untouched(out));
    }
}

// Each refusal leaves the engine as it was: the next good call gives the same bytes, and
// keeps the refusal's text.
TEST(ArgumentChecks, EachRefusalLeavesTheEngineUsable) {
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
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        Frame out(64, kSentinel);
        EXPECT_EQ(rife_interpolate(c.null_a ? nullptr : a.data(), c.null_b ? nullptr : b.data(),
                                   c.width, c.height, c.null_out ? nullptr : out.data(), 0.5f),
                  -1);
        EXPECT_STREQ(rife_get_error(), c.message);
        EXPECT_TRUE(untouched(out)) << "output written by a failed call";
        expect_still_good(a, b, kWidth, kHeight, reference, 0.25f);
        EXPECT_STREQ(rife_get_error(), c.message) << "a success leaves the text as it was";
    }
    rife_shutdown();
}

// 3 x padded width x padded height must fit in a 32-bit signed int. Refusals come before
// any allocation or read: the buffers passed hold 12 bytes, and reading past them would
// crash or trip the sanitizers.
TEST(ArgumentChecks, FramesBeyondTheTensorLimitAreRefusedUnread) {
    init_with("identity");
    const int sizes[][2] = {
        {46341, 46341},  // 6.5e9 samples
        {65536, 65536},  // 3 x 2^32: wraps to 0 in 32 bits
        {11184769, 1},   // 11184832 x 64 x 3 = 2147487744, just over
        {1, 11184769},   // the same, transposed
        {INT_MAX, 1},    // padded width 2^31 itself overflows an int
        {1, INT_MAX},   {INT_MAX, INT_MAX},
    };
    const std::vector<uint8_t> tiny(12, 9);
    for (const auto& size : sizes) {
        std::vector<uint8_t> out(12, kSentinel);
        EXPECT_EQ(rife_interpolate(tiny.data(), tiny.data(), size[0], size[1], out.data(), NAN),
                  -1);
        EXPECT_STREQ(rife_get_error(), "Frame too large") << size[0] << "x" << size[1];
        EXPECT_TRUE(untouched(out));
    }
}

// Frames within the size limit whose planar buffers cannot be had under a capped address
// space: the largest accepted frame (8.6 GB a buffer) with 2 GB to spare, and 8192 x 8192
// (805 MB a buffer) with 64 MiB to spare. The frames are never read when the buffers
// cannot be had, so small ones stand in for the second. The engine works again once the
// cap is lifted, and the next success keeps the text.
TEST(ArgumentChecks, FailedPlanarAllocationIsReportedAndLeavesTheEngineUsable) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer aborts on a failed allocation of this size";
#else
    init_with("identity");
    const int width = 11184768, height = 1;  // 3 x 11184768 x 64 = 2147475456 samples
    const auto largest = filled(width, height, 1);
    std::vector<uint8_t> out(largest.size(), kSentinel);
    EXPECT_EQ(interpolate_with_address_space_capped(largest, largest, width, height, out.data(),
                                                    rlim_t{2} << 30),
              -1);
    EXPECT_STREQ(rife_get_error(), "Memory allocation failed");
    EXPECT_TRUE(untouched(out));
    const auto small = random_frame(3, 3, 4);
    const Result r = run(small, small, 3, 3);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.out == small);
    EXPECT_STREQ(rife_get_error(), "Memory allocation failed");

    const Frame a = random_frame(kWidth, kHeight, 51);
    const Frame b = random_frame(kWidth, kHeight, 52);
    Frame sentinel(16, kSentinel);
    EXPECT_EQ(
        interpolate_with_address_space_capped(a, b, 8192, 8192, sentinel.data(), rlim_t{64} << 20),
        -1);
    EXPECT_STREQ(rife_get_error(), "Memory allocation failed");
    EXPECT_TRUE(untouched(sentinel));
    expect_still_good(a, b, kWidth, kHeight, a, 0.5f);  // identity: the first frame
#endif
}

// ---- run failures and the model's output -----------------------------------------------

// fixed-64 accepts only 64 x 64 tensors: other sizes fail inside Run. Failures and good
// runs alternate on one session.
TEST(RunFailure, IsPrefixedAndTheTextOutlivesLaterSuccesses) {
    init_with("fixed-64");
    const auto a = random_frame(65, 1, 1);
    const Result failed = run(a, a, 65, 1);
    EXPECT_EQ(failed.rc, -1);
    const std::string text = rife_get_error();
    EXPECT_TRUE(starts_with(text, "Run: ")) << text;
    EXPECT_GT(text.size(), 5u);
    EXPECT_TRUE(untouched(failed.out));

    const auto b = random_frame(64, 64, 2);
    for (int i = 0; i < 2; ++i) {
        const Result ok = run(b, b, 64, 64);
        ASSERT_EQ(ok.rc, 0) << rife_get_error();
        EXPECT_TRUE(ok.out == b);
        EXPECT_EQ(rife_get_error(), text);
    }
    // The same holds for the library's own texts.
    EXPECT_EQ(run(b, b, 0, 64).rc, -1);
    EXPECT_EQ(run(b, b, 64, 64).rc, 0);
    EXPECT_STREQ(rife_get_error(), "Invalid dimensions");

    // Any frame that pads to 64 x 64 runs and comes back unchanged; one wider fails.
    const Frame small_a = random_frame(50, 64, 71);
    const Frame small_b = random_frame(50, 64, 72);
    const Frame big = random_frame(65, 64, 73);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Result big_failed = run(big, big, 65, 64);
        ASSERT_EQ(big_failed.rc, -1);
        EXPECT_TRUE(starts_with(rife_get_error(), "Run: ")) << rife_get_error();
        EXPECT_TRUE(untouched(big_failed.out)) << "output written by a failed run";
        Frame out;
        ASSERT_EQ(interpolate(small_a, small_b, 50, 64, &out, 0.5f), 0) << rife_get_error();
        EXPECT_EQ(out, small_a);
    }
}

// extra-input has a fourth input with a 600-character name that the library never feeds;
// ONNX Runtime's complaint names it, and the text is cut to 511 characters.
TEST(RunFailure, LongMessageIsCutTo511Characters) {
    init_with("extra-input");
    const auto a = random_frame(2, 2, 1);
    const Result r = run(a, a, 2, 2);
    EXPECT_EQ(r.rc, -1);
    const std::string text = rife_get_error();
    EXPECT_TRUE(starts_with(text, "Run: ")) << text;
    EXPECT_EQ(text.size(), 511u) << text;
    EXPECT_NE(text.find(std::string(100, 'x')), std::string::npos) << text;
    EXPECT_TRUE(untouched(r.out));
}

TEST(OutputChecks, NonFloatOutputIsRefusedUnread) {
    const auto a = random_frame(9, 4, 1);
    for (const char* model : {"int64-output", "double-output", "sequence-output"}) {
        switch_to(model);
        SCOPED_TRACE(model);
        expect_refused(run(a, a, 9, 4), "Unexpected model output");
    }
}

// Refusals repeat on one session, and a good model runs after them.
TEST(OutputChecks, TooSmallOutputIsRefusedUnread) {
    const auto a = random_frame(1, 1, 1);
    const auto b = random_frame(70, 5, 2);
    // short-output: [1]; corner-output: [1,3,1,1]; one-column-short: [1,3,H,W-1], exactly
    // 3 x H samples short.
    for (const char* model : {"short-output", "corner-output", "one-column-short"}) {
        switch_to(model);
        SCOPED_TRACE(model);
        expect_refused(run(a, a, 1, 1), "Unexpected model output");
        expect_refused(run(b, b, 70, 5), "Unexpected model output");
    }
    switch_to("short-output");
    const Frame c = random_frame(kWidth, kHeight, 81);
    const Frame d = random_frame(kWidth, kHeight, 82);
    for (int call = 0; call < 3; ++call)
        expect_refused(run(c, d, kWidth, kHeight), "Unexpected model output");
    switch_to("blend");
    Frame out;
    ASSERT_EQ(interpolate(c, d, kWidth, kHeight, &out, 0.0f), 0) << rife_get_error();
    EXPECT_EQ(out, c);
    rife_shutdown();
}

// ---- after failures of the file front end --------------------------------------------

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
