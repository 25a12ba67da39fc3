// `kirimark --stamp` run as scripts run it: the built binary, no display, lines and exit
// status as documented.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AppTestSupport.h"
#include "FaultSupport.h"
#include "PngTestHelpers.h"
#include "TestSupport.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

struct RunResult {
    int status = -1;
    std::vector<std::string> lines;  // stdout
    std::string errors;              // stderr
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class CliStamp : public ::testing::Test {
protected:
    void SetUp() override {
        binary_ = faulttest::ProgramPath();
        if (binary_.empty()) GTEST_SKIP() << "program not built or KIRIMARK_BUILD_DIR not set (run through ctest)";
    }

    // Runs the program without any display: no X or Wayland, and a platform that would need
    // one if the program asked for it. wrapper goes before the program (another user, a
    // limit); redirect after its arguments (where standard output goes instead of the pipe).
    RunResult Run(const std::vector<std::string>& args, const std::string& wrapper = "",
                  const std::string& redirect = "") {
        std::string cmd = "cd " + Quote(dir.path().string()) +
                          " && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb" +
                          " KIRIMARK_SETTINGS_FILE=" + Quote(dir.file("settings.ini")) + " " + wrapper + " " +
                          Quote(binary_.string());
        for (const std::string& a : args) cmd += " " + Quote(a);
        cmd += " " + redirect + " 2>" + Quote(dir.file("stderr.txt"));
        RunResult run;
        FILE* pipe = ::popen(cmd.c_str(), "r");
        if (!pipe) return run;
        std::string out;
        std::array<char, 4096> buf;
        while (size_t n = std::fread(buf.data(), 1, buf.size(), pipe)) out.append(buf.data(), n);
        const int status = ::pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) run.lines.push_back(line);
        run.errors = ReadFile(dir.file("stderr.txt"));
        fs::remove(dir.file("stderr.txt"));
        return run;
    }

    RunResult Stamp(std::vector<std::string> args) {
        args.insert(args.begin(), "--stamp");
        return Run(args);
    }

    std::string Bitmap(const std::string& name, int w = 120, int h = 60) {
        SaveBlockPicture(dir.file(name), pf24bit, w, h);
        return name;
    }

    testsupport::TempDir dir;
    fs::path binary_;
};

std::string Line(const std::string& name, const char* message) { return name + ": " + message; }

TEST_F(CliStamp, OneLinePerNameThenTheSummary) {
    Bitmap("a.bmp");
    Bitmap("UP.BMP");
    Bitmap("b.c.bmp");
    WriteFile(dir.file("t.txt"), "text");
    const RunResult all = Stamp({"a.bmp", "b.c.bmp"});
    EXPECT_EQ(all.status, 0) << all.errors;
    EXPECT_EQ(all.lines, (std::vector<std::string>{"a.jpg", "b.c.jpg", msg::kAllDone}));

    const RunResult mixed = Stamp({"a.bmp", "t.txt", "UP.BMP", "missing.bmp", "b.c.bmp"});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_EQ(mixed.lines,
              (std::vector<std::string>{"a.jpg", Line("t.txt", msg::kNotBitmap), Line("UP.BMP", msg::kNotBitmap),
                                        Line("missing.bmp", msg::kFileFailed), "b.c.jpg", msg::kSomeFailed}));
    // The cause of a failure goes to stderr, for the person reading the log.
    EXPECT_NE(mixed.errors.find("missing.bmp"), std::string::npos);
    EXPECT_TRUE(DecodeJpegFile(dir.file("b.c.jpg")).ok);
    // Options are for the run only: no settings file is written.
    EXPECT_FALSE(fs::exists(dir.file("settings.ini")));
}

// Workers finish out of order (the big picture first takes longest); the lines, the summary
// and the exit status must still be those of a single worker.
TEST_F(CliStamp, JobsKeepTheOrderAndTheSummary) {
    Bitmap("big.bmp", 1600, 1200);
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) Bitmap(name);
    WriteFile(dir.file("t.txt"), "text");
    const std::vector<std::string> good = {"big.bmp", "a.bmp", "b.bmp", "c.bmp"};
    const std::vector<std::string> mixed = {"big.bmp", "t.txt", "a.bmp", "missing.bmp", "b.bmp", "c.bmp"};
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> lines;
    } cases[] = {
        {good, 0, {"big.jpg", "a.jpg", "b.jpg", "c.jpg", msg::kAllDone}},
        {mixed,
         1,
         {"big.jpg", Line("t.txt", msg::kNotBitmap), "a.jpg", Line("missing.bmp", msg::kFileFailed), "b.jpg", "c.jpg",
          msg::kSomeFailed}},
        {{"missing.bmp", "a.bmp"}, 1, {Line("missing.bmp", msg::kFileFailed), "a.jpg", msg::kSomeFailed}},
    };
    for (const auto& c : cases) {
        for (const char* jobs : {"1", "2", "3"}) {
            SCOPED_TRACE(std::string("--jobs ") + jobs + " " + c.args.front() + " ...");
            std::vector<std::string> args = {"--jobs", jobs};
            args.insert(args.end(), c.args.begin(), c.args.end());
            const RunResult run = Stamp(args);
            EXPECT_EQ(run.status, c.status) << run.errors;
            EXPECT_EQ(run.lines, c.lines);
            for (const std::string& line : c.lines) {
                if (line.size() > 4 && line.compare(line.size() - 4, 4, ".jpg") == 0) {
                    EXPECT_TRUE(DecodeJpegFile(dir.file(line)).ok) << line;
                }
            }
        }
    }
}

