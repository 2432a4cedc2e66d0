// The library, loaded at run time by name (dlopen/dlsym of its seven functions), the way
// any host application meets it.
#pragma once

#include <cstdint>
#include <string>

namespace kri_host {

struct Library {
    void* handle = nullptr;
    std::string path;
    int (*init)(const char*) = nullptr;
    int (*interpolate)(const uint8_t*, const uint8_t*, int, int, uint8_t*, float) = nullptr;
    int (*interpolate_files)(const char*, const char*, const char*, float) = nullptr;
    int (*get_progress)() = nullptr;
    void (*cancel)() = nullptr;
    const char* (*get_error)() = nullptr;
    void (*shutdown)() = nullptr;
};

// The library with its engine started; the destructor shuts the engine down.
class Engine {
  public:
    Engine() = default;
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Loads the library (the file given, else the one of the build tree, else the one
    // installed beside this program, else the dynamic loader's) and starts it with the
    // model folder. On failure prints one line and returns false.
    bool start(const std::string& library_file, const std::string& model_dir, bool verbose);
    void shutdown();

    const Library& lib() const { return lib_; }
    std::string error() const;  // the library's last message, on one line

  private:
    Library lib_;
    bool started_ = false;
};

}  // namespace kri_host
