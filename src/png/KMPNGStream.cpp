#include "KMPNGStream.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "Checksums.h"
#include "ParallelDeflate.h"
#include "SFunc.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr TColor kPaletteIndexFlag = 0x1000000;

inline int GreyOf(int r, int g, int b) { return (r * 77 + g * 150 + b * 29) >> 8; }

// Blue, green, red (and a fourth byte) to red, green, blue for n pixels.
void SwapToRgbScalar(const uint8_t* s, uint8_t* o, int n, int bpp) {
    for (int i = 0; i < n; ++i, s += bpp, o += 3) {
        o[0] = s[2];
        o[1] = s[1];
        o[2] = s[0];
    }
}

#if defined(__x86_64__)
// 16 bytes in, 15 or 12 bytes of output per step; the stores run up to 4 bytes past the last
// pixel of the step, which the next step or the scalar tail overwrites.
__attribute__((target("ssse3"))) void SwapToRgbShuffle(const uint8_t* s, uint8_t* o, int n, int bpp) {
    int i = 0;
    if (bpp == 3) {
        const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
        for (; i + 6 <= n; i += 5)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 3 * i),
                             _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 3 * i)), order));
    } else {
        const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
        for (; i + 6 <= n; i += 4)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 3 * i),
                             _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i)), order));
    }
    SwapToRgbScalar(s + static_cast<size_t>(i) * bpp, o + 3 * i, n - i, bpp);
}

const bool kHasShuffle = __builtin_cpu_supports("ssse3");
#endif

void SwapToRgb(const uint8_t* s, uint8_t* o, int n, int bpp) {
#if defined(__x86_64__)
    if (kHasShuffle) return SwapToRgbShuffle(s, o, n, bpp);
#endif
    SwapToRgbScalar(s, o, n, bpp);
}

// The writer's one write-error text, with zlib's reason and where the stream stood.
EKMPNG DeflateFailure(int zlibStatus, const std::string& where) {
    const TFailureKind kind = zlibStatus == Z_MEM_ERROR ? TFailureKind::OutOfMemory : TFailureKind::Other;
    return EKMPNG("Write Image (PNG): Write Error", kind, 0, -1,
                  "zlib: " + std::string(zError(zlibStatus)) + " at " + where);
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

}  // namespace

TKMPNGWriteStream::TKMPNGWriteStream() {
    // Every full block of compressed data becomes one IDAT chunk.
    deflate_.OnBlock = [this](DeflateAdapter& adapter) {
        WriteChunk(ChunkType("IDAT"), adapter.BlockData(), adapter.BlockFill());
        return 0;
    };
}

TKMPNGWriteStream::~TKMPNGWriteStream() = default;

void TKMPNGWriteStream::SetIDATSize(int32_t value) {
    if (value < kMinIDATSize || value > kMaxIDATSize)
        throw EKMPNG("Write PNG Param: Err IDAT Size(min:256  max:100000)");
    idatSize_ = value;
}

void TKMPNGWriteStream::WriteChunk(uint32_t type, const void* data, int32_t length) {
    uint8_t typeBytes[4];
    PutDWordBE(typeBytes, type);
    WriteDWordBE(static_cast<uint32_t>(length));
    WriteDWordBE(type);
    uint32_t crc = ChunkCrc32(0, typeBytes, 4);
    if (data && length > 0) {
        WriteBuffer(data, length);
        crc = ChunkCrc32(crc, static_cast<const uint8_t*>(data), static_cast<size_t>(length));
    }
    WriteDWordBE(crc);
}

