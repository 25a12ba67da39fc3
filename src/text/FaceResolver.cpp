#include "FaceResolver.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>

#include "FaceCache.h"
#include "SharedLibrary.h"

namespace {

// The faces tried, in order, for Japanese text when the chosen face cannot draw it.
constexpr const char* kJapaneseFaces[] = {"Noto Sans CJK JP", "Noto Sans JP", "IPAexGothic", "IPAGothic", "VL Gothic"};

// fontconfig, loaded when a question is first not answered from memory or the disk: a run that
// finds its faces on disk does not load the library at all.
struct Fontconfig {
    TSharedLibrary library{"libfontconfig.so.1"};
    KIRIMARK_LIBRARY_FUNCTION(library, FcCharSetAddChar);
    KIRIMARK_LIBRARY_FUNCTION(library, FcCharSetCreate);
    KIRIMARK_LIBRARY_FUNCTION(library, FcCharSetDestroy);
    KIRIMARK_LIBRARY_FUNCTION(library, FcConfigGetConfigDirs);
    KIRIMARK_LIBRARY_FUNCTION(library, FcConfigGetConfigFiles);
    KIRIMARK_LIBRARY_FUNCTION(library, FcConfigGetFontDirs);
    KIRIMARK_LIBRARY_FUNCTION(library, FcConfigReference);
    KIRIMARK_LIBRARY_FUNCTION(library, FcConfigSubstitute);
    KIRIMARK_LIBRARY_FUNCTION(library, FcDefaultSubstitute);
    KIRIMARK_LIBRARY_FUNCTION(library, FcFontList);
    KIRIMARK_LIBRARY_FUNCTION(library, FcFontMatch);
    KIRIMARK_LIBRARY_FUNCTION(library, FcFontSetDestroy);
    KIRIMARK_LIBRARY_FUNCTION(library, FcInit);
    KIRIMARK_LIBRARY_FUNCTION(library, FcObjectSetBuild);
    KIRIMARK_LIBRARY_FUNCTION(library, FcObjectSetDestroy);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternAddBool);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternAddCharSet);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternAddDouble);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternAddInteger);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternAddString);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternCreate);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternDestroy);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternGetBool);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternGetInteger);
    KIRIMARK_LIBRARY_FUNCTION(library, FcPatternGetString);
    KIRIMARK_LIBRARY_FUNCTION(library, FcStrCmpIgnoreCase);
    KIRIMARK_LIBRARY_FUNCTION(library, FcStrListDone);
    KIRIMARK_LIBRARY_FUNCTION(library, FcStrListNext);
    KIRIMARK_LIBRARY_FUNCTION(library, FcWeightToOpenType);
};

const Fontconfig& Fc() {
    static const Fontconfig fontconfig;
    return fontconfig;
}

std::mutex& ResolverMutex() {
    static std::mutex m;
    return m;
}

// All below run with ResolverMutex held.

int lookups = 0;

std::map<std::string, TFaceFile>& Resolved() {
    static std::map<std::string, TFaceFile> resolved;
    return resolved;
}

struct PatternDeleter {
    void operator()(FcPattern* p) const { Fc().FcPatternDestroy(p); }
};
struct FontSetDeleter {
    void operator()(FcFontSet* s) const { Fc().FcFontSetDestroy(s); }
};
struct ObjectSetDeleter {
    void operator()(FcObjectSet* s) const { Fc().FcObjectSetDestroy(s); }
};
struct StrListDeleter {
    void operator()(FcStrList* l) const { Fc().FcStrListDone(l); }
};
using Pattern = std::unique_ptr<FcPattern, PatternDeleter>;
using FontSet = std::unique_ptr<FcFontSet, FontSetDeleter>;

// Starting fontconfig reads every configuration file and font cache: done once, and only
// when an answer is not on disk.
FcConfig* Config() {
    static FcConfig* config = [] {
        Fc().FcInit();
        return Fc().FcConfigReference(nullptr);
    }();
    return config;
}

std::vector<std::string> Strings(FcPattern* p, const char* object) {
    std::vector<std::string> values;
    FcChar8* s = nullptr;
    for (int i = 0; Fc().FcPatternGetString(p, object, i, &s) == FcResultMatch; ++i)
        values.emplace_back(reinterpret_cast<const char*>(s));
    return values;
}

int Integer(FcPattern* p, const char* object, int fallback) {
    int v = 0;
    return Fc().FcPatternGetInteger(p, object, 0, &v) == FcResultMatch ? v : fallback;
}

