#include "KMPNGReadStream.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "KMPNG.h"

namespace {

constexpr uint32_t Tag(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
           uint32_t(uint8_t(s[3]));
}

constexpr uint32_t kIHDR = Tag("IHDR"), kPLTE = Tag("PLTE"), kIDAT = Tag("IDAT"), kIEND = Tag("IEND"),
                   kbKGD = Tag("bKGD"), ktRNS = Tag("tRNS"), kgAMA = Tag("gAMA"), kcHRM = Tag("cHRM"),
                   ksBIT = Tag("sBIT"), kpHYs = Tag("pHYs"), ktIME = Tag("tIME"), kgIFg = Tag("gIFg"),
                   ktEXt = Tag("tEXt"), ktpNG = Tag("tpNG");

constexpr uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr TColor kPaletteTablePending = 0x1FFFFFF;
constexpr TColor kPaletteIndexFlag = 0x1000000;

// Adam7: first row, row step, first column, column step.
constexpr int kPassRow[7] = {0, 0, 4, 0, 2, 0, 1};
constexpr int kPassRowStep[7] = {8, 8, 8, 4, 4, 2, 2};
constexpr int kPassCol[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr int kPassColStep[7] = {8, 8, 4, 4, 2, 2, 1};

uint32_t PassWidth(int pass, uint32_t w) {
    switch (pass) {
    case 0: return (w + 7) / 8;
    case 1: return (w + 3) / 8;
    case 2: return (w + 3) / 4;
    case 3: return (w + 1) / 4;
    case 4: return (w + 1) / 2;
    case 5: return w / 2;
    default: return w;
    }
}

uint32_t PassHeight(int pass, uint32_t h) {
    switch (pass) {
    case 0:
    case 1: return (h + 7) / 8;
    case 2: return (h + 3) / 8;
    case 3: return (h + 3) / 4;
    case 4: return (h + 1) / 4;
    case 5: return (h + 1) / 2;
    default: return h / 2;
    }
}

const char kReadError[] = "Read Image (PNG): Read Error";

// Bit 5 of the first letter (lower case) marks a chunk a reader may ignore.
bool IsCritical(uint32_t type) { return (type & 0x20000000u) == 0; }

// The chunk's four letters for messages; anything unprintable shows as '?'.
std::string ChunkName(uint32_t type) {
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<char>(type >> shift);
        name += (c >= 0x21 && c <= 0x7E) ? c : '?';
    }
    return name;
}

}  // namespace

struct TKMPNGReadStream::ChunkData {
    const uint8_t* p;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? p[at++] : 0; }
    uint16_t WordBE() { return static_cast<uint16_t>((Byte() << 8) | Byte()); }
    uint32_t DWordBE() {
        const uint32_t high = WordBE();
        return (high << 16) | WordBE();
    }
};

TKMPNGReadStream::TKMPNGReadStream() {
    inflate_.Refill = [this] { return RefillInput(); };
    std::memset(alphaTable_, 255, sizeof alphaTable_);
}

TKMPNGReadStream::~TKMPNGReadStream() = default;

// ---- the decode entry ----

void TKMPNGReadStream::Decode() {
    BeginProgress();
    SetProgressPhase(0, 0, 30);

    alphaOutput_ = nullptr;
    bitmapCreated_ = false;
    hasAlpha_ = greyscale_ = paletteAlpha_ = colorAlpha_ = false;
    interlaceMethod_ = 0;
    baseColorType_ = -1;
    bitDepth_ = fileBits_ = 0;
    backgroundColor_ = transparentColor_ = -1;
    significantBits_ = 0;
    gamma_ = 0;
    std::memset(alphaTable_, 255, sizeof alphaTable_);
    if (TimeRecord) *TimeRecord = TKMPNGTime{};
    if (GIFControl) GIFControl->fill(0);
    if (Chromaticities) Chromaticities->fill(0);
    sourceBits_ = outputBits_ = 0;
    width_ = height_ = 0;
    chunkFlags_ = 0;
    chunkRemaining_ = 0;
    sawImageData_ = false;

    uint8_t signature[8] = {};
    ReadBytes(signature, 8);
    if (std::memcmp(signature, kSignature, 8) != 0) throw EKMPNG("PNG LoadStream: Not PNG Format");

    try {
        WalkChunks();
    } catch (...) {
        inflate_.EndInflate();
        rowBlock_.reset();
        throw;
    }
    inflate_.EndInflate();
    rowBlock_.reset();
    // A file without image data is no picture, however much of it was read; only a stop asked
    // for by the caller leaves it at that.
    if (!sawImageData_ && !Stopped()) throw EKMPNG("PNG LoadStream: no IDAT chunk");

    // A palette table that never met an image was never classified: there is no such colour.
    if (transparentColor_ == kPaletteTablePending) transparentColor_ = -1;
    // Only a bitmap this read produced takes the transparency; without image data it stays as it was.
    if (target_ && bitmapCreated_ && !Exhausted() && !Stopped() && !hasAlpha_ && transparentColor_ != -1) {
        target_->SetTransparentColor(transparentColor_);
        target_->SetTransparent(true);
    }
    if (paletteAlpha_ && alphaOutput_) BuildPaletteAlpha();
    EndProgress();
}

