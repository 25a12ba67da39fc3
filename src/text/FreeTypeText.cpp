#include "FreeTypeText.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_MODULE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H
#include FT_TRUETYPE_TAGS_H

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "FaceResolver.h"
#include "SysUtils.h"

namespace {

// 26.6 fixed point, as FreeType counts.
int32_t Floor(int32_t v) { return v >> 6; }
int32_t Round(int32_t v) { return (v + 32) >> 6; }
// A real number to 26.6, cut towards zero.
int32_t FromReal(double v) { return static_cast<int32_t>(v * 64); }

std::vector<char32_t> Decode(const std::string& utf8) {
    std::vector<char32_t> out;
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        const unsigned c = s[i];
        int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        char32_t cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        bool ok = len > 0 && i + static_cast<size_t>(len) <= n;
        for (int k = 1; ok && k < len; ++k) {
            ok = (s[i + static_cast<size_t>(k)] & 0xC0) == 0x80;
            cp = (cp << 6) | (s[i + static_cast<size_t>(k)] & 0x3F);
        }
        // Overlong forms, surrogates and values past Unicode are not characters.
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        out.push_back(ok ? cp : U'\uFFFD');
        i += ok ? static_cast<size_t>(len) : 1;
    }
    return out;
}

// One font file opened at one size and weight.
struct Face {
    FT_Face ft = nullptr;
    TFaceFile file;
    bool embolden = false;
    bool designMetrics = true;  // unhinted advances at fractional positions
    FT_Int32 loadFlags = 0;
    FT_Render_Mode renderMode = FT_RENDER_MODE_NORMAL;
    int32_t ascent = 0, descent = 0;  // 26.6
    std::unordered_map<unsigned, int32_t> advances;

    Face() = default;
    Face(const Face&) = delete;
    Face& operator=(const Face&) = delete;
    ~Face() {
        if (ft) FT_Done_Face(ft);
    }

    // The glyph of a character; 0 (the missing-glyph box) when the face lacks it. Like the
    // toolkit, a face without them draws no-break space and tab as a space.
    unsigned Glyph(char32_t c) const {
        if (const unsigned g = FT_Get_Char_Index(ft, c)) return g;
        return c == 0xA0 || c == 0x09 ? FT_Get_Char_Index(ft, ' ') : 0;
    }
    bool Has(char32_t c) const { return Glyph(c) != 0; }

    int32_t Advance(unsigned glyph) {
        if (const auto it = advances.find(glyph); it != advances.end()) return it->second;
        int32_t advance = 0;
        FT_Set_Transform(ft, nullptr, nullptr);
        if (FT_Load_Glyph(ft, glyph, loadFlags) == 0) {
            if (designMetrics) {
                advance = static_cast<int32_t>(ft->glyph->linearHoriAdvance >> 10);
            } else {
                if (embolden) FT_GlyphSlot_Embolden(ft->glyph);
                advance = static_cast<int32_t>((ft->glyph->advance.x + 32) & -64);
            }
        }
        return advances[glyph] = advance;
    }
};

bool HasTable(FT_Face ft, FT_ULong tag) {
    FT_ULong length = 0;
    return FT_Load_Sfnt_Table(ft, tag, 0, nullptr, &length) == 0 && length > 0;
}

