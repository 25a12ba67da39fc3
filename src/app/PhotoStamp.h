// Stamping a photo: decoded by the photo layer, turned upright, stamped in the corner as
// viewers show it, and written as JPEG or PNG with the metadata the settings keep.
#pragma once

#include <string>
#include <vector>

#include "Pipeline.h"
#include "setting_common.h"

// The names a run takes: ".bmp" exactly, and with photos accepted the photo names in any case.
bool IsAcceptedName(const std::string& path, const Settings& settings);
// Taken as a photo, not as a bitmap.
bool IsPhotoInput(const std::string& path, const Settings& settings);

// Stamps the photo at source and writes it to target (its folder made when missing) in the
// settings' format: stored upright with orientation 1; alpha flattened on white for JPEG and
// kept for PNG. A JPEG saved as JPEG with LosslessJpeg on keeps its coded blocks instead, but
// those under the stamp, and its stored orientation with the tag (CMYK excepted: encoded
// anew, with a note). Returns notes on metadata the output could not carry. Raises on any
// failure; the target appears whole or not at all.
std::vector<std::string> StampPhotoFile(const std::string& source, const std::string& target, const Settings& settings,
                                        const TFileProgress& progress = {});
