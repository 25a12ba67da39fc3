// The program's way to the photo codecs: StampPhotoFile loads the photo module on the first
// photo of a run and hands every photo to the module's own StampPhotoFile. A run of bitmaps
// alone never loads it.
#include <mutex>

#include "PhotoStamp.h"
#include "SysUtils.h"
#include "WindowModule.h"

std::vector<std::string> StampPhotoFile(const std::string& source, const std::string& target, const Settings& settings,
                                        const TFileProgress& progress) {
    static std::once_flag once;
    static TStampPhotoFile stamper = nullptr;
    static std::string reasons;
    // Workers of a run may reach their first photo together; the module is loaded once.
    std::call_once(once, [] {
        if (void* entry = OpenModuleEntry(KIRIMARK_PHOTO_MODULE_NAME, "kirimark_photo_stamper", reasons))
            stamper = reinterpret_cast<decltype(&kirimark_photo_stamper)>(entry)();
    });
    if (!stamper) throw Exception("Cannot load the photo module " KIRIMARK_PHOTO_MODULE_NAME + reasons);
    return stamper(source, target, settings, progress);
}