// Ascent and descent as the window toolkit derives them: the face's horizontal header, overridden
// by its OS/2 typographic metrics when the face asks for them or else by its Windows metrics;
// FreeType's scaled values for faces with neither or with embedded bitmaps.
void LineMetrics(Face& f, int pixelSize) {
    FT_Face ft = f.ft;
    f.ascent = static_cast<int32_t>(ft->size->metrics.ascender);
    f.descent = static_cast<int32_t>(-ft->size->metrics.descender);
    const bool embeddedBitmaps = HasTable(ft, TTAG_EBLC) || HasTable(ft, TTAG_CBLC) || HasTable(ft, TTAG_bdat);
    if (embeddedBitmaps || !FT_IS_SCALABLE(ft) || ft->units_per_EM == 0) return;
    const double scale = static_cast<double>(pixelSize) / ft->units_per_EM;
    if (const auto* hhea = static_cast<const TT_HoriHeader*>(FT_Get_Sfnt_Table(ft, FT_SFNT_HHEA));
        hhea && (hhea->Ascender != 0 || hhea->Descender != 0)) {
        f.ascent = FromReal(hhea->Ascender * scale);
        f.descent = -FromReal(hhea->Descender * scale);
    }
    FT_ULong os2Length = 0;
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(ft, FT_SFNT_OS2));
    if (os2 && FT_Load_Sfnt_Table(ft, TTAG_OS2, 0, nullptr, &os2Length) == 0 && os2Length >= 78) {
        constexpr unsigned kUseTypoMetrics = 0x80;
        if (os2->fsSelection & kUseTypoMetrics) {
            if (os2->sTypoAscender != 0 || os2->sTypoDescender != 0) {
                f.ascent = FromReal(os2->sTypoAscender * scale);
                f.descent = -FromReal(os2->sTypoDescender * scale);
            }
        } else if (os2->usWinAscent != 0 || os2->usWinDescent != 0) {
            f.ascent = FromReal(os2->usWinAscent * scale);
            f.descent = FromReal(os2->usWinDescent * scale);
        }
    }
    if (!f.designMetrics) {
        f.ascent = Round(f.ascent) * 64;
        f.descent = Round(f.descent) * 64;
    }
}

struct GlyphPlace {
    Face* face;
    unsigned glyph;
    int32_t x, y;  // 26.6, from the cell's left edge and up from the baseline
};

struct Layout {
    std::vector<GlyphPlace> glyphs;
    std::vector<const Face*> runs;
    int32_t width = 0;  // 26.6
    int ascent = 0, descent = 0;
};

}  // namespace

struct TFreeTypeRasteriser::Impl {
    struct StyleFaces {
        Face* primary = nullptr;
        Face* japanese = nullptr;
        bool japaneseTried = false;
        std::map<char32_t, Face*> byCharacter;
    };

    std::mutex mutex;
    FT_Library library = nullptr;
    std::map<std::tuple<std::string, int, int, bool>, std::unique_ptr<Face>> faces;
    std::map<std::tuple<std::string, int, bool>, StyleFaces> styles;
    // Faces are opened for each pixel size. A stamp sized by its picture asks for many sizes
    // over a batch, each face holding its tables, so only the sizes used last keep theirs.
    static constexpr size_t kKeptPixelSizes = 16;
    std::vector<int> recentSizes;  // the most recent last

    Impl() {
        if (FT_Init_FreeType(&library)) throw Exception("Cannot start the font library");
        // Darkened stems for CFF outlines, as the toolkit draws them.
        FT_Bool noStemDarkening = 0;
        FT_Property_Set(library, "cff", "no-stem-darkening", &noStemDarkening);
    }
    ~Impl() {
        faces.clear();
        FT_Done_FreeType(library);
    }

