#include "output_target.h"

#include "paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kri_host {
namespace {

// Follows a chain of symbolic links to the path it ends at (which may not exist yet).
bool follow_links(std::string& path, std::string& problem) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char buffer[PATH_MAX];
        ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
        if (length < 0) {
            problem = std::string("cannot read the link: ") + strerror(errno);
            return false;
        }
        std::string link(buffer, static_cast<size_t>(length));
        path = link[0] == '/' ? link : dir_of(path) + "/" + link;
    }
    problem = "too many levels of symbolic links";
    return false;
}

// The temporary name of a result: in the folder of the file it replaces (so the rename
// stays on one file system), with OUT's extension (it picks the format).
std::string temp_name_for(const std::string& final, const std::string& out) {
    std::string stem = split_extension(final).first;
    std::string prefix = final.find('/') == std::string::npos ? "" : dir_of(final) + "/";
    return prefix + "." + base_of(stem) + ".partial-" + std::to_string(getpid()) +
           split_extension(out).second;
}

bool writable_folder(const std::string& dir, std::string& problem) {
    if (!is_dir(dir)) {
        problem = "folder " + dir + " does not exist";
        return false;
    }
    if (access(dir.c_str(), W_OK) != 0) {
        problem = "cannot write in " + dir + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool plan_output(const std::string& out, OutputTarget& target, std::string& problem) {
    if (out.empty()) {
        problem = "empty output name";
        return false;
    }
    std::string final = out;
    if (!follow_links(final, problem)) return false;
    struct stat st {};
    bool exists = stat(final.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        problem = out + " is a folder";
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        if (access(final.c_str(), W_OK) != 0) {
            problem = strerror(errno);
            return false;
        }
        target = {out, ""};
        return true;
    }
    if (!writable_folder(dir_of(final), problem)) return false;
    target = {temp_name_for(final, out), final};
    return true;
}

bool commit_output(const OutputTarget& target) {
    return target.in_place() || rename(target.written.c_str(), target.final.c_str()) == 0;
}

}  // namespace kri_host
