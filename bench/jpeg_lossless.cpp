// Lossless JPEG stamping of a 24-megapixel camera-like photo (6000 × 4000, 4:2:0, quality 92,
// textured and noisy, with an EXIF block) against what `jpegtran -copy all` does to the same
// file, in the same iterations. Every figure is the best of the iterations for each side, so
// that a neighbour's burst of work on a shared machine does not tilt a ratio; the *_cpu
// counters compare processor time, which a busy machine disturbs less.
//   BM_LosslessInProcess: the engine, from the file's bytes in memory, against libjpeg doing jpegtran's
//     work (read the coefficients, copy the critical parameters and every marker, write the
//     coefficients); both write into a sink that drops the bytes. vs_jpegtran is the ratio.
//     Where the cost is: decode_share is reading the coefficients alone over jpegtran's work;
//     libjpeg_stats_vs_jpegtran is the engine with libjpeg's own Huffman statistics pass
//     instead of ours; jpegtran_optimize_vs_jpegtran is jpegtran's work with -optimize.
//   BM_LosslessProcess: the `jpegtran` program against jpeg_lossless_driver, file to file, one
//     process each: vs_jpegtran; vs_jpegtran_net with each program's time on a tiny file (its
//     fixed start-up) taken off both; peak_vs_jpegtran for peak resident memory.
//   BM_LosslessProgram: the same figures for `kirimark --stamp` itself (settings, text layer,
//     metadata, safe file writing) on the photo benchmarks' camera JPEG (CameraJpeg.h).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <jpeglib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CameraJpeg.h"
#include "Classes.h"
#include "JpegLossless.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 6000, kHeight = 4000, kQuality = 92;

