// The file front end: argument and load failures and their order, every accepted input
// format decoded to the right RGB, the output format chosen by name, failed writes, and
// decompression bombs. The input images are written by make_images.py (KRI_TEST_IMAGES);
// outputs are decoded by PIL, an independent decoder. Each test runs in its own process.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every test image but the bombs and the size pair is W x H.
constexpr int kWidth = 70;
constexpr int kHeight = 50;

std::string image(const std::string& name) { return std::string(KRI_TEST_IMAGES) + "/" + name; }

bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

Bytes read_bytes(const std::string& path) {
    Bytes bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    return bytes;
}

void write_bytes(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

bool is_png(const Bytes& b) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    return b.size() > 8 && std::memcmp(b.data(), signature, 8) == 0;
}

bool is_jpeg(const Bytes& b) {
    return b.size() > 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff;
}

// An image decoded by PIL to packed RGB.
struct Decoded {
    int width = 0;
    int height = 0;
    Bytes rgb;
};

Decoded decode_with_pil(const std::string& path) {
    Decoded decoded;
    const std::string command = std::string(KRI_TEST_PYTHON) +
                                " -c 'import sys; from PIL import Image; "
                                "im = Image.open(sys.argv[1]); im.load(); "
                                "sys.stdout.write(\"%d %d\\n\" % im.size); sys.stdout.flush(); "
                                "sys.stdout.buffer.write(im.convert(\"RGB\").tobytes())' '" +
                                path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return decoded;
    if (std::fscanf(pipe, "%d %d", &decoded.width, &decoded.height) == 2 &&
        std::fgetc(pipe) == '\n') {
        decoded.rgb.resize(static_cast<size_t>(decoded.width) * decoded.height * 3);
        decoded.rgb.resize(std::fread(decoded.rgb.data(), 1, decoded.rgb.size(), pipe));
    }
    pclose(pipe);
    return decoded;
}

// The quantisation tables and sampling factors of a JPEG file: stb_image_write at quality
// 95 scales its base tables so that both tables start with 2, and keeps full-resolution
// chroma (every component sampled 1x1).
struct JpegFacts {
    std::vector<int> first_quant;  // the first entry of each table, in file order
    std::vector<int> sampling;     // the sampling byte of each component
    int width = 0;
};

JpegFacts jpeg_facts(const Bytes& b) {
    JpegFacts facts;
    size_t at = 2;
    while (at + 4 <= b.size() && b[at] == 0xff) {
        const int marker = b[at + 1];
        const size_t length = (static_cast<size_t>(b[at + 2]) << 8) | b[at + 3];
        const size_t body = at + 4, end = at + 2 + length;
        if (end > b.size()) break;
        if (marker == 0xdb) {
            for (size_t t = body; t + 65 <= end; t += 65) facts.first_quant.push_back(b[t + 1]);
        } else if (marker == 0xc0) {
            facts.width = (b[body + 3] << 8) | b[body + 4];
            const int components = b[body + 5];
            for (int c = 0; c < components; ++c) facts.sampling.push_back(b[body + 6 + 3 * c + 1]);
        } else if (marker == 0xda) {
            break;
        }
        at = end;
    }
    return facts;
}

std::set<std::string> folder_entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* folder = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(folder))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.insert(entry->d_name);
        closedir(folder);
    }
    return names;
}

// A size in kB from this process's /proc/self/status line `format` (e.g. "VmRSS: %zu kB");
// 0 if it cannot be read.
size_t status_kb(const char* format) {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    size_t kb = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, format, &kb) == 1) break;
    std::fclose(status);
    return kb;
}

size_t resident_kb() { return status_kb("VmRSS: %zu kB"); }

// What became of a child process: its exit code (-1 if a signal ended it) and its peak
// resident memory.
struct ChildEnd {
    int exit_code = -1;
    int signal = 0;
    long peak_kb = 0;
};

// Starts `body` in a forked child whose exit code is what it returns. The engine must be
// started inside the child: ONNX Runtime's threads do not survive a fork.
pid_t start_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

ChildEnd wait_for_child(pid_t pid) {
    ChildEnd end;
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return end;
    if (WIFEXITED(status)) end.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    end.peak_kb = usage.ru_maxrss;
    return end;
}

ChildEnd run_in_child(const std::function<int()>& body) {
    return wait_for_child(start_child(body));
}

