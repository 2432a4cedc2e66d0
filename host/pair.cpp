// pair: the frame(s) between two image files, through rife_interpolate_files.

#include "cleanup.h"
#include "commands.h"
#include "common.h"
#include "library_binding.h"
#include "output_target.h"
#include "paths.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

}  // namespace

int run_pair(const Options& o) {
    std::vector<Job> jobs;
    if (!inputs_exist(o) || !plan_jobs(o, jobs)) return kExitFailure;
    Engine engine;
    if (!engine.start(o.library, o.model_dir, o.verbose)) return kExitFailure;
    for (Job& job : jobs) {
        if (!job.target.in_place()) job.temp = TempFile(job.target.written);
        if (engine.lib().interpolate_files(o.inputs[0].c_str(), o.inputs[1].c_str(),
                                           job.target.written.c_str(),
                                           static_cast<float>(job.timestep)) != 0) {
            say("cannot interpolate %s and %s: %s", o.inputs[0].c_str(), o.inputs[1].c_str(),
                engine.error().c_str());
            return kExitFailure;  // the temporaries go with the jobs
        }
    }
    engine.shutdown();
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

}  // namespace kri_host
