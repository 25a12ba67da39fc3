// Saving a bitmap without copying it writes what the image object given a copy writes.
#include <gtest/gtest.h>

#include "Classes.h"
#include "KMPNG.h"

namespace {

// The time stamp may tick between two saves; its data and CRC are blanked before comparing.
std::vector<uint8_t> WithoutTime(std::vector<uint8_t> png) {
    for (size_t i = 8; i + 12 <= png.size();) {
        const size_t length =
            (size_t{png[i]} << 24) | (size_t{png[i + 1]} << 16) | (size_t{png[i + 2]} << 8) | png[i + 3];
        if (std::equal(png.begin() + static_cast<long>(i) + 4, png.begin() + static_cast<long>(i) + 8, "tIME"))
            std::fill(png.begin() + static_cast<long>(i) + 8, png.begin() + static_cast<long>(i + 12 + length), 0);
        i += 12 + length;
    }
    return png;
}

TEST(SaveBitmapAsPng, WritesWhatAnAssignedImageObjectWrites) {
    for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        for (int level : {0, 6, 9}) {
            SCOPED_TRACE(std::to_string(format) + " level " + std::to_string(level));
            TBitmap bmp;
            std::vector<TPaletteEntry> pal;
            for (int i = 0; i < 256; ++i) pal.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0});
            bmp.Allocate(format, 37, 23, format <= pf8bit ? TPalette(pal) : TPalette());
            for (int y = 0; y < 23; ++y) {
                uint8_t* row = bmp.ScanLine(y);
                for (int i = 0; i < bmp.RowStride(); ++i) row[i] = static_cast<uint8_t>(i * 31 + y * 17);
            }
            TKMPNG png;
            png.CompressionLevel = level;
            png.Assign(bmp);
            TMemoryStream viaObject, direct;
            png.SaveToStream(viaObject);
            SaveBitmapAsPng(bmp, level, direct);
            EXPECT_EQ(WithoutTime(direct.Bytes()), WithoutTime(viaObject.Bytes()));
        }
    }
}

}  // namespace
