#include "FaultSupport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace faulttest {

ScratchMount::ScratchMount(const std::string& size) : size_(size) {
    if (::geteuid() != 0) {
        why_ = "mounting a scratch tmpfs needs root";
        return;
    }
    const std::string options = "size=" + size_ + ",mode=0755";
    if (::mount("tmpfs", path().c_str(), "tmpfs", 0, options.c_str()) != 0) {
        why_ = std::string("mount -t tmpfs failed: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

ScratchMount::~ScratchMount() {
    if (mounted_) ::umount2(path().c_str(), MNT_DETACH);
}

bool ScratchMount::SetReadOnly(bool readOnly) {
    const std::string options = "size=" + size_;
    const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return ::mount("tmpfs", path().c_str(), "tmpfs", flags, options.c_str()) == 0;
}

bool PngDecodesWhole(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGBA;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    const bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok && (image.warning_or_error & PNG_IMAGE_ERROR) == 0;
}

std::string ProgramPath() {
    const char* build = std::getenv("KIRIMARK_BUILD_DIR");
    if (!build || !*build) return "";
    const std::filesystem::path p = std::filesystem::path(build) / "src/app/kirimark";
    return std::filesystem::exists(p) ? p.string() : "";
}

Child StartProgram(const std::vector<std::string>& args, const std::string& settingsFile, const std::string& workDir) {
    std::vector<std::string> argv = {ProgramPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    Child child;
    child.pid = ::fork();
    if (child.pid == 0) {
        if (::chdir(workDir.c_str()) != 0) ::_exit(126);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("KIRIMARK_SETTINGS_FILE", settingsFile.c_str(), 1);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    return child;
}

int WaitChild(const Child& child, rusage* usage) {
    int status = 0;
    rusage local{};
    if (::wait4(child.pid, &status, 0, usage ? usage : &local) != child.pid) return -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace faulttest
