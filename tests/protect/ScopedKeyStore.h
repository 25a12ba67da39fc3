// Points the cipher's key container at a folder of the test's choosing for one scope.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

class ScopedKeyStore {
public:
    explicit ScopedKeyStore(const std::string& folder) {
        if (const char* old = std::getenv(kVar)) old_ = old;
        ::setenv(kVar, folder.c_str(), 1);
    }
    ~ScopedKeyStore() {
        if (old_)
            ::setenv(kVar, old_->c_str(), 1);
        else
            ::unsetenv(kVar);
    }
    ScopedKeyStore(const ScopedKeyStore&) = delete;
    ScopedKeyStore& operator=(const ScopedKeyStore&) = delete;

private:
    static constexpr const char* kVar = "KIRIMARK_KEYSTORE_DIR";
    std::optional<std::string> old_;
};
