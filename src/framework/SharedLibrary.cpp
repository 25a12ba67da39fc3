#include "SharedLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include "SysUtils.h"

// Never unloaded once opened: what the library keeps for the life of the process (fontconfig's
// configuration, say) stays its own, and a leak checker still knows whose it is.
TSharedLibrary::TSharedLibrary(const char* fileName)
    : fileName_(fileName), handle_(::dlopen(fileName, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
    if (!handle_) {
        const char* reason = ::dlerror();
        throw Exception("Cannot load the library " + fileName_, TFailureKind::Other, 0, -1, reason ? reason : "");
    }
}

TSharedLibrary::~TSharedLibrary() { ::dlclose(handle_); }

void* TSharedLibrary::Symbol(const char* linkName) const {
    ::dlerror();
    void* symbol = ::dlsym(handle_, linkName);
    if (!symbol) {
        const char* reason = ::dlerror();
        throw Exception("The library " + fileName_ + " lacks " + linkName, TFailureKind::Unsupported, 0, -1,
                        reason ? reason : "");
    }
    return symbol;
}

std::string TSharedLibrary::Path() const {
    const link_map* map = nullptr;
    if (::dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return fileName_;
    return map->l_name;
}
