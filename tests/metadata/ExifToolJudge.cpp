#include "ExifToolJudge.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <jpeglib.h>

#include "Classes.h"
#include "Graphics.h"
#include "Jpeg.h"
#include "KMPNG.h"

namespace metatest {
namespace {

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Run(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    ::pclose(pipe);
    return out;
}

void RunChecked(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Just enough JSON for exiftool's -j output: an array of flat objects whose values are
// strings, numbers, literals or arrays of those.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : s_(text) {}

    std::vector<Tags> Files() {
        std::vector<Tags> files;
        Expect('[');
        while (Peek() != ']') {
            files.push_back(Object());
            if (Peek() == ',') ++i_;
        }
        return files;
    }

private:
    Tags Object() {
        Tags tags;
        Expect('{');
        while (Peek() != '}') {
            const std::string key = String();
            Expect(':');
            tags[key] = Value();
            if (Peek() == ',') ++i_;
        }
        ++i_;
        return tags;
    }

    std::string Value() {
        const char c = Peek();
        if (c == '"') return String();
        if (c == '[') {
            ++i_;
            std::string joined;
            while (Peek() != ']') {
                joined += (joined.empty() ? "" : ", ") + Value();
                if (Peek() == ',') ++i_;
            }
            ++i_;
            return joined;
        }
        const size_t start = i_;
        while (i_ < s_.size() && std::string_view(",}] \n\r\t").find(s_[i_]) == std::string_view::npos) ++i_;
        if (start == i_) throw std::runtime_error("JSON: no value at " + std::to_string(i_));
        return s_.substr(start, i_ - start);
    }

    std::string String() {
        Expect('"');
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            c = s_.at(i_++);
            switch (c) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': AppendUtf8(out, Hex4()); break;
            default: out += c;
            }
        }
        Expect('"');
        return out;
    }

    uint32_t Hex4() {
        uint32_t v = std::stoul(s_.substr(i_, 4), nullptr, 16);
        i_ += 4;
        if (v >= 0xD800 && v < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
            i_ += 2;
            const uint32_t low = std::stoul(s_.substr(i_, 4), nullptr, 16);
            i_ += 4;
            v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
        }
        return v;
    }

    static void AppendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | cp >> 6);
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | cp >> 12);
            out += char(0x80 | (cp >> 6 & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | cp >> 18);
            out += char(0x80 | (cp >> 12 & 0x3F));
            out += char(0x80 | (cp >> 6 & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    char Peek() {
        while (i_ < s_.size() && std::isspace(uint8_t(s_[i_]))) ++i_;
        if (i_ >= s_.size()) throw std::runtime_error("JSON: cut short");
        return s_[i_];
    }

    void Expect(char c) {
        if (Peek() != c) throw std::runtime_error(std::string("JSON: expected ") + c + " at " + std::to_string(i_));
        ++i_;
    }

    const std::string& s_;
    size_t i_ = 0;
};

}  // namespace

bool HaveExifTool() {
    static const bool found = std::system("exiftool -ver >/dev/null 2>&1") == 0;
    return found;
}

std::map<std::string, Tags> ReadTags(const std::vector<std::string>& files) {
    std::string command = "exiftool -j -G1 -a -n -validate -all";
    for (const auto& f : files) command += " " + Quote(f);
    std::map<std::string, Tags> byFile;
    for (Tags& tags : JsonReader(Run(command + " 2>/dev/null")).Files()) byFile[tags["SourceFile"]] = std::move(tags);
    return byFile;
}

std::vector<std::string> ReadBinaryTag(const std::vector<std::string>& files, const std::string& tag) {
    std::vector<std::string> values;
    std::string command = "exiftool -q -q -b -W " + Quote("%d%f." + tag + ".bin") + " -" + tag;
    for (const auto& f : files) command += " " + Quote(f);
    std::system((command + " 2>/dev/null").c_str());  // fails when a file lacks the tag
    for (const auto& f : files) {
        const auto path = std::filesystem::path(f).replace_extension(tag + ".bin");
        values.push_back(ReadFile(path.string()));
        std::filesystem::remove(path);
    }
    return values;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

namespace {

void FillTinyBitmap(TBitmap& bmp) {
    bmp.Allocate(pf24bit, 20, 12, TPalette());
    for (int y = 0; y < 12; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int i = 0; i < 60; ++i) row[i] = uint8_t(i * 9 + y * 21);
    }
}

std::string Bytes(const TMemoryStream& s) { return std::string(s.Bytes().begin(), s.Bytes().end()); }

}  // namespace

std::string TinyJpeg() {
    TBitmap bmp;
    FillTinyBitmap(bmp);
    TMemoryStream out;
    SaveBitmapAsJpeg(bmp, 90, out);
    return Bytes(out);
}

std::string TinyPng() {
    TBitmap bmp;
    FillTinyBitmap(bmp);
    TMemoryStream out;
    SaveBitmapAsPng(bmp, 6, out);
    return Bytes(out);
}

namespace {
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};
}  // namespace

