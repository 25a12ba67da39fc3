// Opening files by name never blocks on what the name leads to, and refuses what is not a
// regular file with the reason, for every way the framework opens a file by name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <functional>

#include "Classes.h"
#include "FileHelpers.h"
#include "IniFiles.h"
#include "TestSupport.h"

namespace {

TEST(FileStream, SpecialFilesAreRefusedWithoutBlocking) {
    testsupport::TempDir dir;
    const std::string regular = dir.file("a.bmp"), folder = dir.file("x.bmp"), fifo = dir.file("fifo.bmp"),
                      socketPath = dir.file("s.bmp"), missing = dir.file("none.bmp");
    fwtest::WriteBytes(regular, "BM");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    struct Case {
        std::string path;
        TFailureKind kind;  // Other: opens
    };
    const Case cases[] = {
        {regular, TFailureKind::Other},
        {folder, TFailureKind::NotRegularFile},
        {fifo, TFailureKind::NotRegularFile},
        {socketPath, TFailureKind::NotRegularFile},
        {"/dev/null", TFailureKind::NotRegularFile},
        {missing, TFailureKind::NotFound},
    };
    // Each way in: a read, a write to an existing file and a settings file read.
    const std::pair<const char*, std::function<void(const std::string&)>> ways[] = {
        {"read", [](const std::string& p) { TFileStream s(p, fmOpenRead); }},
        {"write", [](const std::string& p) { TFileStream s(p, fmOpenWrite); }},
        {"settings", [](const std::string& p) { TMemIniFile ini(p); }},
    };
    for (const auto& c : cases)
        for (const auto& [way, open] : ways) {
            SCOPED_TRACE(c.path + " " + way);
            if (c.kind == TFailureKind::Other) {
                EXPECT_NO_THROW(open(c.path));
                continue;
            }
            if (c.kind == TFailureKind::NotFound && std::string(way) == "settings") {
                EXPECT_NO_THROW(open(c.path));  // no settings file is no error: the defaults apply
                continue;
            }
            try {
                open(c.path);
                ADD_FAILURE() << "opened";
            } catch (const EFOpenError& e) {
                EXPECT_EQ(e.Kind(), c.kind);
                EXPECT_NE(std::string(e.what()).find(c.path), std::string::npos) << e.what();
            }
        }
    // Creating over a FIFO neither waits for a reader nor leaves anything but the FIFO.
    EXPECT_THROW(TFileStream(fifo, fmCreate), EFCreateError);
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ::close(listener);
}

}  // namespace

TEST(FileStream, AFullDiskSaysSo) {
    // /dev/full answers every write with "no space left", as a full disk does.
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full here";
    THandleStream stream(fd);
    const char bytes[16] = {};
    try {
        stream.WriteBuffer(bytes, sizeof bytes);
        ADD_FAILURE() << "written";
    } catch (const EWriteError& e) {
        EXPECT_EQ(e.Kind(), TFailureKind::DiskFull);
        EXPECT_EQ(FailureDetail(e), std::string("Stream write error: ") + std::strerror(ENOSPC));
    }
    ::close(fd);
}