TEST_F(CliStamp, UsageErrors) {
    Bitmap("a.bmp");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--quality", "0", "a.bmp"},
        {"--quality", "11", "a.bmp"},
        {"--quality", "5x", "a.bmp"},
        {"--format", "gif", "a.bmp"},
        {"--corner", "middle", "a.bmp"},
        {"--color", "red", "a.bmp"},
        {"--back", "#12345", "a.bmp"},
        {"--back", "#000000", "--transparent", "a.bmp"},
        {"--bogus", "a.bmp"},
        {"a.bmp", "--text"},
        {"--quality"},
        {"--jobs", "0", "a.bmp"},
        {"--jobs", "65", "a.bmp"},
        {"--jobs", "two", "a.bmp"},
        {"--threads", "-1", "a.bmp"},
        {"--threads", "65", "a.bmp"},
        {"--threads", "2x", "a.bmp"},
        {"--text", std::string(1025, 'x'), "a.bmp"},  // a stamp is one short line
        {"--size", "0pt", "a.bmp"},
        {"--size", "501pt", "a.bmp"},
        {"--size", "9", "a.bmp"},
        {"--size", "0.05%", "a.bmp"},
        {"--size", "50.5%", "a.bmp"},
        {"--size", "2.5", "a.bmp"},
        {"--size=", "a.bmp"},
        {"--size-min", "0", "a.bmp"},
        {"--size-min", "10001", "a.bmp"},
        {"--size-min", "12px", "a.bmp"},
        {"--size-max", "-1", "a.bmp"},
        {"--size-max", "x", "a.bmp"},
        {"--size-min", "30", "--size-max", "20", "a.bmp"},  // the greatest below the least
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        const RunResult run = Stamp(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.lines.empty());
        EXPECT_NE(run.errors.find("--help"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir.file("a.jpg")));
}

TEST_F(CliStamp, OptionsGovernTheRun) {
    constexpr int W = 200, H = 60;
    Bitmap("pic.bmp", W, H);
    const TSize extent = StampExtent("XYZ");
    const RunResult run = Stamp({"--corner", "bottom-right", "--back", "#FFFFFF", "--color", "#000000", "--text", "XYZ",
                                 "--quality=1", "pic.bmp"});
    ASSERT_EQ(run.status, 0) << run.errors;
    const Jpeg out = DecodeJpegFile(dir.file("pic.jpg"));
    EXPECT_EQ(out.luminanceTable, ReferenceLuminanceTable(10));
    const TRect cell{W - extent.cx - 5, H - extent.cy - 5, W - 5, H - 5};
    const auto [white, total] = CountNear(out.picture, cell, kBack, 60);
    EXPECT_GT(white, total / 2);
    EXPECT_EQ(CountNear(out.picture, TRect{0, 0, W / 2, H}, kBack, 60).first, 0);

    ASSERT_EQ(Stamp({"--format", "png", "--text", "", "--transparent", "pic.bmp"}).status, 0);
    std::string longest;
    for (size_t i = 0; i < kMaxStampTextChars; ++i) longest += "あ";  // characters, not bytes, count
    ASSERT_EQ(Stamp({"--format", "png", "--text", longest, "pic.bmp"}).status, 0);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.file("pic.png").c_str())) << image.message;
    EXPECT_EQ(image.width, static_cast<unsigned>(W));
    png_image_free(&image);
}