    Face* Open(const TFaceFile& file, int pixelSize, bool bold) {
        if (file.Path.empty()) return nullptr;
        auto& slot = faces[{file.Path, file.Index, pixelSize, bold}];
        if (slot) return slot.get();
        auto f = std::make_unique<Face>();
        if (FT_New_Face(library, file.Path.c_str(), file.Index, &f->ft)) {
            f->ft = nullptr;
            faces.erase({file.Path, file.Index, pixelSize, bold});
            return nullptr;
        }
        FT_Face ft = f->ft;
        FT_Select_Charmap(ft, FT_ENCODING_UNICODE);
        // At 72 dots per inch points are pixels: the nominal size the toolkit asks for.
        FT_Set_Char_Size(ft, pixelSize * 64, pixelSize * 64, 0, 0);
        f->file = file;
        f->designMetrics = file.Hinting == THinting::None || file.Hinting == THinting::Slight;
        f->loadFlags = FT_LOAD_DEFAULT | FT_LOAD_IGNORE_GLOBAL_ADVANCE_WIDTH | FT_LOAD_NO_BITMAP |
                       (file.Hinting == THinting::None     ? FT_LOAD_NO_HINTING
                        : file.Hinting == THinting::Slight ? FT_LOAD_TARGET_LIGHT
                                                           : FT_LOAD_TARGET_NORMAL) |
                       (file.AutoHint ? FT_LOAD_FORCE_AUTOHINT : 0);
        f->renderMode = file.Hinting == THinting::Slight ? FT_RENDER_MODE_LIGHT : FT_RENDER_MODE_NORMAL;
        // Bold from a face without a bold member: thickened outlines, as the toolkit does.
        if (bold && FT_IS_SCALABLE(ft) && !(ft->style_flags & FT_STYLE_FLAG_BOLD) && !FT_IS_FIXED_WIDTH(ft) &&
            pixelSize < 64)
            if (const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(ft, FT_SFNT_OS2)))
                f->embolden = os2->usWeightClass < 700;
        LineMetrics(*f, pixelSize);
        slot = std::move(f);
        return slot.get();
    }

    // Marks the pixel size as used and closes the faces of the size used longest ago once more
    // than kKeptPixelSizes are open. Every call that lays out or draws holds the lock and
    // touches one size first, so no face of that call is closed under it.
    void Touch(int pixelSize) {
        if (auto it = std::find(recentSizes.begin(), recentSizes.end(), pixelSize); it != recentSizes.end())
            recentSizes.erase(it);
        recentSizes.push_back(pixelSize);
        if (recentSizes.size() <= kKeptPixelSizes) return;
        const int oldest = recentSizes.front();
        recentSizes.erase(recentSizes.begin());
        std::erase_if(styles, [oldest](const auto& entry) { return std::get<1>(entry.first) == oldest; });
        std::erase_if(faces, [oldest](const auto& entry) { return std::get<2>(entry.first) == oldest; });
    }

    StyleFaces& FacesFor(const TTextStyle& style) {
        Touch(style.PixelSize);
        StyleFaces& s = styles[{style.Face, style.PixelSize, style.Bold}];
        if (!s.primary)
            s.primary = Open(ResolveFace(style.Face, style.Bold, style.PixelSize), style.PixelSize, style.Bold);
        if (!s.primary) throw Exception("No font can draw the face \"" + style.Face + "\"");
        return s;
    }

    // The face that draws the character: the chosen one, else the Japanese sans-serif, else any
    // that has it; the chosen one's missing-glyph box when none has.
    Face* FaceFor(StyleFaces& s, const TTextStyle& style, char32_t c) {
        if (s.primary->Has(c) || c < 0x20 || c == 0x7F) return s.primary;
        if (!s.japaneseTried) {
            s.japaneseTried = true;
            s.japanese = Open(ResolveJapaneseFace(style.Bold, style.PixelSize), style.PixelSize, style.Bold);
        }
        if (s.japanese && s.japanese->Has(c)) return s.japanese;
        auto [it, added] = s.byCharacter.emplace(c, nullptr);
        if (added)
            if (const auto file = ResolveFaceForCharacter(c, style.Face, style.Bold, style.PixelSize))
                if (Face* f = Open(*file, style.PixelSize, style.Bold); f && f->Has(c)) it->second = f;
        return it->second ? it->second : s.primary;
    }

    Layout Lay(const TTextStyle& style, const std::string& utf8) {
        StyleFaces& s = FacesFor(style);
        Layout layout;
        layout.ascent = Round(s.primary->ascent);
        layout.descent = Round(s.primary->descent);
        const std::vector<char32_t> text = Decode(utf8);
        std::vector<Face*> faceOf(text.size());
        for (size_t i = 0; i < text.size(); ++i) faceOf[i] = FaceFor(s, style, text[i]);

        // One glyph per character, side by side: a stamp is one short line, drawn without
        // kerning, so no shaping beyond the character map is needed.
        int32_t pen = 0;
        const Face* run = nullptr;
        for (size_t i = 0; i < text.size(); ++i) {
            Face* face = faceOf[i];
            const unsigned glyph = face->Glyph(text[i]);
            layout.glyphs.push_back({face, glyph, pen, 0});
            pen += face->Advance(glyph);
            if (face != run) layout.runs.push_back(run = face);
        }
        layout.width = pen;
        return layout;
    }

    // Draws one glyph's coverage into the mask over area, composing with what is there.
    static void Draw(const GlyphPlace& g, int baseline, const TRect& area, uint8_t* mask) {
        Face& f = *g.face;
        // Glyph images come at quarter-pixel steps, as the toolkit caches them.
        FT_Vector delta{0, 0};
        if (f.designMetrics && g.x != 0) delta.x = ((g.x & 63) >> 4) * 16 + 1;
        FT_Set_Transform(f.ft, nullptr, &delta);
        const FT_Error loaded = FT_Load_Glyph(f.ft, g.glyph, f.loadFlags);
        FT_Set_Transform(f.ft, nullptr, nullptr);
        if (loaded) return;
        FT_GlyphSlot slot = f.ft->glyph;
        if (f.embolden) FT_GlyphSlot_Embolden(slot);
        if (FT_Render_Glyph(slot, f.renderMode)) return;
        const FT_Bitmap& bm = slot->bitmap;
        const int left = Floor(g.x) + slot->bitmap_left;
        const int top = baseline - Round(g.y) - slot->bitmap_top;
        const int width = area.Right - area.Left;
        for (int row = 0; row < static_cast<int>(bm.rows); ++row) {
            const int y = top + row;
            if (y < area.Top || y >= area.Bottom) continue;
            const unsigned char* src = bm.buffer + static_cast<ptrdiff_t>(row) * bm.pitch;
            uint8_t* dst = mask + static_cast<size_t>(y - area.Top) * static_cast<size_t>(width);
            for (int col = 0; col < static_cast<int>(bm.width); ++col) {
                const int x = left + col;
                if (x < area.Left || x >= area.Right) continue;
                int c = bm.pixel_mode == FT_PIXEL_MODE_MONO   ? ((src[col >> 3] >> (7 - (col & 7))) & 1) * 255
                        : bm.pixel_mode == FT_PIXEL_MODE_GRAY ? src[col]
                                                              : 0;
                uint8_t& m = dst[x - area.Left];
                m = static_cast<uint8_t>(m + c - (m * c + 127) / 255);
            }
        }
    }
};

