// The whole program at work, one process per run, against the tools a user would otherwise
// run on the same files in the same iterations:
//   jpeg:  `kirimark --stamp` to JPEG quality 100 vs `cjpeg -dct float -quality 100 -baseline`
//          (vs_cjpeg = our time / cjpeg's time; the floor is 1);
//   png0:  `kirimark --stamp` to PNG level 0 vs ImageMagick `convert` drawing the same text
//          with png:compression-level=0 (speedup_vs_convert = convert's time / ours);
//   png6:  `kirimark --stamp` to PNG level 6 on every core vs the same with --threads 1
//          (vs_one_thread = our time / the one-thread time);
//   jobs:  40 pictures with --jobs 2 vs --jobs 1 --threads 1 (jobs2_speedup), in the temporary
//          folder and in memory (/dev/shm);
//   start: a 64 × 32 picture stamped to JPEG vs cjpeg on the same file (startup_vs_cjpeg): the
//          fixed cost of a run, which a file manager's per-file action pays on every photo;
//   camera: the 24-megapixel camera-like JPEG stamped to JPEG quality 100, decoded and encoded
//          again (--lossless no), vs the decode + encode floor, `djpeg -bmp` to a file then
//          `cjpeg -dct float -quality 100 -baseline` of that file (vs_floor), and vs ImageMagick
//          `convert` doing the same stamp (vs_convert).
// The JPEG and PNG level 6 runs use the default thread count (every core for one picture) and
// also give the output's size over the one-thread output's (size_vs_one_thread).
// Inputs: 6000 × 4000 24-bit (a noisy photograph-like picture) and 6000 × 4000 8-bit palette.
// Times are wall-clock times of whole processes, the smallest of the iterations for each side,
// so that a neighbour's burst of work on a shared machine does not tilt a ratio; the *_cpu
// counters compare processor time instead (all threads), which a busy machine disturbs less. peak_x is the
// process's peak resident memory over the picture's pixel bytes; peak_over_base_x leaves out
// what the program holds with a 16 × 16 picture (base_rss_MB: libraries, fonts).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CameraJpeg.h"
#include "Graphics.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 6000, kHeight = 4000;
constexpr int kJobsPictures = 40, kJobsWidth = 2000, kJobsHeight = 1500;
const char* const kText = "(c)2005 Rinto";

struct Run {
    double seconds = 0;
    double cpuSeconds = 0;  // user and system time of all the process's threads
    double maxRssBytes = 0;
};

// Runs the command with its output discarded; fails the benchmark unless it exits with 0.
Run Spawn(const std::vector<std::string>& args, const fs::path& dir) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) throw std::runtime_error("cannot start " + args[0]);
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) throw std::runtime_error("lost " + args[0]);
    const auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return {std::chrono::duration<double>(t1 - t0).count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
            static_cast<double>(usage.ru_maxrss) * 1024};
}

