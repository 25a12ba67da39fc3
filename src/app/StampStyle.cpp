#include "StampStyle.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "CodePage.h"
#include "SysUtils.h"
#include "TextRasteriser.h"

namespace {

constexpr size_t kMaxFaceBytes = 31;  // what the stored face name of a font holds

// A run of decimal digits, at most maxDigits of them, as a number; false for anything else.
bool Digits(std::string_view text, size_t maxDigits, int& value) {
    if (text.empty() || text.size() > maxDigits) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && text.front() != '+' && text.front() != '-';
}

}  // namespace

bool ParseStampSize(std::string_view text, TStampSize& size) {
    if (text.ends_with("pt")) {
        int points = 0;
        if (!Digits(text.substr(0, text.size() - 2), 4, points) || points < kMinStampPoints || points > kMaxStampPoints)
            return false;
        size.Relative = false;
        size.Points = points;
        return true;
    }
    if (!text.ends_with("%")) return false;
    text.remove_suffix(1);
    const size_t dot = text.find('.');
    int whole = 0, fraction = 0;
    if (!Digits(text.substr(0, dot), 3, whole)) return false;
    if (dot != std::string_view::npos) {
        const std::string_view decimals = text.substr(dot + 1);
        if (!Digits(decimals, 2, fraction)) return false;
        if (decimals.size() == 1) fraction *= 10;
    }
    const int hundredths = whole * 100 + fraction;
    if (hundredths < kMinStampHundredths || hundredths > kMaxStampHundredths) return false;
    size.Relative = true;
    size.Hundredths = hundredths;
    return true;
}

std::string StampSizeText(const TStampSize& size) {
    if (!size.Relative) return std::to_string(size.Points) + "pt";
    std::string text = std::to_string(size.Hundredths / 100);
    if (const int fraction = size.Hundredths % 100; fraction != 0) {
        text += '.';
        text += static_cast<char>('0' + fraction / 10);
        if (fraction % 10 != 0) text += static_cast<char>('0' + fraction % 10);
    }
    return text + "%";
}

TStampScale StampScale(const TStampSize& size, const std::string& faceName, int width, int height) {
    if (!size.Relative) return {size.Points, kStampMargin};
    TTextRasteriser* rasteriser = GetTextRasteriser();
    if (!rasteriser) throw Exception("No text rasteriser is installed");
    const std::string face = StampFontName(faceName);
    // The cell's height is the face's ascent plus descent at the pixel size, whatever the text.
    auto cell = [&](int pixels) { return rasteriser->Extent(TTextStyle{face, pixels, true}, "").cy; };
    TFont standard;
    standard.Size = kStampPointSize;
    const int standardPixels = standard.PixelHeight(TCanvas::kPixelsPerInch);
    const int standardCell = cell(standardPixels);
    if (standardCell <= 0) return {};

    const int64_t shorter = std::max(0, std::min(width, height));
    const int least = size.MinPixels;
    const int greatest = size.MaxPixels > 0 ? std::max(size.MaxPixels, least) : kMaxStampPixels;
    const int target =
        std::clamp(static_cast<int>((shorter * size.Hundredths + 5000) / 10000), least, std::max(least, greatest));

    // Pixel sizes are whole, and the face's ascent and descent round separately, so the cells
    // step by one to three pixels. The pixel size is the one whose cell is nearest the target,
    // the smaller on a tie, which is within a pixel of it for steps of up to three; never
    // taller than the greatest height, and when the cells step over the least height, the first
    // that reaches it. Cells grow with the pixel size, so the walk starts from the proportional
    // guess and steps to the answer.
    int pixels =
        std::clamp(static_cast<int>((static_cast<int64_t>(target) * standardPixels + standardCell / 2) / standardCell),
                   1, kMaxStampPixels);
    while (pixels > 1 && cell(pixels) > target) --pixels;
    while (pixels < kMaxStampPixels && cell(pixels + 1) <= target) ++pixels;
    if (pixels < kMaxStampPixels) {
        const int below = cell(pixels), above = cell(pixels + 1);
        if (above - target < target - below && above <= greatest) ++pixels;
    }
    while (pixels < kMaxStampPixels && cell(pixels) < least) ++pixels;
    // The margin keeps its proportion to the cell that the 9-point stamp has.
    const int margin = std::max(
        1,
        static_cast<int>((static_cast<int64_t>(kStampMargin) * cell(pixels) * 2 + standardCell) / (2 * standardCell)));
    return {-pixels, margin};
}

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

void SetStampFont(TCanvas& canvas, const std::string& faceName, TColor color, const TStampScale& scale) {
    canvas.Font.Size = scale.FontSize;
    canvas.Font.Color = color;
    if (!faceName.empty()) canvas.Font.Name = StampFontName(faceName);
    canvas.Font.Style = fsBold;
}

TRect StampCell(int width, int height, TSize extent, bool left, bool top, int margin) {
    const int x = left ? margin : width - extent.cx - margin;
    const int y = top ? margin : height - extent.cy - margin;
    return TRect{x, y, x + extent.cx, y + extent.cy};
}
