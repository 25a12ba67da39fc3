#include "WindowModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string ProgramFolder() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return ".";
    const std::string path(self, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

int RunWindowModule(int argc, char** argv) {
    const std::string folder = ProgramFolder();
    const std::vector<std::string> candidates = {folder + "/" KIRIMARK_MODULE_NAME,
                                                 folder + "/" KIRIMARK_INSTALLED_MODULE_DIR "/" KIRIMARK_MODULE_NAME};
    std::string reasons;
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) != 0) continue;
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            reasons += std::string("\n  ") + ::dlerror();
            continue;
        }
        using Entry = int (*)(int, char**);
        if (auto entry = reinterpret_cast<Entry>(::dlsym(module, "kirimark_run_window"))) return entry(argc, argv);
        reasons += "\n  " + path + ": no entry kirimark_run_window";
    }
    std::fprintf(stderr, "kirimark: cannot load the window module %s%s\n", KIRIMARK_MODULE_NAME,
                 reasons.empty() ? " (not found beside the program nor in its library folder)" : reasons.c_str());
    return 1;
}