// A size in points or as a share of the shorter side, within the bounds: the stamp's cell (the
// pixels that differ from the picture, lossless in PNG) is the one found by trying every
// pixel size, at the bottom right, at its scaled margin.
TEST_F(CliStamp, SizeOptionsScaleTheStamp) {
    constexpr int W = 800, H = 600;
    struct Case {
        std::vector<std::string> args;
        int target;  // 0: 20 points, the fixed margin
    };
    const Case cases[] = {
        {{"--size", "5%"}, 30},
        {{"--size=5%", "--size-max", "20"}, 20},
        {{"--size", "0.5%", "--size-min=16"}, 16},
        {{"--size", "20pt"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        Bitmap("big.bmp", W, H);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--format", "png", "--corner", "bottom-right", "--back", "#FF00FF", "--color",
                                 "#000000", "--text", "XYZ", "big.bmp"});
        const RunResult run = Stamp(args);
        ASSERT_EQ(run.status, 0) << run.errors;
        TSize extent;
        int margin = 5;
        if (c.target > 0) {
            const ScaledStamp want =
                ExpectedScaledStamp("XYZ", c.target, c.target == 16 ? 16 : 12, c.target == 20 ? 20 : 0);
            extent = want.extent, margin = want.margin;
        } else {
            extent = StampExtentAtPixels("XYZ", (20 * 96 + 36) / 72);
        }
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.file("big.png").c_str())) << image.message;
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> px(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, px.data(), 0, nullptr)) << image.message;
        ASSERT_EQ(image.width, static_cast<unsigned>(W));
        TBitmap source;
        BlockPicture(source, pf24bit, W, H);
        TRect changed{W, H, -1, -1};
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const uint8_t* p = &px[(size_t(y) * W + x) * 3];
                if (RGBColor(p[0], p[1], p[2]) == source.GetPixel(x, y)) continue;
                changed = {std::min(changed.Left, x), std::min(changed.Top, y), std::max(changed.Right, x + 1),
                           std::max(changed.Bottom, y + 1)};
            }
        EXPECT_EQ(changed.Right, W - margin);
        EXPECT_EQ(changed.Bottom, H - margin);
        EXPECT_EQ(changed.Right - changed.Left, extent.cx);
        EXPECT_EQ(changed.Bottom - changed.Top, extent.cy);
        if (c.target > 0) {
            EXPECT_LE(std::abs(extent.cy - c.target), 2);
        }
    }
}

TEST_F(CliStamp, AHeadlessRunLoadsOnlyWhatItUses) {
    Bitmap("pic.bmp");
    ::setenv("XDG_CACHE_HOME", dir.file("cache").c_str(), 1);  // no faces noted on disk yet
    // The dynamic loader logs every library a process loads, into one file per process.
    auto librariesOfARun = [&](const std::string& log) {
        ::setenv("LD_DEBUG", "libs", 1);
        ::setenv("LD_DEBUG_OUTPUT", dir.file(log).c_str(), 1);
        const RunResult run = Stamp({"--text", "\xE8\x91\x97 (c)", "pic.bmp"});
        ::unsetenv("LD_DEBUG");
        ::unsetenv("LD_DEBUG_OUTPUT");
        EXPECT_EQ(run.status, 0) << run.errors;
        std::string loaded;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename().string().rfind(log + ".", 0) == 0) loaded += ReadFile(e.path().string());
        return loaded;
    };
    const std::string first = librariesOfARun("first");
    const std::string again = librariesOfARun("again");
    ::unsetenv("XDG_CACHE_HOME");
    ASSERT_NE(again.find("libfreetype"), std::string::npos) << "no loader log of the program's run";
    EXPECT_EQ(again.find("libQt"), std::string::npos) << "a headless run loaded the toolkit";
    EXPECT_NE(first.find("libfontconfig"), std::string::npos) << "the faces were found without fontconfig";
    EXPECT_EQ(again.find("libfontconfig"), std::string::npos) << "fontconfig was loaded for faces noted on disk";
    EXPECT_EQ(again.find("libnettle"), std::string::npos) << "a run without a protected text loaded nettle";
}

}  // namespace

namespace {

// Every name keeps to its one line, whatever bytes it holds; the failure's cause on stderr too.
TEST_F(CliStamp, NamesAreEscapedOntoTheirOneLine) {
    const struct {
        std::string name;     // a .bmp made under this name
        std::string printed;  // the line its output gives
    } cases[] = {
        {"new\nline.bmp", "new\\nline.jpg"},
        {"tab\tand\rcr.bmp", "tab\\tand\\rcr.jpg"},
        {"esc\x1b[31mred.bmp", "esc\\x1B[31mred.jpg"},
        {"back\\slash.bmp", "back\\\\slash.jpg"},
        {"latin1-\xe9t\xe9.bmp", "latin1-\\xE9t\\xE9.jpg"},
        {"写真 ©.bmp", "写真 ©.jpg"},
    };
    std::vector<std::string> args, expected;
    for (const auto& c : cases) {
        args.push_back(Bitmap(c.name));
        expected.push_back(c.printed);
    }
    args.push_back("gone\n.bmp");
    expected.push_back(Line("gone\\n.bmp", msg::kFileFailed));
    expected.push_back(msg::kSomeFailed);
    const RunResult run = Stamp(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.lines, expected);
    EXPECT_NE(run.errors.find("kirimark: gone\\n.bmp: "), std::string::npos) << run.errors;
    EXPECT_EQ(run.errors.find("gone\n"), std::string::npos) << run.errors;
}

// A report that cannot be written is a failed run, with the reason on stderr; the work itself
// is done.
TEST_F(CliStamp, LinesThatCannotBeWrittenFailTheRun) {
    Bitmap("a.bmp");
    const struct {
        const char* why;
        const char* redirect;
        const char* message;
    } outputs[] = {
        {"a full disk", ">/dev/full", "No space left on device"},
        {"a closed standard output", ">&-", "standard output is closed"},
    };
    const std::vector<std::vector<std::string>> commands = {{"--stamp", "a.bmp"}, {"--settings"}, {"--help"}};
    for (const auto& o : outputs) {
        for (const auto& command : commands) {
            SCOPED_TRACE(std::string(o.why) + ", " + command.front());
            fs::remove(dir.file("a.jpg"));
            const RunResult run = Run(command, "", o.redirect);
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.errors.find(o.message), std::string::npos) << run.errors;
            if (command.front() == "--stamp") {
                EXPECT_TRUE(DecodeJpegFile(dir.file("a.jpg")).ok);
            }
        }
    }
}