void TKMPNGWriteStream::Encode() {
    alphaSource_ = nullptr;
    hasAlpha_ = false;
    greyMode_ = false;
    plteCount_ = 0;
    const TBitmap& bmp = *Bitmap;
    const int width = bmp.Width(), height = bmp.Height();
    // A PNG header cannot describe an empty picture; refuse rather than write an unreadable file.
    if (width <= 0 || height <= 0) throw EKMPNG("Write Image (PNG): Empty Image");

    sourceDepth_ = PixelFormatToBits(bmp.PixelFormat());
    effectiveDepth_ = (sourceDepth_ == 15 || sourceDepth_ == 16) ? 24 : sourceDepth_;
    if (AlphaBitmap && AlphaBitmap != &bmp && !AlphaBitmap->Empty() && AlphaBitmap->Width() == width &&
        AlphaBitmap->Height() == height && AlphaBitmap->PixelFormat() == pf8bit)
        alphaSource_ = AlphaBitmap;

    BeginProgress();
    SetProgressPhase(10, 30);
    WriteBuffer(kSignature, sizeof kSignature);

    WriteHeader(width, height);
    WriteTime();
    WriteText("Comment", Comment);
    WriteText("Software", "KMPNG ver 1.0");
    static constexpr uint8_t kTpng[8] = {'K', 'M', 'P', '1', 0, 0, 0, 0};
    WriteChunk(ChunkType("tpNG"), kTpng, 8);
    if (GIFControl) {
        const auto& g = *GIFControl;
        if (g[0] != 0 || g[1] != 0 || g[2] != 0 || g[3] != 0) WriteChunk(ChunkType("gIFg"), g.data(), 4);
    }
    const double gamma = std::trunc(Gamma * 100000);
    if (gamma > 0 && gamma <= 0x7FFFFFFF) {
        uint8_t d[4];
        PutDWordBE(d, static_cast<uint32_t>(gamma));
        WriteChunk(ChunkType("gAMA"), d, 4);
    }
    if (Chromaticities && ((*Chromaticities)[0] != 0 || (*Chromaticities)[1] != 0)) {
        uint8_t d[32];
        for (int i = 0; i < 8; ++i) PutDWordBE(d + 4 * i, (*Chromaticities)[static_cast<size_t>(i)]);
        WriteChunk(ChunkType("cHRM"), d, 32);
    }
    int32_t sbit = SignificantBits;
    if (sourceDepth_ == 15)
        sbit = 0x050505 | (hasAlpha_ ? 0x08000000 : 0);
    else if (sourceDepth_ == 16)
        sbit = 0x050605 | (hasAlpha_ ? 0x08000000 : 0);
    if (sbit > 0 && !greyMode_) {
        const uint8_t d[4] = {static_cast<uint8_t>(sbit), static_cast<uint8_t>(sbit >> 8),
                              static_cast<uint8_t>(sbit >> 16), static_cast<uint8_t>(sbit >> 24)};
        WriteChunk(ChunkType("sBIT"), d, hasAlpha_ ? 4 : 3);
    }
    if (effectiveDepth_ <= 8 && !greyMode_) {
        TRGBQuad quads[256];
        int n = PaletteToQuads(bmp.PaletteHandle(), quads);
        // A palette image needs a PLTE to be readable at all: without one, use the grey ramp.
        if (n <= 0) n = FillGreyRamp(quads, effectiveDepth_);
        // Entries beyond what the bit depth can index make the file invalid.
        n = std::min(n, 1 << effectiveDepth_);
        uint8_t d[256 * 3];
        for (int i = 0; i < n; ++i) {
            d[3 * i] = quads[i].rgbRed;
            d[3 * i + 1] = quads[i].rgbGreen;
            d[3 * i + 2] = quads[i].rgbBlue;
        }
        plteCount_ = n;
        WriteChunk(ChunkType("PLTE"), d, 3 * n);
    }
    WriteColorChunk(ChunkType("bKGD"), BackgroundColor);
    if (!hasAlpha_) WriteColorChunk(ChunkType("tRNS"), TransparentColor);
    WritePhysics();
    ReportProgress(10);

    if (!Stopped()) WriteImageData(width, height);
    if (!Stopped()) {
        WriteChunk(ChunkType("IEND"), nullptr, 0);
        EndProgress();
    }
}

