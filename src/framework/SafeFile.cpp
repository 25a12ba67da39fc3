#include "SafeFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace safefile_testing {
Options& TestOptions() {
    static Options options;
    return options;
}
}  // namespace safefile_testing

namespace {

std::string Folder(const std::string& fileName) {
    const size_t slash = fileName.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return fileName.substr(0, slash);
}

std::string BaseName(const std::string& fileName) {
    const size_t slash = fileName.find_last_of('/');
    return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

// The hidden name beside the target. It is fixed, so that the next writer of the target finds
// what a killed writer left there; a writer holds an exclusive lock on its file as long as it
// lives, which tells a live writer's file from an abandoned one.
std::string HiddenName(const std::string& folder, const std::string& base) {
    // A suffix no other program would choose, within the 255-byte name limit.
    return (folder == "/" ? "" : folder) + "/." + base.substr(0, 240) + ".kirimark.tmp";
}

// A hidden random name, for when a live writer holds the fixed one; callers retry when it exists.
std::string RandomHiddenName(const std::string& folder, const std::string& base) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
    return (folder == "/" ? "" : folder) + "/." + base.substr(0, 200) + "." + suffix + ".tmp";
}

bool SameFile(int fd, const std::string& path) {
    struct stat byFd {
    }, byName{};
    return ::fstat(fd, &byFd) == 0 && ::lstat(path.c_str(), &byName) == 0 && byFd.st_dev == byName.st_dev &&
           byFd.st_ino == byName.st_ino;
}

// Removes the hidden file at path when it is ours and no live writer holds it (its writer was
// killed before it could rename or remove it). True when the name is free afterwards.
bool RemoveIfAbandoned(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT;
    // Only a regular file of our own user: in a shared folder, root in particular may remove
    // anything, and another user's file under this name is not a leftover of ours.
    struct stat st {};
    const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
    bool removed = false;
    // Holding the lock, the name can only change through us.
    if (ours && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && SameFile(fd, path)) removed = ::unlink(path.c_str()) == 0;
    ::close(fd);
    return removed;
}

[[noreturn]] void CreateFailed(const std::string& fileName, int error) {
    throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(error), FailureKindFromErrno(error),
                        error);
}

[[noreturn]] void CommitFailed(const std::string& fileName, int error) {
    throw EWriteError("Cannot write file \"" + fileName + "\". " + std::strerror(error), FailureKindFromErrno(error),
                      error);
}

}  // namespace

void RefuseToReplaceSource(const std::string& target, const std::string& source) {
    struct stat t {
    }, s{};
    if (::stat(target.c_str(), &t) != 0 || ::stat(source.c_str(), &s) != 0) return;
    if (t.st_dev == s.st_dev && t.st_ino == s.st_ino)
        throw EFCreateError("Cannot create file \"" + target + "\". It is the source file itself, under another name",
                            TFailureKind::SameAsSource);
}

TSafeFileStream::TSafeFileStream(const std::string& fileName) : THandleStream(-1), fileName_(fileName) {
    const std::string folder = Folder(fileName);
    // A file the user may not write stays as it is, as an ordinary create would fail on it.
    if (::access(fileName.c_str(), W_OK) != 0 && errno != ENOENT) CreateFailed(fileName, errno);
    const std::string base = BaseName(fileName);
    RemoveIfAbandoned(HiddenName(folder, base));
    // The kernel applies the umask to the mode, as for an ordinary new file.
    fd_ = safefile_testing::TestOptions().noUnnamedFiles ? (errno = EOPNOTSUPP, -1)
                                                         : ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_EX);  // before the file can have a name
        return;
    }
    const int error = errno;
    if (error != EOPNOTSUPP && error != EINVAL && error != EISDIR) CreateFailed(fileName, error);

    // This filesystem has no unnamed files: a hidden named one, removed unless committed.
    // Opening it with mode 0666 lets the umask apply as for any new file.
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        tempName_ = attempt == 0 ? HiddenName(folder, base) : RandomHiddenName(folder, base);
        fd_ = ::open(tempName_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) CreateFailed(fileName, errno);
        if (fd_ < 0) continue;
        // Another writer may have taken the unlocked new file for abandoned and removed it.
        ::flock(fd_, LOCK_EX);
        if (!SameFile(fd_, tempName_)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    if (fd_ < 0) {
        tempName_.clear();
        CreateFailed(fileName, EEXIST);
    }
}

TSafeFileStream::~TSafeFileStream() {
    // Removed while the lock is held, so that the name cannot belong to another writer yet.
    if (!committed_ && !tempName_.empty()) ::unlink(tempName_.c_str());
    if (fd_ >= 0) ::close(fd_);
}

void TSafeFileStream::Commit() {
    if (committed_) return;
    // An existing file keeps its permission bits; a new one has 0666 less the umask.
    struct stat st {};
    if (::stat(fileName_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (::fchmod(fd_, st.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID)) != 0)
            CommitFailed(fileName_, errno);
    }
    if (::fdatasync(fd_) != 0) CommitFailed(fileName_, errno);

    if (tempName_.empty()) {
        // Give the unnamed file a name: directly the target's when there is none yet,
        // otherwise a hidden one that is then renamed over the target.
        const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
        auto link = [&](const std::string& to) {
            if (!safefile_testing::TestOptions().noEmptyPathLink) {
                if (::linkat(fd_, "", AT_FDCWD, to.c_str(), AT_EMPTY_PATH) == 0) return 0;
                if (errno != ENOENT && errno != EPERM && errno != EINVAL) return errno;
            }
            // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; the /proc link works for everyone.
            return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
        };
        int error = link(fileName_);
        if (error == 0) {
            committed_ = true;
            return;
        }
        if (error != EEXIST) CommitFailed(fileName_, error);
        const std::string folder = Folder(fileName_), base = BaseName(fileName_);
        for (int attempt = 0; attempt < 100; ++attempt) {
            tempName_ = attempt == 0 ? HiddenName(folder, base) : RandomHiddenName(folder, base);
            error = link(tempName_);
            if (error == EEXIST && attempt == 0 && RemoveIfAbandoned(tempName_)) error = link(tempName_);
            if (error != EEXIST) break;
        }
        if (error != 0) {
            tempName_.clear();
            CommitFailed(fileName_, error);
        }
    }
    if (::rename(tempName_.c_str(), fileName_.c_str()) != 0) {
        // The hidden name is removed by the destructor; the old target stays as it was.
        CommitFailed(fileName_, errno);
    }
    committed_ = true;
}
