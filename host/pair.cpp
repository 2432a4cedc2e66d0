// pair: the frame(s) between two image files, through rife_interpolate_files; with -n and
// --jobs, the frames are computed by several engine processes, and the images decoded and
// encoded here with the library's own codecs (the same bytes either way).

#include "cleanup.h"
#include "commands.h"
#include "common.h"
#include "interpolator.h"
#include "library_binding.h"
#include "output_target.h"
#include "paths.h"
#include "stb_codecs.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kri_host {
namespace {

struct Job {
    std::string out;  // as the user will see it
    double timestep;
    OutputTarget target;
    TempFile temp;  // tracked until the result is in place
};

std::string numbered(const std::string& out, int k, int last) {
    auto [stem, ext] = split_extension(out);
    char number[16];
    std::snprintf(number, sizeof number, "%0*d", static_cast<int>(std::to_string(last).size()), k);
    return stem + "_" + number + ext;
}

bool inputs_exist(const Options& o) {
    for (const std::string& input : o.inputs) {
        if (!is_file(input)) {
            say("%s: %s", input.c_str(),
                access(input.c_str(), F_OK) == 0 ? "not a file" : "No such file");
            return false;
        }
    }
    return true;
}

// One job per frame asked for, each with its way to OUT checked.
bool plan_jobs(const Options& o, std::vector<Job>& jobs) {
    if (o.count) {
        for (int k = 1; k < o.count; ++k)
            jobs.push_back(
                {numbered(o.output, k, o.count - 1), static_cast<double>(k) / o.count, {}, {}});
    } else {
        jobs.push_back({o.output, o.timestep, {}, {}});
    }
    for (Job& job : jobs) {
        std::string problem;
        if (!plan_output(job.out, job.target, problem)) {
            say("cannot write %s: %s", job.out.c_str(), problem.c_str());
            return false;
        }
    }
    return true;
}

// Puts every result in place, once all are written.
int commit_jobs(const Options& o, std::vector<Job>& jobs) {
    for (Job& job : jobs) {
        if (!commit_output(job.target)) {
            say("cannot write %s: %s", job.out.c_str(), strerror(errno));
            return kExitFailure;
        }
        job.temp.keep();
    }
    if (!o.quiet && o.verbose)
        for (const Job& job : jobs) say("wrote %s (t = %g)", job.out.c_str(), job.timestep);
    return 0;
}

// A packed RGB image decoded by the library's codecs, released with free().
struct Image {
    std::unique_ptr<uint8_t, decltype(&std::free)> pixels{nullptr, &std::free};
    int width = 0, height = 0;
    bool load(const std::string& path) {
        pixels.reset(stb_codecs_load_rgb(path.c_str(), &width, &height));
        return pixels != nullptr;
    }
};

void write_to_file(void* context, void* data, int size) {
    FILE* file = static_cast<FILE*>(context);
    if (size > 0) std::fwrite(data, 1, static_cast<size_t>(size), file);
}

// Encodes like the library: PNG when the name written ends in ".png" or ".PNG", else JPEG.
bool write_image(const std::string& path, const Image& like, const uint8_t* pixels) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot);
    bool encoded = ext == ".png" || ext == ".PNG"
                       ? stb_codecs_write_png(write_to_file, file, like.width, like.height, pixels)
                       : stb_codecs_write_jpg(write_to_file, file, like.width, like.height, pixels);
    bool written = !std::ferror(file);
    return std::fclose(file) == 0 && encoded && written;
}

// The messages are the library's, so that the result does not depend on --jobs.
bool load_pair(const Options& o, Image& a, Image& b) {
    const char* problem = !a.load(o.inputs[0])                         ? "Failed to load frame1"
                          : !b.load(o.inputs[1])                       ? "Failed to load frame2"
                          : a.width != b.width || a.height != b.height ? "Frame dimensions mismatch"
                                                                       : nullptr;
    if (problem)
        say("cannot interpolate %s and %s: %s", o.inputs[0].c_str(), o.inputs[1].c_str(), problem);
    return problem == nullptr;
}

// pair -n with --jobs: the frames are asked for ahead, as many as the engines take.
int run_pair_jobs(const Options& o, std::vector<Job>& jobs) {
    Image a, b;
    if (!load_pair(o, a, b)) return kExitFailure;
    std::unique_ptr<Interpolator> engines = make_interpolator(o);
    if (!engines) return kExitFailure;
    std::vector<uint8_t> frame(static_cast<size_t>(a.width) * static_cast<size_t>(a.height) * 3);
    auto failed = [&] {
        say("cannot interpolate %s and %s: %s", o.inputs[0].c_str(), o.inputs[1].c_str(),
            engines->error().c_str());
        return kExitFailure;  // the temporaries go with the jobs
    };
    size_t asked = 0;
    for (Job& job : jobs) {
        for (; asked < jobs.size() && engines->pending() < engines->capacity(); ++asked)
            if (!engines->submit(a.pixels.get(), b.pixels.get(), a.width, a.height,
                                 static_cast<float>(jobs[asked].timestep)))
                return failed();
        if (!job.target.in_place()) job.temp = TempFile(job.target.written);
        if (!engines->collect(frame.data())) return failed();
        if (!write_image(job.target.written, a, frame.data())) {
            say("cannot write %s: %s", job.out.c_str(), strerror(errno));
            return kExitFailure;
        }
    }
    engines.reset();
    return commit_jobs(o, jobs);
}

}  // namespace

int run_pair(const Options& o) {
    std::vector<Job> jobs;
    if (!inputs_exist(o) || !plan_jobs(o, jobs)) return kExitFailure;
    if (o.count && o.jobs > 1) return run_pair_jobs(o, jobs);
    Engine engine;
    if (!engine.start(o.library, o.model_dir, o.verbose)) return kExitFailure;
    for (Job& job : jobs) {
        if (!job.target.in_place()) job.temp = TempFile(job.target.written);
        const int status = [&] {
            DeferFatalSignals writing;
            return engine.lib().interpolate_files(o.inputs[0].c_str(), o.inputs[1].c_str(),
                                                  job.target.written.c_str(),
                                                  static_cast<float>(job.timestep));
        }();
        if (status != 0) {
            say("cannot interpolate %s and %s: %s", o.inputs[0].c_str(), o.inputs[1].c_str(),
                engine.error().c_str());
            return kExitFailure;  // the temporaries go with the jobs
        }
    }
    engine.shutdown();
    return commit_jobs(o, jobs);
}

}  // namespace kri_host
