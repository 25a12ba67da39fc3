// The picture registry: graphic classes register the file extensions they load, and a
// picture loads a file by its extension.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Graphics.h"

using TGraphicFactory = std::function<std::unique_ptr<TGraphic>()>;

struct TFileFormat {
    std::string Extension;  // without the dot, compared without regard to case
    std::string Description;
    TGraphicFactory Create;
};

// Registers (or replaces) the handler of an extension; registering the same extension again
// keeps a single entry.
void RegisterFileFormat(const std::string& extension, const std::string& description, TGraphicFactory factory);
void UnregisterFileFormat(const std::string& extension);
std::vector<TFileFormat> RegisteredFileFormats();

class TPicture {
public:
    // Loads the file with the graphic class registered for its extension. Raises
    // EInvalidGraphic ("Unknown picture file extension (.xyz)") for an unregistered one.
    void LoadFromFile(const std::string& fileName);
    TGraphic* Graphic() const { return graphic_.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic) { graphic_ = std::move(graphic); }
    // The picture as a bitmap; a picture of another class is converted into a new bitmap.
    TBitmap& Bitmap();
    int Width() const { return graphic_ ? graphic_->Width() : 0; }
    int Height() const { return graphic_ ? graphic_->Height() : 0; }

private:
    std::unique_ptr<TGraphic> graphic_;
};
