// Limits against input that asks for more than it brings: headers that claim a huge picture
// are refused before the pixels are allocated, and stamping one large picture needs memory
// for about twice its pixels at most.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "BmpFile.h"
#include "FaultSupport.h"
#include "KMPNG.h"

#if defined(__SANITIZE_ADDRESS__)
#define KIRIMARK_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIRIMARK_TEST_ASAN 1
#endif
#endif

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v);
    Put16(b, v >> 16);
}
void Put32BE(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

// A BITMAPINFOHEADER file of the given geometry, its palette, then dataBytes bytes of pixels.
Bytes BmpFile(int32_t width, int32_t height, int bpp, uint32_t compression, size_t dataBytes, const Bytes& data = {}) {
    const uint32_t paletteBytes = bpp <= 8 ? 4u << bpp : 0;
    const uint32_t offBits = 14 + 40 + paletteBytes;
    Bytes b = {'B', 'M'};
    Put32(b, static_cast<uint32_t>(offBits + dataBytes));
    Put32(b, 0);
    Put32(b, offBits);
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(width));
    Put32(b, static_cast<uint32_t>(height));
    Put16(b, 1);
    Put16(b, static_cast<uint32_t>(bpp));
    Put32(b, compression);
    for (int i = 0; i < 5; ++i) Put32(b, 0);
    b.resize(b.size() + paletteBytes, 0x40);
    Bytes pixels = data;
    pixels.resize(dataBytes, 0);
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

void PngChunk(Bytes& b, const char* type, const Bytes& data) {
    Put32BE(b, static_cast<uint32_t>(data.size()));
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    b.insert(b.end(), typed.begin(), typed.end());
    Put32BE(b, static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

// A PNG of the given size and colour type, with (about) idatBytes of real deflate data (zero rows)
// or, for 0, no IDAT chunk at all.
Bytes PngFile(uint32_t width, uint32_t height, uint8_t colourType, size_t idatBytes) {
    Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr;
    Put32BE(ihdr, width);
    Put32BE(ihdr, height);
    ihdr.insert(ihdr.end(), {8, colourType, 0, 0, 0});
    PngChunk(b, "IHDR", ihdr);
    if (idatBytes > 0) {
        Bytes zeros(idatBytes * 1100, 0), packed(compressBound(static_cast<uLong>(zeros.size())));
        uLongf n = static_cast<uLongf>(packed.size());
        compress2(packed.data(), &n, zeros.data(), static_cast<uLong>(zeros.size()), 9);
        packed.resize(std::min<size_t>(n, idatBytes));
        PngChunk(b, "IDAT", packed);
    }
    PngChunk(b, "IEND", {});
    return b;
}

// How a load in the child ended.
enum ChildResult { kRefused = 0, kLoaded = 1, kOtherError = 2, kOutOfMemory = 3 };

// Runs work in a child whose address space may grow by at most `room` bytes beyond what it
// has now, so that any allocation for the claimed picture fails there.
int RunWithAddressLimit(const std::function<ChildResult()>& work, std::string& message, size_t room) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
#ifndef KIRIMARK_TEST_ASAN  // its shadow memory needs far more address space than any limit
        long pages = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
            std::fclose(f);
        }
        const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
        const rlimit limit{now + room, now + room};
        ::setrlimit(RLIMIT_AS, &limit);
#else
        (void)room;
#endif
        ChildResult r;
        std::string text;
        try {
            r = work();
        } catch (const EInvalidGraphic& e) {
            r = kRefused;
            text = e.what();
        } catch (const std::bad_alloc&) {
            r = kOutOfMemory;
        } catch (const std::exception& e) {
            r = kOtherError;
            text = e.what();
        }
        if (::write(fds[1], text.data(), text.size()) < 0) r = kOtherError;
        ::_exit(r);
    }
    ::close(fds[1]);
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) message.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

constexpr size_t kRoom = size_t{256} << 20;  // far below any of the claimed pictures

struct HugeCase {
    const char* name;
    Bytes file;
    bool png;
    int result;
    const char* message;  // part of the refusal's text
};

