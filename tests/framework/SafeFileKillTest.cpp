// A writer killed in the middle of a save: what it leaves behind is cleaned up by the next save
// of the same file, and nothing that belongs to a living writer is touched.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include "FileHelpers.h"

#include <sys/wait.h>
#include <unistd.h>

#include "SafeFile.h"
#include "TestSupport.h"

namespace {

using fwtest::Listing;
using fwtest::ReadBytes;

namespace fs = std::filesystem;

void Save(const std::string& path, const std::string& bytes) {
    TSafeFileStream out(path);
    out.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    out.Commit();
}

// Runs in a child a save that ends, as a kill would end it, after the data is written and
// before the file is in place: with a named temporary file, which a kill leaves behind.
void SaveAndDieBeforeCommit(const std::string& path) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        safefile_testing::TestOptions().noUnnamedFiles = true;
        auto* out = new TSafeFileStream(path);  // never destroyed: the process just ends
        out->WriteBuffer("half", 4);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
}

TEST(SafeFileKill, TempFileOfAKilledWriterIsRemovedByTheNextSave) {
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "next save with an unnamed file" : "next save with a named file");
        testsupport::TempDir dir;
        const std::string target = dir.file("pic.png");
        Save(target, "old");
        SaveAndDieBeforeCommit(target);
        SaveAndDieBeforeCommit(dir.file("other.png"));
        ASSERT_EQ(Listing(dir.path()).size(), 3u) << "the killed writers left no file; nothing to test";

        safefile_testing::TestOptions().noUnnamedFiles = !unnamed;
        Save(target, "new");
        safefile_testing::TestOptions().noUnnamedFiles = false;
        EXPECT_EQ(ReadBytes(target), "new");
        // The leftover of another target waits for a save of that target.
        const auto names = Listing(dir.path());
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[1], "pic.png");
        Save(dir.file("other.png"), "x");
        EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"other.png", "pic.png"}));
    }
}

// Under our temporary name in a shared (sticky) folder, only a regular file of our own user is
// a leftover of ours. Root may remove anything there, so the check is its own.
TEST(SafeFileKill, WhatIsNotOursUnderOurTemporaryNameIsKept) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> plant;
        bool needsRoot;
    };
    const Case cases[] = {
        {"another user's file",
         [](const std::string& p) {
             std::ofstream(p) << "theirs";
             ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
         },
         true},
        {"a folder", [](const std::string& p) { fs::create_directory(p); }, false},
        {"a named pipe", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false},
        {"a link to another file", [](const std::string& p) { fs::create_symlink("elsewhere", p); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            std::printf("skipped \"%s\": only root can plant another user's file\n", c.name);
            continue;
        }
        testsupport::TempDir dir;
        ::chmod(dir.path().c_str(), 01777);
        const std::string planted = dir.file(".pic.png.kirimark.tmp");
        c.plant(planted);
        for (const bool unnamed : {true, false}) {
            safefile_testing::TestOptions().noUnnamedFiles = !unnamed;
            Save(dir.file("pic.png"), "ours");
            safefile_testing::TestOptions().noUnnamedFiles = false;
            EXPECT_EQ(ReadBytes(dir.file("pic.png")), "ours");
            EXPECT_TRUE(fs::exists(fs::symlink_status(planted)));
            EXPECT_EQ(Listing(dir.path()).size(), 2u);
        }
    }
}

TEST(SafeFileKill, AnotherLiveWritersTempFileIsKept) {
    testsupport::TempDir dir;
    const std::string target = dir.file("pic.png");
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        safefile_testing::TestOptions().noUnnamedFiles = true;
        TSafeFileStream out(target);
        out.WriteBuffer("theirs", 6);
        char c = 1;
        if (::write(ready[1], &c, 1) != 1 || ::read(done[0], &c, 1) != 1) ::_exit(2);
        try {
            out.Commit();
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    Save(target, "ours");  // while the other writer still holds its hidden file
    EXPECT_EQ(Listing(dir.path()).size(), 2u);
    ASSERT_EQ(::write(done[1], &c, 1), 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the other writer's save failed";
    EXPECT_EQ(ReadBytes(target), "theirs");
    EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"pic.png"});
    for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

}  // namespace