bool OnPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::string p = path;
    for (size_t start = 0; start <= p.size();) {
        const size_t end = std::min(p.find(':', start), p.size());
        if (::access((p.substr(start, end - start) + "/" + tool).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::string JobsPicture(int i) {
    std::string name = "p";  // appended piece by piece: GCC 12 warns wrongly about "p" + ...
    name += std::to_string(i);
    name += ".bmp";
    return name;
}

struct Fixture {
    fs::path dir;
    Fixture() {
        dir = fs::temp_directory_path() / ("kirimark-whole-" + std::to_string(::getpid()));
        fs::create_directories(dir / "jobs");
        // The run's settings come from the options alone.
        ::setenv("KIRIMARK_SETTINGS_FILE", (dir / "none.ini").c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // The pictures are made by a child: a started program's peak memory counts from its
        // parent's, which must therefore never have held them.
        const pid_t pid = ::fork();
        if (pid == 0) {
            try {
                MakePictures();
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error("cannot make the pictures");
        // What the program costs with any picture at all.
        baseRssBytes = Spawn({KIRIMARK_BINARY, "--stamp", "--text", kText, "tiny.bmp"}, dir).maxRssBytes;
    }
    double baseRssBytes = 0;
    void MakePictures() const {
        std::mt19937 rng(20051);
        TBitmap rgb;
        rgb.Allocate(pf24bit, kWidth, kHeight);
        for (int y = 0; y < kHeight; ++y) {
            uint8_t* row = rgb.ScanLine(y);
            for (int x = 0; x < kWidth; ++x) {
                const int noise = static_cast<int>(rng() % 49) - 24;
                auto clamp = [](int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
                row[3 * x] = clamp(200 - (x + y) * 120 / (kWidth + kHeight) + noise);
                row[3 * x + 1] = clamp(60 + y * 150 / kHeight + noise);
                row[3 * x + 2] = clamp(40 + x * 180 / kWidth + noise);
            }
        }
        rgb.SaveToFile((dir / "rgb24.bmp").string());
        std::vector<TPaletteEntry> pal;
        for (int i = 0; i < 256; ++i)
            pal.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(i * 7), static_cast<uint8_t>(255 - i), 0});
        TBitmap indexed;
        indexed.Allocate(pf8bit, kWidth, kHeight, TPalette(pal));
        for (int y = 0; y < kHeight; ++y) {
            uint8_t* row = indexed.ScanLine(y);
            for (int x = 0; x < kWidth; ++x) row[x] = static_cast<uint8_t>((x / 16 + y / 16) * 3 + rng() % 4);
        }
        indexed.SaveToFile((dir / "pal8.bmp").string());
        TBitmap tiny;
        tiny.Allocate(pf24bit, 16, 16);
        tiny.SaveToFile((dir / "tiny.bmp").string());
        TBitmap startup;
        startup.Allocate(pf24bit, 64, 32);
        std::copy_n(rgb.Bits(), startup.BitsSize(), startup.Bits());
        startup.SaveToFile((dir / "startup.bmp").string());
        TBitmap small;
        small.Allocate(pf24bit, kJobsWidth, kJobsHeight);
        std::copy_n(rgb.Bits(), small.BitsSize(), small.Bits());
        for (int i = 0; i < kJobsPictures; ++i) small.SaveToFile((dir / "jobs" / JobsPicture(i)).string());
        WriteCameraJpeg((dir / "camera.jpg").string());
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

const char* Input(int bits) { return bits == 24 ? "rgb24.bmp" : "pal8.bmp"; }
double PixelBytes(int bits) { return static_cast<double>(kWidth) * kHeight * bits / 8; }

// threads 0: the program's default.
std::vector<std::string> Stamp(const std::string& format, int jobs, std::vector<std::string> files,
                               const char* quality = "10", int threads = 0) {
    std::vector<std::string> args = {KIRIMARK_BINARY, "--stamp", "--jobs",    std::to_string(jobs),
                                     "--format",      format,    "--quality", quality,
                                     "--text",        kText};
    if (threads > 0) args.insert(args.end(), {"--threads", std::to_string(threads)});
    args.insert(args.end(), files.begin(), files.end());
    return args;
}

// The size of the output the parallel run writes over the one-thread run's.
double SizeVsOneThread(const fs::path& dir, const std::string& format, const char* input, const char* quality) {
    const fs::path output = dir / fs::path(input).replace_extension(format == "jpeg" ? ".jpg" : ".png");
    Spawn(Stamp(format, 1, {input}, quality), dir);
    const double parallel = static_cast<double>(fs::file_size(output));
    Spawn(Stamp(format, 1, {input}, quality, 1), dir);
    return parallel / static_cast<double>(fs::file_size(output));
}

// Alternates the reference and our run in every iteration; the ratio is of the best times.
void Compare(benchmark::State& state, const std::vector<std::string>& reference, const std::vector<std::string>& ours,
             const fs::path& dir, Run& bestRef, Run& bestOurs) {
    bestRef.seconds = bestOurs.seconds = bestRef.cpuSeconds = bestOurs.cpuSeconds = 1e30;
    for (auto _ : state) {
        const Run r = Spawn(reference, dir);
        const Run o = Spawn(ours, dir);
        bestRef.seconds = std::min(bestRef.seconds, r.seconds);
        bestOurs.seconds = std::min(bestOurs.seconds, o.seconds);
        bestRef.cpuSeconds = std::min(bestRef.cpuSeconds, r.cpuSeconds);
        bestOurs.cpuSeconds = std::min(bestOurs.cpuSeconds, o.cpuSeconds);
        bestRef.maxRssBytes = std::max(bestRef.maxRssBytes, r.maxRssBytes);
        bestOurs.maxRssBytes = std::max(bestOurs.maxRssBytes, o.maxRssBytes);
        state.SetIterationTime(o.seconds);
    }
}

void BM_Jpeg(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    Fixture& f = TheFixture();
    Run ref, ours;
    Compare(state, {"cjpeg", "-dct", "float", "-quality", "100", "-baseline", "-outfile", "cjpeg.jpg", Input(bits)},
            Stamp("jpeg", 1, {Input(bits)}), f.dir, ref, ours);
    state.counters["vs_cjpeg"] = ours.seconds / ref.seconds;
    state.counters["vs_cjpeg_cpu"] = ours.cpuSeconds / ref.cpuSeconds;
    state.counters["cjpeg_ms"] = ref.seconds * 1000;
    state.counters["ours_ms"] = ours.seconds * 1000;
    state.counters["peak_x"] = ours.maxRssBytes / PixelBytes(bits);
    state.counters["peak_over_base_x"] = (ours.maxRssBytes - f.baseRssBytes) / PixelBytes(bits);
    state.counters["base_rss_MB"] = f.baseRssBytes / 1e6;
    state.counters["size_vs_one_thread"] = SizeVsOneThread(f.dir, "jpeg", Input(bits), "10");
}

void BM_Png6(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    Fixture& f = TheFixture();
    Run one, ours;
    Compare(state, Stamp("png", 1, {Input(bits)}, "4", 1), Stamp("png", 1, {Input(bits)}, "4"), f.dir, one, ours);
    state.counters["vs_one_thread"] = ours.seconds / one.seconds;
    state.counters["vs_one_thread_cpu"] = ours.cpuSeconds / one.cpuSeconds;
    state.counters["one_thread_ms"] = one.seconds * 1000;
    state.counters["ours_ms"] = ours.seconds * 1000;
    state.counters["peak_x"] = ours.maxRssBytes / PixelBytes(bits);
    state.counters["peak_over_base_x"] = (ours.maxRssBytes - f.baseRssBytes) / PixelBytes(bits);
    state.counters["size_vs_one_thread"] = SizeVsOneThread(f.dir, "png", Input(bits), "4");
}

void BM_Png0(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    Fixture& f = TheFixture();
    if (!OnPath("convert")) {
        state.SkipWithError("ImageMagick's convert is not installed: no reference for the PNG row");
        return;
    }
    Run ref, ours;
    Compare(state,
            {"convert", Input(bits), "-fill", "black", "-undercolor", "white", "-pointsize", "9", "-annotate", "+5+15",
             kText, "-define", "png:compression-level=0", "convert.png"},
            Stamp("png", 1, {Input(bits)}), f.dir, ref, ours);
    state.counters["speedup_vs_convert"] = ref.seconds / ours.seconds;
    state.counters["speedup_vs_convert_cpu"] = ref.cpuSeconds / ours.cpuSeconds;
    state.counters["convert_ms"] = ref.seconds * 1000;
    state.counters["ours_ms"] = ours.seconds * 1000;
    state.counters["peak_x"] = ours.maxRssBytes / PixelBytes(bits);
    state.counters["peak_over_base_x"] = (ours.maxRssBytes - f.baseRssBytes) / PixelBytes(bits);
}

// Arg 0: the pictures in the temporary folder (on disk here); arg 1: in /dev/shm (memory),
// where each file's flush to disk costs nothing and the work alone decides.
void BM_Jobs(benchmark::State& state) {
    Fixture& f = TheFixture();
    fs::path dir = f.dir / "jobs";
    if (state.range(0) == 1) {
        if (!fs::is_directory("/dev/shm")) {
            state.SkipWithError("no /dev/shm");
            return;
        }
        dir = fs::path("/dev/shm") / f.dir.filename();
        fs::create_directories(dir);
        for (int i = 0; i < kJobsPictures; ++i)
            fs::copy_file(f.dir / "jobs" / JobsPicture(i), dir / JobsPicture(i), fs::copy_options::overwrite_existing);
    }
    std::vector<std::string> files;
    for (int i = 0; i < kJobsPictures; ++i) files.push_back(JobsPicture(i));
    Run one, two;
    // The reference is one core at work: one picture at a time, each on one thread.
    Compare(state, Stamp("jpeg", 1, files, "10", 1), Stamp("jpeg", 2, files), dir, one, two);
    state.counters["jobs2_speedup"] = one.seconds / two.seconds;
    state.counters["jobs1_ms"] = one.seconds * 1000;
    state.counters["jobs2_ms"] = two.seconds * 1000;
    state.counters["cores"] = static_cast<double>(::sysconf(_SC_NPROCESSORS_ONLN));
    if (state.range(0) == 1) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
}

// Both sides are so short that the scheduler's noise is of their size: many interleaved runs,
// and the ratio of the medians.
void BM_Startup(benchmark::State& state) {
    Fixture& f = TheFixture();
    const std::vector<std::string> reference = {"cjpeg", "-quality", "100", "-outfile", "cjpeg.jpg", "startup.bmp"};
    const std::vector<std::string> ours = Stamp("jpeg", 1, {"startup.bmp"});
    Spawn(ours, f.dir);  // the first run of a machine may resolve and note the face
    std::vector<double> ref, own;
    for (auto _ : state) {
        ref.push_back(Spawn(reference, f.dir).seconds);
        own.push_back(Spawn(ours, f.dir).seconds);
        state.SetIterationTime(own.back());
    }
    auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    state.counters["startup_vs_cjpeg"] = median(own) / median(ref);
    state.counters["cjpeg_ms"] = median(ref) * 1000;
    state.counters["ours_ms"] = median(own) * 1000;
}

// Three processes an iteration: the floor is the sum of djpeg's and cjpeg's times of that
// iteration, and each ratio is of the best iterations.
void BM_CameraJpeg(benchmark::State& state) {
    Fixture& f = TheFixture();
    const bool haveConvert = OnPath("convert");
    std::vector<std::string> ours = {KIRIMARK_BINARY, "--stamp",    "--inputs",  "all",       "--format",
                                     "jpeg",          "--lossless", "no",        "--quality", "10",
                                     "--text",        kText,        "--out-dir", "out",       "camera.jpg"};
    double floor = 1e30, own = 1e30, convert = 1e30, floorCpu = 1e30, ownCpu = 1e30;
    for (auto _ : state) {
        const Run d = Spawn({"djpeg", "-bmp", "-outfile", "djpeg.bmp", "camera.jpg"}, f.dir);
        const Run c = Spawn(
            {"cjpeg", "-dct", "float", "-quality", "100", "-baseline", "-outfile", "cjpeg.jpg", "djpeg.bmp"}, f.dir);
        const Run o = Spawn(ours, f.dir);
        floor = std::min(floor, d.seconds + c.seconds);
        floorCpu = std::min(floorCpu, d.cpuSeconds + c.cpuSeconds);
        own = std::min(own, o.seconds);
        ownCpu = std::min(ownCpu, o.cpuSeconds);
        if (haveConvert)
            convert = std::min(
                convert, Spawn({"convert", "camera.jpg", "-fill", "black", "-undercolor", "white", "-pointsize", "9",
                                "-gravity", "southeast", "-annotate", "+5+5", kText, "-quality", "100", "convert.jpg"},
                               f.dir)
                             .seconds);
        state.SetIterationTime(o.seconds);
    }
    state.counters["vs_floor"] = own / floor;
    state.counters["vs_floor_cpu"] = ownCpu / floorCpu;
    state.counters["floor_ms"] = floor * 1000;
    state.counters["ours_ms"] = own * 1000;
    if (haveConvert) {
        state.counters["vs_convert"] = own / convert;
        state.counters["convert_ms"] = convert * 1000;
    }
}

}  // namespace

BENCHMARK(BM_Startup)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(41);
BENCHMARK(BM_Jpeg)->ArgName("bits")->Arg(24)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Png6)->ArgName("bits")->Arg(24)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Png0)->ArgName("bits")->Arg(24)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Jobs)->ArgName("in_memory")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CameraJpeg)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
