#include "library_binding.h"

#include "build_paths.h"
#include "common.h"
#include "model_contract.h"
#include "paths.h"

#include <dlfcn.h>

#include <vector>

namespace kri_host {
namespace {

template <typename F>
bool bind(Library& lib, F& slot, const char* name, std::string& error) {
    dlerror();
    void* symbol = dlsym(lib.handle, name);
    if (symbol == nullptr) {
        error = lib.path + " does not export " + name;
        return false;
    }
    slot = reinterpret_cast<F>(symbol);
    return true;
}

std::vector<std::string> library_candidates(const std::string& requested) {
    if (!requested.empty())
        return {requested.find('/') == std::string::npos ? "./" + requested : requested};
    std::vector<std::string> candidates;
    std::string exe = executable_dir();
    if (running_from_build_tree()) candidates.push_back(KRI_HOST_BUILD_LIBRARY);
    if (!exe.empty()) {
        candidates.push_back(exe + "/" + KRI_HOST_INSTALL_LIBDIR + "/" + KRI_HOST_LIBRARY_NAME);
        candidates.push_back(exe + "/" + KRI_HOST_LIBRARY_NAME);
    }
    candidates.push_back(KRI_HOST_LIBRARY_NAME);  // LD_LIBRARY_PATH, ld.so.cache
    return candidates;
}

bool open_library(const std::string& requested, Library& lib, std::string& error) {
    std::string reasons;
    for (const std::string& candidate : library_candidates(requested)) {
        bool is_path = candidate.find('/') != std::string::npos;
        if (is_path && !is_file(candidate)) {
            if (!requested.empty()) reasons = candidate + ": no such file";
            continue;
        }
        lib.handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib.handle != nullptr) {
            lib.path = candidate;
            return true;
        }
        const char* why = dlerror();
        reasons = why ? why : candidate;
    }
    error = "cannot load the library " +
            (requested.empty() ? std::string(KRI_HOST_LIBRARY_NAME) : requested) +
            (reasons.empty() ? std::string(" (not found beside this program nor by the "
                                           "dynamic loader; use --library FILE)")
                             : ": " + reasons);
    return false;
}

bool load_library(const std::string& requested, Library& lib, std::string& error) {
    return open_library(requested, lib, error) && bind(lib, lib.init, "rife_init", error) &&
           bind(lib, lib.interpolate, "rife_interpolate", error) &&
           bind(lib, lib.interpolate_files, "rife_interpolate_files", error) &&
           bind(lib, lib.get_progress, "rife_get_progress", error) &&
           bind(lib, lib.cancel, "rife_cancel", error) &&
           bind(lib, lib.get_error, "rife_get_error", error) &&
           bind(lib, lib.shutdown, "rife_shutdown", error);
}

}  // namespace

Engine::~Engine() { shutdown(); }

void Engine::shutdown() {
    if (started_) lib_.shutdown();
    started_ = false;
}

std::string Engine::error() const { return one_line(lib_.get_error()); }

bool Engine::start(const std::string& library_file, const std::string& model_dir, bool verbose) {
    std::string problem;
    if (!load_library(library_file, lib_, problem)) {
        say("%s", problem.c_str());
        return false;
    }
    std::string model = model_dir + "/" + kri_model::kFileName;
    if (verbose) say("library %s, model %s", lib_.path.c_str(), model.c_str());
    if (lib_.init(model_dir.c_str()) != 0) {
        std::string why = error();
        if (!is_file(model))
            say("no model file %s (choose the folder with --model-dir): %s", model.c_str(),
                why.c_str());
        else
            say("cannot load the model %s: %s", model.c_str(), why.c_str());
        lib_.shutdown();  // releases whatever the failed start-up left
        return false;
    }
    started_ = true;
    return true;
}

}  // namespace kri_host
