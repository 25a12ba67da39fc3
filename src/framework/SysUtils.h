// Exception classes shared by every layer. Messages are byte strings; the UI
// layer decides how to show them.
//
// Besides its text, an exception may say what kind of failure it reports, so that the user
// interface can put the reason into the user's words without parsing English texts: the
// system's errno when the system refused something, the byte offset when a file's contents
// were at fault. Code that only knows a text leaves them at their defaults.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

enum class TFailureKind {
    Other,           // nothing more specific is known; the text says it
    NotFound,        // the file or folder does not exist
    NoPermission,    // the system refused access
    NotRegularFile,  // a folder, a pipe, a device...
    DiskFull,        // no space (or quota) left
    OutOfMemory,     // an allocation failed or a limit on memory was reached
    TooLarge,        // the input is beyond the program's limits (pixels, size)
    Damaged,         // the file's contents are broken or cut short
    Unsupported,     // a valid file of a kind or variant the program does not handle
    SameAsSource,    // the output would replace its own input
    IoError,         // any other refusal by the system (the errno says which)
};

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message, TFailureKind kind = TFailureKind::Other, int sysErrno = 0,
                       int64_t offset = -1, std::string cause = {})
        : std::runtime_error(message), kind_(kind), errno_(sysErrno), offset_(offset), cause_(std::move(cause)) {}
    std::string Message() const { return what(); }
    TFailureKind Kind() const { return kind_; }
    // The errno behind the failure, 0 when the system did not report one.
    int SysErrno() const { return errno_; }
    // Where in the input the fault was found, -1 when unknown.
    int64_t Offset() const { return offset_; }
    // What lay behind the failure in words the message has no room for (a library's status,
    // which chunk or row); empty when the message, errno and offset say it all.
    const std::string& Cause() const { return cause_; }

private:
    TFailureKind kind_;
    int errno_;
    int64_t offset_;
    std::string cause_;
};

// A failure in words for logs and standard error: the message, then the system's reason for
// its errno (unless the message already gives it), where in the input and the cause.
inline std::string FailureDetail(const std::exception& failure) {
    if (dynamic_cast<const std::bad_alloc*>(&failure)) return "Out of memory";
    std::string text = failure.what();
    const auto* e = dynamic_cast<const Exception*>(&failure);
    if (!e) return text;
    if (e->SysErrno() != 0) {
        const std::string reason = std::strerror(e->SysErrno());
        if (text.find(reason) == std::string::npos) text += ": " + reason;
    }
    std::string where = e->Offset() >= 0 ? "at byte " + std::to_string(e->Offset()) : "";
    if (!e->Cause().empty()) where += (where.empty() ? "" : ", ") + e->Cause();
    if (!where.empty()) text += " (" + where + ")";
    return text;
}

// The kind of failure an errno stands for (ENOENT is NotFound, ENOSPC DiskFull...).
constexpr TFailureKind FailureKindFromErrno(int err) {
    switch (err) {
    case 0: return TFailureKind::Other;
    case ENOENT: return TFailureKind::NotFound;
    case EPERM:
    case EACCES:
    case EROFS: return TFailureKind::NoPermission;
    case EISDIR:
    case ENOTDIR: return TFailureKind::NotRegularFile;
    case ENOSPC:
    case EDQUOT: return TFailureKind::DiskFull;
    case ENOMEM: return TFailureKind::OutOfMemory;
    case EFBIG: return TFailureKind::TooLarge;
    default: return TFailureKind::IoError;
    }
}

class EStreamError : public Exception {
    using Exception::Exception;
};
class EReadError : public EStreamError {
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
    using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
    using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
    using EStreamError::EStreamError;
};
class EInvalidGraphic : public Exception {
    using Exception::Exception;
};
class EConvertError : public Exception {
    using Exception::Exception;
};
class EOutOfResources : public Exception {
    using Exception::Exception;
};