bool SameName(const std::string& a, const std::string& b) {
    return Fc().FcStrCmpIgnoreCase(reinterpret_cast<const FcChar8*>(a.c_str()),
                                   reinterpret_cast<const FcChar8*>(b.c_str())) == 0;
}

// One font of a listing, with the names it goes by.
struct Font {
    std::vector<std::string> families, familyLangs, styles;
    std::string file;
    int index = 0;
    int weight = 400;  // OpenType scale
    int slant = FC_SLANT_ROMAN;
    int width = FC_WIDTH_NORMAL;

    explicit Font(FcPattern* p)
        : families(Strings(p, FC_FAMILY)),
          familyLangs(Strings(p, FC_FAMILYLANG)),
          styles(Strings(p, FC_STYLE)),
          index(Integer(p, FC_INDEX, 0)),
          weight(Fc().FcWeightToOpenType(Integer(p, FC_WEIGHT, FC_WEIGHT_REGULAR))),
          slant(Integer(p, FC_SLANT, FC_SLANT_ROMAN)),
          width(Integer(p, FC_WIDTH, FC_WIDTH_NORMAL)) {
        FcChar8* f = nullptr;
        if (Fc().FcPatternGetString(p, FC_FILE, 0, &f) == FcResultMatch) file = reinterpret_cast<const char*>(f);
    }

    // A further family name in the same language as the first, with a style of its own, names a
    // family of its own (a condensed cut, say); any other further name is an alias of the first.
    bool NamesOwnFamily(size_t k) const {
        if (k == 0) return true;
        const std::string lang0 = familyLangs.empty() ? "" : familyLangs[0];
        const std::string langK = k < familyLangs.size() ? familyLangs[k] : lang0;
        return langK == lang0 && k < styles.size() && !styles.empty() && styles[k] != styles[0];
    }

    // Format preference among copies of one style: fonts with their own line metrics first.
    bool Sfnt() const {
        const auto dot = file.rfind('.');
        const std::string ext = dot == std::string::npos ? "" : file.substr(dot);
        return ext == ".ttf" || ext == ".otf" || ext == ".ttc" || ext == ".otc" || ext == ".TTF" || ext == ".OTF";
    }
};

std::vector<Font> ListFamily(const std::string& family) {
    Pattern pattern(Fc().FcPatternCreate());
    Fc().FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    Fc().FcPatternAddBool(pattern.get(), FC_OUTLINE, FcTrue);  // the rasteriser scales outlines only
    std::unique_ptr<FcObjectSet, ObjectSetDeleter> objects(Fc().FcObjectSetBuild(
        FC_FAMILY, FC_FAMILYLANG, FC_STYLE, FC_WEIGHT, FC_SLANT, FC_WIDTH, FC_FILE, FC_INDEX, nullptr));
    const FontSet set(Fc().FcFontList(Config(), pattern.get(), objects.get()));
    std::vector<Font> fonts;
    if (set)
        for (int i = 0; i < set->nfont; ++i) fonts.emplace_back(set->fonts[i]);
    return fonts;
}

// The members of the family the name stands for: the fonts listing it as a family of their
// own, or else those of the family it is an alias of.
std::vector<Font> FamilyMembers(const std::string& name) {
    std::vector<Font> members;
    std::string aliasOf;
    for (Font& f : ListFamily(name)) {
        for (size_t k = 0; k < f.families.size(); ++k) {
            if (!SameName(f.families[k], name)) continue;
            if (f.NamesOwnFamily(k))
                members.push_back(f);
            else if (aliasOf.empty())
                aliasOf = f.families[0];
            break;
        }
    }
    if (!members.empty() || aliasOf.empty()) return members;
    for (Font& f : ListFamily(aliasOf))
        for (size_t k = 0; k < f.families.size(); ++k)
            if (SameName(f.families[k], aliasOf) && f.NamesOwnFamily(k)) {
                members.push_back(f);
                break;
            }
    return members;
}

// The member nearest the weight, upright before slanted; then normal width, then fonts with
// their own line metrics, then by file name so that the choice does not depend on listing order.
const Font* BestMember(const std::vector<Font>& members, bool bold) {
    const int wanted = bold ? 700 : 400;
    auto rank = [wanted](const Font& f) {
        return std::make_tuple((f.slant != FC_SLANT_ROMAN ? 0x1000 : 0) + std::abs(wanted - f.weight) / 10,
                               std::abs(f.width - FC_WIDTH_NORMAL), f.Sfnt() ? 0 : 1, f.file, f.index);
    };
    const Font* best = nullptr;
    for (const Font& f : members)
        if (!f.file.empty() && (!best || rank(f) < rank(*best))) best = &f;
    return best;
}

