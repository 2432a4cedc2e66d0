// video: changes a video's frame rate. A first pass of ffmpeg lists the time of every frame
// (timeline.h). Then one ffmpeg decodes IN to packed RGB (rgb24) on a pipe, which is
// exactly the library's frame layout, and every output frame, at its exact time on the
// output's grid, is a decoded frame or one computed between the two decoded frames around
// it (output_queue.h), written in order to the pipe of a second ffmpeg encoding OUT.
// Nothing but OUT reaches the disk.

#include "child_process.h"
#include "cleanup.h"
#include "commands.h"
#include "common.h"
#include "ffmpeg.h"
#include "interpolator.h"
#include "output_queue.h"
#include "output_target.h"
#include "paths.h"
#include "progress.h"
#include "scene_cuts.h"
#include "sequence.h"
#include "timeline.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace kri_host {
namespace {

// Why a run stopped; each kind has its message in VideoRun::report().
enum class Failure {
    kNone,
    kNoFrames,        // the decoder gave not even one frame
    kDecoderRead,     // reading its pipe failed
    kDecoderCut,      // it stopped in the middle of a frame
    kDecoderExit,     // it exited with an error after the last frame
    kFrameCount,      // it gave fewer or more frames than the first pass
    kEncoderStopped,  // writing its pipe failed: it is gone
    kEncoderExit,     // it exited with an error
    kLibrary,         // rife_interpolate failed
    kRename,          // the finished file could not be put in place
};

// A decoded key frame, and whether the step from it to the next key is a scene cut.
struct LoadedKey {
    size_t key;
    FrameBuffer frame;
    bool cut_after = false;
};

// One conversion. Whatever way it ends, the destructor stops the interpolator and the
// ffmpeg processes (the members below them go first) and then removes the temporary file.
class VideoRun {
  public:
    explicit VideoRun(const Options& o) : o_(o) {}
    int run();

  private:
    bool check_input();
    bool check_paths();
    bool plan_folder();
    bool read_times();
    bool plan_part();
    bool prepare();
    bool start();
    void convert();
    bool place(const SlotPlan& slot);
    bool load_key(size_t key, size_t keep_from);
    bool load_next_frame(size_t keep_from);
    void drain();
    FrameBuffer free_buffer();
    bool read_frame(uint8_t* into);
    bool write_frame(const uint8_t* frame);
    void queue_failed();
    void fail(Failure kind, std::string detail = {});
    bool finish();
    void report();
    void print_summary() const;
    void print_stats(double elapsed) const;

    const Options& o_;
    Input input_;
    VideoInfo info_;
    FrameTimes times_;
    std::vector<size_t> keys_;
    std::vector<SlotPlan> plan_;
    PartRange range_;
    size_t first_frame_ = 0, end_frame_ = 0;  // the frames decoded, [first, end)
    std::string seek_;                        // where the decoder starts; "" at the beginning
    size_t next_frame_ = 0, next_key_ = 0;    // what the decoder gives next
    std::deque<LoadedKey> loaded_;            // consecutive keys, the ones still needed
    std::vector<FrameBuffer> buffers_;        // reused once nothing holds them
    const bool to_folder_ = is_folder_output(o_.output);
    FolderOutput folder_;  // when OUT is a folder of images
    OutputTarget target_;
    Rational out_rate_;
    size_t frame_bytes_ = 0;
    long long frames_in_ = 0, frames_out_ = 0, cuts_ = 0, repeats_ = 0, computed_ = 0;
    SceneCutDetector cuts_detector_{-1, 1};  // set once the rate is known
    Timing timing_;
    Progress progress_{false, 0};
    Failure failure_ = Failure::kNone;
    std::string detail_;  // what the failure adds to its kind's message