// In a child: 0 when the call failed with exactly `message`, 1 otherwise (told on stderr).
int expect_child_failure(const std::string& a, const std::string& b, const std::string& output,
                         const char* message) {
    const int result = rife_interpolate_files(a.c_str(), b.c_str(), output.c_str(), 0.5f);
    if (result == -1 && std::strcmp(rife_get_error(), message) == 0) return 0;
    std::fprintf(stderr, "%s: returned %d, \"%s\"\n", output.c_str(), result, rife_get_error());
    return 1;
}

// Serves a file's bytes through a FIFO, once, to whoever opens it for reading: a FIFO
// is only read if the library really opens (and decodes) that input.
class FifoServer {
  public:
    FifoServer(const std::string& path, Bytes data) : path_(path), data_(std::move(data)) {
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
        thread_ = std::thread([this] { serve(); });
    }
    ~FifoServer() { stop(); }
    // Stops waiting for a reader; true when one came and got the whole file.
    bool stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return served_;
    }

  private:
    void serve() {
        while (!stop_) {
            // Without a reader a non-blocking open fails (ENXIO): poll until one arrives.
            const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            fcntl(fd, F_SETFL, 0);
            size_t sent = 0;
            while (sent < data_.size()) {
                const ssize_t n = write(fd, data_.data() + sent, data_.size() - sent);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            close(fd);
            served_ = sent == data_.size();
            return;
        }
    }
    std::string path_;
    Bytes data_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> served_{false};
};

class Files : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        dir_ = scratch_dir();
    }
    void TearDown() override {
        rife_shutdown();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string out(const std::string& name) const { return dir_ + "/" + name; }

    // Runs the call and checks a failure: -1, the message, and no output file left.
    void expect_failure(const std::string& a, const std::string& b, const char* message) {
        const std::string output = out("failed.png");
        EXPECT_EQ(rife_interpolate_files(a.c_str(), b.c_str(), output.c_str(), 0.5f), -1)
            << a << " + " << b;
        EXPECT_STREQ(rife_get_error(), message) << a << " + " << b;
        EXPECT_FALSE(exists(output)) << a << " + " << b;
    }

    std::string dir_;
};

// ---- arguments and loading ---------------------------------------------------------------

TEST_F(Files, EachNullPathIsRefusedBeforeAnyFileIsRead) {
    init_with("identity");
    const std::string good = image("png_rgb8.png"), output = out("o.png");
    const char* missing = "/nonexistent/frame.png";
    const char* cases[][3] = {{nullptr, good.c_str(), output.c_str()},
                              {good.c_str(), nullptr, output.c_str()},
                              {good.c_str(), good.c_str(), nullptr},
                              {nullptr, nullptr, nullptr},
                              // a missing first file would say "Failed to load frame1"
                              {missing, missing, nullptr}};
    for (const auto& c : cases) {
        EXPECT_EQ(rife_interpolate_files(c[0], c[1], c[2], 0.5f), -1);
        EXPECT_STREQ(rife_get_error(), "NULL path");
    }
    EXPECT_FALSE(exists(output));
}

TEST_F(Files, LoadFailuresNameTheFirstFileThatFailed) {
    init_with("identity");
    const std::string good = image("png_rgb8.png"), missing = out("missing.png");
    expect_failure(missing, good, "Failed to load frame1");
    expect_failure(missing, missing, "Failed to load frame1");
    expect_failure(good, missing, "Failed to load frame2");
    // Files that exist but are not PNG or JPEG (or not whole), and a folder.
    for (const char* name : {"image.bmp", "image.gif", "truncated.png"}) {
        expect_failure(image(name), good, "Failed to load frame1");
        expect_failure(good, image(name), "Failed to load frame2");
        expect_failure(image(name), image(name), "Failed to load frame1");
    }
    expect_failure(dir_, good, "Failed to load frame1");
}

TEST_F(Files, SecondFileIsDecodedEvenWhenTheFirstFails) {
    init_with("identity");
    const std::string fifo = out("frame2.fifo");
    FifoServer server(fifo, read_bytes(image("png_rgb8.png")));
    expect_failure(out("missing.png"), fifo, "Failed to load frame1");
    EXPECT_TRUE(server.stop()) << "the second file was never read";
}

