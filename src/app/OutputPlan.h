// Where each output of a run goes. By default, as for bitmaps alone, beside the source under
// its name with the format's extension, replacing what is there. With photos accepted or an
// output folder chosen, a photo's output goes into "stamped" beside it (or the chosen folder,
// for bitmaps too), and no output may replace an input of the run or an earlier output of it:
// the later one is named "-2", "-3"... before the extension. A file of the name left by an
// earlier run is replaced.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "PhotoSettings.h"

// The folder a photo's output goes into, beside its source, when no folder is chosen.
inline constexpr const char* kStampedFolder = "stamped";

class TOutputPlanner {
public:
    // acceptedInputs: every name the run will process, so that no output lands on one of them.
    TOutputPlanner(const TPhotoSettings& settings, const std::vector<std::string>& acceptedInputs);

    // The output for the next input in run order; ext is the format's, dot included. The name
    // is reserved: later calls never return it again.
    std::string Next(const std::string& source, bool photo, const std::string& ext);

private:
    struct Place {
        std::string path;  // absolute, normal form, symbolic links of existing parts resolved
        bool exists = false;
        dev_t dev = 0;
        ino_t ino = 0;
    };
    static Place Locate(const std::string& path);
    bool Taken(const Place& place) const;
    void Take(const Place& place);

    std::string outDir_;
    bool separate_;  // the new rules apply; off keeps the bitmap-only behaviour exactly
    std::unordered_set<std::string> takenPaths_;
    std::set<std::pair<dev_t, ino_t>> takenFiles_;
};

// Creates the folder an output goes into, with its parents, when it is missing. Raises
// Exception with the system's reason when it cannot.
void EnsureOutputFolder(const std::string& outputPath);