    TempFile temp_;
    Child encoder_;
    Child decoder_;  // stopped before the encoder: it may be blocked writing
    std::unique_ptr<Interpolator> interpolator_;
    std::unique_ptr<OutputQueue> queue_;
};

// IN: a video file, or numbered images at --input-fps.
bool VideoRun::check_input() {
    const std::string& in = o_.inputs[0];
    std::string error;
    if (is_sequence_name(in)) {
        size_t frames = 0;
        if (o_.input_fps.num == 0) {
            say("%s is an image sequence: give its frame rate with --input-fps RATE (such as "
                "--input-fps 24)",
                in.c_str());
            return false;
        }
        if (!open_sequence(in, o_.input_fps, input_, frames, error)) {
            say("%s", error.c_str());
            return false;
        }
        input_.start = o_.start, input_.duration = o_.duration;
        return true;
    }
    if (!is_file(in)) {
        say("%s: %s", in.c_str(), access(in.c_str(), F_OK) == 0 ? "not a file" : "No such file");
        return false;
    }
    if (o_.input_fps.num) {
        say("%s: --input-fps is for image sequences; a video's frames have their own times",
            in.c_str());
        return false;
    }
    input_ = video_input(o_);
    return true;
}

// The input, OUT and its format: checked before anything starts.
bool VideoRun::check_paths() {
    if (!ffmpeg_tools_found() || !check_input()) return false;
    if (to_folder_) return true;  // checked once the number of frames is known
    if (find_container(o_.output) == nullptr) {
        say("cannot write %s: no video format for the extension '%s' (use one of: %s, or a "
            "folder for PNG images)",
            o_.output.c_str(), split_extension(o_.output).second.c_str(),
            known_extensions().c_str());
        return false;
    }
    std::string problem;
    if (!plan_output(o_.output, target_, problem)) {
        say("cannot write %s: %s", o_.output.c_str(), problem.c_str());
        return false;
    }
    if (!input_.sequence && real_path(o_.inputs[0]) == real_path(o_.output)) {
        say("%s: the output would replace the input", o_.output.c_str());
        return false;
    }
    return true;
}

// A folder as OUT: its names for this run's frames must be free.
bool VideoRun::plan_folder() {
    std::string problem;
    if (!folder_.plan(o_.output, range_.first_slot, range_.end_slot - range_.first_slot,
                      plan_.size(), problem)) {
        say("cannot write %s: %s", o_.output.c_str(), problem.c_str());
        return false;
    }
    target_ = {folder_.temp_pattern(), ""};
    if (folder_.others() && !o_.quiet)
        say("%s holds %zu other numbered images; they are left as they are", o_.output.c_str(),
            folder_.others());
    return true;
}

// The first pass: every frame's time, the keys and what each output frame shows.
bool VideoRun::read_times() {
    std::string text, error;
    if (!run_capture(timestamp_args(input_), text, error) ||
        !read_frame_times(text, times_, error)) {
        say("%s: %s", input_.name.c_str(), one_line(error).c_str());
        return false;
    }
    keys_ = key_frames(times_, o_.dedup);
    plan_ = plan_slots(times_, keys_, out_rate_);
    range_ = {0, keys_.size(), 0, plan_.size()};
    end_frame_ = times_.pts.size();
    return o_.parts == 0 || plan_part();
}

// A part decodes from some keys before its own (so that the scene-cut detector has seen
// what it would have in a whole run) to the key after its last.
bool VideoRun::plan_part() {
    range_ = part_range(plan_, keys_.size(), o_.part, o_.parts);
    if (range_.first_key == range_.end_key || range_.first_slot == range_.end_slot) {
        say("%s: --part %d/%d is empty: the input has %zu frames to share out", o_.output.c_str(),
            o_.part, o_.parts, keys_.size());
        return false;
    }
    size_t lead = o_.scene_detect ? 2 * static_cast<size_t>(std::lround(info_.rate.value())) : 0;
    size_t first_key = range_.first_key - std::min(range_.first_key, lead);
    first_frame_ = next_frame_ = first_key ? keys_[first_key] : 0;
    next_key_ = first_key;
    if (range_.end_key < keys_.size()) end_frame_ = keys_[range_.end_key] + 1;
    auto seconds = [&](double ticks) { return ticks * times_.tick.value(); };
    char text[64];
    if (first_frame_ > 0) {  // halfway from the frame before: no rounding can take it in
        double ticks = (times_.pts[first_frame_ - 1] + times_.pts[first_frame_]) / 2.0;
        std::snprintf(text, sizeof text, "%.9f", seconds(ticks));
        seek_ = text;
    }
    info_.audio_codecs.clear();  // parts are joined as video; the sound is IN's, once
    return true;
}

// Everything that can be checked before any process but the probes starts.
bool VideoRun::prepare() {
    std::string problem;
    if (!check_paths()) return false;
    if (!probe(input_, info_, problem)) {
        say("%s", problem.c_str());
        return false;
    }
    double start = o_.start.empty() ? 0 : std::atof(o_.start.c_str());
    if (info_.duration > 0 && start >= info_.duration) {
        say("%s: --start %s is past the end (it lasts %.3g s)", o_.inputs[0].c_str(),
            o_.start.c_str(), info_.duration);
        return false;
    }
    out_rate_ = reduced(o_.fps.num ? o_.fps : Rational{info_.rate.num * o_.factor, info_.rate.den});
    if (!read_times() || (to_folder_ && !plan_folder())) return false;
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
    long long frames = o_.parts ? static_cast<long long>(end_frame_ - first_frame_) : 0;
    auto encoder = to_folder_ ? image_encoder_args(info_, out_rate_, folder_.temp_pattern(),
                                                   folder_.first_number())
                              : encoder_args(o_, info_, out_rate_, target_.written);
    if (!decoder_.start(decoder_args(input_, info_, seek_, frames), false, true, error) ||
        !encoder_.start(encoder, true, false, error)) {
        say("cannot start ffmpeg: %s", error.c_str());
        return false;
    }
    interpolator_ = make_interpolator(o_);
    if (!interpolator_) return false;
    if (o_.verbose)
        say("%s: %dx%d at %s fps, %zu frames%s", o_.inputs[0].c_str(), info_.width, info_.height,
            rate_text(info_.rate).c_str(), times_.pts.size(),
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
    if (to_folder_) folder_.written(range_.first_slot + static_cast<size_t>(frames_out_));
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

void VideoRun::queue_failed() {
    if (queue_->interpolator_failed())
        fail(Failure::kLibrary, "rife_interpolate failed: " + interpolator_->error());
}

FrameBuffer VideoRun::free_buffer() {
    for (const FrameBuffer& buffer : buffers_)
        if (buffer.use_count() == 1) return buffer;
    buffers_.push_back(std::make_shared<std::vector<uint8_t>>(frame_bytes_));
    return buffers_.back();
}

// Reads the decoder's next frame; a key is kept (with the keys from `keep_from` on) and
// checked for a cut from the key before it.
bool VideoRun::load_next_frame(size_t keep_from) {
    bool is_key = next_key_ < keys_.size() && keys_[next_key_] == next_frame_;
    FrameBuffer frame = free_buffer();
    if (next_frame_ >= end_frame_ || !read_frame(frame->data())) {
        fail(frames_in_ ? Failure::kFrameCount : Failure::kNoFrames,
             "the decoder gave " + std::to_string(frames_in_) + " frames where its first pass " +
                 "counted " + std::to_string(end_frame_ - first_frame_));
        return false;
    }
    if (!is_key && o_.dedup && next_key_ &&
        times_.digest[next_frame_] == times_.digest[keys_[next_key_ - 1]])
        ++repeats_;
    ++next_frame_;
    if (!is_key) return true;
    if (!loaded_.empty() && o_.scene_detect) {
        double t0 = now_seconds();
        LoadedKey& before = loaded_.back();
        before.cut_after =
            cuts_detector_.is_cut(before.frame->data(), frame->data(), info_.width, info_.height);
        timing_.cuts += now_seconds() - t0;
        if (before.cut_after && before.key >= range_.first_key && before.key < range_.end_key)
            ++cuts_;
    }
    loaded_.push_back({next_key_++, frame, false});
    while (loaded_.size() > 1 && loaded_.front().key < keep_from) loaded_.pop_front();
    return true;
}

bool VideoRun::load_key(size_t key, size_t keep_from) {
    while (next_key_ <= key)
        if (!load_next_frame(keep_from)) return false;
    return true;
}

// One output frame: a key as it is, or a frame computed between it and the next key
// unless a scene cut lies between them.
bool VideoRun::place(const SlotPlan& slot) {
    size_t key = slot.key;
    if (!load_key(slot.between ? key + 1 : key, key)) return false;
    while (loaded_.front().key < key) loaded_.pop_front();
    const LoadedKey& earlier = loaded_.front();
    bool ok = slot.between && !earlier.cut_after
                  ? queue_->compute(earlier.frame, loaded_[1].frame, slot.t)
                  : queue_->show(earlier.frame);
    if (!ok) queue_failed();
    return ok;
}

// Reads the frames after the last one needed, so that the decoder ends by itself and
// gave as many frames as its first pass.
void VideoRun::drain() {
    while (failure_ == Failure::kNone && next_frame_ < end_frame_)
        load_next_frame(next_key_ ? next_key_ - 1 : 0);
    if (failure_ != Failure::kNone) return;
    FrameBuffer extra = free_buffer();
    if (read_frame(extra->data()))
        fail(Failure::kFrameCount, "the decoder gave more frames than its first pass counted");
}

void VideoRun::convert() {
    progress_ = Progress(!o_.quiet && isatty(STDERR_FILENO),
                         static_cast<long long>(range_.end_slot - range_.first_slot));
    queue_ =
        std::make_unique<OutputQueue>(*interpolator_, info_.width, info_.height,
                                      [this](const uint8_t* frame) { return write_frame(frame); });
    for (size_t k = range_.first_slot; k < range_.end_slot; ++k)
        if (!place(plan_[k])) return;
    if (!queue_->finish()) {
        queue_failed();
        return;
    }
    drain();
}

// Lets both ffmpeg processes end (closing the encoder's stdin lets it write the file's
// end) and puts OUT in place.
bool VideoRun::finish() {
    if (!decoder_.finish()) fail(Failure::kDecoderExit);
    double t0 = now_seconds();
    if (!encoder_.finish()) fail(Failure::kEncoderExit);
    timing_.encode_wait += now_seconds() - t0;
    if (failure_ != Failure::kNone) return false;
    std::string problem;
    if (to_folder_ ? !folder_.commit(problem) : !commit_output(target_)) {
        fail(Failure::kRename, to_folder_ ? problem : strerror(errno));
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
        case Failure::kFrameCount:
            why = input + ": " + detail_;
            break;
        case Failure::kEncoderStopped:
        case Failure::kEncoderExit:
            why = "ffmpeg could not encode " + o_.output + ": " +
                  replace_all(encoder_.complaint(), target_.written, o_.output);
            break;
        case Failure::kLibrary:
            why = detail_;
            break;
        case Failure::kRename:
            why = "cannot write " + o_.output + ": " + detail_;
            break;
    }
    if (failure_ <= Failure::kFrameCount) why += " (" + decoder_.complaint() + ")";
    if (progress_.enabled()) std::fputc('\n', stderr);
    say("%s", why.c_str());
}

int VideoRun::run() {
    if (!prepare() || !start()) return kExitFailure;
    convert();
    double elapsed = progress_.elapsed();
    if (queue_) timing_.library = queue_->library_seconds(), computed_ = queue_->computed();
    queue_.reset();
    interpolator_.reset();
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
    std::string part, repeats;
    if (o_.parts)
        part = " (part " + std::to_string(o_.part) + "/" + std::to_string(o_.parts) +
               ": output frames " + std::to_string(range_.first_slot + 1) + " to " +
               std::to_string(range_.end_slot) + " of " + std::to_string(plan_.size()) + ")";
    if (to_folder_ && frames_out_)
        part += " (" + base_of(folder_.name(range_.first_slot)) + " to " +
                base_of(folder_.name(range_.end_slot - 1)) + ")";
    if (o_.dedup) repeats = ", " + std::to_string(repeats_) + " repeated frames passed over";
    say("wrote %s%s: %lld frames at %s from %lld frames, %lld scene cut%s (frames repeated "
        "instead of interpolated)%s%s",
        o_.output.c_str(), part.c_str(), frames_out_, rate, frames_in_, cuts_,
        cuts_ == 1 ? "" : "s", repeats.c_str(), depth.c_str());
}

void VideoRun::print_stats(double elapsed) const {
    auto share = [&](double part) { return elapsed > 0 ? 100.0 * part / elapsed : 0.0; };
    auto per_second = [&](long long frames) { return elapsed > 0 ? frames / elapsed : 0.0; };
    double other = elapsed - timing_.library - timing_.decode_wait - timing_.encode_wait;
    long long computed = computed_;
    std::fprintf(stderr,
                 "%s: stats: %dx%d to %s fps, %lld frames out in %.2f s = %.2f fps out "
                 "(%.2f fps in)\n",
                 kProgram, info_.width, info_.height, rate_text(out_rate_).c_str(), frames_out_,
                 elapsed, per_second(frames_out_), per_second(frames_in_));
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
