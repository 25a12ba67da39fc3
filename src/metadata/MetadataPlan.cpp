#include "MetadataPlan.h"

#include <algorithm>
#include <mutex>

#include <exiv2/exiv2.hpp>

#include "JpegMetadata.h"

namespace {

// IIM caps CopyrightNotice at 128 bytes.
constexpr size_t kIptcCopyrightMax = 128;
const char* const kIptcUtf8 = "\x1b%G";

// The XMP toolkit and exiv2's namespace registry are process-wide; every use here holds this.
std::mutex& LibraryMutex() {
    static std::mutex mutex;
    return mutex;
}

void LockXmp(void* data, bool lock) {
    auto* mutex = static_cast<std::recursive_mutex*>(data);
    lock ? mutex->lock() : mutex->unlock();
}

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c > 0 && uint8_t(c) < 0x80; });
}

// The longest prefix of at most max bytes that does not cut a UTF-8 sequence.
std::string Utf8Prefix(const std::string& text, size_t max) {
    if (text.size() <= max) return text;
    size_t end = max;
    while (end > 0 && (uint8_t(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

const Exiv2::byte* Bytes(const std::string& s) { return reinterpret_cast<const Exiv2::byte*>(s.data()); }

template <typename Data, typename Pred>
void EraseIf(Data& data, Pred pred) {
    for (auto it = data.begin(); it != data.end();) it = pred(*it) ? data.erase(it) : std::next(it);
}

template <typename Data, typename Value>
void SetIfPresent(Data& data, const char* key, Value value) {
    auto it = std::find_if(data.begin(), data.end(), [&](const auto& d) { return d.key() == key; });
    if (it != data.end()) it->setValue(std::to_string(value));
}

// Pictures of the source that would show it unstamped: the IFD1 thumbnail and the previews
// some makers' notes hold.
bool IsPreview(const Exiv2::Exifdatum& d) {
    if (d.groupName() == "NikonPreview") return true;
    if (!Exiv2::ExifTags::isMakerGroup(d.groupName())) return false;
    const std::string name = d.tagName();
    return name.find("Thumbnail") != std::string::npos || name.find("Preview") != std::string::npos;
}

std::string PlanExif(const PhotoMetadata& source, const MetadataPlan& plan, std::vector<std::string>& notes) {
    Exiv2::ExifData exif;
    Exiv2::ByteOrder order = Exiv2::littleEndian;
    if (plan.keepMetadata && !source.exif.empty()) {
        try {
            order = Exiv2::ExifParser::decode(exif, Bytes(source.exif), uint32_t(source.exif.size()));
        } catch (const std::exception&) {
            order = Exiv2::invalidByteOrder;
        }
        if (order == Exiv2::invalidByteOrder) {
            notes.push_back("EXIF left out: damaged");
            exif.clear();
            order = Exiv2::littleEndian;
        }
        if (plan.stripLocation) {
            EraseIf(exif, [](const Exiv2::Exifdatum& d) {
                return d.groupName() == "GPSInfo" || d.key() == "Exif.Image.GPSTag";
            });
        }
        Exiv2::ExifThumb(exif).erase();
        EraseIf(exif, IsPreview);
        if (plan.width > 0 && plan.height > 0) {
            SetIfPresent(exif, "Exif.Photo.PixelXDimension", plan.width);
            SetIfPresent(exif, "Exif.Photo.PixelYDimension", plan.height);
        }
    }
    if (plan.embedNotice && !plan.notice.empty() && IsAscii(plan.notice)) exif["Exif.Image.Copyright"] = plan.notice;
    if (plan.orientation != 1 || exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation")) != exif.end())
        exif["Exif.Image.Orientation"] = uint16_t(plan.orientation);
    if (exif.empty()) return {};
    if (plan.target == TMetadataTarget::Jpeg) {
        // Tags EXIF requires of a JPEG file; a block made here would lack them. The values are
        // EXIF's defaults.
        for (const auto& [key, value] : {std::pair{"Exif.Image.XResolution", "72/1"},
                                         {"Exif.Image.YResolution", "72/1"},
                                         {"Exif.Image.ResolutionUnit", "2"},
                                         {"Exif.Image.YCbCrPositioning", "1"}}) {
            if (exif.findKey(Exiv2::ExifKey(key)) == exif.end()) exif[key] = value;
        }
    }

    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, nullptr, 0, order, exif);
    std::string out(blob.begin(), blob.end());
    if (plan.target == TMetadataTarget::Jpeg && out.size() > kJpegMaxExif) {
        notes.push_back("EXIF left out: too large for a JPEG file");
        return {};
    }
    return out;
}

std::string PlanXmp(const PhotoMetadata& source, const MetadataPlan& plan, std::vector<std::string>& notes) {
    Exiv2::XmpData xmp;
    if (plan.keepMetadata && !source.xmp.empty()) {
        if (Exiv2::XmpParser::decode(xmp, source.xmp) != 0) {
            notes.push_back("XMP left out: damaged");
            xmp.clear();
        }
        if (plan.stripLocation) {
            // exif:GPS* also sits inside structures such as the IPTC extension's locations.
            EraseIf(xmp, [](const Exiv2::Xmpdatum& d) {
                const std::string key = d.key();
                return key.rfind("Xmp.exif.GPS", 0) == 0 || key.find("/exif:GPS") != std::string::npos;
            });
        }
        EraseIf(xmp, [](const Exiv2::Xmpdatum& d) { return d.key().rfind("Xmp.xmp.Thumbnails", 0) == 0; });
        SetIfPresent(xmp, "Xmp.tiff.Orientation", plan.orientation);
        if (plan.width > 0 && plan.height > 0) {
            SetIfPresent(xmp, "Xmp.exif.PixelXDimension", plan.width);
            SetIfPresent(xmp, "Xmp.exif.PixelYDimension", plan.height);
            SetIfPresent(xmp, "Xmp.tiff.ImageWidth", plan.width);
            SetIfPresent(xmp, "Xmp.tiff.ImageLength", plan.height);
        }
    }
    if (plan.embedNotice && !plan.notice.empty()) {
        const Exiv2::XmpKey rights("Xmp.dc.rights");
        EraseIf(xmp, [&](const Exiv2::Xmpdatum& d) { return d.key().rfind(rights.key(), 0) == 0; });
        Exiv2::LangAltValue value;
        value.value_["x-default"] = plan.notice;
        xmp.add(rights, &value);
    }
    if (xmp.empty()) return {};

    std::string packet;
    if (Exiv2::XmpParser::encode(packet, xmp, Exiv2::XmpParser::useCompactFormat) != 0) {
        notes.push_back("XMP left out: could not be written");
        return {};
    }
    if (plan.target == TMetadataTarget::Jpeg && packet.size() > kJpegMaxXmp) {
        notes.push_back("XMP left out: too large for a JPEG file");
        return {};
    }
    return packet;
}

// Text datasets that are not UTF-8 yet are taken as Latin-1, the encoding IIM readers assume
// without a coded character set, so that declaring UTF-8 keeps them readable.
void MakeIptcUtf8(Exiv2::IptcData& iptc) {
    const char* charset = iptc.detectCharset();
    if (charset && (std::string(charset) == "UTF-8" || std::string(charset) == "ASCII")) return;
    for (auto& d : iptc) {
        if (d.typeId() != Exiv2::string || d.record() != Exiv2::IptcDataSets::application2) continue;
        std::string text = d.toString();
        if (IsAscii(text)) continue;
        if (Exiv2::convertStringCharset(text, "ISO-8859-1", "UTF-8")) d.setValue(text);
    }
}

std::string PlanIptc(const PhotoMetadata& source, const MetadataPlan& plan, std::vector<std::string>& notes) {
    if (plan.target != TMetadataTarget::Jpeg) return {};
    Exiv2::IptcData iptc;
    if (plan.keepMetadata && !source.iptc.empty()) {
        if (Exiv2::IptcParser::decode(iptc, Bytes(source.iptc), uint32_t(source.iptc.size())) != 0) {
            notes.push_back("IPTC left out: damaged");
            iptc.clear();
        }
    }
    if (plan.embedNotice && !plan.notice.empty()) {
        MakeIptcUtf8(iptc);
        iptc["Iptc.Envelope.CharacterSet"] = std::string(kIptcUtf8);
        const std::string notice = Utf8Prefix(plan.notice, kIptcCopyrightMax);
        if (notice.size() < plan.notice.size()) notes.push_back("IPTC copyright notice cut to 128 bytes");
        iptc["Iptc.Application2.Copyright"] = notice;
    }
    if (iptc.empty()) return {};

    // Each record starts with its version dataset; the encoder keeps the order within a record.
    Exiv2::IptcData ordered;
    for (const char* version : {"Iptc.Envelope.ModelVersion", "Iptc.Application2.RecordVersion"}) {
        const Exiv2::IptcKey key(version);
        const uint16_t record = key.record();
        const bool used = std::any_of(iptc.begin(), iptc.end(), [&](const auto& d) { return d.record() == record; });
        if (!used) continue;
        auto it = iptc.findKey(key);
        Exiv2::UShortValue v;
        v.value_.push_back(it != iptc.end() ? uint16_t(it->toLong()) : uint16_t(4));
        ordered.add(key, &v);
    }
    for (const auto& d : iptc)
        if (d.tag() != 0) ordered.add(d);

    const Exiv2::DataBuf buf = Exiv2::IptcParser::encode(ordered);
    std::string out(reinterpret_cast<const char*>(buf.pData_), size_t(buf.size_));
    if (out.size() > kJpegMaxIptc) {
        notes.push_back("IPTC left out: too large for a JPEG file");
        return {};
    }
    return out;
}

std::string PlanIcc(const PhotoMetadata& source, const MetadataPlan& plan, std::vector<std::string>& notes) {
    if (source.icc.empty()) return {};
    const std::string icc = source.icc.substr(0, IccDeclaredSize(source.icc));
    if (!IccFitsOutput(icc, plan.colour)) {
        notes.push_back(icc.empty() ? "ICC profile left out: damaged"
                                    : "ICC profile left out: it does not describe the output's colours");
        return {};
    }
    if (plan.target == TMetadataTarget::Jpeg && icc.size() > kJpegMaxIcc) {
        notes.push_back("ICC profile left out: too large for a JPEG file");
        return {};
    }
    return icc;
}

// One block's failure in the library costs that block only.
template <typename Fn>
std::string Guarded(const char* what, std::vector<std::string>& notes, Fn fn) {
    try {
        return fn();
    } catch (const std::exception& e) {
        notes.push_back(std::string(what) + " left out: " + e.what());
        return {};
    }
}

}  // namespace

void InitMetadataLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);  // failures reach the user as notes instead
        static std::recursive_mutex xmpMutex;
        Exiv2::XmpParser::initialize(LockXmp, &xmpMutex);
    });
}

OutputMetadata PlanOutputMetadata(const PhotoMetadata& source, const MetadataPlan& plan) {
    InitMetadataLibrary();
    std::lock_guard lock(LibraryMutex());
    MetadataPlan checked = plan;
    if (checked.orientation < 1 || checked.orientation > 8) checked.orientation = 1;
    OutputMetadata out;
    out.blocks.orientation = checked.orientation;
    out.blocks.exif = Guarded("EXIF", out.notes, [&] { return PlanExif(source, checked, out.notes); });
    out.blocks.xmp = Guarded("XMP", out.notes, [&] { return PlanXmp(source, checked, out.notes); });
    out.blocks.iptc = Guarded("IPTC", out.notes, [&] { return PlanIptc(source, checked, out.notes); });
    out.blocks.icc = PlanIcc(source, checked, out.notes);
    return out;
}
