// Decoding the 24-megapixel camera-like JPEG through the photo layer (file read, decode into a
// bitmap, metadata) against `djpeg -bmp` decoding the same file to a BMP file, timed in the
// same iterations; "vs_djpeg" is the ratio of the two.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "CameraJpeg.h"
#include "PhotoDecode.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Fixture {
    fs::path dir, jpeg;
    Fixture() {
        dir = fs::temp_directory_path() / ("kirimark-photo-bench-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        jpeg = dir / "camera.jpg";
        WriteCameraJpeg(jpeg.string());
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

double RunDjpeg(const Fixture& f) {
    const std::string out = (f.dir / "djpeg.bmp").string(), in = f.jpeg.string();
    const char* argv[] = {"djpeg", "-bmp", "-outfile", out.c_str(), in.c_str(), nullptr};
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "djpeg", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        throw std::runtime_error("cannot start djpeg");
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("djpeg failed");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_PhotoJpegRead(benchmark::State& state) {
    static Fixture f;
    double ours = 0, floor = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        TBitmap bmp;
        PhotoMetadata meta;
        LoadPhotoFile(f.jpeg.string(), bmp, meta);
        benchmark::DoNotOptimize(bmp.Bits());
        ours += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (bmp.Width() != kCameraWidth || meta.exif.empty()) state.SkipWithError("wrong decode");
        try {
            floor += RunDjpeg(f);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
    }
    state.counters["vs_djpeg"] = ours / floor;
    state.counters["djpeg_ms"] = 1000 * floor / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PhotoJpegRead)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
