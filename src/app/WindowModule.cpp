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

void* OpenModuleEntry(const char* moduleName, const char* entryName, std::string& reasons) {
    const std::string folder = ProgramFolder();
    const std::vector<std::string> candidates = {folder + "/" + moduleName,
                                                 folder + "/" KIRIMARK_INSTALLED_MODULE_DIR "/" + moduleName};
    bool found = false;
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) != 0) continue;
        found = true;
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            reasons += std::string("\n  ") + ::dlerror();
            continue;
        }
        if (void* entry = ::dlsym(module, entryName)) return entry;
        reasons += "\n  " + path + ": no entry " + entryName;
    }
    if (!found) reasons += " (not found beside the program nor in its library folder)";
    return nullptr;
}

int RunWindowModule(int argc, char** argv) {
    std::string reasons;
    using Entry = int (*)(int, char**);
    if (auto entry = reinterpret_cast<Entry>(OpenModuleEntry(KIRIMARK_MODULE_NAME, "kirimark_run_window", reasons)))
        return entry(argc, argv);
    std::fprintf(stderr, "kirimark: cannot load the window module %s%s\n", KIRIMARK_MODULE_NAME, reasons.c_str());
    return 1;
}