void TKMPNGWriteStream::WriteHeader(int width, int height) {
    int depth = 8, colourType = 2;
    if (effectiveDepth_ <= 8) {
        depth = effectiveDepth_;
        outputBits_ = depth;
        colourType = Grayscale ? 0 : 3;
        if (Grayscale && depth == 8 && alphaSource_) {
            colourType = 4;
            outputBits_ = 16;
            hasAlpha_ = true;
        }
    } else if (!Grayscale) {
        hasAlpha_ = alphaSource_ != nullptr;
        colourType = hasAlpha_ ? 6 : 2;
        outputBits_ = hasAlpha_ ? 32 : 24;
    } else {
        effectiveDepth_ = 8;
        hasAlpha_ = alphaSource_ != nullptr;
        colourType = hasAlpha_ ? 4 : 0;
        outputBits_ = hasAlpha_ ? 16 : 8;
    }
    greyMode_ = Grayscale;

    uint8_t d[13];
    PutDWordBE(d, static_cast<uint32_t>(width));
    PutDWordBE(d + 4, static_cast<uint32_t>(height));
    d[8] = static_cast<uint8_t>(depth);
    d[9] = static_cast<uint8_t>(colourType);
    d[10] = 0;
    d[11] = 0;
    d[12] = Interlaced != 0 ? 1 : 0;
    WriteChunk(ChunkType("IHDR"), d, 13);
    deflate_.BitsPerPixel = outputBits_;
    deflate_.SourceDepth = effectiveDepth_;
}

void TKMPNGWriteStream::WriteTime() {
    TKMPNGTime t;
    if (UseCurrentTime)
        t = KMPNGCurrentTime();
    else if (ModificationTime)
        t = *ModificationTime;
    else
        return;
    if (t.Year == 0 || t.Month < 1 || t.Month > 12 || t.Day < 1 || t.Day > 31 || t.Hour > 23 || t.Minute > 59 ||
        t.Second > 60)
        return;
    uint8_t d[7];
    PutWordBE(d, t.Year);
    d[2] = t.Month;
    d[3] = t.Day;
    d[4] = t.Hour;
    d[5] = t.Minute;
    d[6] = t.Second;
    WriteChunk(ChunkType("tIME"), d, 7);
}

void TKMPNGWriteStream::WriteText(const std::string& keyword, const std::string& text) {
    if (text.empty() || keyword.size() >= 80) return;
    if (text.size() > static_cast<size_t>(INT32_MAX) - 81) return;  // no chunk can hold it
    std::string data = keyword;
    data.push_back('\0');
    data += text;
    WriteChunk(ChunkType("tEXt"), data.data(), static_cast<int32_t>(data.size()));
}

void TKMPNGWriteStream::WriteColorChunk(uint32_t type, TColor color) {
    if (color == -1) return;
    uint8_t d[256];
    if (greyMode_) {
        if ((color & kPaletteIndexFlag) && sourceDepth_ <= 8) {
            color = PaletteEntryColor(Bitmap->PaletteHandle(), color & 0xFF);
            if (color == -1) return;  // no such entry: there is no colour to write
        }
        const int g = GreyOf(GetRValue(color), GetGValue(color), GetBValue(color));
        const int level = sourceDepth_ == 1 ? (g >= 128 ? 1 : 0) : sourceDepth_ == 4 ? g / 16 : g;
        PutWordBE(d, static_cast<uint16_t>(level));
        WriteChunk(type, d, 2);
    } else if (sourceDepth_ <= 8) {
        const int index = (color & kPaletteIndexFlag) ? (color & 0xFF)
                                                      : NearestPaletteIndex(Bitmap->PaletteHandle(), color & 0xFFFFFF);
        // An index past the written palette would make the chunk invalid.
        if (index < 0 || index >= plteCount_) return;
        if (type == ChunkType("bKGD")) {
            d[0] = static_cast<uint8_t>(index);
            WriteChunk(type, d, 1);
        } else {
            std::memset(d, 255, static_cast<size_t>(index));  // entries before it stay opaque
            d[index] = 0;
            WriteChunk(type, d, index + 1);
        }
    } else {
        PutWordBE(d, GetRValue(color));
        PutWordBE(d + 2, GetGValue(color));
        PutWordBE(d + 4, GetBValue(color));
        WriteChunk(type, d, 6);
    }
}

