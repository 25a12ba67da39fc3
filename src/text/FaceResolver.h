// Which font file draws a face name, found through fontconfig the way the window toolkit finds
// it: a face is a family the system lists under that name (or under a name it is an alias
// of); its bold or regular member is the style nearest the wanted weight. A face the system
// lacks, and an empty name, give the Japanese sans-serif, since stamps are mostly Japanese.
//
// Starting fontconfig costs a run more than all its other work on a small picture, so answers
// are kept on disk (see FaceCache.h) and fontconfig is loaded and started only when one is
// missing or stale; when the library cannot be loaded, a lookup raises Exception saying so.
// All functions are safe to call from several threads.
#pragma once

#include <optional>
#include <string>
#include <vector>

// How fontconfig's settings ask a face's glyphs to be hinted.
enum class THinting { None, Slight, Medium, Full };

struct TFaceFile {
    std::string Path;
    int Index = 0;  // of the face within a collection file
    THinting Hinting = THinting::Slight;
    bool AutoHint = false;  // the automatic hinter instead of the font's own instructions
    bool operator==(const TFaceFile&) const = default;
};

// The file that draws the face in bold or regular at the pixel size (hinting may depend on it).
TFaceFile ResolveFace(const std::string& face, bool bold, int pixelSize);

// The Japanese sans-serif that draws what a chosen face lacks.
TFaceFile ResolveJapaneseFace(bool bold, int pixelSize);

// A face near the given one that has the character, for the rare character neither the face
// nor the Japanese sans-serif has; nothing when the system has none. Not kept on disk.
std::optional<TFaceFile> ResolveFaceForCharacter(char32_t character, const std::string& face, bool bold, int pixelSize);

// The face names the system has, as a font list offers them (aliases left out), sorted.
std::vector<std::string> InstalledFaces();

namespace faceresolver_testing {
// How often fontconfig was asked to resolve a face in this process.
int FontconfigLookups();
// Forgets what this process has resolved, so that the next call reads the disk cache again.
void ForgetResolvedFaces();
}  // namespace faceresolver_testing
