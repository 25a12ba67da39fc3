#include "Graphics.h"

#include <algorithm>
#include <cstring>

#include "BmpFile.h"
#include "Canvas.h"

TPalette::TPalette(std::vector<TPaletteEntry> entries) : entries_(std::move(entries)) {
    if (entries_.size() > 256) entries_.resize(256);
}

int TPalette::GetEntries(int start, int count, TPaletteEntry* out) const {
    if (start < 0 || count <= 0 || start >= Count()) return 0;
    const int n = std::min(count, Count() - start);
    std::copy_n(entries_.begin() + start, n, out);
    return n;
}

bool TPalette::operator==(const TPalette& o) const {
    if (entries_.size() != o.entries_.size()) return false;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const auto& a = entries_[i];
        const auto& b = o.entries_[i];
        if (a.peRed != b.peRed || a.peGreen != b.peGreen || a.peBlue != b.peBlue) return false;
    }
    return true;
}

void TGraphic::Assign(const TGraphic& source) { source.AssignTo(*this); }

void TGraphic::AssignTo(TGraphic& dest) const {
    throw EConvertError(std::string("Cannot assign a ") + ClassName() + " to a " + dest.ClassName());
}

void TGraphic::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, fmOpenRead);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) {
    TFileStream stream(fileName, fmCreate);
    SaveToStream(stream);
}

void TGraphic::SetTransparent(bool value) {
    if (value != transparent_) {
        transparent_ = value;
        Changed();
    }
}

void TGraphic::Changed() {
    modified_ = true;
    if (OnChange) OnChange(this);
}