TEST_F(Files, DimensionMismatch640x480Against640x481) {
    init_with("identity");
    expect_failure(image("size_640x480.png"), image("size_640x481.png"),
                   "Frame dimensions mismatch");
    expect_failure(image("size_640x481.png"), image("size_640x480.png"),
                   "Frame dimensions mismatch");
    // Same size, different formats and channel counts: no mismatch.
    EXPECT_EQ(
        rife_interpolate_files(image("size_640x480.png").c_str(), image("size_640x480.png").c_str(),
                               out("ok.png").c_str(), 0.5f),
        0)
        << rife_get_error();
}

TEST_F(Files, NotReadyEngineStillDecodesBothInputsAndWritesNothing) {
    // Not started: decoding comes first, so load failures are still told apart...
    const std::string good = image("png_rgb8.png");
    expect_failure(out("missing.png"), good, "Failed to load frame1");
    expect_failure(good, out("missing.png"), "Failed to load frame2");
    expect_failure(image("size_640x480.png"), image("size_640x481.png"),
                   "Frame dimensions mismatch");
    // ...and a good pair, the second served through a FIFO, is read before the refusal.
    const std::string fifo = out("frame2.fifo");
    FifoServer server(fifo, read_bytes(image("jpeg_baseline.jpg")));
    const std::string output = out("kept.png");
    write_bytes(output, "left alone");
    EXPECT_EQ(rife_interpolate_files(good.c_str(), fifo.c_str(), output.c_str(), 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    EXPECT_TRUE(server.stop()) << "the second file was never read";
    const Bytes kept = read_bytes(output);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "left alone");

    // The same after a shutdown.
    init_with("identity");
    rife_shutdown();
    EXPECT_EQ(rife_interpolate_files(good.c_str(), good.c_str(), out("new.png").c_str(), 0.5f), -1);
    EXPECT_STREQ(rife_get_error(), "Not initialized");
    EXPECT_FALSE(exists(out("new.png")));
}

// ---- what is decoded -----------------------------------------------------------------------

// Through the identity model a PNG output holds exactly frame 1 as decoded: grey copied to
// R, G and B, alpha (also from a transparency chunk) dropped, palettes expanded, 16-bit
// samples cut to their high byte, 1/2/4-bit grey scaled, interlacing undone.
TEST_F(Files, EveryPngKindDecodesToItsRgb) {
    init_with("identity");
    const char* names[] = {"png_grey1",           "png_grey2",       "png_grey4",
                           "png_grey8",           "png_grey16",      "png_grey2_interlaced",
                           "png_greyalpha8",      "png_greyalpha16", "png_rgb8",
                           "png_rgb16",           "png_rgba8",       "png_rgba16",
                           "png_rgb8_interlaced", "png_palette8",    "png_palette4_interlaced",
                           "png_palette8_trns"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const std::string output = out(std::string(name) + ".png");
        // Frame 2 is of another kind: only frame 1 reaches the output.
        ASSERT_EQ(rife_interpolate_files(image(std::string(name) + ".png").c_str(),
                                         image("png_rgba16.png").c_str(), output.c_str(), 0.5f),
                  0)
            << rife_get_error();
        const Decoded decoded = decode_with_pil(output);
        EXPECT_EQ(decoded.width, kWidth);
        EXPECT_EQ(decoded.height, kHeight);
        EXPECT_TRUE(decoded.rgb == read_bytes(image(std::string(name) + ".rgb")));
    }
}

TEST_F(Files, SecondFileFeedsTheSecondInputAndTheTimestepPassesThrough) {
    const std::string a = image("png_rgb8.png"), b = image("png_palette8.png");
    init_with("second");
    ASSERT_EQ(rife_interpolate_files(a.c_str(), b.c_str(), out("second.png").c_str(), 0.5f), 0)
        << rife_get_error();
    EXPECT_TRUE(decode_with_pil(out("second.png")).rgb == read_bytes(image("png_palette8.rgb")));
    rife_shutdown();

    init_with("blend");
    ASSERT_EQ(rife_interpolate_files(a.c_str(), b.c_str(), out("blend.png").c_str(), 0.25f), 0)
        << rife_get_error();
    const Bytes got = decode_with_pil(out("blend.png")).rgb;
    const Bytes ra = read_bytes(image("png_rgb8.rgb")), rb = read_bytes(image("png_palette8.rgb"));
    ASSERT_EQ(got.size(), ra.size());
    size_t off = 0;
    for (size_t i = 0; i < got.size(); ++i)
        if (std::fabs(got[i] - (0.75 * ra[i] + 0.25 * rb[i])) > 1.0) ++off;
    EXPECT_EQ(off, 0u) << "samples further than 1 from 0.75 a + 0.25 b";
}

// JPEG decoders differ in their last bits, so each kind is compared with what PIL
// (libjpeg) decodes from the same file: close on average and nowhere far off. A wrong
// colour conversion, an inverted CMYK or swapped channels are off by far more.
TEST_F(Files, EveryJpegKindDecodesCloseToAnotherDecoder) {
    init_with("identity");
    for (const char* name :
         {"jpeg_baseline", "jpeg_progressive", "jpeg_subsampled", "jpeg_grey", "jpeg_cmyk"}) {
        SCOPED_TRACE(name);
        const std::string input = image(std::string(name) + ".jpg");
        const std::string output = out(std::string(name) + ".png");
        ASSERT_EQ(rife_interpolate_files(input.c_str(), image("png_grey8.png").c_str(),
                                         output.c_str(), 0.5f),
                  0)
            << rife_get_error();
        const Bytes got = decode_with_pil(output).rgb;
        const Bytes reference = decode_with_pil(input).rgb;
        ASSERT_EQ(got.size(), reference.size());
        double total = 0;
        int worst = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            const int d = std::abs(int(got[i]) - int(reference[i]));
            total += d;
            worst = std::max(worst, d);
        }
        std::printf("%s: mean difference %.3f, largest %d\n", name, total / got.size(), worst);
        EXPECT_LT(total / got.size(), 0.5);
        EXPECT_LE(worst, 4);
    }
}

