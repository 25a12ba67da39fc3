// Resolved faces kept on disk, one small file per question under $XDG_CACHE_HOME/kirimark
// (~/.cache/kirimark), so that a run need not start fontconfig. An entry names the files and
// folders its answer depends on (fontconfig's configuration files, its font folders, the font
// file itself) with their modification times and sizes; it counts only while all still match.
// Entries are written whole or not at all, so processes may share the folder; an entry that
// cannot be read or parsed is a miss, and a failure to write one is ignored.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "FaceResolver.h"

class TFaceCache {
public:
    // The user's cache folder; empty when neither XDG_CACHE_HOME nor HOME says where it is.
    static std::filesystem::path DefaultFolder();

    explicit TFaceCache(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // The answer stored for the question, when every file it depends on is unchanged.
    std::optional<TFaceFile> Find(const std::string& question) const;
    // Stores the answer with the present state of the files it depends on.
    void Store(const std::string& question, const TFaceFile& answer, const std::vector<std::string>& dependsOn) const;

    // The entry's file for a question.
    std::filesystem::path EntryPath(const std::string& question) const;

private:
    std::filesystem::path folder_;
};