void TKMPNGReadStream::WalkChunks() {
    bool first = true;
    while (!Exhausted() && !Stopped() && !(chunkFlags_ & kEndRead)) {
        const uint32_t length = ReadDWordBE();
        BeginChecksum();  // the CRC covers the type and the data
        chunkType_ = ReadDWordBE();
        if (Exhausted() || Stopped()) break;
        const std::string name = ChunkName(chunkType_);
        if (length > 0x7FFFFFFFu) throw EKMPNG("PNG LoadStream: Error Chunk Length (" + name + ")");
        chunkRemaining_ = length;
        if (first && chunkType_ != kIHDR) throw EKMPNG("Read Header(PNG): " + name + " before IHDR");
        first = false;
        if (!IsCritical(chunkType_)) {
            ReadAncillary();
            continue;
        }
        const bool open = (chunkFlags_ & kHeaderRead) && !(chunkFlags_ & kImageDone);
        switch (chunkType_) {
        case kIHDR:
            if (chunkRemaining_ != 13) throw EKMPNG("Read Header(PNG): Error IHDR Length");
            ReadHeader();
            break;
        case kPLTE:
            if (open && !(chunkFlags_ & kPaletteRead) && baseColorType_ != 0) ReadPalette();
            break;
        case kIDAT:
            sawImageData_ = true;
            ReadImageData();
            break;
        case kIEND:
            if (chunkRemaining_ != 0) throw EKMPNG("PNG LoadStream: Error IEND Length");
            chunkFlags_ |= kEndRead;
            break;
        default: break;  // an unknown critical chunk is passed over
        }
        if (chunkRemaining_ > 0) Skip(chunkRemaining_);
        CheckCriticalCrc();
    }
}

void TKMPNGReadStream::CheckCriticalCrc() {
    const uint32_t computed = EndChecksum();
    const uint32_t stored = ReadDWordBE();
    // Input that ends here ends the walk like any other end outside the image data.
    if (Exhausted() || Stopped()) return;
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    if (computed != stored) throw EKMPNG("PNG LoadStream: CRC Error (" + ChunkName(chunkType_) + ")");
#else
    (void)computed;
    (void)stored;
#endif
}

