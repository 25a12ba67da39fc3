// Stamping a JPEG file without encoding it again: the picture stays as its 8 × 8 blocks of
// quantised coefficients, and only the blocks whose pixels the stamp changes are decoded and
// encoded anew, with the source's own quantisation tables. Everything else about the file
// stays: its sampling, baseline or progressive mode with its sequence of scans, its restart
// interval, its APPn (EXIF, ICC, XMP...) and COM markers, and every other block bit for bit.
// The Huffman tables are made anew, optimal for the result.
//
// The picture is not turned: the caller gives the EXIF orientation, and the stamp is drawn
// turned or mirrored in the stored picture so that it shows upright at the displayed corner
// while the file keeps its orientation tag.
//
//     TLosslessStamp stamp;
//     stamp.cellWidth = extent.cx;  stamp.cellHeight = extent.cy;
//     stamp.left = PosLeft;  stamp.top = PosTop;  stamp.orientation = exifOrientation;
//     stamp.draw = [&](TBitmap& patch, int x, int y) { patch.Canvas()...TextOut(x, y, text); };
//     TSafeFileStream out(name);
//     if (StampJpegLossless(bytes.data(), bytes.size(), stamp, out).status ==
//         TLosslessJpegStatus::NeedsReencode) { ...decode, stamp and encode instead... }
//     else out.Commit();
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Classes.h"
#include "Graphics.h"

// An APPn or COM marker of a JPEG file.
struct TJpegMarker {
    int code = 0;               // 0xE0 to 0xEF for APP0 to APP15, 0xFE for COM
    std::vector<uint8_t> data;  // what follows the length field; at most 65533 bytes
    bool operator==(const TJpegMarker&) const = default;
};

// Where the stamp goes, all in the picture as it is displayed (orientation applied).
struct TLosslessStamp {
    int cellWidth = 0, cellHeight = 0;  // the stamp's cell, as the text layer measures it
    bool left = true, top = true;       // the corner: the left or right, top or bottom edge
    int margin = 5;                     // from the two edges next to the cell
    int orientation = 1;                // the EXIF orientation, 1 to 8; any other value counts as 1

    // Draws the stamp. patch is the decoded piece of the picture around the cell, 24 bits a
    // pixel, turned to displayed orientation; the cell's top-left corner is at (x, y) of it
    // (negative when the cell is larger than the picture). The patch holds the real picture,
    // so a transparent stamp shows it between the glyphs; a greyscale file gives grey pixels
    // and keeps the luminance of what is drawn. Only the blocks holding pixels that the
    // callback changed are encoded again. It is not called when the cell lies outside the
    // picture or is empty; what it raises passes through, with nothing written.
    std::function<void(TBitmap& patch, int x, int y)> draw;
};

struct TLosslessJpegOptions {
    // Sees the source's APPn and COM markers in file order and may drop, change or add
    // entries; the list as it leaves is written, in its order, right after the start of the
    // file. Without it every marker is copied.
    std::function<void(std::vector<TJpegMarker>& markers)> editMarkers;
    // Limits checked before the coefficients are allocated or read: more pixels than
    // maxPixels or more scans than maxScans fail as TooLarge.
    int64_t maxPixels = TBitmap::kMaxPixels;
    int maxScans = 100;
    // The Huffman statistics of a single-scan output come from our own pass over the
    // coefficients; false leaves them to libjpeg's slower extra pass, with the same tables.
    bool fastHuffmanStatistics = true;
};

enum class TLosslessJpegStatus {
    Stamped,        // the output was written
    NeedsReencode,  // nothing was written: stamp this file by decoding and encoding it
};

struct TLosslessJpegResult {
    TLosslessJpegStatus status = TLosslessJpegStatus::Stamped;
    std::string note;       // with NeedsReencode: why, in one line for standard error
    int changedBlocks = 0;  // how many coefficient blocks were encoded anew
};

// Reads the JPEG file in data, stamps it and writes the result to out. A CMYK or YCCK file
// gives NeedsReencode. Raises EInvalidGraphic, with the kind Unsupported for files libjpeg
// cannot decode (lossless, 12-bit, unknown colour components), Damaged for broken or cut-short
// data (libjpeg's warnings count as failures), TooLarge past the limits, OutOfMemory; stream
// errors of out pass through. After a failure out may hold part of a file: write to a
// TSafeFileStream and commit only on success.
TLosslessJpegResult StampJpegLossless(const uint8_t* data, size_t size, const TLosslessStamp& stamp, TStream& out,
                                      const TLosslessJpegOptions& options = {});
// The same, reading the file from source's position to its end.
TLosslessJpegResult StampJpegLossless(TStream& source, const TLosslessStamp& stamp, TStream& out,
                                      const TLosslessJpegOptions& options = {});
