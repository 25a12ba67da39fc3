#include "TestSupport.h"

#include <cstdlib>
#include <random>

namespace testsupport {

std::filesystem::path SharedDir() {
    if (const char* env = std::getenv("KIRIMARK_SHARED_DIR"); env && *env) {
        std::filesystem::path p(env);
        return std::filesystem::is_directory(p) ? p : std::filesystem::path();
    }
    std::filesystem::path p(KIRIMARK_SHARED_DIR);
    std::error_code ec;
    if (std::filesystem::is_directory(p / "testdata", ec)) return std::filesystem::canonical(p, ec);
    return {};
}

TempDir::TempDir() {
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("kirimark-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(path_)) break;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

}  // namespace testsupport