void TKMPNGReadStream::ReadAncillary() {
    const uint32_t type = chunkType_;
    const bool known = type == kbKGD || type == ktRNS || type == kgAMA || type == kcHRM || type == ksBIT ||
                       type == kpHYs || type == ktIME || type == kgIFg || type == ktEXt || type == ktpNG;
    // Never allocate for more than the input can still hold; the skip then ends the walk.
    if (!known || chunkRemaining_ > Budget() - Consumed()) {
        EndChecksum();
        Skip(chunkRemaining_);
        Skip(4);
        return;
    }
    std::string bytes(static_cast<size_t>(chunkRemaining_), '\0');
    ReadBytes(bytes.data(), chunkRemaining_);
    const int64_t length = chunkRemaining_;
    chunkRemaining_ = 0;
    const uint32_t computed = EndChecksum();
    const uint32_t stored = ReadDWordBE();
    if (Exhausted() || Stopped()) return;
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // A damaged chunk a reader may ignore is ignored: its values could be anything.
    if (computed != stored) return;
#else
    (void)computed;
    (void)stored;
#endif

    // Each chunk is taken only where it may stand and only at the length its contents need;
    // any other is passed over like an unknown one.
    const bool header = chunkFlags_ & kHeaderRead;
    const bool open = header && !(chunkFlags_ & kImageDone);
    const bool beforePalette = open && !(chunkFlags_ & kPaletteRead);
    ChunkData data{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    switch (type) {
    case kbKGD:
        if (header && length == (baseColorType_ == 3 ? 1 : ColorValueBytes())) ReadBackground(data);
        break;
    case ktRNS:
        if (open && !colorAlpha_ && (baseColorType_ == 3 || length == ColorValueBytes())) ReadTransparency(data);
        break;
    case kgAMA:
        if (beforePalette && length == 4) gamma_ = data.DWordBE() / 100000.0;
        break;
    case kcHRM:
        if (beforePalette && length == 32 && Chromaticities)
            for (auto& v : *Chromaticities) v = data.DWordBE();
        break;
    case ksBIT:
        if (beforePalette && (baseColorType_ == 2 || baseColorType_ == 3) && length == (colorAlpha_ ? 4 : 3)) {
            uint32_t bits = 0;
            for (int i = 0; i < length; ++i) bits |= uint32_t{data.Byte()} << (8 * i);
            significantBits_ = bits;
        }
        break;
    case kpHYs:
        if (open && length == 9) {
            physX_ = static_cast<int32_t>(data.DWordBE());
            physY_ = static_cast<int32_t>(data.DWordBE());
            physUnit_ = data.Byte();
        }
        break;
    case ktIME:
        if (length == 7 && TimeRecord) {
            TimeRecord->Year = data.WordBE();
            TimeRecord->Month = data.Byte();
            TimeRecord->Day = data.Byte();
            TimeRecord->Hour = data.Byte();
            TimeRecord->Minute = data.Byte();
            TimeRecord->Second = data.Byte();
        }
        break;
    case kgIFg:
        if (beforePalette && length == 4 && GIFControl)
            for (auto& b : *GIFControl) b = data.Byte();
        break;
    case ktEXt: ReadText(bytes); break;
    case ktpNG:
        // The writer's signature "KMP1" and its flag bytes; nothing here depends on them.
        if (open && !(chunkFlags_ & kPrivateRead) && length >= 6) chunkFlags_ |= kPrivateRead;
        break;
    default: break;
    }
    ReportProgress(0);
}

// ---- chunk handlers ----

void TKMPNGReadStream::ReadHeader() {
    if (chunkFlags_ & kHeaderRead) throw EKMPNG("Read Header(PNG): appear two IHDR");
    const uint32_t width = ReadDWordBE();
    const uint32_t height = ReadDWordBE();
    bitDepth_ = sourceBits_ = ReadByte();
    const int colorType = ReadByte() & 7;
    if (colorType == 1 || colorType == 5 || colorType == 7) throw EKMPNG("Read Header(PNG): Error ColorType");
    if (colorType & 4) {
        hasAlpha_ = colorAlpha_ = true;
        baseColorType_ = colorType & 3;
    } else {
        baseColorType_ = colorType;
    }
    greyscale_ = baseColorType_ == 0;
    if (ReadByte() > 1) throw EKMPNG("Read Header(PNG): not support Compression");
    if (ReadByte() > 1) throw EKMPNG("Read Header(PNG): not supprt Filter");
    const int interlace = ReadByte();
    if (interlace > 1) throw EKMPNG("Read Header(PNG): not interlace type");
    interlaceMethod_ = interlace;
    // A header cut short by the end of the input yields no image and is no error.
    if (!Exhausted() && !Stopped()) {
        if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension ||
            int64_t{width} * height > kMaxPixels)
            throw EKMPNG("Read Header(PNG): Error Image Size");
    }
    width_ = static_cast<int>(std::min<uint32_t>(width, kMaxDimension));
    height_ = static_cast<int>(std::min<uint32_t>(height, kMaxDimension));
    chunkFlags_ |= kHeaderRead;
    chunkRemaining_ -= 13;
    ReportProgress(0);
}

