// Writing a file so that it appears whole or not at all. The bytes go to an unnamed
// temporary file in the target's folder (O_TMPFILE, linked into place on Commit) or, where
// the filesystem cannot do that, to a hidden named temporary file renamed into place.
// An earlier file of the same name stays untouched until Commit succeeds; without Commit
// the temporary file is discarded. A hidden file that a killed writer left behind is removed by
// the next write of the same name, when it is ours: a regular file of our user under our name.
#pragma once

#include <string>

#include "Classes.h"

class TSafeFileStream : public THandleStream {
public:
    // Raises EFCreateError ("Cannot create file "<name>". <reason>") when the folder does not
    // take a new file or an existing file of that name is not writable. New files get mode
    // 0666 less the umask; a replaced file's permission bits are kept.
    explicit TSafeFileStream(const std::string& fileName);
    ~TSafeFileStream() override;

    // Flushes the data to disk and puts the file in place under its name, replacing any
    // existing file. Raises EWriteError when that fails; the old file then stays.
    void Commit();
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    std::string tempName_;  // empty while the temporary file is unnamed
    bool committed_ = false;
};

// Raises EFCreateError of kind SameAsSource when target, followed through any symbolic links,
// is the same file (device and inode) as source, however either is named: writing the one
// would destroy the other.
void RefuseToReplaceSource(const std::string& target, const std::string& source);

// Lets tests take the paths that other filesystems and unprivileged users take: the named
// temporary file (no O_TMPFILE) and the /proc link (no CAP_DAC_READ_SEARCH).
namespace safefile_testing {
struct Options {
    bool noUnnamedFiles = false;
    bool noEmptyPathLink = false;
};
Options& TestOptions();
}  // namespace safefile_testing
