#include "sequence.h"

#include "paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace kri_host {
namespace {

// A file name split around its number: prefix, digits, suffix (the extension).
struct Numbered {
    std::string prefix, digits, suffix;
};

bool is_image_extension(const std::string& suffix) {
    std::string ext = lower(suffix);
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg";
}

// "shot_0042.png" -> {"shot_", "0042", ".png"}; false for names without a number before
// an image extension.
bool split_numbered(const std::string& name, Numbered& n) {
    auto [stem, ext] = split_extension(name);
    size_t start = stem.size();
    while (start > 0 && std::isdigit(static_cast<unsigned char>(stem[start - 1]))) --start;
    if (start == stem.size() || !is_image_extension(ext)) return false;
    n = {stem.substr(0, start), stem.substr(start), ext};
    return true;
}

std::vector<std::string> list_folder(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

// The numbers of a set of files of one prefix and suffix, and their width: %0Nd when
// every number has N digits, %d when none has a leading zero.
struct Run {
    std::vector<long long> numbers;
    std::vector<size_t> widths;
    bool leading_zero = false;
};

std::string percent_escaped(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '%' ? std::string("%%") : std::string(1, c);
    return out;
}

// The %d or %0Nd of a run, or "" when its widths are mixed.
std::string number_format(const Run& run) {
    bool one_width = std::all_of(run.widths.begin(), run.widths.end(),
                                 [&](size_t w) { return w == run.widths[0]; });
    if (one_width) return "%0" + std::to_string(run.widths[0]) + "d";
    return run.leading_zero ? "" : "%d";
}

bool check_run(const std::string& in, Run& run, std::string& error) {
    std::sort(run.numbers.begin(), run.numbers.end());
    for (size_t i = 1; i < run.numbers.size(); ++i) {
        if (run.numbers[i] != run.numbers[i - 1] + 1) {
            error = in + ": the numbered images stop at " + std::to_string(run.numbers[i - 1]) +
                    " and go on at " + std::to_string(run.numbers[i]) +
                    " (ffmpeg reads a sequence up to its first missing number)";
            return false;
        }
    }
    return true;
}

void add_to_run(Run& run, const Numbered& n) {
    run.numbers.push_back(std::atoll(n.digits.c_str()));
    run.widths.push_back(n.digits.size());
    run.leading_zero = run.leading_zero || (n.digits.size() > 1 && n.digits[0] == '0');
}

// A folder: its one run of numbered images, as a pattern.
bool find_folder_run(const std::string& in, std::string& pattern, Run& run, std::string& error) {
    std::map<std::string, std::pair<Numbered, Run>> runs;  // by prefix and extension
    for (const std::string& name : list_folder(in)) {
        Numbered n;
        if (!split_numbered(name, n)) continue;
        auto& entry = runs[n.prefix + "\n" + lower(n.suffix)];
        entry.first = n;
        add_to_run(entry.second, n);
    }
    if (runs.size() != 1) {
        error = in + (runs.empty() ? ": no numbered PNG or JPEG files in this folder"
                                   : ": the folder holds several numbered sequences (name "
                                     "one with a pattern such as " +
                                         in + "/" + runs.begin()->second.first.prefix + "%d" +
                                         runs.begin()->second.first.suffix + ")");
        return false;
    }
    const auto& [n, found] = runs.begin()->second;
    run = found;
    std::string format = number_format(run);
    if (format.empty()) {
        error = in + ": the numbers have mixed widths with leading zeros";
        return false;
    }
    pattern = percent_escaped(in + "/" + n.prefix) + format + percent_escaped(n.suffix);
    return true;
}

// A pattern "dir/name%05d.png": the files of its folder that match it.
bool find_pattern_run(const std::string& in, Run& run, std::string& error) {
    std::string base = base_of(in);
    size_t percent = base.find('%');
    size_t d = base.find('d', percent);
    int width = 0;
    if (d == std::string::npos ||
        (d > percent + 1 && std::sscanf(base.c_str() + percent + 1, "0%d", &width) != 1) ||
        base.find('%', d) != std::string::npos) {
        error = in + ": a pattern needs one %d or %0Nd, such as frames/%05d.png";
        return false;
    }
    std::string prefix = base.substr(0, percent), suffix = base.substr(d + 1);
    for (const std::string& name : list_folder(dir_of(in))) {
        Numbered n;
        if (!split_numbered(name, n) || n.prefix != prefix || n.suffix != suffix) continue;
        bool fits = width ? n.digits.size() == static_cast<size_t>(width) ||
                                (n.digits.size() > static_cast<size_t>(width) && n.digits[0] != '0')
                          : n.digits.size() == 1 || n.digits[0] != '0';
        if (fits) add_to_run(run, n);
    }
    if (run.numbers.empty()) error = in + ": no files match this pattern";
    return !run.numbers.empty();
}

}  // namespace

bool is_sequence_name(const std::string& in) {
    return is_dir(in) || base_of(in).find('%') != std::string::npos;
}

bool open_sequence(const std::string& in, const Rational& rate, Input& input, size_t& frames,
                   std::string& error) {
    Run run;
    std::string pattern = in;
    if (is_dir(in) ? !find_folder_run(in, pattern, run, error) : !find_pattern_run(in, run, error))
        return false;
    if (!check_run(in, run, error)) return false;
    input.name = in;
    input.sequence = true;
    input.open_args = {"-f",
                       "image2",
                       "-framerate",
                       rate_text(rate),
                       "-start_number",
                       std::to_string(run.numbers.front()),
                       "-i",
                       pattern};
    frames = run.numbers.size();
    return true;
}

bool is_folder_output(const std::string& out) {
    return (!out.empty() && out.back() == '/') || is_dir(out);
}

FolderOutput::~FolderOutput() {
    temps_.clear();  // the temporaries go first, so that the folder may be empty
    if (made_folder_ && !committed_) rmdir(folder_.c_str());
}

std::string FolderOutput::numbered(const std::string& prefix, size_t frame) const {
    char number[32];
    std::snprintf(number, sizeof number, "%0*zu", digits_, frame + 1);
    return folder_ + "/" + prefix + number + ".png";
}

std::string FolderOutput::name(size_t frame) const { return numbered("", frame); }

std::string FolderOutput::temp_pattern() const {
    return percent_escaped(folder_ + "/.partial-" + std::to_string(getpid()) + "-") + "%0" +
           std::to_string(digits_) + "d.png";
}

bool FolderOutput::plan(const std::string& out, size_t first, size_t count, size_t total,
                        std::string& problem) {
    folder_ = out;
    while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
    first_ = first, count_ = count;
    digits_ = std::max<int>(6, static_cast<int>(std::to_string(total).size()));
    if (!is_dir(folder_)) {
        if (mkdir(folder_.c_str(), 0777) != 0) {
            problem = std::string("cannot make the folder: ") + strerror(errno);
            return false;
        }
        made_folder_ = true;
    }
    if (access(folder_.c_str(), W_OK) != 0) {
        problem = std::string("cannot write in the folder: ") + strerror(errno);
        return false;
    }
    for (const std::string& file : list_folder(folder_)) {
        Numbered n;
        if (!split_numbered(file, n) || !n.prefix.empty() || n.suffix != ".png") continue;
        long long number = std::atoll(n.digits.c_str());
        if (n.digits.size() == static_cast<size_t>(digits_) &&
            number > static_cast<long long>(first) &&
            number <= static_cast<long long>(first + count)) {
            problem = "it holds " + file +
                      " already (numbered files are never replaced: remove them or give "
                      "another folder)";
            return false;
        }
        ++others_;
    }
    return true;
}

void FolderOutput::written(size_t frame) {
    std::string pid = std::to_string(getpid());
    temps_.emplace_back(numbered(".partial-" + pid + "-", frame));
}

bool FolderOutput::commit(std::string& problem) {
    std::string pid = std::to_string(getpid());
    for (size_t frame = first_; frame < first_ + count_; ++frame) {
        std::string temp = numbered(".partial-" + pid + "-", frame), final = name(frame);
        // Never over a file that appeared meanwhile.
        int rc = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            rc = access(final.c_str(), F_OK) == 0 ? (errno = EEXIST, -1)
                                                  : rename(temp.c_str(), final.c_str());
        }
        if (rc != 0) {
            problem = final + ": " + strerror(errno);
            return false;
        }
    }
    for (TempFile& temp : temps_) temp.keep();
    committed_ = true;
    return true;
}

}  // namespace kri_host
