// Decoding speed of the PNG reader on a 6000 × 4000 truecolour file and a 6000 × 4000 8-bit
// palette file, both written by libpng at level 6 (its own filter choice), as a ratio
// measured in the same run to libpng decoding the same bytes into its stored rows.
// Counters: vs_libpng = our time / libpng's time (below 1 means faster than libpng).
#include <chrono>
#include <csetjmp>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <png.h>

#include "Classes.h"
#include "KMPNG.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

void WriteToVector(png_structp png, png_bytep data, png_size_t n) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

void NoFlush(png_structp) {}

// Smooth gradients with a little noise, written by libpng at level 6: truecolour (bits 24) or
// indexed with a 256-entry palette (bits 8).
std::vector<uint8_t> MakeFile(int bits) {
    const size_t channels = bits == 24 ? 3 : 1;
    std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * channels);
    std::mt19937 rng(2005);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = pixels.data() + static_cast<size_t>(y) * kWidth * channels;
        for (int x = 0; x < kWidth; ++x) {
            const unsigned noise = rng() & 7;
            if (channels == 1) {
                row[x] = static_cast<uint8_t>((x / 16 + y / 16) * 3 + (noise & 3));
                continue;
            }
            row[3 * x] = static_cast<uint8_t>(x / 24 + noise);
            row[3 * x + 1] = static_cast<uint8_t>(y / 16 + noise);
            row[3 * x + 2] = static_cast<uint8_t>((x + y) / 40 + (noise >> 1));
        }
    }
    std::vector<png_bytep> rows(kHeight);
    for (int y = 0; y < kHeight; ++y) rows[y] = pixels.data() + static_cast<size_t>(y) * kWidth * channels;
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) std::abort();
    png_set_write_fn(png, &out, WriteToVector, NoFlush);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, kWidth, kHeight, 8, channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[256];
    for (int i = 0; i < 256; ++i)
        palette[i] = {static_cast<png_byte>(i), static_cast<png_byte>(i * 7), static_cast<png_byte>(255 - i)};
    if (channels == 1) png_set_PLTE(png, info, palette, 256);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

const std::vector<uint8_t>& File(int bits) {
    static const std::vector<uint8_t> truecolour = MakeFile(24), indexed = MakeFile(8);
    return bits == 24 ? truecolour : indexed;
}

struct Cursor {
    const uint8_t* data;
    size_t pos, size;
};

void ReadFromCursor(png_structp png, png_bytep out, png_size_t n) {
    auto* c = static_cast<Cursor*>(png_get_io_ptr(png));
    if (c->pos + n > c->size) png_error(png, "short");
    std::memcpy(out, c->data + c->pos, n);
    c->pos += n;
}

// libpng's plain path: the stored RGB rows into one block.
bool LibpngDecode(const std::vector<uint8_t>& file, std::vector<uint8_t>& pixels, std::vector<png_bytep>& rows) {
    Cursor cursor{file.data(), 0, file.size()};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &cursor, ReadFromCursor);
    png_read_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    pixels.resize(rowBytes * h);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = pixels.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_PngRead(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const std::vector<uint8_t>& file = File(bits);
    double ours = 0, libpng = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        {
            TMemoryStream stream{std::vector<uint8_t>(file)};
            const auto copied = std::chrono::steady_clock::now();
            TKMPNG png;
            png.LoadFromStream(stream);
            benchmark::DoNotOptimize(png.Bitmap.Bits());
            const double t = Seconds(copied);
            ours += t;
            state.SetIterationTime(t);
        }
        start = std::chrono::steady_clock::now();
        {
            std::vector<uint8_t> pixels;
            std::vector<png_bytep> rows;
            if (!LibpngDecode(file, pixels, rows)) state.SkipWithError("libpng failed");
            benchmark::DoNotOptimize(pixels.data());
        }
        libpng += Seconds(start);
    }
    state.counters["vs_libpng"] = ours / libpng;
    state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(kWidth) * kHeight * bits / 8 / 1e6 *
                                                    static_cast<double>(state.iterations()) / ours);
    state.counters["file_MB"] = static_cast<double>(file.size()) / 1e6;
}

}  // namespace

BENCHMARK(BM_PngRead)->ArgName("bits")->Arg(24)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