// Under AddressSanitizer the refusals are checked without the address limit.
TEST(ResourceLimits, HugeHeadersAreRefusedBeforeAllocation) {
    const HugeCase cases[] = {
        // 16384 x 16384 x 3 bytes = 768 MiB of pixels promised by 100 bytes.
        {"BMP 24-bit, 16384 x 16384, 100 bytes of pixels", BmpFile(16384, 16384, 24, 0, 100), false, kRefused,
         "the file is truncated"},
        {"BMP 8-bit, 1048576 x 256, 100 bytes of pixels", BmpFile(1 << 20, 256, 8, 0, 100), false, kRefused,
         "the file is truncated"},
        {"BMP 8-bit RLE, 16384 x 16384, an end-of-bitmap code only", BmpFile(16384, 16384, 8, 1, 2, {0, 1}), false,
         kRefused, "too large for its compressed data"},
        {"BMP 4-bit RLE, 16384 x 16384, 4 KiB of codes", BmpFile(16384, 16384, 4, 2, 4096, {0, 1}), false, kRefused,
         "too large for its compressed data"},
        {"BMP past the size limit", BmpFile((1 << 20) + 1, 1, 24, 0, 4 * ((1 << 20) + 1)), false, kRefused,
         "too large"},
        {"PNG truecolour, 16384 x 16384, 40 bytes of image data", PngFile(16384, 16384, 2, 40), true, kRefused,
         "Read Image (PNG): Read Error"},
        {"PNG truecolour with alpha, 16384 x 16384, 20 KiB of image data", PngFile(16384, 16384, 6, 20000), true,
         kRefused, "Read Image (PNG): Read Error"},
        {"PNG, 1048577 x 1", PngFile((1 << 20) + 1, 1, 2, 40), true, kRefused, "Read Header(PNG): Error Image Size"},
        {"PNG, 65536 x 65536", PngFile(65536, 65536, 0, 40), true, kRefused, "Read Header(PNG): Error Image Size"},
        // No image data: nothing to decode, nothing allocated, and no picture.
        {"PNG truecolour, 16384 x 16384, no image data", PngFile(16384, 16384, 2, 0), true, kRefused,
         "PNG LoadStream: no IDAT chunk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string message;
        const int result = RunWithAddressLimit(
            [&] {
                TMemoryStream stream(c.file);
                if (c.png) {
                    TKMPNG png;
                    png.LoadFromStream(stream);
                } else {
                    TBitmap bmp;
                    ReadBmp(stream, bmp);
                }
                return kLoaded;
            },
            message, kRoom);
        EXPECT_EQ(result, c.result) << message;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
}

// The limit above really stops an allocation of a claimed picture's size, so the refusals are
// not just allocations that happened to fit.
TEST(ResourceLimits, TheAddressLimitStopsAPictureSizedAllocation) {
#ifdef KIRIMARK_TEST_ASAN
    GTEST_SKIP() << "an address-space limit cannot coexist with AddressSanitizer's shadow memory";
#endif
    std::string message;
    const int result = RunWithAddressLimit(
        [] {
            TBitmap bmp;
            bmp.Allocate(pf24bit, 16384, 16384);
            return kLoaded;
        },
        message, kRoom);
    EXPECT_EQ(result, kOutOfMemory) << message;
}

// A 24-bit bottom-up BMP of width x height with a simple gradient, written row by row.
void WriteLargeBmp(const std::string& path, int width, int height) {
    const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
    Bytes header = BmpFile(width, height, 24, 0, 0);
    const uint32_t fileSize = static_cast<uint32_t>(header.size()) + stride * static_cast<uint32_t>(height);
    for (int i = 0; i < 4; ++i) header[2 + i] = static_cast<uint8_t>(fileSize >> (8 * i));
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    std::vector<char> row(stride);
    for (int y = 0; y < height; ++y) {
        for (uint32_t i = 0; i < stride; ++i) row[i] = static_cast<char>((i * 7 + static_cast<uint32_t>(y)) & 0xFF);
        out.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
}

// Peak memory of `kirimark --stamp` on one picture, in bytes.
long PeakBytes(const std::string& picture, const std::string& format, const std::string& dir) {
    const faulttest::Child child =
        faulttest::StartProgram({"--stamp", "--format", format, picture}, dir + "/settings.ini", dir);
    rusage usage{};
    if (faulttest::WaitChild(child, &usage) != 0) return -1;
    return usage.ru_maxrss * 1024L;
}

TEST(ResourceLimits, StampingA6000x4000PictureNeedsAtMostTwiceItsPixelBytes) {
#ifdef KIRIMARK_TEST_ASAN
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine distort the peak";
#endif
    if (faulttest::ProgramPath().empty()) GTEST_SKIP() << "the kirimark program is not built (run through ctest)";
    testsupport::TempDir dir;
    constexpr int kWidth = 6000, kHeight = 4000;
    constexpr double kPixelBytes = double{kWidth} * 3 * kHeight;
    WriteLargeBmp(dir.file("large.bmp"), kWidth, kHeight);
    WriteLargeBmp(dir.file("small.bmp"), 64, 64);
    for (const std::string format : {"jpeg", "png"}) {
        SCOPED_TRACE(format);
        // The program's own footprint (libraries, fonts) is measured on a tiny picture.
        const long base = PeakBytes("small.bmp", format, dir.path().string());
        const long large = PeakBytes("large.bmp", format, dir.path().string());
        ASSERT_GT(base, 0);
        ASSERT_GT(large, 0);
        const double ratio = static_cast<double>(large - base) / kPixelBytes;
        std::printf("%s: peak %ld MiB, %ld MiB over a tiny picture, %.2f x the pixel bytes\n", format.c_str(),
                    large >> 20, (large - base) >> 20, ratio);
        RecordProperty(format + "_ratio", std::to_string(ratio));
        EXPECT_LE(ratio, 2.2);
        EXPECT_GE(ratio, 0.9);  // the picture itself is held once: the measure measures
    }
}

}  // namespace