TFreeTypeRasteriser::TFreeTypeRasteriser() : impl_(new Impl) {}

TFreeTypeRasteriser::~TFreeTypeRasteriser() { delete impl_; }

TSize TFreeTypeRasteriser::Extent(const TTextStyle& style, const std::string& utf8Text) {
    const std::lock_guard lock(impl_->mutex);
    const Layout layout = impl_->Lay(style, utf8Text);
    return {Round(layout.width), layout.ascent + layout.descent};
}

void TFreeTypeRasteriser::Coverage(const TTextStyle& style, const std::string& utf8Text, const TRect& area,
                                   uint8_t* mask) {
    const size_t width = static_cast<size_t>(std::max(0, area.Right - area.Left));
    const size_t height = static_cast<size_t>(std::max(0, area.Bottom - area.Top));
    std::fill(mask, mask + width * height, uint8_t{0});
    if (width == 0 || height == 0) return;
    const std::lock_guard lock(impl_->mutex);
    const Layout layout = impl_->Lay(style, utf8Text);
    for (const GlyphPlace& g : layout.glyphs) Impl::Draw(g, layout.ascent, area, mask);
}

std::vector<std::string> TFreeTypeRasteriser::RunFiles(const TTextStyle& style, const std::string& utf8Text) {
    const std::lock_guard lock(impl_->mutex);
    std::vector<std::string> files;
    for (const Face* f : impl_->Lay(style, utf8Text).runs) files.push_back(f->file.Path);
    return files;
}

TFreeTypeRasteriser& InstallTextRasteriser() {
    static TFreeTypeRasteriser rasteriser;
    static std::once_flag installed;
    std::call_once(installed, [] { SetTextRasteriser(&rasteriser); });
    return rasteriser;
}