void TKMPNGWriteStream::WritePhysics() {
    if (PhysX <= 0 || PhysY <= 0 || PhysUnit > 2) return;  // other units have no meaning in PNG
    uint32_t x = static_cast<uint32_t>(PhysX), y = static_cast<uint32_t>(PhysY);
    uint8_t unit = PhysUnit;
    if (unit == 2) {
        // A density above what PNG can state per metre is stated as the most it can: the
        // conversion of an out-of-range double would be undefined.
        auto toMetre = [](int32_t v) {
            return static_cast<uint32_t>(std::min(std::trunc(v * 100.0 / 254 * 100), double{0x7FFFFFFF}));
        };
        x = toMetre(PhysX);
        y = toMetre(PhysY);
        unit = 1;
    }
    uint8_t d[9];
    PutDWordBE(d, x);
    PutDWordBE(d + 4, y);
    d[8] = unit;
    WriteChunk(ChunkType("pHYs"), d, 9);
}

void TKMPNGWriteStream::BuildGreyMap() {
    std::memset(greyMap_, 0, sizeof greyMap_);
    TRGBQuad quads[256] = {};
    const int n = PaletteToQuads(Bitmap->PaletteHandle(), quads);
    if (n <= 0) {
        for (int i = 0; i < (1 << sourceDepth_); ++i) greyMap_[i] = static_cast<uint8_t>(i);
        return;
    }
    auto weighted = [&](int i) { return quads[i].rgbRed * 77 + quads[i].rgbGreen * 150 + quads[i].rgbBlue * 29; };
    if (sourceDepth_ == 1) {
        // 255 marks inverted bits, so that a set bit is always the brighter entry.
        greyMap_[0] = (weighted(0) >> 8) > (weighted(1) >> 8) ? 255 : 0;
    } else {
        const int shift = sourceDepth_ == 4 ? 12 : 8;
        for (int i = 0; i < n; ++i) greyMap_[i] = static_cast<uint8_t>(weighted(i) >> shift);
    }
}

void TKMPNGWriteStream::PackRow(const uint8_t* src, const uint8_t* alpha, uint8_t* out, const Pass& p,
                                bool whole) const {
    const int n = p.width;
    const int x0 = p.firstColumn, dx = p.columnStep;
    switch (sourceDepth_) {
    case 1: {
        const int bytes = (n + 7) / 8;
        if (whole) {
            std::memcpy(out, src, static_cast<size_t>(bytes));
        } else {
            std::memset(out, 0, static_cast<size_t>(bytes));
            for (int i = 0, x = x0; i < n; ++i, x += dx) SetPackedIndex(out, i, 1, PackedIndex(src, x, 1));
        }
        if (greyMode_ && greyMap_[0] == 255)
            for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(~out[i]);
        return;
    }
    case 4: {
        const int bytes = (n + 1) / 2;
        if (whole) {
            std::memcpy(out, src, static_cast<size_t>(bytes));
        } else {
            std::memset(out, 0, static_cast<size_t>(bytes));
            for (int i = 0, x = x0; i < n; ++i, x += dx) SetPackedIndex(out, i, 4, PackedIndex(src, x, 4));
        }
        if (greyMode_)
            for (int i = 0; i < bytes; ++i)
                out[i] = static_cast<uint8_t>((greyMap_[out[i] >> 4] << 4) | greyMap_[out[i] & 15]);
        return;
    }
    case 8:
        if (!greyMode_) {
            if (whole)
                std::memcpy(out, src, static_cast<size_t>(n));
            else
                for (int i = 0, x = x0; i < n; ++i, x += dx) out[i] = src[x];
        } else if (hasAlpha_) {
            for (int i = 0, x = x0; i < n; ++i, x += dx) {
                out[2 * i] = greyMap_[src[x]];
                out[2 * i + 1] = static_cast<uint8_t>(~alpha[x]);
            }
        } else {
            for (int i = 0, x = x0; i < n; ++i, x += dx) out[i] = greyMap_[src[x]];
        }
        return;
    case 15:
    case 16: {
        if (!wordRgb_.empty()) {
            // One lookup and one 4-byte store a pixel; the spare byte is overwritten by the
            // next pixel, and the row buffers have room behind the last.
            const auto* words = reinterpret_cast<const uint8_t*>(src);
            for (int i = 0, x = x0; i < n; ++i, x += dx, out += 3) {
                const uint32_t v = wordRgb_[static_cast<size_t>(words[2 * x] | (words[2 * x + 1] << 8))];
                std::memcpy(out, &v, 4);
            }
            return;
        }
        const TPixelFormat format = sourceDepth_ == 16 ? pf16bit : pf15bit;
        for (int i = 0, x = x0; i < n; ++i, x += dx) {
            const TColor c = WordColor(src[2 * x] | (src[2 * x + 1] << 8), format);
            const uint8_t r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
            if (greyMode_) {
                *out++ = static_cast<uint8_t>(GreyOf(r, g, b));
            } else {
                *out++ = r;
                *out++ = g;
                *out++ = b;
            }
            if (hasAlpha_) *out++ = static_cast<uint8_t>(~alpha[x]);
        }
        return;
    }
    default: {
        const int bpp = sourceDepth_ == 32 ? 4 : 3;
        const uint8_t* s = src + static_cast<size_t>(x0) * bpp;
        const size_t step = static_cast<size_t>(dx) * bpp;
        if (greyMode_) {
            for (int i = 0, x = x0; i < n; ++i, x += dx, s += step) {
                *out++ = static_cast<uint8_t>(GreyOf(s[2], s[1], s[0]));
                if (hasAlpha_) *out++ = static_cast<uint8_t>(~alpha[x]);
            }
        } else if (hasAlpha_) {
            for (int i = 0, x = x0; i < n; ++i, x += dx, s += step) {
                out[4 * i] = s[2];
                out[4 * i + 1] = s[1];
                out[4 * i + 2] = s[0];
                out[4 * i + 3] = static_cast<uint8_t>(~alpha[x]);
            }
        } else if (dx == 1) {
            SwapToRgb(s, out, n, bpp);
        } else {
            for (int i = 0; i < n; ++i, s += step) {
                out[3 * i] = s[2];
                out[3 * i + 1] = s[1];
                out[3 * i + 2] = s[0];
            }
        }
        return;
    }
    }
}