void TKMPNGReadStream::ReadPalette() {
    // A palette image's colours are all in its PLTE: one that cannot hold whole entries, or
    // holds none or too many, leaves its pixels without a meaning.
    if (chunkRemaining_ % 3 != 0 || chunkRemaining_ == 0 || chunkRemaining_ > 768) {
        if (baseColorType_ == 3) throw EKMPNG("Read Header(PNG): Error PLTE Length");
        return;  // only a suggestion for a truecolour image; passed over
    }
    const int count = static_cast<int>(chunkRemaining_ / 3);
    uint8_t rgb[768];
    ReadBytes(rgb, 3 * count);
    TRGBQuad* quads = PaletteBuffer();
    for (int i = 0; i < count; ++i) quads[i] = {rgb[3 * i + 2], rgb[3 * i + 1], rgb[3 * i], 0};
    paletteCount_ = count;
    chunkFlags_ |= kPaletteRead;
    chunkRemaining_ -= 3 * count;
    ReportProgress(0);
}

int TKMPNGReadStream::ColorValueBytes() const { return baseColorType_ == 0 ? 2 : 6; }

TColor TKMPNGReadStream::ReadColorValue(ChunkData& data) {
    auto sample = [this](uint16_t v) { return static_cast<uint8_t>(bitDepth_ == 16 ? v >> 8 : v & 0xFF); };
    if (baseColorType_ == 0) {
        const uint16_t raw = data.WordBE();
        uint8_t level = sample(raw);
        // Low-depth grey is stored as a level; the bitmap's palette spreads the levels over 0..255,
        // so the colour is spread the same way to name the pixels that really carry it.
        if (bitDepth_ == 1 || bitDepth_ == 2 || bitDepth_ == 4) {
            const int maxLevel = (1 << bitDepth_) - 1;
            level = static_cast<uint8_t>((raw & maxLevel) * (255 / maxLevel));
        }
        return RGBColor(level, level, level);
    }
    const uint8_t r = sample(data.WordBE());
    const uint8_t g = sample(data.WordBE());
    const uint8_t b = sample(data.WordBE());
    return RGBColor(r, g, b);
}

void TKMPNGReadStream::ReadBackground(ChunkData& data) {
    backgroundColor_ = baseColorType_ == 3 ? kPaletteIndexFlag | data.Byte() : ReadColorValue(data);
}

void TKMPNGReadStream::ReadTransparency(ChunkData& data) {
    if (baseColorType_ != 3) {
        transparentColor_ = ReadColorValue(data);
        return;
    }
    const int count = static_cast<int>(std::min<int64_t>(static_cast<int64_t>(data.size), paletteCount_));
    if (count <= 0) return;  // without palette entries there is nothing to make transparent
    std::memcpy(alphaTable_, data.p, static_cast<size_t>(count));
    transparentColor_ = kPaletteTablePending;
}

void TKMPNGReadStream::ReadText(const std::string& data) {
    const size_t zero = data.find('\0');
    const std::string keyword = data.substr(0, zero);
    if (keyword == "Comment" && zero != std::string::npos && zero + 1 < data.size()) {
        if (!comment_.empty()) comment_ += "\r\n";
        comment_.append(data, zero + 1, std::string::npos);
        comment_ += "\r\n";
    }
}

// ---- image data ----

void TKMPNGReadStream::PrepareImage() {
    const int d = bitDepth_;
    switch (baseColorType_) {
    case 0:
        if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16) throw EKMPNG("Read Header(PNG): Error Bitdepth");
        if (colorAlpha_) {
            if (d < 8) throw EKMPNG("Read Header(PNG): not Use AlphaChannel");
            outputBits_ = 8;
            conversion_ = d == 8 ? Conversion::GreyAlpha8 : Conversion::GreyAlpha16;
            fileBits_ = 2 * d;
        } else {
            outputBits_ = d == 2 ? 4 : std::min(d, 8);
            conversion_ = d == 2 ? Conversion::Grey2 : d == 16 ? Conversion::Grey16 : Conversion::Copy;
            fileBits_ = d;
        }
        break;
    case 2:
        if (d != 8 && d != 16) throw EKMPNG("Read Header(PNG): Error BitDepth");
        outputBits_ = 24;
        if (colorAlpha_)
            conversion_ = d == 8 ? Conversion::Rgba8 : Conversion::Rgba16;
        else
            conversion_ = d == 8 ? Conversion::Rgb8 : Conversion::Rgb16;
        fileBits_ = (colorAlpha_ ? 4 : 3) * d;
        sourceBits_ = 3 * d;
        break;
    default:  // palette
        if (d != 1 && d != 2 && d != 4 && d != 8) throw EKMPNG("Read Header(PNG): Error BitDepth");
        outputBits_ = d == 2 ? 4 : d;
        conversion_ = d == 2 ? Conversion::Grey2 : Conversion::Copy;
        fileBits_ = d;
        break;
    }
}