namespace {

TPalette DefaultPalette(TPixelFormat format) {
    std::vector<TPaletteEntry> e;
    if (format == pf1bit) {
        e = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    } else if (format == pf4bit) {
        static const uint8_t vga[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                           {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                           {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                           {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
        for (const auto& c : vga) e.push_back({c[0], c[1], c[2], 0});
    } else {
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    e.push_back(
                        {static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51), static_cast<uint8_t>(b * 51), 0});
        for (int i = 0; i < 40; ++i) {
            const auto v = static_cast<uint8_t>(i * 255 / 39);
            e.push_back({v, v, v, 0});
        }
    }
    return TPalette(std::move(e));
}

int NearestIndex(const TPalette& palette, TColor c) {
    return NearestEntry(palette.Entries().data(), palette.Count(), c);
}

}  // namespace

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

int TBitmap::BitsPerPixel() const { return StorageBits(pixelFormat_); }

int TBitmap::RowStride() const { return static_cast<int>(RowBytes(width_, BitsPerPixel())); }

void TBitmap::Reallocate(int width, int height) {
    if (width < 0 || height < 0 || width > kMaxDimension || height > kMaxDimension ||
        static_cast<int64_t>(width) * height > kMaxPixels)
        throw EOutOfResources("Bitmap too large: " + std::to_string(width) + " x " + std::to_string(height));
    const size_t size = static_cast<size_t>(RowBytes(width, BitsPerPixel())) * static_cast<size_t>(height);
    bits_ = TZeroedBlock(size);
    width_ = width;
    height_ = height;
}

void TBitmap::Allocate(TPixelFormat format, int width, int height, const TPalette& palette) {
    pixelFormat_ = (format == pfDevice || format == pfCustom) ? pf24bit : format;
    palette_ = palette;
    bits_.clear();
    width_ = height_ = 0;
    Reallocate(width, height);
    Changed();
}

void TBitmap::SetSize(int width, int height) {
    if (width == width_ && height == height_) return;
    TZeroedBlock old = std::move(bits_);
    const int oldW = width_, oldH = height_, oldStride = RowStride();
    Reallocate(width, height);
    const int stride = RowStride();
    const int rows = std::min(oldH, height);
    const size_t bytes = static_cast<size_t>(
        std::min<int64_t>(RowBytes(std::min(oldW, width), BitsPerPixel()), std::min(stride, oldStride)));
    for (int y = 0; y < rows; ++y)
        std::memcpy(bits_.data() + static_cast<size_t>(height - 1 - y) * stride,
                    old.data() + static_cast<size_t>(oldH - 1 - y) * oldStride, bytes);
    Changed();
}

uint8_t* TBitmap::ScanLine(int y) {
    return bits_.data() + static_cast<size_t>(height_ - 1 - y) * static_cast<size_t>(RowStride());
}

const uint8_t* TBitmap::ScanLine(int y) const {
    return bits_.data() + static_cast<size_t>(height_ - 1 - y) * static_cast<size_t>(RowStride());
}

void TBitmap::SetPalette(const TPalette& value) {
    palette_ = value;
    SetPaletteModified(true);
    Changed();
}

TColor TBitmap::GetPixel(int x, int y) const {
    const uint8_t* row = ScanLine(y);
    switch (pixelFormat_) {
    case pf1bit:
    case pf4bit:
    case pf8bit: {
        const auto i = static_cast<int>(PackedIndex(row, x, BitsPerPixel()));
        if (i >= palette_.Count()) return clBlack;
        const auto& e = palette_[i];
        return RGBColor(e.peRed, e.peGreen, e.peBlue);
    }
    case pf15bit:
    case pf16bit: return WordColor(row[2 * x] | (row[2 * x + 1] << 8), pixelFormat_);
    case pf32bit: return RGBColor(row[4 * x + 2], row[4 * x + 1], row[4 * x]);
    default: return RGBColor(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
    }
}

void TBitmap::SetPixel(int x, int y, TColor c) {
    uint8_t* row = ScanLine(y);
    switch (pixelFormat_) {
    case pf1bit:
    case pf4bit:
    case pf8bit: SetPackedIndex(row, x, BitsPerPixel(), static_cast<unsigned>(NearestIndex(palette_, c))); break;
    case pf15bit:
    case pf16bit: {
        const uint32_t w = ColorWord(c, pixelFormat_);
        row[2 * x] = static_cast<uint8_t>(w);
        row[2 * x + 1] = static_cast<uint8_t>(w >> 8);
        break;
    }
    case pf32bit:
        row[4 * x] = GetBValue(c);
        row[4 * x + 1] = GetGValue(c);
        row[4 * x + 2] = GetRValue(c);
        break;
    default:
        row[3 * x] = GetBValue(c);
        row[3 * x + 1] = GetGValue(c);
        row[3 * x + 2] = GetRValue(c);
        break;
    }
}

void TBitmap::SetPixelFormat(TPixelFormat value) {
    if (value == pfDevice || value == pfCustom) value = pf24bit;
    if (value == pixelFormat_) return;
    if (Empty()) {
        pixelFormat_ = value;
        if (value <= pf8bit && palette_.IsEmpty()) palette_ = DefaultPalette(value);
        Changed();
        return;
    }
    TBitmap old;
    old.pixelFormat_ = pixelFormat_;
    old.width_ = width_;
    old.height_ = height_;
    old.bits_ = std::move(bits_);
    old.palette_ = palette_;
    pixelFormat_ = value;
    if (value <= pf8bit) {
        if (old.pixelFormat_ > pf8bit || palette_.IsEmpty()) palette_ = DefaultPalette(value);
    } else {
        palette_ = TPalette();
    }
    Reallocate(old.width_, old.height_);
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x) SetPixel(x, y, old.GetPixel(x, y));
    Changed();
}

TCanvas& TBitmap::Canvas() {
    if (!canvas_) canvas_ = std::make_unique<TCanvas>(*this);
    return *canvas_;
}

void TBitmap::Clear() {
    bits_.clear();
    width_ = height_ = 0;
    palette_ = TPalette();
    Changed();
}

void TBitmap::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* src = dynamic_cast<const TBitmap*>(&source)) {
        pixelFormat_ = src->pixelFormat_;
        width_ = src->width_;
        height_ = src->height_;
        bits_ = src->bits_;
        palette_ = src->palette_;
        transparentColor_ = src->transparentColor_;
        SetTransparent(src->Transparent());
        Changed();
        return;
    }
    TGraphic::Assign(source);
}

void TBitmap::LoadFromStream(TStream& stream) {
    ReadBmp(stream, *this);
    Changed();
}

void TBitmap::SaveToStream(TStream& stream) { WriteBmp(stream, *this); }

void TBitmap::Progress(TProgressStage stage, uint8_t percent, const std::string& msg) {
    if (OnProgress) OnProgress(this, stage, percent, false, TRect{}, msg);
}
