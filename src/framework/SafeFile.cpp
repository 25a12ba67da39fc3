#include "SafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

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

// A hidden random name beside the target, carrying the writer's process id; callers retry
// when it exists.
std::string HiddenPrefix(const std::string& base) { return "." + base.substr(0, 200) + "."; }

std::string HiddenName(const std::string& folder, const std::string& base) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, "%ld.%016llx.tmp", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(rng()));
    // Room for the dots, process id and suffix within the 255-byte name limit.
    return (folder == "/" ? "" : folder) + "/" + HiddenPrefix(base) + suffix;
}

// A writer killed between naming its hidden file and renaming it leaves that file behind.
// Removes such leftovers of this target whose writing process no longer exists.
void RemoveStaleHiddenFiles(const std::string& folder, const std::string& base) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    const std::string prefix = HiddenPrefix(base);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        // What follows the prefix: "<pid>.<16 hex digits>.tmp".
        const std::string rest = name.substr(prefix.size());
        char* end = nullptr;
        const long pid = std::strtol(rest.c_str(), &end, 10);
        if (pid <= 0 || *end != '.' || std::strlen(end) != 1 + 16 + 4) continue;
        if (pid == static_cast<long>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

[[noreturn]] void CreateFailed(const std::string& fileName, int error) {
    throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(error));
}

[[noreturn]] void CommitFailed(const std::string& fileName, int error) {
    throw EWriteError("Cannot write file \"" + fileName + "\". " + std::strerror(error));
}

}  // namespace

TSafeFileStream::TSafeFileStream(const std::string& fileName) : THandleStream(-1), fileName_(fileName) {
    const std::string folder = Folder(fileName);
    // A file the user may not write stays as it is, as an ordinary create would fail on it.
    if (::access(fileName.c_str(), W_OK) != 0 && errno != ENOENT) CreateFailed(fileName, errno);
    RemoveStaleHiddenFiles(folder, BaseName(fileName));
    // The kernel applies the umask to the mode, as for an ordinary new file.
    fd_ = safefile_testing::TestOptions().noUnnamedFiles ? (errno = EOPNOTSUPP, -1)
                                                         : ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) return;
    const int error = errno;
    if (error != EOPNOTSUPP && error != EINVAL && error != EISDIR) CreateFailed(fileName, error);

    // This filesystem has no unnamed files: a hidden named one, removed unless committed.
    // Opening it with mode 0666 lets the umask apply as for any new file.
    const std::string base = BaseName(fileName);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        tempName_ = HiddenName(folder, base);
        fd_ = ::open(tempName_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) CreateFailed(fileName, errno);
    }
    if (fd_ < 0) CreateFailed(fileName, EEXIST);
}

TSafeFileStream::~TSafeFileStream() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !tempName_.empty()) ::unlink(tempName_.c_str());
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
            tempName_ = HiddenName(folder, base);
            error = link(tempName_);
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
