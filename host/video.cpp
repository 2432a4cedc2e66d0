// video: multiplies a video's frame rate. One ffmpeg decodes IN to packed RGB (rgb24) on a
// pipe, which is exactly the library's frame layout, so frames are read straight into the
// buffers that rife_interpolate() takes and its output is written straight to the pipe of
// a second ffmpeg encoding OUT. Nothing but OUT reaches the disk.

#include "child_process.h"
#include "cleanup.h"
#include "commands.h"
#include "common.h"
#include "ffmpeg.h"
#include "library_binding.h"
#include "output_target.h"
#include "paths.h"
#include "progress.h"
#include "scene_cuts.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kri_host {
namespace {

// Why a run stopped; each kind has its message in VideoRun::report().
enum class Failure {
    kNone,
    kNoFrames,        // the decoder gave not even one frame
    kDecoderRead,     // reading its pipe failed
    kDecoderCut,      // it stopped in the middle of a frame
    kDecoderExit,     // it exited with an error after the last frame
    kEncoderStopped,  // writing its pipe failed: it is gone
    kEncoderExit,     // it exited with an error
    kLibrary,         // rife_interpolate failed
    kRename,          // the finished file could not be put in place
};

// ffmpeg names the temporary file in its messages; the user knows only OUT.
std::string unmask(std::string text, const std::string& temp, const std::string& out) {
    for (size_t at = text.find(temp); at != std::string::npos;
         at = text.find(temp, at + out.size()))
        text.replace(at, temp.size(), out);
    return text;
}

bool tools_found() {
    for (const char* tool : {"ffmpeg", "ffprobe"}) {
        if (find_on_path(tool).empty()) {
            say("%s not found on PATH: video needs ffmpeg and ffprobe (Debian: apt-get install "
                "ffmpeg)",
                tool);
            return false;
        }
    }
    return true;
}

// One conversion. Whatever way it ends, the destructor stops the ffmpeg processes (the
// members below them go first) and then removes the temporary file.
class VideoRun {
  public:
    explicit VideoRun(const Options& o) : o_(o) {}
    int run();

  private:
    bool check_paths();
    bool prepare();
    bool start();
    void convert();
    bool step(uint8_t* earlier, uint8_t* later, uint8_t* computed);
    bool read_frame(uint8_t* into);
    bool write_frame(const uint8_t* frame);
    void repeat(const uint8_t* frame);
    void fail(Failure kind, std::string detail = {});
    bool finish();
    void report();
    void print_summary() const;
    void print_stats(double elapsed) const;

    const Options& o_;
    VideoInfo info_;
    OutputTarget target_;
    Rational out_rate_;
    size_t frame_bytes_ = 0;
    long long frames_in_ = 0, frames_out_ = 0, cuts_ = 0;
    SceneCutDetector cuts_detector_{-1, 1};  // set once the rate is known
    Timing timing_;
    Progress progress_{false, 0};
    Failure failure_ = Failure::kNone;
    std::string detail_;  // what the failure adds to its kind's message