// A photograph-like picture: broad gradients, texture at a few scales and sensor noise,
// compressed as a camera would (4:2:0, quality 92, EXIF first); and a tiny one.
void MakePhoto(const std::string& path, int width, int height) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot create " + path);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, kQuality, TRUE);  // 2 × 2 luma sampling is libjpeg's default
    cinfo.write_JFIF_header = FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> exif(24 * 1024, 0);  // camera data and a thumbnail, as far as size goes
    const char header[] = "Exif\0\0MM\0*\0\0\0\x08";
    std::copy(header, header + 14, exif.begin());
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
    std::mt19937 rng(92);
    std::uniform_int_distribution<int> noise(-16, 16);
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        const double y = cinfo.next_scanline;
        for (int x = 0; x < width; ++x) {
            const double base = 110 + 70 * std::sin(x * 0.0011 + y * 0.0007) +
                                30 * std::sin(x * 0.013) * std::cos(y * 0.017) + 18 * std::sin((x + y) * 0.09);
            for (int k = 0; k < 3; ++k) {
                const double v =
                    base * (0.8 + 0.2 * k) - 20 * k + 25 * std::sin(x * 0.002 * (k + 1) - y * 0.003) + noise(rng);
                row[3 * static_cast<size_t>(x) + k] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
            }
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

struct Fixture {
    fs::path dir;
    std::string photo, tiny, camera;
    Fixture() {
        dir = fs::temp_directory_path() / ("kirimark-lossless-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        photo = (dir / "photo.jpg").string();
        tiny = (dir / "tiny.jpg").string();
        camera = (dir / "camera.jpg").string();
        // The program's run takes its settings from the options alone.
        ::setenv("KIRIMARK_SETTINGS_FILE", (dir / "none.ini").c_str(), 1);
        // Made by a child: a started program's peak memory counts from its parent's at the
        // start, which must therefore not have held the picture.
        const pid_t pid = ::fork();
        if (pid == 0) {
            try {
                MakePhoto(photo, kWidth, kHeight);
                MakePhoto(tiny, 16, 16);
                WriteCameraJpeg(camera);
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error("cannot make the photos");
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

Fixture& TheFixture() {
    static Fixture f;
    return f;
}

struct Cost {
    double seconds = 1e30, cpuSeconds = 1e30;
    void Keep(double s, double cpu) {
        seconds = std::min(seconds, s);
        cpuSeconds = std::min(cpuSeconds, cpu);
    }
};

double ProcessCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class F>
void Measure(Cost& cost, F&& work) {
    const double c0 = ProcessCpu();
    const auto t0 = std::chrono::steady_clock::now();
    work();
    const auto t1 = std::chrono::steady_clock::now();
    cost.Keep(std::chrono::duration<double>(t1 - t0).count(), ProcessCpu() - c0);
}

class NullStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t count) override {
        size_ += count;
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return size_; }

private:
    int64_t size_ = 0;
};

// A libjpeg destination that drops the bytes, with the engine's buffer size.
struct NullDestination {
    jpeg_destination_mgr pub;
    std::vector<JOCTET> buffer = std::vector<JOCTET>(256 * 1024);
    NullDestination() {
        pub.init_destination = [](j_compress_ptr c) { Reset(c); };
        pub.empty_output_buffer = [](j_compress_ptr c) -> boolean {
            Reset(c);
            return TRUE;
        };
        pub.term_destination = [](j_compress_ptr) {};
    }
    static void Reset(j_compress_ptr c) {
        auto* d = reinterpret_cast<NullDestination*>(c->dest);
        d->pub.next_output_byte = d->buffer.data();
        d->pub.free_in_buffer = d->buffer.size();
    }
};

// jpegtran -copy all [-optimize], in process: libjpeg's errors end the benchmark.
void JpegtranWork(const std::vector<uint8_t>& in, bool optimize, bool write = true) {
    jpeg_decompress_struct src;
    jpeg_compress_struct dst;
    jpeg_error_mgr srcErr, dstErr;
    src.err = jpeg_std_error(&srcErr);
    dst.err = jpeg_std_error(&dstErr);
    jpeg_create_decompress(&src);
    jpeg_create_compress(&dst);
    jpeg_mem_src(&src, in.data(), static_cast<unsigned long>(in.size()));
    jpeg_save_markers(&src, JPEG_COM, 0xFFFF);
    for (int i = 0; i < 16; ++i) jpeg_save_markers(&src, JPEG_APP0 + i, 0xFFFF);
    jpeg_read_header(&src, TRUE);
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&src);
    if (write) {
        NullDestination dest;
        dst.dest = &dest.pub;
        jpeg_copy_critical_parameters(&src, &dst);
        dst.optimize_coding = optimize ? TRUE : FALSE;
        jpeg_write_coefficients(&dst, coefficients);
        for (jpeg_saved_marker_ptr m = src.marker_list; m; m = m->next)
            jpeg_write_marker(&dst, m->marker, m->data, m->data_length);
        jpeg_finish_compress(&dst);
    }
    jpeg_destroy_compress(&dst);
    jpeg_finish_decompress(&src);
    jpeg_destroy_decompress(&src);
}

TLosslessStamp BenchStamp() {
    TLosslessStamp stamp;
    stamp.cellHeight = 100;  // 2.5 % of the shorter side
    stamp.cellWidth = 660;
    stamp.left = stamp.top = false;
    stamp.draw = [](TBitmap& patch, int x, int y) {
        for (int py = std::max(y, 0); py < std::min(y + 100, patch.Height()); ++py) {
            uint8_t* row = patch.ScanLine(py);
            for (int px = std::max(x, 0); px < std::min(x + 660, patch.Width()); ++px) {
                row[3 * px] = 40;
                row[3 * px + 1] = 60;
                row[3 * px + 2] = 220;
            }
        }
    };
    return stamp;
}

void BM_LosslessInProcess(benchmark::State& state) {
    Fixture& f = TheFixture();
    TMemoryStream file;
    file.LoadFromFile(f.photo);
    const std::vector<uint8_t>& bytes = file.Bytes();
    const TLosslessStamp stamp = BenchStamp();
    TLosslessJpegOptions libjpegStats;
    libjpegStats.fastHuffmanStatistics = false;
    Cost jpegtran, ours, decode, oursLibjpegStats, jpegtranOptimize;
    int iteration = 0;
    for (auto _ : state) {
        auto runOurs = [&] {
            NullStream out;
            StampJpegLossless(bytes.data(), bytes.size(), stamp, out);
        };
        if (iteration++ % 2) Measure(ours, runOurs);  // each side goes first in turn
        Measure(jpegtran, [&] { JpegtranWork(bytes, false); });
        if (iteration % 2) Measure(ours, runOurs);
        Measure(decode, [&] { JpegtranWork(bytes, false, false); });
        Measure(oursLibjpegStats, [&] {
            NullStream out;
            StampJpegLossless(bytes.data(), bytes.size(), stamp, out, libjpegStats);
        });
        Measure(jpegtranOptimize, [&] { JpegtranWork(bytes, true); });
        state.SetIterationTime(ours.seconds);
    }
    state.counters["vs_jpegtran"] = ours.seconds / jpegtran.seconds;
    state.counters["vs_jpegtran_cpu"] = ours.cpuSeconds / jpegtran.cpuSeconds;
    state.counters["jpegtran_ms"] = 1000 * jpegtran.seconds;
    state.counters["decode_share"] = decode.seconds / jpegtran.seconds;
    state.counters["libjpeg_stats_vs_jpegtran"] = oursLibjpegStats.seconds / jpegtran.seconds;
    state.counters["jpegtran_optimize_vs_jpegtran"] = jpegtranOptimize.seconds / jpegtran.seconds;
    state.counters["file_MB"] = static_cast<double>(bytes.size()) / 1e6;
}

struct Run {
    double seconds = 0, cpuSeconds = 0, maxRssBytes = 0;
};

// Runs a program with its output discarded. A forked child starts its peak-memory count at
// this process's present size (not at its peak), the same for every program measured.
Run Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("cannot run " + args[0]);
    const auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return {std::chrono::duration<double>(t1 - t0).count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
            static_cast<double>(usage.ru_maxrss) * 1024};
}

// Times `ours` against `jpegtran -copy all` on the photo, in turns, and both on the tiny file for
// their fixed start-up, and sets the counters of the comparison.
template <class Ours>
void CompareWithJpegtran(benchmark::State& state, const Fixture& f, const std::string& photo, Ours&& ours) {
    const std::string out = (f.dir / "out.jpg").string();
    auto jpegtran = [&](const std::string& in) { return Spawn({"jpegtran", "-copy", "all", "-outfile", out, in}); };
    Cost ref, own, refTiny, ownTiny;
    double refPeak = 0, ownPeak = 0;
    int iteration = 0;
    for (auto _ : state) {
        const bool oursFirst = iteration++ % 2;
        Run o;
        if (oursFirst) o = ours(photo);
        const Run r = jpegtran(photo);
        if (!oursFirst) o = ours(photo);
        ref.Keep(r.seconds, r.cpuSeconds);
        own.Keep(o.seconds, o.cpuSeconds);
        refPeak = std::max(refPeak, r.maxRssBytes);
        ownPeak = std::max(ownPeak, o.maxRssBytes);
        const Run rt = jpegtran(f.tiny), ot = ours(f.tiny);
        refTiny.Keep(rt.seconds, rt.cpuSeconds);
        ownTiny.Keep(ot.seconds, ot.cpuSeconds);
        state.SetIterationTime(o.seconds);
    }
    state.counters["vs_jpegtran"] = own.seconds / ref.seconds;
    state.counters["vs_jpegtran_cpu"] = own.cpuSeconds / ref.cpuSeconds;
    state.counters["vs_jpegtran_net"] = (own.seconds - ownTiny.seconds) / (ref.seconds - refTiny.seconds);
    state.counters["startup_ms"] = 1000 * ownTiny.seconds;
    state.counters["jpegtran_startup_ms"] = 1000 * refTiny.seconds;
    state.counters["peak_vs_jpegtran"] = ownPeak / refPeak;
    state.counters["peak_MB"] = ownPeak / 1e6;
    state.counters["jpegtran_peak_MB"] = refPeak / 1e6;
}

void BM_LosslessProcess(benchmark::State& state) {
    Fixture& f = TheFixture();
    const std::string out = (f.dir / "out.jpg").string();
    auto ours = [&](const std::string& in) { return Spawn({KIRIMARK_LOSSLESS_DRIVER, in, out}); };
    try {
        CompareWithJpegtran(state, f, f.photo, ours);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

void BM_LosslessProgram(benchmark::State& state) {
    Fixture& f = TheFixture();
    const std::string outDir = (f.dir / "stamped").string();
    // Quality 1 would show in the file's size if the photo were encoded anew.
    auto ours = [&](const std::string& in) {
        return Spawn({KIRIMARK_BINARY, "--stamp", "--inputs", "all", "--format", "jpeg", "--quality", "1", "--jobs",
                      "1", "--out-dir", outDir, "--text", "(c)2026 Kirimark", in});
    };
    try {
        ours(f.camera);
        if (fs::file_size(fs::path(outDir) / "camera.jpg") < fs::file_size(f.camera) * 9 / 10)
            throw std::runtime_error("the photo was encoded anew, not stamped in its coded form");
        CompareWithJpegtran(state, f, f.camera, ours);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

}  // namespace

BENCHMARK(BM_LosslessProgram)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(BM_LosslessProcess)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(BM_LosslessInProcess)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

BENCHMARK_MAIN();
