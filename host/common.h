// What every part of kestrune-interp shares: its name, its exit codes and its messages.
#pragma once

#include <string>

namespace kri_host {

constexpr const char* kProgram = "kestrune-interp";

// Exit codes: 0 success, 1 a failure while doing the work, 2 a bad command line.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// One line on stderr, prefixed with the program's name.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);

// Texts from the library or from ffmpeg can hold line breaks; errors stay on one line.
std::string one_line(std::string text);

// `text` with every `from` replaced by `to` (ffmpeg names temporary files the user never
// sees).
std::string replace_all(std::string text, const std::string& from, const std::string& to);

}  // namespace kri_host