std::vector<uint8_t> DecodeJpeg(const std::string& jpeg) {
    jpeg_decompress_struct cinfo{};
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1); };
    std::vector<uint8_t> pixels;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return {};
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.data()), (unsigned long)jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    pixels.resize(size_t(cinfo.output_width) * cinfo.output_height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels.data() + size_t(cinfo.output_scanline) * cinfo.output_width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return pixels;
}

std::string IccProfile(const char* deviceClass, const char* colourSpace, size_t size) {
    size = std::max<size_t>(size, 156);
    std::string p(size, '\0');
    for (int i = 0; i < 4; ++i) p[i] = char(size >> (24 - 8 * i) & 0xFF);
    p.replace(8, 4, "\x04\x30\0\0", 4);  // version 4.3
    p.replace(12, 4, deviceClass);
    p.replace(16, 4, colourSpace);
    p.replace(20, 4, "XYZ ");
    p.replace(36, 4, "acsp");
    p.replace(68, 12, "\0\0\xF6\xD6\0\1\0\0\0\0\xD3\x2D", 12);  // D50
    // one tag, a copyright text, then filler
    p.replace(128, 16, "\0\0\0\1cprt\0\0\0\x90\0\0\0\x0C", 16);
    p.replace(144, 12, "text\0\0\0\0ICC\0", 12);
    for (size_t i = 156; i < size; ++i) p[i] = char(i * 7 % 251);
    return p;
}

const Source& ExifToolSource(const std::string& dir) {
    static const Source source = [&] {
        const std::string base = dir + "/base.jpg", src = dir + "/source.jpg";
        WriteFile(base, TinyJpeg());
        RunChecked("exiftool -q -o " + Quote(src) +
                   " -IFD0:Make=KiriCam '-IFD0:Copyright=(c) Old Owner' -IFD0:Orientation#=6"
                   " '-ExifIFD:DateTimeOriginal=2024:05:01 10:00:00' -ExifIFD:ExifImageWidth=12"
                   " -ExifIFD:ExifImageHeight=20 -GPSLatitude=35.68 -GPSLatitudeRef=N -GPSLongitude=139.76"
                   " -GPSLongitudeRef=E '-ThumbnailImage<=" +
                   base + "' '-XMP-xmp:ThumbnailImage<=" + base +
                   "' -XMP-dc:Creator=Photographer '-XMP-dc:Rights=Old rights' -XMP-exif:GPSLatitude=35.68"
                   " -XMP-tiff:Orientation#=6 -XMP-iptcExt:LocationCreatedGPSLatitude=35.68"
                   " -IPTC:Keywords=alpha -IPTC:City=Z\xC3\xBCrich '-IPTC:CopyrightNotice=Old notice' " +
                   Quote(base));
        Source s;
        s.jpeg = ReadFile(src);
        RunChecked("exiftool -q -b -W " + Quote(dir + "/%t.bin") + " -EXIF -XMP -IPTC " + Quote(src));
        s.metadata.exif = ReadFile(dir + "/EXIF.bin");
        s.metadata.xmp = ReadFile(dir + "/XMP.bin");
        s.metadata.iptc = ReadFile(dir + "/IPTC.bin");
        s.metadata.orientation = 6;
        if (s.metadata.exif.empty() || s.metadata.xmp.empty() || s.metadata.iptc.empty())
            throw std::runtime_error("exiftool did not write the source's metadata");
        return s;
    }();
    return source;
}

}  // namespace metatest