void TKMPNGWriteStream::WriteImageData(int width, int height) {
    // One 32-byte aligned block: current, previous, chosen and candidate rows, then the counters.
    const size_t rowBuffer = static_cast<size_t>((RowStride(width, outputBits_) + 39) / 32) * 32;
    std::unique_ptr<uint8_t, FreeDeleter> block(
        static_cast<uint8_t*>(std::aligned_alloc(32, 4 * rowBuffer + 256 * sizeof(uint32_t))));
    if (!block) throw EOutOfResources("Write Image (PNG): Out of memory");
    deflate_.CurrentRow = block.get();
    deflate_.PreviousRow = block.get() + rowBuffer;
    deflate_.ChosenRow = block.get() + 2 * rowBuffer;
    deflate_.CandidateRow = block.get() + 3 * rowBuffer;
    deflate_.Counts = reinterpret_cast<uint32_t*>(block.get() + 4 * rowBuffer);

    if (greyMode_ && sourceDepth_ <= 8) BuildGreyMap();
    wordRgb_.clear();
    if ((sourceDepth_ == 15 || sourceDepth_ == 16) && !greyMode_ && !hasAlpha_) {
        const TPixelFormat format = sourceDepth_ == 16 ? pf16bit : pf15bit;
        wordRgb_.resize(65536);
        static_assert(std::endian::native == std::endian::little, "a colour value is R, G, B in memory order");
        for (uint32_t w = 0; w < 65536; ++w) wordRgb_[w] = static_cast<uint32_t>(WordColor(w, format));
    }
    // A stream that cannot start or finish would leave a file without its image data.
    const int32_t level = CompressionLevel >= 0 && CompressionLevel <= 9 ? CompressionLevel : -1;
    if (deflate_.StartDeflate(level, idatSize_) != 0) throw DeflateFailure(deflate_.ZlibStatus, "start");
    deflate_.FilterMode = Filter;

    const int w = width, h = height;
    Pass passes[7];
    int passCount = 0;
    int totalRows = h;
    if (Interlaced == 0) {
        passes[passCount++] = {0, 1, 0, 1, w, h};
    } else {
        const Pass adam7[7] = {{0, 8, 0, 8, (w + 7) / 8, (h + 7) / 8},
                               {0, 8, 4, 8, (w + 3) / 8, (h + 7) / 8},
                               {4, 8, 0, 4, (w + 3) / 4, (h + 3) / 8},
                               {0, 4, 2, 4, (w + 1) / 4, (h + 3) / 4},
                               {2, 4, 0, 2, (w + 1) / 2, (h + 1) / 4},
                               {0, 2, 1, 2, w / 2, (h + 1) / 2},
                               {1, 2, 0, 1, w, h / 2}};
        for (const Pass& p : adam7)
            if (p.width > 0 && p.rows > 0) passes[passCount++] = p;
        totalRows = 2 * ((h + 7) / 8) + (h + 3) / 4 + (h + 1) / 2;
        if (h >= 5) totalRows += (h + 3) / 8;
        if (h >= 3) totalRows += (h + 1) / 4;
        if (h >= 2) totalRows += h / 2;
    }
    SetProgressPhase(totalRows, 0);

    const TBitmap& bmp = *Bitmap;
    if (Interlaced == 0 && Threads > 1 && level != 0 && DeflateBands(width, height, level, rowBuffer)) return;
    try {
        int r = 1;
        bool stop = false;
        for (int pi = 0; pi < passCount && !stop; ++pi) {
            const Pass& p = passes[pi];
            const bool whole = p.columnStep == 1;
            deflate_.RowLength = (p.width * outputBits_ + 7) / 8 + 1;
            std::memset(deflate_.PreviousRow, 0, static_cast<size_t>(deflate_.RowLength));
            for (int k = 0, y = p.firstRow; k < p.rows; ++k, y += p.rowStep) {
                const bool inPlace = deflate_.PacksInPlace();
                PackRow(bmp.ScanLine(y), hasAlpha_ ? alphaSource_->ScanLine(y) : nullptr,
                        inPlace ? deflate_.InPlaceRow() : deflate_.CurrentRow, p, whole);
                const int32_t result = inPlace ? deflate_.CompressInPlaceRow() : deflate_.FilterAndCompressRow();
                if (result < 0) throw DeflateFailure(result, "row " + std::to_string(r));
                std::swap(deflate_.CurrentRow, deflate_.PreviousRow);
                if (r % 4 == 2 || h < 4) ReportProgress(r);
                ++r;
                if (Stopped()) {
                    stop = true;
                    break;
                }
            }
        }
    } catch (...) {
        try {
            deflate_.FinishDeflate();
        } catch (...) {  // the first failure is the one to report
        }
        deflate_.EndDeflate();
        throw;
    }
    const int32_t finished = deflate_.FinishDeflate();
    deflate_.EndDeflate();
    if (finished != 0) throw DeflateFailure(deflate_.ZlibStatus, "end");
}

bool TKMPNGWriteStream::DeflateBands(int width, int height, int32_t level, size_t rowBuffer) {
    const TBitmap& bmp = *Bitmap;
    const Pass whole{0, 1, 0, 1, width, height};
    TRowBands rows;
    rows.Rows = height;
    rows.RowLength = (width * outputBits_ + 7) / 8 + 1;
    rows.RowBuffer = rowBuffer;
    rows.BitsPerPixel = deflate_.BitsPerPixel;
    rows.FilterMode = Filter;
    rows.SourceDepth = deflate_.SourceDepth;
    rows.Pack = [&](int32_t y, uint8_t* out) {
        PackRow(bmp.ScanLine(y), hasAlpha_ ? alphaSource_->ScanLine(y) : nullptr, out, whole, true);
    };
    rows.Progress = [this](int32_t done) { ReportProgress(done); };
    bool done = false;
    try {
        done = DeflateRowBands(rows, level, Threads, deflate_);
    } catch (...) {
        deflate_.EndDeflate();
        throw;
    }
    if (done) deflate_.EndDeflate();
    return done;
}