// Under a limit on processes the system refuses threads; the batch then runs on fewer
// workers, or writes without a second thread, and every file is still done. Root is not
// bound by the limit, so a root run drops to an unprivileged user first.
TEST_F(CliStamp, RefusedThreadsMeanFewerWorkersNotFailures) {
    std::string asUser;
    if (::geteuid() == 0) {
        asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups";
        ::chmod(dir.path().c_str(), 0777);
        if (std::system((asUser + " test -x " + Quote(binary_.string()) + " 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "running as root, and no unprivileged user can run " << binary_
                         << " through setpriv; the limit would not bind root";
    }
    std::vector<std::string> names;
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) names.push_back(Bitmap(name, 300, 200));
    for (const char* nproc : {"1", "2"}) {
        for (const char* jobs : {"1", "4"}) {
            SCOPED_TRACE(std::string("--nproc=") + nproc + " --jobs " + jobs);
            for (const char* out : {"a.jpg", "b.jpg", "c.jpg"}) fs::remove(dir.file(out));
            std::vector<std::string> args = {"--stamp", "--jobs", jobs};
            args.insert(args.end(), names.begin(), names.end());
            // A leak checker needs a thread of its own at exit, which the limit refuses too.
            const RunResult run =
                Run(args, "ASAN_OPTIONS=detect_leaks=0 " + asUser + " prlimit --nproc=" + nproc + " --");
            EXPECT_EQ(run.status, 0) << run.errors;
            EXPECT_EQ(run.lines, (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg", msg::kAllDone}));
            for (const char* out : {"a.jpg", "b.jpg", "c.jpg"}) EXPECT_TRUE(DecodeJpegFile(dir.file(out)).ok) << out;
        }
    }
}

// The thread count reaches both encoders: on 2 threads the image data differs (restart
// markers, a banded deflate stream) and decodes to the same pixels; the settings file's count
// of 1 gives the bytes of --threads 1.
TEST_F(CliStamp, ThreadsChangeTheStreamNotThePixels) {
    Bitmap("pic.bmp", 300, 1200);
    for (const char* format : {"jpeg", "png"}) {
        SCOPED_TRACE(format);
        const bool jpeg = std::string(format) == "jpeg";
        const std::string out = dir.file(jpeg ? "pic.jpg" : "pic.png");
        // From the image data on: a PNG's time stamp before it may tick between runs.
        auto run = [&](std::vector<std::string> threads) {
            std::vector<std::string> args = {"--format", format, "--quality", "4"};
            args.insert(args.end(), threads.begin(), threads.end());
            args.push_back("pic.bmp");
            const RunResult r = Stamp(args);
            EXPECT_EQ(r.status, 0) << r.errors;
            const std::string bytes = ReadFile(out);
            return bytes.substr(std::min(bytes.size(), bytes.find(jpeg ? "\xFF\xDA" : "IDAT")));
        };
        auto pixels = [&] {
            if (jpeg) return DecodeJpegFile(out).picture.px;
            const std::string bytes = ReadFile(out);
            return pngtest::DecodeWithLibpng(std::vector<uint8_t>(bytes.begin(), bytes.end())).rgba;
        };
        const std::string one = run({"--threads", "1"});
        const auto onePixels = pixels();
        const std::string two = run({"--threads", "2"});
        EXPECT_NE(two, one);
        EXPECT_EQ(pixels(), onePixels);
        EXPECT_FALSE(onePixels.empty());
        WriteFile(dir.file("settings.ini"), "[photo]\r\nthreads=1\r\n");
        EXPECT_EQ(run({}), one);
        fs::remove(dir.file("settings.ini"));
    }
}

}  // namespace
