#include "CameraJpeg.h"

#include <cstdio>
#include <random>
#include <stdexcept>
#include <vector>

#include <jpeglib.h>

void WriteCameraJpeg(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot create " + path);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = kCameraWidth;
    cinfo.image_height = kCameraHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);  // YCbCr with chroma halved both ways: 4:2:0, as cameras write
    jpeg_set_quality(&cinfo, 92, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    // A little-endian EXIF block: IFD0 with the orientation 1.
    static const unsigned char exif[] = {'E',  'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12,
                                         0x01, 3,   0,   1,   0, 0, 0,   1,   0,  0, 0, 0, 0, 0, 0, 0, 0};
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif, sizeof exif);
    std::mt19937 rng(20240);
    std::normal_distribution<float> noise(0.0f, 6.0f);
    std::vector<uint8_t> row(size_t{kCameraWidth} * 3);
    auto clamp = [](float v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < kCameraWidth; ++x) {
            // Sky above a horizon, a few hard-edged shapes, and noise on every sample.
            const bool sky = y < kCameraHeight * 2 / 5 + (x % 1500) / 10;
            const bool shape = ((x / 400) + (y / 300)) % 7 == 0;
            float r = sky ? 90 + y * 0.03f : 70 + x * 0.01f, g = sky ? 140 + y * 0.02f : 90 + y * 0.01f,
                  b = sky ? 220 - y * 0.02f : 50 + (x + y) * 0.005f;
            if (shape) r = 200, g = 60, b = 40;
            row[3 * x] = clamp(r + noise(rng));
            row[3 * x + 1] = clamp(g + noise(rng));
            row[3 * x + 2] = clamp(b + noise(rng));
        }
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + path);
}
