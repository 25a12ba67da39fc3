// The whole work on one big picture: load a 6000 × 4000 24-bit BMP, stamp it, save it as JPEG
// at quality 100 (safely: temporary file, flushed, renamed into place). The floor it is
// measured against is libjpeg's own float-DCT compression of the same pixels to a file, timed
// in the same iterations; the "vs_libjpeg" counter is the ratio of the two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include <jpeglib.h>
#include <unistd.h>

#include "Graphics.h"
#include "Pipeline.h"
#include "setting_common.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

struct Fixture {
    std::filesystem::path dir;
    std::string bmp;
    std::vector<uint8_t> rgb;  // the same pixels, R G B, top row first

    Fixture() {
        dir = std::filesystem::temp_directory_path() / ("kirimark-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        bmp = (dir / "big.bmp").string();
        // A smooth picture with noise on top, as a photograph of a scene would be.
        TBitmap picture;
        picture.Allocate(pf24bit, kWidth, kHeight);
        std::mt19937 rng(20051);
        std::uniform_int_distribution<int> noise(-24, 24);
        rgb.resize(static_cast<size_t>(kWidth) * kHeight * 3);
        for (int y = 0; y < kHeight; ++y) {
            uint8_t* row = picture.ScanLine(y);
            uint8_t* out = &rgb[static_cast<size_t>(y) * kWidth * 3];
            for (int x = 0; x < kWidth; ++x) {
                auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
                const uint8_t r = clamp(40 + x * 180 / kWidth + noise(rng));
                const uint8_t g = clamp(60 + y * 150 / kHeight + noise(rng));
                const uint8_t b = clamp(200 - (x + y) * 120 / (kWidth + kHeight) + noise(rng));
                row[3 * x] = b;
                row[3 * x + 1] = g;
                row[3 * x + 2] = r;
                out[3 * x] = r;
                out[3 * x + 1] = g;
                out[3 * x + 2] = b;
            }
        }
        picture.SaveToFile(bmp);
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Fixture& TheFixture() {
    static Fixture f;
    return f;
}

// libjpeg alone: the recipe of the pipeline (RGB in, defaults, float DCT, quality with
// baseline tables, rows top to bottom) written to a file.
void ReferenceCompress(const std::vector<uint8_t>& rgb, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot create " + path);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    cinfo.dct_method = JDCT_FLOAT;
    jpeg_set_quality(&cinfo, 100, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPLE*>(&rgb[cinfo.next_scanline * static_cast<size_t>(kWidth) * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

void BM_LibjpegFloatDct(benchmark::State& state) {
    Fixture& f = TheFixture();
    const std::string out = (f.dir / "reference.jpg").string();
    for (auto _ : state) ReferenceCompress(f.rgb, out);
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_StampAndSaveJpeg(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    Fixture& f = TheFixture();
    const std::string reference = (f.dir / "reference.jpg").string();
    Settings settings;
    InitSettings(settings);
    settings.ImageQuality = 10;  // JPEG quality 100
    settings.SaveFormat = 0;
    double ours = 0, floor = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        ReferenceCompress(f.rgb, reference);
        const auto t1 = Clock::now();
        TPicture work;
        benchmark::DoNotOptimize(LoadImage(work, f.bmp, settings));
        const auto t2 = Clock::now();
        floor += std::chrono::duration<double>(t1 - t0).count();
        ours += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
    }
    state.counters["vs_libjpeg"] = ours / floor;
    state.counters["libjpeg_ms"] = 1000 * floor / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

}  // namespace

BENCHMARK(BM_LibjpegFloatDct)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StampAndSaveJpeg)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

BENCHMARK_MAIN();
