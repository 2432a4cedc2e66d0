// The library's dynamic export table holds exactly the seven API functions, unmangled:
// no C++ runtime, ONNX Runtime or stb symbol, no variable, nothing else.
#include <cstdio>
#include <map>
#include <string>

#include "test_support.h"

namespace {

// Name -> nm type letter of every defined dynamic symbol of a shared library.
std::map<std::string, std::string> defined_dynamic_symbols(const std::string& library) {
    std::map<std::string, std::string> symbols;
    const std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return symbols;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        char address[64], type[8], name[900];  // "<address> <type> <name>"
        if (std::sscanf(line, "%63s %7s %899s", address, type, name) == 3) symbols[name] = type;
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return symbols;
}

std::string first_line_of(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char line[512] = {0};
    if (std::fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
    pclose(pipe);
    return line;
}

}  // namespace

TEST(Exports, ExactlyTheSevenApiFunctions) {
    const std::map<std::string, std::string> expected = {
        {"rife_init", "T"},         {"rife_interpolate", "T"}, {"rife_interpolate_files", "T"},
        {"rife_get_progress", "T"}, {"rife_cancel", "T"},      {"rife_get_error", "T"},
        {"rife_shutdown", "T"}};
    EXPECT_EQ(defined_dynamic_symbols(KRI_LIBRARY_FILE), expected);
}

TEST(Exports, SonameCarriesTheMajorVersion) {
    const std::string line =
        first_line_of("objdump -p '" + std::string(KRI_LIBRARY_FILE) + "' | grep SONAME");
    EXPECT_NE(line.find("libkestrune-rife-inference.so.1"), std::string::npos) << line;
}

// The version is set once, in project(); the header's macros must say the same.
TEST(Exports, HeaderVersionIsTheProjectVersion) {
    const std::string header = std::to_string(KESTRUNE_RIFE_VERSION_MAJOR) + "." +
                               std::to_string(KESTRUNE_RIFE_VERSION_MINOR) + "." +
                               std::to_string(KESTRUNE_RIFE_VERSION_PATCH);
    EXPECT_EQ(header, KRI_PROJECT_VERSION);
}