    TempFile temp_;
    Child encoder_;
    Child decoder_;  // stopped before the encoder: it may be blocked writing
    Engine engine_;
};

// The input, OUT and its format: checked before anything starts.
bool VideoRun::check_paths() {
    const std::string& input = o_.inputs[0];
    if (!tools_found()) return false;
    if (!is_file(input)) {
        say("%s: %s", input.c_str(),
            access(input.c_str(), F_OK) == 0 ? "not a file" : "No such file");
        return false;
    }
    if (find_container(o_.output) == nullptr) {
        say("cannot write %s: no video format for the extension '%s' (use one of: %s)",
            o_.output.c_str(), split_extension(o_.output).second.c_str(),
            known_extensions().c_str());
        return false;
    }
    std::string problem;
    if (!plan_output(o_.output, target_, problem)) {
        say("cannot write %s: %s", o_.output.c_str(), problem.c_str());
        return false;
    }
    if (real_path(input) == real_path(o_.output)) {
        say("%s: the output would replace the input", o_.output.c_str());
        return false;
    }
    return true;
}

// Everything that can be checked before any process starts.
bool VideoRun::prepare() {
    std::string problem;
    if (!check_paths()) return false;
    if (!probe(o_.inputs[0], info_, problem)) {
        say("%s", problem.c_str());
        return false;
    }
    double start = o_.start.empty() ? 0 : std::atof(o_.start.c_str());
    if (info_.duration > 0 && start >= info_.duration) {
        say("%s: --start %s is past the end (it lasts %.3g s)", o_.inputs[0].c_str(),
            o_.start.c_str(), info_.duration);
        return false;
    }
    out_rate_ = reduced({info_.rate.num * o_.factor, info_.rate.den});
    Rational written = written_rate(o_, out_rate_);
    if (written.value() != out_rate_.value() && !o_.quiet)
        say("%s plays at most %s fps: its frames are made at %.6g fps and written at %s fps "
            "(some dropped, evenly)",
            o_.output.c_str(), rate_text(written).c_str(), out_rate_.value(),
            rate_text(written).c_str());
    cuts_detector_ =
        SceneCutDetector(o_.scene_threshold, static_cast<size_t>(std::lround(info_.rate.value())));
    frame_bytes_ = static_cast<size_t>(info_.width) * static_cast<size_t>(info_.height) * 3;
    return true;
}

// ffmpeg starts first, so that it opens IN while the engine loads the model.
bool VideoRun::start() {
    if (!target_.in_place()) temp_ = TempFile(target_.written);
    std::string error;
    if (!decoder_.start(decoder_args(o_, info_), false, true, error) ||
        !encoder_.start(encoder_args(o_, info_, out_rate_, target_.written), true, false, error)) {
        say("cannot start ffmpeg: %s", error.c_str());
        return false;
    }
    if (!engine_.start(o_.library, o_.model_dir, o_.verbose)) return false;
    if (o_.verbose)
        say("%s: %dx%d at %s fps, %lld frames%s", o_.inputs[0].c_str(), info_.width, info_.height,
            rate_text(info_.rate).c_str(), info_.frames,
            !info_.has_audio()                ? ""
            : audio_plan(o_, info_) == "copy" ? ", audio copied"
                                              : ", audio encoded again");
    return true;
}

void VideoRun::fail(Failure kind, std::string detail) {
    if (failure_ != Failure::kNone) return;  // the first failure is the one to tell
    failure_ = kind;
    detail_ = std::move(detail);
}

bool VideoRun::read_frame(uint8_t* into) {
    double t0 = now_seconds();
    ssize_t got = read_full(decoder_.from_child(), into, frame_bytes_);
    timing_.decode_wait += now_seconds() - t0;
    if (got == static_cast<ssize_t>(frame_bytes_)) {
        ++frames_in_;
        return true;
    }
    if (got < 0) fail(Failure::kDecoderRead, strerror(errno));
    if (got > 0) fail(Failure::kDecoderCut);
    return false;
}

bool VideoRun::write_frame(const uint8_t* frame) {
    double t0 = now_seconds();
    bool ok = write_full(encoder_.to_child(), frame, frame_bytes_);
    timing_.encode_wait += now_seconds() - t0;
    if (!ok) {
        fail(Failure::kEncoderStopped);
        return false;
    }
    ++frames_out_;
    progress_.show(frames_out_, false);
    return true;
}

// The frame again in the N-1 slots after it: at a scene cut and at the end.
void VideoRun::repeat(const uint8_t* frame) {
    for (int k = 1; k < o_.factor && write_frame(frame); ++k) {
    }
}

// Writes `earlier` and what follows it up to `later`. False once the run is over.
bool VideoRun::step(uint8_t* earlier, uint8_t* later, uint8_t* computed) {
    bool have_next = read_frame(later);
    if (failure_ != Failure::kNone || !write_frame(earlier)) return false;
    if (!have_next) {  // the last frame is held for the whole of its time slot
        repeat(earlier);
        return false;
    }
    bool cut = false;
    if (o_.scene_detect) {
        double t0 = now_seconds();
        cut = cuts_detector_.is_cut(earlier, later, info_.width, info_.height);
        timing_.cuts += now_seconds() - t0;
    }
    if (cut) {
        ++cuts_;
        repeat(earlier);
        return failure_ == Failure::kNone;
    }
    for (int k = 1; k < o_.factor && failure_ == Failure::kNone; ++k) {
        double t0 = now_seconds();
        int rc = engine_.lib().interpolate(earlier, later, info_.width, info_.height, computed,
                                           static_cast<float>(k) / static_cast<float>(o_.factor));
        timing_.library += now_seconds() - t0;
        if (rc != 0)
            fail(Failure::kLibrary, "rife_interpolate failed between frames " +
                                        std::to_string(frames_in_ - 2) + " and " +
                                        std::to_string(frames_in_ - 1) + ": " + engine_.error());
        else
            write_frame(computed);
    }
    return failure_ == Failure::kNone;
}

// Three frame buffers: the earlier frame, the later one, and the computed one. The pair
// is swapped by pointer, so every decoded frame is read once and never copied.
void VideoRun::convert() {
    long long expected_in = info_.frames;
    if (!o_.duration.empty() && expected_in > 0)
        expected_in = std::min<long long>(
            expected_in,
            static_cast<long long>(std::ceil(std::atof(o_.duration.c_str()) * info_.rate.value())));
    progress_ =
        Progress(!o_.quiet && isatty(STDERR_FILENO), expected_in > 0 ? expected_in * o_.factor : 0);
    std::vector<uint8_t> buffers(frame_bytes_ * 3);
    uint8_t* earlier = buffers.data();
    uint8_t* later = earlier + frame_bytes_;
    uint8_t* computed = later + frame_bytes_;
    if (!read_frame(earlier)) {
        fail(Failure::kNoFrames);
        return;
    }
    while (step(earlier, later, computed)) std::swap(earlier, later);
}

// Lets both ffmpeg processes end (closing the encoder's stdin lets it write the file's
// end) and puts OUT in place.
bool VideoRun::finish() {
    if (!decoder_.finish()) fail(Failure::kDecoderExit);
    double t0 = now_seconds();
    if (!encoder_.finish()) fail(Failure::kEncoderExit);
    timing_.encode_wait += now_seconds() - t0;
    if (failure_ != Failure::kNone) return false;
    if (!commit_output(target_)) {
        fail(Failure::kRename, strerror(errno));
        return false;
    }
    temp_.keep();
    return true;
}

void VideoRun::report() {
    decoder_.stop();  // their messages are complete once they have ended
    encoder_.stop();
    const std::string& input = o_.inputs[0];
    std::string why;
    switch (failure_) {
        case Failure::kNone:
            return;
        case Failure::kNoFrames:
            why = input + ": no frames could be decoded";
            break;
        case Failure::kDecoderRead:
            why = input + ": reading from the decoder: " + detail_;
            break;
        case Failure::kDecoderCut:
            why = input + ": the decoder stopped in the middle of a frame";
            break;
        case Failure::kDecoderExit:
            why = input + ": ffmpeg failed while decoding";
            break;
        case Failure::kEncoderStopped:
        case Failure::kEncoderExit:
            why = "ffmpeg could not encode " + o_.output + ": " +
                  unmask(encoder_.complaint(), target_.written, o_.output);
            break;
        case Failure::kLibrary:
            why = detail_;
            break;
        case Failure::kRename:
            why = "cannot write " + o_.output + ": " + detail_;
            break;
    }
    if (failure_ <= Failure::kDecoderExit) why += " (" + decoder_.complaint() + ")";
    if (progress_.enabled()) std::fputc('\n', stderr);
    say("%s", why.c_str());
}

int VideoRun::run() {
    if (!prepare() || !start()) return kExitFailure;
    convert();
    double elapsed = progress_.elapsed();
    engine_.shutdown();
    if (failure_ != Failure::kNone || !finish()) {
        report();
        return kExitFailure;
    }
    elapsed = progress_.elapsed();
    progress_.show(frames_out_, true);
    if (!o_.quiet) print_summary();
    if (o_.stats) print_stats(elapsed);
    return 0;
}

void VideoRun::print_summary() const {
    Rational written = written_rate(o_, out_rate_);
    char rate[64];
    if (written.value() == out_rate_.value())
        std::snprintf(rate, sizeof rate, "%.6g fps", out_rate_.value());
    else
        std::snprintf(rate, sizeof rate, "%.6g fps (written at %.6g)", out_rate_.value(),
                      written.value());
    std::string depth = info_.bit_depth > 8 ? "; the input has " + std::to_string(info_.bit_depth) +
                                                  " bits per sample, the output 8"
                                            : "";
    say("wrote %s: %lld frames at %s from %lld frames, %lld scene cut%s (frames repeated "
        "instead of interpolated)%s",
        o_.output.c_str(), frames_out_, rate, frames_in_, cuts_, cuts_ == 1 ? "" : "s",
        depth.c_str());
}

void VideoRun::print_stats(double elapsed) const {
    auto share = [&](double part) { return elapsed > 0 ? 100.0 * part / elapsed : 0.0; };
    auto per_second = [&](long long frames) { return elapsed > 0 ? frames / elapsed : 0.0; };
    double other = elapsed - timing_.library - timing_.decode_wait - timing_.encode_wait;
    long long computed = frames_in_ > 0 ? (frames_in_ - 1 - cuts_) * (o_.factor - 1) : 0;
    std::fprintf(stderr,
                 "%s: stats: %dx%d x%d, %lld frames out in %.2f s = %.2f fps out "
                 "(%.2f fps in)\n",
                 kProgram, info_.width, info_.height, o_.factor, frames_out_, elapsed,
                 per_second(frames_out_), per_second(frames_in_));
    std::fprintf(stderr,
                 "%s: stats: library %.2f s (%.1f%%, %.3f s per computed frame, %lld "
                 "computed), waiting for the decoder %.2f s (%.1f%%), waiting for the encoder "
                 "%.2f s (%.1f%%), scene-cut checks %.3f s, other %.2f s\n",
                 kProgram, timing_.library, share(timing_.library),
                 computed ? timing_.library / static_cast<double>(computed) : 0.0, computed,
                 timing_.decode_wait, share(timing_.decode_wait), timing_.encode_wait,
                 share(timing_.encode_wait), timing_.cuts, other - timing_.cuts);
    std::fprintf(stderr, "%s: stats: CPU time of ffmpeg: decoder %.2f s, encoder %.2f s\n",
                 kProgram, decoder_.cpu_seconds(), encoder_.cpu_seconds());
}

}  // namespace

int run_video(const Options& options) { return VideoRun(options).run(); }

}  // namespace kri_host