TEST_F(Files, GreyPngWithRgbJpegInterpolates) {
    init_with("blend");
    const std::string output = out("mixed.jpg");
    ASSERT_EQ(rife_interpolate_files(image("png_grey8.png").c_str(),
                                     image("jpeg_baseline.jpg").c_str(), output.c_str(), 0.5f),
              0)
        << rife_get_error();
    const Decoded decoded = decode_with_pil(output);
    EXPECT_EQ(decoded.width, kWidth);
    EXPECT_EQ(decoded.height, kHeight);
}

// ---- output format by name -----------------------------------------------------------------

TEST_F(Files, OutputFormatIsChosenByTheTextAfterTheLastDot) {
    init_with("identity");
    ASSERT_EQ(mkdir(out("a").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(out("a/b").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(out("shots.old").c_str(), 0700), 0);
    const struct {
        const char* name;
        bool png;
    } cases[] = {{"a/b/frame.png", true}, {"frame.PNG", true},        {"frame.jpg.png", true},
                 {"frame.Png", false},    {"frame.jpg", false},       {"frame.bmp", false},
                 {"frame", false},        {"shots.old/frame", false}, {"frame.png.jpg", false},
                 {"frame.png ", false},   {"frame.pngx", false},      {"frame.", false}};
    const std::string frame = image("png_rgb8.png");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string output = out(c.name);
        ASSERT_EQ(rife_interpolate_files(frame.c_str(), frame.c_str(), output.c_str(), 0.5f), 0)
            << rife_get_error();
        const Bytes written = read_bytes(output);
        EXPECT_EQ(is_png(written), c.png);
        EXPECT_EQ(is_jpeg(written), !c.png);
        const Decoded decoded = decode_with_pil(output);
        EXPECT_EQ(decoded.width, kWidth);
        EXPECT_EQ(decoded.height, kHeight);
        if (!c.png) {
            const JpegFacts facts = jpeg_facts(written);
            EXPECT_EQ(facts.first_quant, (std::vector<int>{2, 2})) << "not quality 95";
            EXPECT_EQ(facts.sampling, (std::vector<int>{0x11, 0x11, 0x11}));
        }
    }
}

// Also through a symlink, which stays a link; the file keeps its mode either way.
TEST_F(Files, AnExistingOutputFileIsReplacedWhole) {
    init_with("identity");
    const std::string output = out("frame.png"), link = out("latest.png");
    ASSERT_EQ(symlink("frame.png", link.c_str()), 0);
    for (const std::string& path : {output, link}) {
        SCOPED_TRACE(path);
        write_bytes(output, std::string(200000, 'x'));  // longer than the new file
        ASSERT_EQ(chmod(output.c_str(), 0640), 0);
        ASSERT_EQ(rife_interpolate_files(image("png_rgb8.png").c_str(),
                                         image("png_rgb8.png").c_str(), path.c_str(), 0.5f),
                  0)
            << rife_get_error();
        EXPECT_LT(read_bytes(output).size(), 200000u);
        EXPECT_TRUE(decode_with_pil(output).rgb == read_bytes(image("png_rgb8.rgb")));
        struct stat info;
        ASSERT_EQ(lstat(output.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u);
        ASSERT_EQ(lstat(link.c_str(), &info), 0);
        EXPECT_TRUE(S_ISLNK(info.st_mode));
    }
    EXPECT_EQ(folder_entries(dir_), (std::set<std::string>{"frame.png", "latest.png"}));
}

// ---- failed writes -----------------------------------------------------------------------

TEST_F(Files, OutputThatCannotBeCreatedIsAWriteFailure) {
    init_with("identity");
    const std::string frame = image("png_rgb8.png");
    write_bytes(out("plain"), "a regular file");
    // The tests run as root, so permissions are no obstacle: a folder that is missing, a
    // "folder" that is a regular file, a folder that takes no files, and a folder itself.
    for (const std::string& path : {out("missing/frame.png"), out("plain/frame.png"),
                                    std::string("/proc/kri-frame.jpg"), dir_}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(rife_interpolate_files(frame.c_str(), frame.c_str(), path.c_str(), 0.5f), -1);
        EXPECT_STREQ(rife_get_error(), "Failed to write output");
    }
    EXPECT_FALSE(exists(out("missing")));
    EXPECT_EQ(read_bytes(out("plain")).size(), 14u);
    EXPECT_FALSE(exists("/proc/kri-frame.jpg"));
    // The engine is still usable, and success leaves the last message in place.
    EXPECT_EQ(rife_interpolate_files(frame.c_str(), frame.c_str(), out("ok.png").c_str(), 0.5f), 0);
    EXPECT_STREQ(rife_get_error(), "Failed to write output");
}

// Writing to a full device fails at some fwrite or at fclose; the device is not a regular
// file, so nothing may be removed. The device is reached through links (with a PNG and a
// JPEG name) and, where the tests may create device nodes, through a node of its own, so
// that a library that does remove it takes nothing from /dev.
TEST_F(Files, FullDeviceIsAWriteFailureAndTheDeviceStays) {
    init_with("identity");
    struct stat full;
    ASSERT_EQ(stat("/dev/full", &full), 0);
    ASSERT_TRUE(S_ISCHR(full.st_mode));
    std::vector<std::string> paths = {out("full.png"), out("full")};
    for (const std::string& path : paths) ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
    if (mknod(out("node.png").c_str(), S_IFCHR | 0600, full.st_rdev) == 0)
        paths.push_back(out("node.png"));
    const std::string frame = image("png_rgb8.png");
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(rife_interpolate_files(frame.c_str(), frame.c_str(), path.c_str(), 0.5f), -1);
        EXPECT_STREQ(rife_get_error(), "Failed to write output");
        struct stat after;
        ASSERT_EQ(stat(path.c_str(), &after), 0) << "removed";
        EXPECT_TRUE(S_ISCHR(after.st_mode));
        EXPECT_EQ(after.st_rdev, full.st_rdev);
    }
    EXPECT_EQ(paths.size(), 3u) << "no device node of its own: only the links were tried";
    struct stat after;
    ASSERT_EQ(stat("/dev/full", &after), 0) << "/dev/full was removed";
    EXPECT_EQ(after.st_ino, full.st_ino);
}

// A folder that takes no new file (immutable, which binds root too) gets no replacement
// beside the output: the existing file is written in place.
TEST_F(Files, FolderTakingNoNewFileIsWrittenInPlace) {
    init_with("identity");
    const std::string folder = out("locked"), output = folder + "/frame.png";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    write_bytes(output, "an older frame");
    if (std::system(("chattr +i '" + folder + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available here";
    const int result = rife_interpolate_files(image("png_rgb8.png").c_str(),
                                              image("png_rgb8.png").c_str(), output.c_str(), 0.5f);
    const std::string error = rife_get_error();
    ASSERT_EQ(std::system(("chattr -i '" + folder + "'").c_str()), 0);
    EXPECT_EQ(result, 0) << error;
    EXPECT_TRUE(decode_with_pil(output).rgb == read_bytes(image("png_rgb8.rgb")));
    EXPECT_EQ(folder_entries(folder), std::set<std::string>{"frame.png"});
}

// JPEG stores each side in 16 bits: a wider frame is refused before anything is written,
// where PNG, with 32-bit sides, takes it.
TEST_F(Files, JpegSidesPast65535AreRefusedBeforeWriting) {
    init_with("identity");
    const std::string widest = image("wide_65535.png"), jpeg = out("widest.jpg");
    ASSERT_EQ(rife_interpolate_files(widest.c_str(), widest.c_str(), jpeg.c_str(), 0.5f), 0)
        << rife_get_error();
    // libjpeg (PIL) stops at 65500 a side, so stb_image reads it back.
    EXPECT_EQ(jpeg_facts(read_bytes(jpeg)).width, 65535);
    const std::string back = out("widest.png");
    ASSERT_EQ(rife_interpolate_files(jpeg.c_str(), jpeg.c_str(), back.c_str(), 0.5f), 0)
        << rife_get_error();
    EXPECT_EQ(decode_with_pil(back).width, 65535);
    for (const char* name : {"wide_65536.png", "wide_70000.png"}) {
        SCOPED_TRACE(name);
        const std::string output = out("wide.jpg");
        EXPECT_EQ(
            rife_interpolate_files(image(name).c_str(), image(name).c_str(), output.c_str(), 0.5f),
            -1);
        EXPECT_STREQ(rife_get_error(), "Failed to write output");
        EXPECT_FALSE(exists(output));
    }
    const std::string png = out("wide.png");
    ASSERT_EQ(rife_interpolate_files(image("wide_70000.png").c_str(),
                                     image("wide_70000.png").c_str(), png.c_str(), 0.5f),
              0)
        << rife_get_error();
    EXPECT_EQ(decode_with_pil(png).width, 70000);
}

// A file size limit makes the write fail part-way: no partial file is left, and what the
// output named before the call, an input named as the output included, is kept whole,
// also through a symlink (which stays a link).
TEST_F(Files, WriteFailingPartWayLosesNoFile) {
    const std::string input = out("frame1.png"), target = out("target.jpg");
    const Bytes original = read_bytes(image("png_rgb8.png"));  // ~10 KB as PNG, ~5 KB as JPEG
    write_bytes(input, std::string(original.begin(), original.end()));
    write_bytes(target, "an older frame");
    ASSERT_EQ(symlink("target.jpg", out("link.jpg").c_str()), 0);
    const ChildEnd end = run_in_child([&] {
        signal(SIGXFSZ, SIG_IGN);  // over the limit, write() fails with EFBIG instead
        const struct rlimit limit = {1024, 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || rife_init(model_dir("identity").c_str()) != 0)
            return 2;
        int failures = 0;
        for (const char* name : {"partial.png", "partial.jpg", "frame1.png", "link.jpg"})
            failures += expect_child_failure(input, input, out(name), "Failed to write output");
        return failures;
    });
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_TRUE(read_bytes(input) == original);
    const Bytes kept = read_bytes(target);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "an older frame");
    struct stat info;
    ASSERT_EQ(lstat(out("link.jpg").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(folder_entries(dir_),
              (std::set<std::string>{"frame1.png", "target.jpg", "link.jpg"}));
}

// A FIFO whose reader leaves after a few bytes: the write fails instead of SIGPIPE ending
// the process (left at its default action here), the signal is not left pending or
// blocked, and the FIFO stays.
TEST_F(Files, PipeWhoseReaderLeavesIsAWriteFailure) {
    const std::string fifo = out("pipe.png");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t child = start_child([&] {
        signal(SIGPIPE, SIG_DFL);
        if (rife_init(model_dir("identity").c_str()) != 0) return 2;
        // Noise: its PNG is larger than the pipe holds, so writes outlast the reader.
        const std::string noise = image("noise_256.png");
        int failures = expect_child_failure(noise, noise, fifo, "Failed to write output");
        sigset_t pending, mask;
        sigpending(&pending);
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        if (sigismember(&pending, SIGPIPE) || sigismember(&mask, SIGPIPE)) failures += 4;
        return failures;
    });
    // The reader opens after the fork, so the child holds no read end of its own.
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    char head[16];
    size_t got = 0;
    struct pollfd ready = {fd, POLLIN, 0};
    while (fd >= 0 && got < sizeof head && poll(&ready, 1, 60000) > 0) {
        const ssize_t n = read(fd, head + got, sizeof head - got);
        if (n <= 0 && errno != EAGAIN) break;
        if (n > 0) got += static_cast<size_t>(n);
    }
    if (fd >= 0) close(fd);
    const ChildEnd end = wait_for_child(child);
    EXPECT_EQ(end.signal, 0) << strsignal(end.signal);
    EXPECT_EQ(end.exit_code, 0);
    struct stat info;
    ASSERT_EQ(stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// ---- decompression bombs and the largest sizes ---------------------------------------------

TEST_F(Files, HeadersClaimingTooMuchFailToLoad) {
    init_with("identity");
    const std::string good = image("png_rgb8.png");
    for (const char* name : {"bomb_header_20000.png", "bomb_wide_16777217.png",
                             "bomb_tall_16777217.png", "bomb_65535.jpg"}) {
        SCOPED_TRACE(name);
        expect_failure(image(name), good, "Failed to load frame1");
        expect_failure(good, image(name), "Failed to load frame2");
    }
}

// 20000 x 20000 grey from a 400 KB file: decoded (1.2 GB as RGB) within memory, then
// refused on its size against a normal frame, with no crash and the memory given back.
TEST_F(Files, BombOf20000SquaredDecodesWithinMemory) {
    init_with("identity");
    expect_failure(image("bomb_grey_20000.png"), image("size_640x480.png"),
                   "Frame dimensions mismatch");
    struct rusage usage;
    ASSERT_EQ(getrusage(RUSAGE_SELF, &usage), 0);
    const double peak_gb = usage.ru_maxrss / 1048576.0;
    std::printf("peak resident memory: %.2f GB\n", peak_gb);
    EXPECT_LT(peak_gb, 4.0);
}

// One pixel whose data inflates to 400 MB: the data past what the header implies is never
// inflated, so both frames decode (to be refused only for the engine not being ready)
// within little more memory than the process had.
TEST_F(Files, DataPastWhatThePngHeaderImpliesIsNotInflated) {
    const std::string bomb = image("bomb_inflate_1x1.png");
    const size_t before_kb = resident_kb();
    const ChildEnd end = run_in_child(
        [&] { return expect_child_failure(bomb, bomb, out("o.png"), "Not initialized"); });
    EXPECT_EQ(end.exit_code, 0);
    const double grown_mb = (end.peak_kb - static_cast<long>(before_kb)) / 1024.0;
    std::printf("peak resident memory of the decoding child: %.1f MB over its parent\n", grown_mb);
    EXPECT_LT(grown_mb, 64.0);
}

size_t address_space_bytes() { return status_kb("VmSize: %zu kB") * 1024; }

// The address space is capped a little tighter each time until both 16777216 x 1 frames
// decode (48 MB each as RGB): the first cap that lets them through leaves no room for the
// 48 MB output buffer, which must then be reported as "OOM", with no output. The engine is
// not started (the buffer comes before interpolation), so no ONNX Runtime thread needs
// room under the cap.
TEST_F(Files, OutputBufferThatCannotBeAllocatedIsOom) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than any cap";
#elif defined(__has_feature)
#    if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than any cap";
#    endif
#endif
    const std::string wide = image("wide_16777216.png"), output = out("oom.png");
    struct rlimit original;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &original), 0);
    const size_t used = address_space_bytes();
    ASSERT_GT(used, 0u);
    std::string message;
    size_t extra = 64u << 20;
    for (; extra <= (512u << 20); extra += 4u << 20) {
        struct rlimit cap = original;
        cap.rlim_cur = used + extra;
        ASSERT_EQ(setrlimit(RLIMIT_AS, &cap), 0);
        const int result = rife_interpolate_files(wide.c_str(), wide.c_str(), output.c_str(), 0.5f);
        ASSERT_EQ(setrlimit(RLIMIT_AS, &original), 0);
        EXPECT_EQ(result, -1);
        message = rife_get_error();
        if (message != "Failed to load frame1" && message != "Failed to load frame2") break;
    }
    std::printf("both frames decoded with %zu MB of address space to spare\n", extra >> 20);
    EXPECT_EQ(message, "OOM");
    EXPECT_FALSE(exists(output));
    // Without the cap the same pair gets as far as interpolation.
    expect_failure(wide, wide, "Not initialized");
}

// The largest side decodes; 3 x 16777216 x 64 samples after padding are past what one
// tensor may hold, which interpolation reports rather than any size arithmetic overflowing.
TEST_F(Files, LargestSideDecodesAndIsRefusedAsTooLarge) {
    init_with("identity");
    const std::string wide = image("wide_16777216.png");
    expect_failure(wide, wide, "Frame too large");
}

}  // namespace