// fontconfig's rendering settings for the file at the size, as the configuration edits them.
TFaceFile RenderingOf(const std::string& family, const std::string& file, int index, int pixelSize) {
    TFaceFile answer{file, index};
    Pattern pattern(Fc().FcPatternCreate());
    Fc().FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    Fc().FcPatternAddString(pattern.get(), FC_FILE, reinterpret_cast<const FcChar8*>(file.c_str()));
    Fc().FcPatternAddInteger(pattern.get(), FC_INDEX, index);
    Fc().FcPatternAddDouble(pattern.get(), FC_PIXEL_SIZE, pixelSize);
    Fc().FcConfigSubstitute(Config(), pattern.get(), FcMatchPattern);
    Fc().FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    const Pattern match(Fc().FcFontMatch(Config(), pattern.get(), &result));
    if (!match) return answer;
    FcBool hinting = FcTrue, autoHint = FcFalse;
    Fc().FcPatternGetBool(match.get(), FC_HINTING, 0, &hinting);
    Fc().FcPatternGetBool(match.get(), FC_AUTOHINT, 0, &autoHint);
    const int style = Integer(match.get(), FC_HINT_STYLE, FC_HINT_FULL);
    answer.Hinting = !hinting                  ? THinting::None
                     : style == FC_HINT_NONE   ? THinting::None
                     : style == FC_HINT_SLIGHT ? THinting::Slight
                     : style == FC_HINT_MEDIUM ? THinting::Medium
                                               : THinting::Full;
    answer.AutoHint = autoHint;
    return answer;
}

std::optional<TFaceFile> FindInstalled(const std::string& name, bool bold, int pixelSize) {
    const std::vector<Font> members = FamilyMembers(name);
    const Font* best = BestMember(members, bold);
    if (!best) return std::nullopt;
    return RenderingOf(best->families[0], best->file, best->index, pixelSize);
}