void TKMPNGReadStream::CreateBitmap() {
    if (greyscale_ && outputBits_ <= 8) paletteCount_ = FillGreyRamp(PaletteBuffer(), sourceBits_);
    if (transparentColor_ == kPaletteTablePending) {
        int zeros = 0, opaque = 0, zeroIndex = 0;
        for (int i = 0; i < 256; ++i) {
            if (alphaTable_[i] == 0) {
                ++zeros;
                zeroIndex = i;
            } else if (alphaTable_[i] == 255) {
                ++opaque;
            }
        }
        if (zeros == 1 && opaque == 255) {
            transparentColor_ = kPaletteIndexFlag | zeroIndex;
        } else {
            transparentColor_ = -1;
            paletteAlpha_ = true;
        }
    }
    TKMCustomGraphicReadStream::CreateBitmap();
    bitmapCreated_ = target_ != nullptr;
    if ((hasAlpha_ || paletteAlpha_) && AlphaTarget && target_) {
        TRGBQuad ramp[256];
        FillGreyRamp(ramp, 8);
        AlphaTarget->SetTransparent(false);
        AlphaTarget->SetTransparentColor(clNone);
        AlphaTarget->Allocate(pf8bit, width_, height_, CreatePaletteFromQuads(ramp, 256));
        alphaOutput_ = AlphaTarget;
    }
}

void TKMPNGReadStream::ReadImageData() {
    // Image data decode once, and only after a header.
    if ((chunkFlags_ & kImageDone) || !(chunkFlags_ & kHeaderRead)) return;
    PrepareImage();
    if (baseColorType_ == 3 && !(chunkFlags_ & kPaletteRead)) throw EKMPNG("Read Image (PNG): no PLTE before IDAT");
    if (!target_) {
        chunkFlags_ |= kImageDone;
        return;
    }
    // Deflate packs at most about 1032 bytes into one, so input too short to hold every row
    // would end in the read error anyway: fail before allocating for a header's empty promise.
    if (FilteredImageBytes() / 1032 > Budget() - Consumed() + 64) throw EKMPNG(kReadError);
    if (inflate_.StartInflate() != 0) throw EKMPNG("PNG LoadStream: Error ZLIB");
    try {
        CreateBitmap();
        const int64_t rawBytes = RowStride(width_, fileBits_) + 4;
        const int64_t convertedBytes = RowStride(width_, outputBits_) + 4;
        const int64_t alphaBytes = RowStride(width_, 8);
        rowBlock_ = std::make_unique<uint8_t[]>(static_cast<size_t>(2 * rawBytes + convertedBytes + alphaBytes));
        inflate_.currentRow = rowBlock_.get();
        inflate_.previousRow = rowBlock_.get() + rawBytes;
        convertedRow_ = inflate_.previousRow + rawBytes;
        alphaRow_ = convertedRow_ + convertedBytes;
        outputRowBytes_ = RowStride(width_, outputBits_);
        DecodeRows();
        if (baseColorType_ == 3 && !Exhausted() && !Stopped()) CheckPaletteIndexes();
        chunkFlags_ |= kImageDone;
    } catch (...) {
        inflate_.ResetInflate();
        inflate_.EndInflate();
        rowBlock_.reset();
        SetProgressPhase(0, 0, 0);
        throw;
    }
    inflate_.ResetInflate();
    inflate_.EndInflate();
    rowBlock_.reset();
    SetProgressPhase(0, 0, 0);
}

int TKMPNGReadStream::RefillInput() {
    // Empty image-data chunks are legal; step over them instead of asking for zero bytes.
    while (chunkRemaining_ <= 0) {
        CheckCriticalCrc();  // of the image-data chunk just used up
        const uint32_t length = ReadDWordBE();
        BeginChecksum();
        chunkType_ = ReadDWordBE();
        if (Exhausted() || Stopped() || chunkType_ != kIDAT) return -1;
        if (length > 0x7FFFFFFFu) throw EKMPNG("PNG LoadStream: Error Chunk Length (IDAT)");
        chunkRemaining_ = length;
    }
    const auto count = static_cast<uint32_t>(std::min<int64_t>(chunkRemaining_, InflateAdapter::kInputSize));
    ReadBytes(inflate_.InputBuffer(), count);
    if (Exhausted() || Stopped()) return -1;
    inflate_.SetInput(count);
    chunkRemaining_ -= count;
    return 0;
}

