// The buffered input stream: budget, sticky flags, big-endian values across refills, and the
// same answers from in-memory and file sources.
#include <memory>

#include <gtest/gtest.h>

#include "Classes.h"
#include "KMPNG.h"
#include "KMReadStream.h"
#include "PngTestHelpers.h"
#include "TestSupport.h"

using namespace pngread;

namespace {

// Byte i of the test data is a fixed function of i, so any value read names its offset.
Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131 + (i >> 8) * 7) & 0xFF);
    return b;
}

uint32_t BigEndianAt(const Bytes& b, size_t i, int n) {
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) v = (v << 8) | b[i + static_cast<size_t>(k)];
    return v;
}

// Each source kind over the same bytes.
class Sources {
public:
    explicit Sources(const Bytes& bytes) : bytes_(bytes) { TMemoryStream(Bytes(bytes)).SaveToFile(dir_.file("data")); }
    std::unique_ptr<TStream> Make(bool inMemory) const {
        if (inMemory) return std::make_unique<TMemoryStream>(Bytes(bytes_));
        return std::make_unique<TFileStream>(dir_.file("data"), fmOpenRead);
    }

private:
    Bytes bytes_;
    testsupport::TempDir dir_;
};

}  // namespace

TEST(PngReadStream, ValuesAcrossTheBufferBoundaryReadCorrectly) {
    const Bytes data = Pattern(3 * 65536 + 100);
    Sources sources(data);
    // Offsets where a value starts, chosen so it straddles the end of the first 64 KiB fill.
    struct Case {
        int64_t skip;
        int width;  // 1, 2 or 4 bytes
    };
    const Case cases[] = {{65535, 1}, {65535, 2}, {65534, 4}, {65533, 4}, {65535, 4}, {65532, 4}, {65536, 4}};
    for (bool inMemory : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(inMemory ? "memory " : "file ") + std::to_string(c.skip) + "/" +
                         std::to_string(c.width));
            auto source = Sources(data).Make(inMemory);
            TKMCustomReadStream r;
            r.Open(*source, 0);
            // Reach the offset partly by reading, so that the buffer really holds the first fill.
            Bytes head(100);
            r.ReadBytes(head.data(), 100);
            r.Skip(c.skip - 100);
            const uint32_t v = c.width == 1 ? r.ReadByte() : c.width == 2 ? r.ReadWordBE() : r.ReadDWordBE();
            EXPECT_EQ(v, BigEndianAt(data, static_cast<size_t>(c.skip), c.width));
            // And the byte after it.
            EXPECT_EQ(r.ReadByte(), data[static_cast<size_t>(c.skip + c.width)]);
            EXPECT_FALSE(r.Exhausted());
            r.Close();
        }
    }
}

TEST(PngReadStream, LargeAndSmallReadsReturnTheSourceBytes) {
    const Bytes data = Pattern(300000);
    Sources sources(data);
    const int64_t pieces[] = {3, 65533, 7, 200000, 1, 30000};
    for (bool inMemory : {true, false}) {
        SCOPED_TRACE(inMemory ? "memory" : "file");
        auto source = sources.Make(inMemory);
        TKMCustomReadStream r;
        r.Open(*source, 0);
        size_t offset = 0;
        for (int64_t n : pieces) {
            Bytes got(static_cast<size_t>(n));
            r.ReadBytes(got.data(), n);
            ASSERT_TRUE(std::equal(got.begin(), got.end(), data.begin() + static_cast<long>(offset))) << n;
            offset += static_cast<size_t>(n);
        }
        EXPECT_EQ(r.Consumed(), static_cast<int64_t>(offset));
        r.Close();
        EXPECT_EQ(source->Position(), static_cast<int64_t>(offset));
    }
}

TEST(PngReadStream, TheBudgetIsNeverPassedAndTheFlagsStick) {
    const Bytes data = Pattern(64);
    Sources sources(data);
    for (bool inMemory : {true, false}) {
        SCOPED_TRACE(inMemory ? "memory" : "file");
        auto source = sources.Make(inMemory);
        source->SetPosition(10);
        TKMCustomReadStream r;
        r.Open(*source, 20);  // bytes 10..29
        EXPECT_EQ(r.Budget(), 20);
        r.Skip(16);
        Bytes dest(8, 0xEE);
        r.ReadBytes(dest.data(), 8);  // 4 left: copies nothing
        EXPECT_TRUE(r.Exhausted());
        EXPECT_EQ(dest, Bytes(8, 0xEE));
        EXPECT_EQ(r.ReadByte(), 0) << "sticky: even a byte that is there is no longer handed out";
        EXPECT_EQ(r.ReadDWordBE(), 0u);
        r.Close();
        EXPECT_EQ(source->Position(), 26);
    }
}

