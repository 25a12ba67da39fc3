#include "Picture.h"

#include <algorithm>
#include <mutex>

#include "Jpeg.h"
#include "SysUtils.h"

namespace {

std::mutex& RegistryMutex() {
    static std::mutex m;
    return m;
}

std::vector<TFileFormat>& Registry() {
    static std::vector<TFileFormat> formats = [] {
        std::vector<TFileFormat> v;
        v.push_back({"bmp", "Bitmaps", [] { return std::make_unique<TBitmap>(); }});
        v.push_back({"jpeg", "JPEG Image File", [] { return std::make_unique<TJPEGImage>(); }});
        v.push_back({"jpg", "JPEG Image File", [] { return std::make_unique<TJPEGImage>(); }});
        return v;
    }();
    return formats;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

void RegisterFileFormat(const std::string& extension, const std::string& description, TGraphicFactory factory) {
    std::lock_guard lock(RegistryMutex());
    auto& reg = Registry();
    const std::string ext = Lower(extension);
    for (auto& f : reg) {
        if (f.Extension == ext) {
            f.Description = description;
            f.Create = std::move(factory);
            return;
        }
    }
    reg.push_back({ext, description, std::move(factory)});
}

void UnregisterFileFormat(const std::string& extension) {
    std::lock_guard lock(RegistryMutex());
    auto& reg = Registry();
    const std::string ext = Lower(extension);
    reg.erase(std::remove_if(reg.begin(), reg.end(), [&](const TFileFormat& f) { return f.Extension == ext; }),
              reg.end());
}

std::vector<TFileFormat> RegisteredFileFormats() {
    std::lock_guard lock(RegistryMutex());
    return Registry();
}

void TPicture::LoadFromFile(const std::string& fileName) {
    const size_t slash = fileName.find_last_of('/');
    const size_t dot = fileName.find_last_of('.');
    const std::string ext =
        (dot == std::string::npos || (slash != std::string::npos && dot < slash)) ? "" : fileName.substr(dot + 1);
    TGraphicFactory factory;
    {
        std::lock_guard lock(RegistryMutex());
        for (const auto& f : Registry())
            if (f.Extension == Lower(ext)) factory = f.Create;
    }
    if (!factory) throw EInvalidGraphic("Unknown picture file extension (." + ext + ")");
    std::unique_ptr<TGraphic> graphic = factory();
    graphic->LoadFromFile(fileName);
    graphic_ = std::move(graphic);
}

TBitmap& TPicture::Bitmap() {
    if (auto* bmp = dynamic_cast<TBitmap*>(graphic_.get())) return *bmp;
    auto bmp = std::make_unique<TBitmap>();
    if (graphic_) bmp->Assign(*graphic_);
    graphic_ = std::move(bmp);
    return static_cast<TBitmap&>(*graphic_);
}
