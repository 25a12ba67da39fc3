// The smallest program around lossless JPEG stamping, for timing it as a whole process beside
// jpegtran: reads the file, stamps a solid cell in the bottom right corner, writes the result.
//     jpeg_lossless_driver IN OUT
#include <algorithm>
#include <cstdio>
#include <exception>

#include "Classes.h"
#include "JpegLossless.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
        return 2;
    }
    try {
        TMemoryStream in;
        in.LoadFromFile(argv[1]);
        TFileStream out(argv[2], fmCreate);
        TLosslessStamp stamp;
        stamp.left = stamp.top = false;
        stamp.draw = [&stamp](TBitmap& patch, int x, int y) {
            for (int py = std::max(y, 0); py < std::min(y + stamp.cellHeight, patch.Height()); ++py) {
                uint8_t* row = patch.ScanLine(py);
                for (int px = std::max(x, 0); px < std::min(x + stamp.cellWidth, patch.Width()); ++px) {
                    row[3 * px] = 40;
                    row[3 * px + 1] = 60;
                    row[3 * px + 2] = 220;
                }
            }
        };
        stamp.cellHeight = 100;  // 2.5 % of the benchmark photo's 4000 pixels
        stamp.cellWidth = 660;   // about a copyright line at that height
        const TLosslessJpegResult r = StampJpegLossless(in, stamp, out);
        if (r.status != TLosslessJpegStatus::Stamped) {
            std::fprintf(stderr, "%s\n", r.note.c_str());
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
