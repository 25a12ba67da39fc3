// The 24-megapixel camera-like JPEG the photo benchmarks share: 6000 x 4000, 4:2:0, quality 92,
// with an EXIF block, over a picture of smooth light, edges and sensor-like noise.
#pragma once

#include <string>

constexpr int kCameraWidth = 6000, kCameraHeight = 4000;

// Writes it to path (replacing any file there); the same bytes every time.
void WriteCameraJpeg(const std::string& path);