void TKMPNGReadStream::CheckPaletteIndexes() const {
    if (paletteCount_ >= (1 << outputBits_)) return;  // every index a row can hold has an entry
    for (int y = 0; y < height_; ++y) {
        const unsigned most = MaxPackedIndex(target_->ScanLine(y), width_, outputBits_);
        if (static_cast<int>(most) >= paletteCount_)
            throw EKMPNG("Read Image (PNG): palette index " + std::to_string(most) + " past the " +
                         std::to_string(paletteCount_) + "-entry PLTE");
    }
}

int64_t TKMPNGReadStream::FilteredImageBytes() const {
    const auto w = static_cast<uint32_t>(width_);
    const auto h = static_cast<uint32_t>(height_);
    const int lastPass = interlaceMethod_ == 1 ? 6 : 0;
    int64_t total = 0;
    for (int p = 0; p <= lastPass; ++p) {
        const uint32_t pw = lastPass == 0 ? w : PassWidth(p, w);
        const uint32_t ph = lastPass == 0 ? h : PassHeight(p, h);
        if (pw > 0 && ph > 0) total += int64_t{ph} * static_cast<int64_t>((uint64_t{pw} * fileBits_ + 7) / 8 + 1);
    }
    return total;
}

void TKMPNGReadStream::DecodeRows() {
    const auto w = static_cast<uint32_t>(width_);
    const auto h = static_cast<uint32_t>(height_);
    lastPass_ = interlaceMethod_ == 1 ? 6 : 0;
    int64_t totalRows = 0;
    for (int p = 0; p <= lastPass_; ++p) totalRows += lastPass_ == 0 ? h : (PassWidth(p, w) > 0 ? PassHeight(p, h) : 0);
    SetProgressPhase(1, static_cast<int>(totalRows), 98);

    const bool interlaced = lastPass_ != 0;
    const bool placeAlpha = colorAlpha_ && alphaOutput_;
    const int pixelBytes = outputBits_ == 24 ? 3 : 1;
    inflate_.bitsPerPixel = fileBits_;
    int rowCounter = 1;
    for (int p = 0; p <= lastPass_; ++p) {
        uint32_t passHeight = h, firstRow = 0, rowStep = 1;
        passWidth_ = w;
        startColumn_ = alphaStartColumn_ = 0;
        columnStep_ = alphaColumnStep_ = 1;
        if (interlaced) {
            passWidth_ = PassWidth(p, w);
            passHeight = PassHeight(p, h);
            firstRow = kPassRow[p];
            rowStep = kPassRowStep[p];
            alphaStartColumn_ = kPassCol[p];
            alphaColumnStep_ = kPassColStep[p];
            startColumn_ = alphaStartColumn_ * pixelBytes;
            columnStep_ = alphaColumnStep_ * pixelBytes;
        }
        if (passWidth_ == 0 || passHeight == 0) continue;
        inflate_.rowLength = static_cast<int32_t>((uint64_t{passWidth_} * fileBits_ + 7) / 8 + 1);
        std::memset(inflate_.previousRow, 0, static_cast<size_t>(inflate_.rowLength));
        for (uint32_t k = 0; k < passHeight; ++k) {
            const int y = static_cast<int>(firstRow + k * rowStep);
            if (inflate_.ReadRow() < 0) throw EKMPNG(kReadError);
            const uint8_t* raw = inflate_.currentRow + 1;
            if (!interlaced) {
                ConvertRow(raw, width_, target_->ScanLine(y), placeAlpha ? alphaOutput_->ScanLine(y) : alphaRow_);
            } else {
                ConvertRow(raw, static_cast<int>(passWidth_), convertedRow_, alphaRow_);
                PlaceRow(convertedRow_, target_->ScanLine(y), static_cast<int>(passWidth_));
                if (placeAlpha) {
                    uint8_t* alpha = alphaOutput_->ScanLine(y);
                    for (uint32_t i = 0; i < passWidth_; ++i)
                        alpha[alphaStartColumn_ + i * alphaColumnStep_] = alphaRow_[i];
                }
            }
            std::swap(inflate_.currentRow, inflate_.previousRow);
            if (rowCounter % 4 == 2 || height_ < 4) ReportProgress(rowCounter);
            ++rowCounter;
            if (Stopped()) break;
        }
        if (Exhausted() || Stopped()) break;
    }
}

