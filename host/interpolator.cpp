#include "interpolator.h"

#include "job_pool.h"
#include "library_binding.h"

#include <algorithm>
#include <vector>

namespace kri_host {
namespace {

// One engine in this process: submit() computes at once, collect() hands the frame over.
class LocalInterpolator final : public Interpolator {
  public:
    bool start(const Options& o) { return engine_.start(o.library, o.model_dir, o.verbose); }

    bool submit(const uint8_t* earlier, const uint8_t* later, int width, int height,
                float t) override {
        frame_.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
        pending_ = 1;
        failed_ = engine_.lib().interpolate(earlier, later, width, height, frame_.data(), t) != 0;
        if (failed_) error_ = engine_.error();
        return !failed_;
    }

    bool collect(uint8_t* out) override {
        pending_ = 0;
        if (failed_) return false;
        std::copy(frame_.begin(), frame_.end(), out);
        return true;
    }

    size_t pending() const override { return pending_; }
    size_t capacity() const override { return 1; }
    std::string error() const override { return error_; }

  private:
    Engine engine_;
    std::vector<uint8_t> frame_;
    size_t pending_ = 0;
    bool failed_ = false;
    std::string error_;
};

}  // namespace

std::unique_ptr<Interpolator> make_interpolator(const Options& options) {
    if (options.jobs > 1) return make_job_pool(options);
    auto local = std::make_unique<LocalInterpolator>();
    if (!local->start(options)) return nullptr;
    return local;
}

}  // namespace kri_host
