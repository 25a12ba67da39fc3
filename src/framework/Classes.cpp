#include "Classes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

int64_t TStream::GetSize() {
    const int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    const int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return size;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, int64_t count) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        const int64_t n = Read(p, count);
        if (n <= 0) throw EReadError("Stream read error");
        p += n;
        count -= n;
    }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (count > 0) {
        const int64_t n = Write(p, count);
        if (n <= 0) throw EWriteError("Stream write error");
        p += n;
        count -= n;
    }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(count, 1 << 20)));
    int64_t left = count;
    while (left > 0) {
        const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buf.size()));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        left -= n;
    }
    return count;
}

int64_t TCustomMemoryStream::Read(void* buffer, int64_t count) {
    const int64_t size = static_cast<int64_t>(data_.size());
    if (count <= 0 || pos_ >= size) return 0;
    const int64_t n = std::min(count, size - pos_);
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TCustomMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::soBeginning: pos_ = offset; break;
    case TSeekOrigin::soCurrent: pos_ += offset; break;
    case TSeekOrigin::soEnd: pos_ = static_cast<int64_t>(data_.size()) + offset; break;
    }
    if (pos_ < 0) pos_ = 0;
    return pos_;
}

void TCustomMemoryStream::SaveToStream(TStream& dest) {
    if (!data_.empty()) dest.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

void TCustomMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream f(fileName, fmCreate);
    SaveToStream(f);
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    const auto end = static_cast<size_t>(pos_ + count);
    if (end > data_.size()) {
        if (end > data_.capacity()) data_.reserve(std::max(end, data_.capacity() * 2));
        data_.resize(end);
    }
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ += count;
    return count;
}

void TMemoryStream::SetSize(int64_t newSize) {
    data_.resize(static_cast<size_t>(std::max<int64_t>(newSize, 0)));
    if (pos_ > newSize) pos_ = newSize;
}

void TMemoryStream::Clear() {
    data_.clear();
    pos_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
    source.SetPosition(0);
    const int64_t size = source.Size();
    data_.resize(static_cast<size_t>(size));
    if (size > 0) source.ReadBuffer(data_.data(), size);
    pos_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream f(fileName, fmOpenRead);
    LoadFromStream(f);
}

// A refusal by the system is no short transfer: it raises with the system's reason, so that
// "no space left" or an I/O error reaches the user instead of a bare "write error".
int64_t THandleStream::Read(void* buffer, int64_t count) {
    auto* p = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EReadError("Stream read error", FailureKindFromErrno(errno), errno);
        if (n == 0) break;
        done += n;
    }
    return done;
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EWriteError("Stream write error", FailureKindFromErrno(errno), errno);
        if (n == 0) break;
        done += n;
    }
    return done;
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    const off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (r < 0)
        throw EStreamError(std::string("Stream seek error: ") + std::strerror(errno), FailureKindFromErrno(errno),
                           errno);
    return r;
}

void THandleStream::SetSize(int64_t newSize) {
    if (::ftruncate(fd_, static_cast<off_t>(newSize)) != 0)
        throw EStreamError(std::string("Stream size error: ") + std::strerror(errno), FailureKindFromErrno(errno),
                           errno);
}

namespace {

struct OpenFailure {
    std::string reason;
    TFailureKind kind = TFailureKind::Other;
    int error = 0;
};

OpenFailure SystemRefused(int error) { return {std::strerror(error), FailureKindFromErrno(error), error}; }

// The descriptor of a regular file, blocking as usual once open; -1 and why when it is not one.
int OpenRegular(const std::string& fileName, int flags, OpenFailure& why) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer and a device may wait for its line.
    const int fd = ::open(fileName.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        // A FIFO without a reader, a socket or a device without its unit: none is a regular file.
        const int error = errno;
        why = error == ENXIO || error == ENODEV || error == EOPNOTSUPP
                  ? OpenFailure{"It is not a regular file", TFailureKind::NotRegularFile, 0}
                  : SystemRefused(error);
        return -1;
    }
    // The type of what was opened, not of what the name showed a moment before.
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        why = SystemRefused(errno);
    } else if (S_ISDIR(st.st_mode)) {
        why = {std::strerror(EISDIR), TFailureKind::NotRegularFile, EISDIR};
    } else if (!S_ISREG(st.st_mode)) {
        why = {"It is not a regular file", TFailureKind::NotRegularFile, 0};
    } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        why = SystemRefused(errno);
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

}  // namespace

int OpenRegularFile(const std::string& fileName, int flags) {
    OpenFailure why;
    const int fd = OpenRegular(fileName, flags, why);
    if (fd < 0) throw EFOpenError("Cannot open file \"" + fileName + "\". " + why.reason, why.kind, why.error);
    return fd;
}

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : THandleStream(-1), fileName_(fileName) {
    if (mode != fmCreate) {
        const int access = (mode & 3) == fmOpenWrite ? O_WRONLY : (mode & 3) == fmOpenReadWrite ? O_RDWR : O_RDONLY;
        fd_ = OpenRegularFile(fileName, access);
        return;
    }
    OpenFailure why;
    fd_ = OpenRegular(fileName, O_RDWR | O_CREAT, why);
    // Emptied only once it is known to be a regular file.
    if (fd_ >= 0 && ::ftruncate(fd_, 0) != 0) {
        why = SystemRefused(errno);
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) throw EFCreateError("Cannot create file \"" + fileName + "\". " + why.reason, why.kind, why.error);
}

TFileStream::~TFileStream() {
    if (fd_ >= 0) ::close(fd_);
}
