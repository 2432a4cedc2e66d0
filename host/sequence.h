// Image sequences: numbered PNG or JPEG files as IN (a folder of them, or an ffmpeg
// pattern such as frames/%05d.png), and a folder of numbered PNG files as OUT.
#pragma once

#include "cleanup.h"
#include "ffmpeg.h"

#include <string>
#include <vector>

namespace kri_host {

// Whether IN names an image sequence: a folder, or a name holding a %d or %0Nd number.
bool is_sequence_name(const std::string& in);

// Finds the numbered files of IN and says how ffmpeg reads them at `rate`; false with a
// one-line `error`. ffmpeg stops at the first missing number, so a gap is refused.
bool open_sequence(const std::string& in, const Rational& rate, Input& input, size_t& frames,
                   std::string& error);

// Whether OUT is a folder of images: it ends in '/' or names a folder.
bool is_folder_output(const std::string& out);

// Numbered PNG files (000001.png, ...; more digits when needed) in a folder. ffmpeg writes
// them under temporary names, which become their own names only when all are complete,
// and a name that is taken already is never replaced: the run is refused before it starts.
class FolderOutput {
  public:
    FolderOutput() = default;
    ~FolderOutput();  // removes the temporaries, and the folder when it made it and it is empty
    FolderOutput(const FolderOutput&) = delete;
    FolderOutput& operator=(const FolderOutput&) = delete;

    // Frames first .. first + count - 1 of a run of `total` (numbered from 1 in their names).
    // Makes the folder when `out` ends in '/' and it does not exist.
    bool plan(const std::string& out, size_t first, size_t count, size_t total,
              std::string& problem);
    std::string temp_pattern() const;  // what ffmpeg writes, with its %0Nd
    long long first_number() const { return static_cast<long long>(first_) + 1; }
    std::string name(size_t frame) const;      // the final name of one of this run's frames
    size_t others() const { return others_; }  // numbered PNG files there already

    void written(size_t frame);         // this frame is on its way to ffmpeg: track its temporary
    bool commit(std::string& problem);  // renames every frame to its name

  private:
    std::string numbered(const std::string& prefix, size_t frame) const;

    std::string folder_;
    int digits_ = 6;
    size_t first_ = 0, count_ = 0, others_ = 0;
    bool made_folder_ = false, committed_ = false;
    std::vector<TempFile> temps_;
};

}  // namespace kri_host
