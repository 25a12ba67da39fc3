// Helpers every test area shares.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace testsupport {

// The shared folder with the conformance corpora and reference vectors, or an empty path
// when it is absent (a plain clone of the project).
std::filesystem::path SharedDir();

// A fresh empty folder, removed with everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace testsupport

// Skips the current test with a clear message when the shared corpora are not there.
#define REQUIRE_SHARED_DIR()                                                                  \
    do {                                                                                      \
        if (testsupport::SharedDir().empty())                                                 \
            GTEST_SKIP() << "../shared (conformance corpora and vectors) not found; skipped"; \
    } while (0)