TEST(PngReadStream, EdgeRequestsSetTheirFlags) {
    struct Case {
        const char* name;
        int64_t available;  // bytes after the start position
        void (*act)(TKMCustomReadStream&);
        bool stopped, exhausted;
    };
    const Case cases[] = {
        {"empty rest of stream", 0, [](TKMCustomReadStream&) {}, false, true},
        // Asking for nothing is no reason to stop: the bytes after it still read.
        {"zero-length read", 4,
         [](TKMCustomReadStream& r) {
             r.ReadBytes(nullptr, 0);
             EXPECT_EQ(r.ReadDWordBE(),
                       Pattern(4)[0] * 0x1000000u + Pattern(4)[1] * 0x10000u + Pattern(4)[2] * 0x100u + Pattern(4)[3]);
         },
         false, false},
        {"zero-length skip", 10,
         [](TKMCustomReadStream& r) {
             r.Skip(0);
             r.Skip(10);
         },
         false, false},
        {"negative read", 10,
         [](TKMCustomReadStream& r) {
             uint8_t b;
             r.ReadBytes(&b, -1);
         },
         false, true},
        {"negative skip", 10, [](TKMCustomReadStream& r) { r.Skip(-1); }, false, true},
        {"word past the end", 1, [](TKMCustomReadStream& r) { r.ReadWordBE(); }, false, true},
        {"dword past the end", 3, [](TKMCustomReadStream& r) { r.ReadDWordBE(); }, false, true},
        {"skip past the end", 10, [](TKMCustomReadStream& r) { r.Skip(11); }, false, true},
        {"exact end", 4, [](TKMCustomReadStream& r) { r.ReadDWordBE(); }, false, false},
    };
    for (const auto& c : cases) {
        for (bool inMemory : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (inMemory ? " (memory)" : " (file)"));
            Sources sources(Pattern(static_cast<size_t>(c.available)));
            auto source = sources.Make(inMemory);
            TKMCustomReadStream r;
            r.Open(*source, 0);
            c.act(r);
            EXPECT_EQ(r.Stopped(), c.stopped);
            EXPECT_EQ(r.Exhausted(), c.exhausted);
            r.Close();
        }
    }
}

TEST(PngReadStream, AMemoryBlockIsNeverReadPastItsEnd) {
    // The caller names more bytes than the block holds: the budget shrinks to what is there.
    TMemoryStream source{Pattern(10)};
    TKMCustomReadStream r;
    r.Open(source, 1000);
    EXPECT_EQ(r.Budget(), 10);
    Bytes dest(11);
    r.ReadBytes(dest.data(), 11);
    EXPECT_TRUE(r.Exhausted());
    r.Close();
}

TEST(PngReadStream, APngValueSplitAtTheFileBufferBoundaryDecodes) {
    // A private chunk puts the IDAT length field across offset 65536 of a file source.
    Bytes png = Signature();
    AppendChunk(png, "IHDR", Ihdr(3, 2, 8, 2));
    const size_t privateStart = png.size();
    const size_t privateData = 65534 - privateStart - 12;
    AppendChunk(png, "prVt", Bytes(privateData, 7));
    ASSERT_EQ(png.size(), 65534u);
    const Bytes raw = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    AppendChunk(png, "IDAT", Zlib(raw));
    AppendChunk(png, "IEND", {});
    testsupport::TempDir dir;
    TMemoryStream(Bytes(png)).SaveToFile(dir.file("split.png"));
    TKMPNG image;
    image.LoadFromFile(dir.file("split.png"));
    ASSERT_EQ(image.Width(), 3);
    EXPECT_EQ(image.Bitmap.GetPixel(0, 0), RGBColor(1, 2, 3));
    EXPECT_EQ(image.Bitmap.GetPixel(2, 1), RGBColor(3, 2, 1));
}