void TKMPNGReadStream::ConvertRow(const uint8_t* src, int pixels, uint8_t* dest, uint8_t* alpha) const {
    const auto n = static_cast<size_t>(pixels);
    switch (conversion_) {
    case Conversion::Copy: std::memcpy(dest, src, (n * static_cast<size_t>(fileBits_) + 7) / 8); break;
    case Conversion::Grey2:
        // Two 2-bit values per output byte, each widened to a nibble.
        for (size_t j = 0; j < (n + 1) / 2; ++j) {
            const uint8_t v = src[j >> 1];
            dest[j] = (j & 1) ? static_cast<uint8_t>(((v >> 2) & 3) << 4 | (v & 3))
                              : static_cast<uint8_t>((v >> 6) << 4 | ((v >> 4) & 3));
        }
        break;
    case Conversion::Grey16:
        for (size_t i = 0; i < n; ++i) dest[i] = src[2 * i];
        break;
    case Conversion::GreyAlpha8:
        for (size_t i = 0; i < n; ++i) {
            dest[i] = src[2 * i];
            alpha[i] = static_cast<uint8_t>(255 - src[2 * i + 1]);
        }
        break;
    case Conversion::GreyAlpha16:
        for (size_t i = 0; i < n; ++i) {
            dest[i] = src[4 * i];
            alpha[i] = static_cast<uint8_t>(255 - src[4 * i + 2]);
        }
        break;
    case Conversion::Rgb8:
        for (size_t i = 0; i < n; ++i, src += 3, dest += 3) {
            dest[0] = src[2];
            dest[1] = src[1];
            dest[2] = src[0];
        }
        break;
    case Conversion::Rgb16:
        for (size_t i = 0; i < n; ++i, src += 6, dest += 3) {
            dest[0] = src[4];
            dest[1] = src[2];
            dest[2] = src[0];
        }
        break;
    case Conversion::Rgba8:
        for (size_t i = 0; i < n; ++i, src += 4, dest += 3) {
            dest[0] = src[2];
            dest[1] = src[1];
            dest[2] = src[0];
            alpha[i] = static_cast<uint8_t>(255 - src[3]);
        }
        break;
    case Conversion::Rgba16:
        for (size_t i = 0; i < n; ++i, src += 8, dest += 3) {
            dest[0] = src[4];
            dest[1] = src[2];
            dest[2] = src[0];
            alpha[i] = static_cast<uint8_t>(255 - src[6]);
        }
        break;
    }
}

void TKMPNGReadStream::PlaceRow(const uint8_t* converted, uint8_t* row, int pixels) const {
    uint32_t x = startColumn_;
    switch (outputBits_) {  // one loop per depth, so that each unpacks with constant shifts
    case 1:
        for (int k = 0; k < pixels; ++k, x += columnStep_)
            SetPackedIndex(row, static_cast<int>(x), 1, PackedIndex(converted, k, 1));
        break;
    case 4:
        for (int k = 0; k < pixels; ++k, x += columnStep_)
            SetPackedIndex(row, static_cast<int>(x), 4, PackedIndex(converted, k, 4));
        break;
    case 8:
        for (int k = 0; k < pixels; ++k, x += columnStep_) row[x] = converted[k];
        break;
    default:
        for (int k = 0; k < pixels; ++k, x += columnStep_) {
            row[x] = converted[3 * k];
            row[x + 1] = converted[3 * k + 1];
            row[x + 2] = converted[3 * k + 2];
        }
        break;
    }
}

void TKMPNGReadStream::BuildPaletteAlpha() {
    for (int y = 0; y < height_; ++y) {
        const uint8_t* row = target_->ScanLine(y);
        uint8_t* alpha = alphaOutput_->ScanLine(y);
        for (int x = 0; x < width_; ++x)
            alpha[x] = static_cast<uint8_t>(255 - alphaTable_[PackedIndex(row, x, outputBits_)]);
    }
    hasAlpha_ = true;
}
