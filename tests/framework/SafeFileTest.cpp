// Files written through TSafeFileStream appear whole on Commit or not at all, on every path
// the stream can take (unnamed temporary file linked directly or through /proc, or a hidden
// named temporary file).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include "FileHelpers.h"

#include "SafeFile.h"
#include "TestSupport.h"

namespace {

using fwtest::Listing;
using fwtest::ReadBytes;
using fwtest::WriteBytes;

namespace fs = std::filesystem;

mode_t ModeOf(const std::string& name) {
    struct stat st {};
    EXPECT_EQ(::stat(name.c_str(), &st), 0);
    return st.st_mode & 07777;
}

void Write(TSafeFileStream& f, const std::string& text) {
    f.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

struct Path {
    const char* name;
    safefile_testing::Options options;
};

const Path kPaths[] = {
    {"unnamed file", {false, false}},
    {"unnamed file linked through /proc", {false, true}},
    {"hidden named file", {true, false}},
};

class SafeFile : public testing::TestWithParam<Path> {
protected:
    void SetUp() override { safefile_testing::TestOptions() = GetParam().options; }
    void TearDown() override { safefile_testing::TestOptions() = {}; }
    testsupport::TempDir dir;
};

TEST_P(SafeFile, NewFileAppearsOnlyOnCommitWithTheUmaskApplied) {
    for (mode_t mask : {022, 027}) {
        const mode_t old = ::umask(mask);
        const std::string target = dir.file("out" + std::to_string(mask) + ".jpg");
        {
            TSafeFileStream f(target);
            Write(f, "hello ");
            Write(f, "world");
            EXPECT_FALSE(fs::exists(target));
            f.Commit();
            f.Commit();  // a second commit changes nothing
        }
        ::umask(old);
        EXPECT_EQ(ReadBytes(target), "hello world");
        EXPECT_EQ(ModeOf(target), 0666 & ~mask);
        fs::remove(target);
        EXPECT_TRUE(Listing(dir.path()).empty());
    }
}

TEST_P(SafeFile, ReplacesAnExistingFileKeepingItsPermissions) {
    const std::string target = dir.file("out.jpg");
    WriteBytes(target, "old contents, longer than the new");
    ::chmod(target.c_str(), 0604);
    {
        TSafeFileStream f(target);
        Write(f, "new");
        EXPECT_EQ(ReadBytes(target), "old contents, longer than the new");
        f.Commit();
    }
    EXPECT_EQ(ReadBytes(target), "new");
    EXPECT_EQ(ModeOf(target), 0604u);
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"out.jpg"});
}

TEST_P(SafeFile, WithoutCommitTheOldFileStaysAndNothingIsLeft) {
    const std::string target = dir.file("out.jpg");
    WriteBytes(target, "old");
    try {
        TSafeFileStream f(target);
        Write(f, "half of the ");
        throw EWriteError("disk full");  // as an encoder failing midway
    } catch (const EWriteError&) {}
    EXPECT_EQ(ReadBytes(target), "old");
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"out.jpg"});

    { TSafeFileStream f(dir.file("never.jpg")); }
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"out.jpg"});
}

TEST_P(SafeFile, AFolderOfTheTargetsNameFailsAtCommitUntouched) {
    const std::string target = dir.file("picture.jpg");
    fs::create_directory(target);
    WriteBytes(target + "/inside", "x");
    {
        TSafeFileStream f(target);
        Write(f, "data");
        EXPECT_THROW(f.Commit(), EWriteError);
    }
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(Listing(target), std::vector<std::string>{"inside"});
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"picture.jpg"});
}

TEST_P(SafeFile, StreamCanSeekAndReadBack) {
    const std::string target = dir.file("out.bin");
    TSafeFileStream f(target);
    Write(f, "abcdef");
    f.SetPosition(2);
    Write(f, "XY");
    f.SetPosition(0);
    char back[6];
    f.ReadBuffer(back, 6);
    EXPECT_EQ(std::string(back, 6), "abXYef");
    EXPECT_EQ(f.Size(), 6);
    f.Commit();
    EXPECT_EQ(ReadBytes(target), "abXYef");
}

TEST_P(SafeFile, LongPathsWork) {
    fs::path deep = dir.path();
    for (int i = 0; i < 6; ++i) deep /= std::string(60, static_cast<char>('a' + i));
    fs::create_directories(deep);
    const std::string target = (deep / (std::string(240, 'n') + ".jpg")).string();
    ASSERT_GT(target.size(), 600u);
    {
        TSafeFileStream f(target);
        Write(f, "deep");
        f.Commit();
    }
    EXPECT_EQ(ReadBytes(target), "deep");
    EXPECT_EQ(Listing(deep).size(), 1u);
}

TEST_P(SafeFile, UnwritablePlacesRaiseCreateErrors) {
    std::vector<std::string> names = {"/proc/kirimark-out.jpg", dir.file("missing/out.jpg")};
    if (::geteuid() != 0) {  // permissions do not bind root
        fs::create_directory(dir.file("ro"));
        ::chmod(dir.file("ro").c_str(), 0555);
        names.push_back(dir.file("ro/out.jpg"));
        WriteBytes(dir.file("readonly.jpg"), "keep");
        ::chmod(dir.file("readonly.jpg").c_str(), 0444);
        names.push_back(dir.file("readonly.jpg"));
    }
    for (const auto& name : names) {
        try {
            TSafeFileStream f(name);
            ADD_FAILURE() << name << " was accepted";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + name + "\". ", 0), 0u) << e.what();
        }
    }
    if (::geteuid() != 0) {
        EXPECT_EQ(ReadBytes(dir.file("readonly.jpg")), "keep");
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, SafeFile, testing::ValuesIn(kPaths), [](const testing::TestParamInfo<Path>& info) {
    std::string n = info.param.name;
    for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
});

}  // namespace
