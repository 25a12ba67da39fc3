#include "StampStyle.h"

#include "CodePage.h"

namespace {

constexpr size_t kMaxFaceBytes = 31;  // what the stored face name of a font holds

}  // namespace

std::string StampFontName(const std::string& faceName) {
    // The limit counts the name's code page 932 bytes, as the font's stored face name does.
    std::string bytes;
    if (TryUtf8ToCp932(faceName, bytes)) {
        if (bytes.size() <= kMaxFaceBytes) return faceName;
        size_t end = 0;
        while (end < bytes.size()) {
            const auto c = static_cast<unsigned char>(bytes[end]);
            const size_t width = ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ? 2 : 1;
            if (end + width > kMaxFaceBytes) break;  // never half a character
            end += width;
        }
        return Cp932ToUtf8(bytes.substr(0, end));
    }
    // A name the code page cannot hold is cut by its UTF-8 bytes, on a character boundary.
    if (faceName.size() <= kMaxFaceBytes) return faceName;
    size_t end = kMaxFaceBytes;
    while (end > 0 && (static_cast<unsigned char>(faceName[end]) & 0xC0) == 0x80) --end;
    return faceName.substr(0, end);
}

void SetStampFont(TCanvas& canvas, const std::string& faceName, TColor color) {
    canvas.Font.Size = kStampPointSize;
    canvas.Font.Color = color;
    if (!faceName.empty()) canvas.Font.Name = StampFontName(faceName);
    canvas.Font.Style = fsBold;
}

TRect StampCell(int width, int height, TSize extent, bool left, bool top) {
    const int x = left ? kStampMargin : width - extent.cx - kStampMargin;
    const int y = top ? kStampMargin : height - extent.cy - kStampMargin;
    return TRect{x, y, x + extent.cx, y + extent.cy};
}
