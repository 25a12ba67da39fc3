// Which file names the program treats as photos.
#pragma once

#include <string>

// True for names ending in .jpg .jpeg .png .tif .tiff .webp .heic .heif, in any letter case.
bool IsPhotoFileName(const std::string& fileName);
