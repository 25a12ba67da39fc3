// Helpers for the fault and limit tests: a small scratch filesystem of our own (root only),
// libpng as the judge of whole PNG files, and running the built program in a child.
#pragma once

#include <string>
#include <vector>

#include <sys/resource.h>

#include "TestSupport.h"

namespace faulttest {

// A tmpfs of the given size mounted on a fresh folder, unmounted when the object goes away.
// Mounting needs root; Mounted() tells whether it worked, Why() why not.
class ScratchMount {
public:
    explicit ScratchMount(const std::string& size);
    ~ScratchMount();
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;
    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string path() const { return dir_.path().string(); }
    // Makes the filesystem read-only (or writable again).
    bool SetReadOnly(bool readOnly);

private:
    testsupport::TempDir dir_;
    std::string size_;
    bool mounted_ = false;
    std::string why_;
};

// True when libpng reads the whole file without error (every row, up to IEND).
bool PngDecodesWhole(const std::string& path);

// The built program ($KIRIMARK_BUILD_DIR/src/app/kirimark), or "" when it is not there.
std::string ProgramPath();

// A child running the program with args, headless, with its settings file at settingsFile
// and its output thrown away.
struct Child {
    int pid = -1;
};
Child StartProgram(const std::vector<std::string>& args, const std::string& settingsFile, const std::string& workDir);
// Waits for the child; returns its exit status (128 + signal for a signal) and its usage.
int WaitChild(const Child& child, rusage* usage = nullptr);

}  // namespace faulttest
