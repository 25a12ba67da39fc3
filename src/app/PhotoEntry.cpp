// The photo module's entry: the module carries its own copy of every layer it uses, so it
// installs its own text rasteriser before it draws a stamp.
#include "FreeTypeText.h"
#include "PhotoStamp.h"

extern "C" __attribute__((visibility("default"))) TStampPhotoFile kirimark_photo_stamper() {
    InstallTextRasteriser();
    return &StampPhotoFile;
}
