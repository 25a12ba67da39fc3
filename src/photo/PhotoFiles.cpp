#include "PhotoFiles.h"

#include <algorithm>
#include <cctype>

bool IsPhotoFileName(const std::string& fileName) {
    static const char* const kExtensions[] = {".jpg", ".jpeg", ".png", ".tif", ".tiff", ".webp", ".heic", ".heif"};
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || fileName.find('/', dot) != std::string::npos) return false;
    std::string ext = fileName.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return std::find(std::begin(kExtensions), std::end(kExtensions), ext) != std::end(kExtensions);
}
