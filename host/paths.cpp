#include "paths.h"

#include "build_paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace kri_host {

std::string dir_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::pair<std::string, std::string> split_extension(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= name_start) return {path, ""};
    return {path.substr(0, dot), path.substr(dot)};
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_dir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string real_path(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string executable_dir() {
    std::string self = real_path("/proc/self/exe");
    return self.empty() ? std::string() : dir_of(self);
}

bool running_from_build_tree() {
    std::string build = real_path(KRI_HOST_BUILD_DIR);
    return !build.empty() && build == executable_dir();
}

std::string default_model_dir() {
    if (running_from_build_tree()) return KRI_HOST_BUILD_MODEL_DIR;
    std::string exe = executable_dir();
    if (exe.empty()) return KRI_HOST_BUILD_MODEL_DIR;
    std::string installed = exe + "/" + KRI_HOST_INSTALL_MODEL_DIR;
    std::string resolved = real_path(installed);
    return resolved.empty() ? installed : resolved;
}

std::string find_on_path(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = std::getenv("PATH");
    if (path == nullptr) return {};
    std::string all = path;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        std::string dir = all.substr(start, end - start);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        if (is_file(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

}  // namespace kri_host