// fontconfig's own pick for a pattern (used only when no named face is there).
std::optional<TFaceFile> Match(Pattern pattern, bool bold, int pixelSize) {
    Fc().FcPatternAddInteger(pattern.get(), FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    Fc().FcPatternAddBool(pattern.get(), FC_OUTLINE, FcTrue);
    Fc().FcConfigSubstitute(Config(), pattern.get(), FcMatchPattern);
    Fc().FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    const Pattern match(Fc().FcFontMatch(Config(), pattern.get(), &result));
    if (!match) return std::nullopt;
    const Font f(match.get());
    if (f.file.empty() || f.families.empty()) return std::nullopt;
    return RenderingOf(f.families[0], f.file, f.index, pixelSize);
}

TFaceFile FindJapanese(bool bold, int pixelSize) {
    for (const char* name : kJapaneseFaces)
        if (auto found = FindInstalled(name, bold, pixelSize)) return *found;
    Pattern ja(Fc().FcPatternCreate());
    Fc().FcPatternAddString(ja.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>("sans-serif"));
    Fc().FcPatternAddString(ja.get(), FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
    if (auto found = Match(std::move(ja), bold, pixelSize)) return *found;
    return {};  // no outline font at all: text draws nothing
}

// What an answer depends on: the fontconfig library itself (another version may answer
// otherwise), its configuration files and their folders, the font folders it scans (also those
// not made yet), and the answer's own file.
std::vector<std::string> Dependencies(const TFaceFile& answer) {
    std::set<std::string> paths;
    auto addList = [&paths](FcStrList* raw, bool withParent) {
        std::unique_ptr<FcStrList, StrListDeleter> list(raw);
        if (!list) return;
        while (FcChar8* s = Fc().FcStrListNext(list.get())) {
            const std::string path = reinterpret_cast<const char*>(s);
            paths.insert(path);
            if (withParent)
                if (const auto slash = path.rfind('/'); slash != std::string::npos && slash > 0)
                    paths.insert(path.substr(0, slash));
        }
    };
    paths.insert(Fc().library.Path());
    addList(Fc().FcConfigGetConfigFiles(Config()), true);
    addList(Fc().FcConfigGetConfigDirs(Config()), false);
    addList(Fc().FcConfigGetFontDirs(Config()), false);
    // The user's configuration, which only counts once it is made.
    const char* home = std::getenv("HOME");
    const char* xdgConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string config = xdgConfig && *xdgConfig ? xdgConfig : home ? std::string(home) + "/.config" : "";
    if (!config.empty()) {
        paths.insert(config + "/fontconfig");
        paths.insert(config + "/fontconfig/fonts.conf");
        paths.insert(config + "/fontconfig/conf.d");
    }
    if (home) {
        paths.insert(std::string(home) + "/.fonts.conf");
        paths.insert(std::string(home) + "/.fonts.conf.d");
    }
    if (!answer.Path.empty()) paths.insert(answer.Path);
    return {paths.begin(), paths.end()};
}

// Where fontconfig looks depends on these; a question asked under other values is another one.
// Asking the library for its version would load it: its file is among the answer's dependencies
// instead.
std::string Environment() {
    std::string s;
    for (const char* name :
         {"FONTCONFIG_FILE", "FONTCONFIG_PATH", "FONTCONFIG_SYSROOT", "HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
        const char* v = std::getenv(name);
        s += std::string(name) + "=" + (v ? v : "") + "\n";
    }
    return s;
}

// Answers from this process's memory, then the disk, then fontconfig.
template <class Ask>
TFaceFile Answer(const std::string& what, Ask&& ask) {
    const std::string question = what + "\n" + Environment();
    auto& resolved = Resolved();
    if (const auto it = resolved.find(question); it != resolved.end()) return it->second;
    const TFaceCache cache(TFaceCache::DefaultFolder());
    if (auto stored = cache.Find(question)) return resolved[question] = *stored;
    ++lookups;
    const TFaceFile answer = ask();
    cache.Store(question, answer, Dependencies(answer));
    return resolved[question] = answer;
}

}  // namespace

TFaceFile ResolveFace(const std::string& face, bool bold, int pixelSize) {
    const std::lock_guard lock(ResolverMutex());
    const std::string what = "face " + face + "\n" + (bold ? "bold" : "regular") + " " + std::to_string(pixelSize);
    return Answer(what, [&] {
        if (!face.empty())
            if (auto found = FindInstalled(face, bold, pixelSize)) return *found;
        return FindJapanese(bold, pixelSize);
    });
}

TFaceFile ResolveJapaneseFace(bool bold, int pixelSize) {
    const std::lock_guard lock(ResolverMutex());
    const std::string what = std::string("japanese\n") + (bold ? "bold" : "regular") + " " + std::to_string(pixelSize);
    return Answer(what, [&] { return FindJapanese(bold, pixelSize); });
}

std::optional<TFaceFile> ResolveFaceForCharacter(char32_t character, const std::string& face, bool bold,
                                                 int pixelSize) {
    const std::lock_guard lock(ResolverMutex());
    ++lookups;
    Pattern pattern(Fc().FcPatternCreate());
    if (!face.empty())
        Fc().FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(face.c_str()));
    Fc().FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>("sans-serif"));
    FcCharSet* charset = Fc().FcCharSetCreate();
    Fc().FcCharSetAddChar(charset, character);
    Fc().FcPatternAddCharSet(pattern.get(), FC_CHARSET, charset);
    Fc().FcCharSetDestroy(charset);
    auto found = Match(std::move(pattern), bold, pixelSize);
    return found;
}

std::vector<std::string> InstalledFaces() {
    const std::lock_guard lock(ResolverMutex());
    Pattern all(Fc().FcPatternCreate());
    Fc().FcPatternAddBool(all.get(), FC_OUTLINE, FcTrue);
    std::unique_ptr<FcObjectSet, ObjectSetDeleter> objects(
        Fc().FcObjectSetBuild(FC_FAMILY, FC_FAMILYLANG, FC_STYLE, nullptr));
    const FontSet set(Fc().FcFontList(Config(), all.get(), objects.get()));
    std::vector<std::string> faces;
    if (!set) return faces;
    for (int i = 0; i < set->nfont; ++i) {
        const Font f(set->fonts[i]);
        for (size_t k = 0; k < f.families.size(); ++k)
            if (f.NamesOwnFamily(k)) faces.push_back(f.families[k]);
    }
    auto lessIgnoringCase = [](const std::string& a, const std::string& b) {
        return Fc().FcStrCmpIgnoreCase(reinterpret_cast<const FcChar8*>(a.c_str()),
                                       reinterpret_cast<const FcChar8*>(b.c_str())) < 0;
    };
    std::sort(faces.begin(), faces.end(), lessIgnoringCase);
    faces.erase(std::unique(faces.begin(), faces.end(), SameName), faces.end());
    return faces;
}

namespace faceresolver_testing {

int FontconfigLookups() {
    const std::lock_guard lock(ResolverMutex());
    return lookups;
}

void ForgetResolvedFaces() {
    const std::lock_guard lock(ResolverMutex());
    Resolved().clear();
}

}  // namespace faceresolver_testing
