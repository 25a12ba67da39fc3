// Encoding speed of the PNG writer on a 6000 × 4000 24-bit picture and a 6000 × 4000 8-bit
// palette picture, filter None, levels 0, 6 and 9, as ratios measured in the same run to
//   zlib: deflate alone over the same filtered rows (the floor), and
//   libpng: libpng writing the same pixels at the same level and filter.
// Counters: vs_zlib = our time / zlib's time; libpng_speedup = libpng's time / our time.
// Times are the thread's CPU time, so that other processes on a shared machine do not tilt
// the ratios; all three measurements are single-threaded.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <png.h>
#include <zlib.h>

#include "KMPNGStream.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

// Discards what it is given, like a fast disk.
class NullStream : public TStream {
public:
    int64_t bytes = 0;
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t count) override {
        bytes += count;
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return bytes; }
};

// Smooth gradients with a little noise: compressible, but not trivially. Bits 24 is direct
// colour, bits 8 indexes into a 256-entry palette.
void MakePicture(int bits, TBitmap& b) {
    std::vector<TPaletteEntry> palette;
    for (int i = 0; i < 256; ++i)
        palette.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(i * 7), static_cast<uint8_t>(255 - i), 0});
    b.Allocate(bits == 24 ? pf24bit : pf8bit, kWidth, kHeight, bits == 24 ? TPalette() : TPalette(palette));
    std::mt19937 rng(2005);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < kWidth; ++x) {
            const unsigned noise = rng() & 7;
            if (bits == 8) {
                row[x] = static_cast<uint8_t>((x / 16 + y / 16) * 3 + (noise & 3));
                continue;
            }
            row[3 * x] = static_cast<uint8_t>(x / 24 + noise);
            row[3 * x + 1] = static_cast<uint8_t>(y / 16 + noise);
            row[3 * x + 2] = static_cast<uint8_t>((x + y) / 40 + (noise >> 1));
        }
    }
}

const TBitmap& Picture(int bits) {
    static TBitmap truecolour, indexed;
    static const bool ready = (MakePicture(24, truecolour), MakePicture(8, indexed), true);
    (void)ready;
    return bits == 24 ? truecolour : indexed;
}

size_t RowLength(int bits) { return 1 + static_cast<size_t>(kWidth) * static_cast<size_t>(bits / 8); }

// The rows as the writer compresses them: filter byte 0, then red, green, blue (or the index).
std::vector<uint8_t> MakeFilteredRows(int bits) {
    const TBitmap& b = Picture(bits);
    const size_t len = RowLength(bits);
    std::vector<uint8_t> out(len * kHeight);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* o = &out[len * static_cast<size_t>(y)];
        const uint8_t* s = b.ScanLine(y);
        o[0] = 0;
        if (bits == 8) {
            std::memcpy(o + 1, s, kWidth);
            continue;
        }
        for (int x = 0; x < kWidth; ++x) {
            o[1 + 3 * x] = s[3 * x + 2];
            o[2 + 3 * x] = s[3 * x + 1];
            o[3 + 3 * x] = s[3 * x];
        }
    }
    return out;
}

const std::vector<uint8_t>& FilteredRows(int bits) {
    static const std::vector<uint8_t> truecolour = MakeFilteredRows(24), indexed = MakeFilteredRows(8);
    return bits == 24 ? truecolour : indexed;
}

double CpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Seconds(double start) { return CpuNow() - start; }

double TimeOurs(int bits, int level, int64_t& outBytes) {
    TBitmap& bmp = const_cast<TBitmap&>(Picture(bits));
    NullStream out;
    const double start = CpuNow();
    TKMPNGWriteStream writer;
    writer.CompressionLevel = level;
    writer.Filter = 1;
    writer.WriteGraphic(bmp, out);
    const double t = Seconds(start);
    outBytes = out.bytes;
    return t;
}

double TimeZlib(int bits, int level) {
    const auto& rows = FilteredRows(bits);
    const size_t len = RowLength(bits);
    std::vector<uint8_t> block(32768);
    const double start = CpuNow();
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    z.next_out = block.data();
    z.avail_out = static_cast<uInt>(block.size());
    for (int y = 0; y < kHeight; ++y) {
        z.next_in = const_cast<Bytef*>(&rows[len * static_cast<size_t>(y)]);
        z.avail_in = static_cast<uInt>(len);
        while (z.avail_in > 0) {
            deflate(&z, Z_NO_FLUSH);
            if (z.avail_out == 0) {
                benchmark::DoNotOptimize(block.data());
                z.next_out = block.data();
                z.avail_out = static_cast<uInt>(block.size());
            }
        }
    }
    while (deflate(&z, Z_FINISH) != Z_STREAM_END) {
        z.next_out = block.data();
        z.avail_out = static_cast<uInt>(block.size());
    }
    deflateEnd(&z);
    return Seconds(start);
}

void DiscardWrite(png_structp png, png_bytep data, png_size_t n) {
    benchmark::DoNotOptimize(data);
    *static_cast<int64_t*>(png_get_io_ptr(png)) += static_cast<int64_t>(n);
}
void NoFlush(png_structp) {}

double TimeLibpng(int bits, int level, int64_t& outBytes) {
    const TBitmap& bmp = Picture(bits);
    outBytes = 0;
    const double start = CpuNow();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return 0;
    }
    png_set_write_fn(png, &outBytes, DiscardWrite, NoFlush);
    png_set_compression_level(png, level);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, kWidth, kHeight, 8, bits == 24 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    if (bits == 8) {
        png_color palette[256];
        for (int i = 0; i < bmp.Palette().Count(); ++i)
            palette[i] = {bmp.Palette()[i].peRed, bmp.Palette()[i].peGreen, bmp.Palette()[i].peBlue};
        png_set_PLTE(png, info, palette, bmp.Palette().Count());
    }
    png_write_info(png, info);
    if (bits == 24) png_set_bgr(png);  // straight from the bitmap's rows, as our writer reads them
    for (int y = 0; y < kHeight; ++y) png_write_row(png, const_cast<png_bytep>(bmp.ScanLine(y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return Seconds(start);
}

void BM_PngWrite(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const int level = static_cast<int>(state.range(1));
    Picture(bits);
    FilteredRows(bits);
    double ours = 0, zlib = 0, libpng = 0;
    int64_t ourBytes = 0, libpngBytes = 0;
    for (auto _ : state) {
        const double t = TimeOurs(bits, level, ourBytes);
        state.SetIterationTime(t);
        ours += t;
        zlib += TimeZlib(bits, level);
        libpng += TimeLibpng(bits, level, libpngBytes);
    }
    state.counters["vs_zlib"] = ours / zlib;
    state.counters["libpng_speedup"] = libpng / ours;
    state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(kWidth) * kHeight * bits / 8 / 1e6 *
                                                    static_cast<double>(state.iterations()) / ours);
    state.counters["out_MB"] = static_cast<double>(ourBytes) / 1e6;
    state.counters["libpng_out_MB"] = static_cast<double>(libpngBytes) / 1e6;
}

}  // namespace

BENCHMARK(BM_PngWrite)
    ->ArgNames({"bits", "level"})
    ->Args({24, 0})
    ->Args({8, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
BENCHMARK(BM_PngWrite)
    ->ArgNames({"bits", "level"})
    ->Args({24, 6})
    ->Args({24, 9})
    ->Args({8, 6})
    ->Args({8, 9})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

BENCHMARK_MAIN();
