// File names and folders: splitting paths, testing them, and where this program and its
// default model live.
#pragma once

#include <string>
#include <utility>

namespace kri_host {

std::string dir_of(const std::string& path);
std::string base_of(const std::string& path);
// Splits "dir/name.ext" into "dir/name" and ".ext" (the extension is empty when the file
// name has no dot after its first character).
std::pair<std::string, std::string> split_extension(const std::string& path);
std::string lower(std::string text);

bool is_file(const std::string& path);
bool is_dir(const std::string& path);
std::string real_path(const std::string& path);  // empty when it does not resolve

// The folder of this executable, with symbolic links resolved.
std::string executable_dir();
// True when this program runs from the build tree it was built in.
bool running_from_build_tree();
std::string default_model_dir();

// Finds an executable on PATH, the way execvp() would; empty when there is none.
std::string find_on_path(const std::string& name);

}  // namespace kri_host
