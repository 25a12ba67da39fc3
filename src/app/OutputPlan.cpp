#include "OutputPlan.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "Pipeline.h"
#include "SysUtils.h"

namespace fs = std::filesystem;

TOutputPlanner::TOutputPlanner(const TPhotoSettings& settings, const std::vector<std::string>& acceptedInputs)
    : outDir_(settings.OutDir), separate_(settings.AcceptPhotos || !settings.OutDir.empty()) {
    if (!separate_) return;
    for (const std::string& input : acceptedInputs) Take(Locate(input));
}

TOutputPlanner::Place TOutputPlanner::Locate(const std::string& path) {
    Place place;
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) p = fs::absolute(path, ec).lexically_normal();
    place.path = p.string();
    // A second name of the same file (a hard link) is the same place.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        place.exists = true;
        place.dev = st.st_dev;
        place.ino = st.st_ino;
    }
    return place;
}

bool TOutputPlanner::Taken(const Place& place) const {
    return takenPaths_.count(place.path) != 0 || (place.exists && takenFiles_.count({place.dev, place.ino}) != 0);
}

void TOutputPlanner::Take(const Place& place) {
    takenPaths_.insert(place.path);
    if (place.exists) takenFiles_.insert({place.dev, place.ino});
}

std::string TOutputPlanner::Next(const std::string& source, bool photo, const std::string& ext) {
    if (!separate_) return ChangeFileExt(source, ext);

    const fs::path src(source);
    fs::path folder;
    if (!outDir_.empty())
        folder = outDir_;
    else if (photo)
        folder = src.parent_path() / kStampedFolder;
    else
        folder = src.parent_path();
    std::string name = src.filename().string();
    const std::string base = name.substr(0, name.size() - ExtractFileExt(name).size());

    std::string candidate = (folder / (base + ext)).string();
    Place place = Locate(candidate);
    for (int n = 2; Taken(place); ++n) {
        candidate = (folder / (base + "-" + std::to_string(n) + ext)).string();
        place = Locate(candidate);
    }
    Take(place);
    return candidate;
}

void EnsureOutputFolder(const std::string& outputPath) {
    const fs::path folder = fs::path(outputPath).parent_path();
    if (folder.empty()) return;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        const int err = ec.value();
        throw Exception("Cannot create folder \"" + folder.string() + "\". " + std::strerror(err),
                        FailureKindFromErrno(err), err);
    }
}
