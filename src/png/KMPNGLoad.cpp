// Loading of TKMPNG (stream and stored binary data) and its place in the picture registry.
#include "KMPNGLoad.h"

#include <memory>

#include "KMPNG.h"
#include "KMPNGReadStream.h"
#include "Picture.h"

namespace {

void PrepareReader(TKMPNGReadStream& reader, TKMPNG& png) {
    reader.SkipMacBinary = true;
    reader.TimeRecord = &png.ModificationTime;
    reader.Chromaticities = &png.Chromaticities;
    reader.GIFControl = &png.GIFControl;
    png.AlphaBitmap.Clear();
    reader.AlphaTarget = &png.AlphaBitmap;
}

void CopyResults(const TKMPNGReadStream& reader, TKMPNG& png) {
    png.HasAlpha = reader.HasAlpha();
    png.Comment = reader.Comment();
    png.BackgroundColor = reader.BackgroundColor();
    png.TransparentColor = reader.TransparentColor();
    png.Gamma = reader.Gamma();
    png.PhysUnit = reader.PhysUnit();
    png.PhysX = reader.PhysX();
    png.PhysY = reader.PhysY();
    png.SignificantBits = reader.SignificantBits();
    png.BitDepth = reader.SourceBits();
    png.Grayscale = reader.Greyscale();
}

// Linking TKMPNG pulls this unit in, so the format is known even to programs that never call
// RegisterPNGFormat themselves.
const bool registeredAtStart = (RegisterPNGFormat(), true);

}  // namespace

void RegisterPNGFormat() {
    // A function-local object: the registry it fills is built first and therefore outlives it.
    static const struct Registration {
        Registration() {
            RegisterFileFormat("PNG", "PNG Format", [] { return std::make_unique<TKMPNG>(); });
        }
        ~Registration() { UnregisterFileFormat("PNG"); }
    } registration;
    (void)registeredAtStart;
}

void TKMPNG::LoadFromStream(TStream& stream) {
    TKMPNGReadStream reader;
    PrepareReader(reader, *this);
    // Progress reports travel through the bitmap being decoded.
    TProgressEvent ownProgress = Bitmap.OnProgress;
    if (OnProgress) Bitmap.OnProgress = OnProgress;
    try {
        reader.Read(&Bitmap, stream, 0);
    } catch (...) {
        Bitmap.OnProgress = std::move(ownProgress);
        throw;
    }
    Bitmap.OnProgress = std::move(ownProgress);
    CopyResults(reader, *this);
    Interlaced = reader.InterlaceMethod() != 0;
    UpdateFromBitmap();
}

void TKMPNG::ReadData(TStream& stream) {
    TKMPNGReadStream reader;
    PrepareReader(reader, *this);
    reader.Read(&Bitmap, stream, 0);
    CopyResults(reader, *this);
    UpdateFromBitmap();
    Changed();
}
