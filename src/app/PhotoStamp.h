// Stamping a photo: decoded by the photo layer, turned upright, stamped in the corner as
// viewers show it, and written as JPEG or PNG with the metadata the settings keep.
//
// The photo codecs and the metadata library are many shared libraries that take longer to load
// than a small bitmap takes to stamp, so the program itself reaches StampPhotoFile through a
// module loaded on the first photo of a run (PhotoModule.cpp); the window module and the tests
// link it directly.
#pragma once

#include <string>
#include <vector>

#include "Pipeline.h"
#include "setting_common.h"

// Stamps the photo at source and writes it to target (its folder made when missing) in the
// settings' format: stored upright with orientation 1; alpha flattened on white for JPEG and
// kept for PNG. A JPEG saved as JPEG with LosslessJpeg on keeps its coded blocks instead, but
// those under the stamp, and its stored orientation with the tag (CMYK excepted: encoded
// anew, with a note). Returns notes on metadata the output could not carry. Raises on any
// failure; the target appears whole or not at all.
std::vector<std::string> StampPhotoFile(const std::string& source, const std::string& target, const Settings& settings,
                                        const TFileProgress& progress = {});

// The photo module's entry, called once by the program's StampPhotoFile: installs the module's
// own text rasteriser and gives the module's StampPhotoFile.
using TStampPhotoFile = decltype(&StampPhotoFile);
extern "C" TStampPhotoFile kirimark_photo_stamper();
