// The text renderer where there is no GDI: fontconfig finds the font a Windows
// font name stands for (its metric aliases map Arial to Liberation Sans, Times
// New Roman to Liberation Serif, Courier New to Liberation Mono; an unknown
// name or none gets the default font), FreeType draws the glyphs without
// smoothing, and the layout is DrawTextW's: lines broken at line breaks and
// between words, a word wider than the box broken between characters, each
// line aligned in the box, one line cut with "..." when it is too long.
// Bold and italic come from the matching face, or are made from the regular
// one as GDI makes them; underline and strikeout are drawn from the font's
// own positions.

#include "graphics/uGraphicText.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace korv {

namespace {

[[noreturn]] void NoFont(const TFontDesc& AFont) {
    const std::u16string name = AFont.Name.empty() ? u"по умолчанию" : u"«" + AFont.Name + u"»";
    throw EquException(1008, GetDriverErrorText(1008) +
                                 u". Не найдено ни одного шрифта для графического текста (шрифт " +
                                 name + u")");
}

std::string EnvValue(const char* AName) {
    const char* v = std::getenv(AName);
    return v != nullptr ? v : "";
}

// The FreeType library and a fontconfig configuration of our own, made once
// per process. A configuration of our own leaves the host's fontconfig alone;
// it is freed at unload, or by ReleaseFontConfiguration for a program that
// ends fontconfig itself. fontconfig reads its configuration files when it
// makes one, so a changed FONTCONFIG_FILE or FONTCONFIG_PATH makes it anew.
class TFontSystem {
public:
    static TFontSystem& Instance() {
        static TFontSystem system;
        return system;
    }
    TFontSystem(const TFontSystem&) = delete;
    TFontSystem& operator=(const TFontSystem&) = delete;
    ~TFontSystem() {
        ReleaseConfig();
        if (FLibrary != nullptr)
            FT_Done_FreeType(FLibrary);
    }

    // All only under Mutex. Config() gives a reference the caller releases
    // with FcConfigDestroy; null when there is no configuration.
    FcConfig* Config() {
        const std::string key = EnvValue("FONTCONFIG_FILE") + '\n' + EnvValue("FONTCONFIG_PATH");
        if (FConfig == nullptr || key != FConfigKey) {
            ReleaseConfig();
            FConfig = FcInitLoadConfigAndFonts();
            FConfigKey = key;
        }
        return FConfig != nullptr ? FcConfigReference(FConfig) : nullptr;
    }
    void ReleaseConfig() {
        if (FConfig != nullptr)
            FcConfigDestroy(FConfig);
        FConfig = nullptr;
    }
    FT_Library Library() {
        if (FLibrary == nullptr && FT_Init_FreeType(&FLibrary) != 0)
            FLibrary = nullptr;
        return FLibrary;
    }

    std::mutex Mutex;

private:
    // fontconfig keeps process-wide tables that only FcFini frees, and FcFini
    // would pull the configuration from under a host that uses fontconfig
    // itself. So fontconfig stays loaded once we have used it: when the host
    // unloads us, its tables stay where fontconfig can still find (and the
    // next load of the add-in reuse) them, instead of being unmapped with it.
    TFontSystem() {
        if (void* fc = dlopen("libfontconfig.so.1", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE))
            dlclose(fc);
    }

    FcConfig* FConfig = nullptr;
    std::string FConfigKey;
    FT_Library FLibrary = nullptr;
};

struct TConfigRelease {
    void operator()(FcConfig* AConfig) const { FcConfigDestroy(AConfig); }
};
struct TCharSetRelease {
    void operator()(FcCharSet* AChars) const { FcCharSetDestroy(AChars); }
};
using TCharSetPtr = std::unique_ptr<FcCharSet, TCharSetRelease>;
struct TPatternRelease {
    void operator()(FcPattern* APattern) const { FcPatternDestroy(APattern); }
};
struct TFontSetRelease {
    void operator()(FcFontSet* ASet) const { FcFontSetDestroy(ASet); }
};

// A font that fontconfig offers for the request, best first.
struct TCandidate {
    std::string File;
    int Index = 0;
    bool NeedBold = false;   // bold asked for, the face is not
    bool NeedItalic = false; // italic asked for, the face is upright
    TCharSetPtr Chars;       // the characters it has
};

struct TFace {
    FT_Face Face = nullptr;
    bool Embolden = false;
    bool Oblique = false;
    ~TFace() {
        if (Face != nullptr)
            FT_Done_Face(Face);
    }
};

// One drawn character: its advance and its one-bit image.
struct TGlyph {
    int Advance = 0;
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Rows = 0;
    int Pitch = 0;
    std::string Bits; // rows of Pitch bytes, leftmost dot in the high bit
};

struct TLine {
    std::u32string Text;
    int Width = 0;
};

int ToPixels(FT_Long AValue26Dot6) {
    return static_cast<int>(std::lround(static_cast<double>(AValue26Dot6) / 64.0));
}

std::u32string CodePoints(std::u16string_view AText) {
    std::u32string out;
    out.reserve(AText.size());
    for (std::size_t i = 0; i < AText.size(); ++i) {
        const char16_t c = AText[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < AText.size() && AText[i + 1] >= 0xDC00 &&
            AText[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                          (static_cast<char32_t>(AText[i + 1]) - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

class TFreeTypeRenderer final : public TTextRenderer {
public:
    explicit TFreeTypeRenderer(const TFontDesc& AFont)
        : FLock(TFontSystem::Instance().Mutex), FFont(AFont) {
        TFontSystem& system = TFontSystem::Instance();
        FConfig.reset(system.Config());
        FLibrary = system.Library();
        if (FConfig == nullptr || FLibrary == nullptr)
            NoFont(FFont);
        const int size = FFont.Size > 0 ? FFont.Size : DefaultFontSize;
        const int ppi = FFont.PixelsPerInch > 0 ? FFont.PixelsPerInch : 96;
        // As GDI's font height of -MulDiv(size, ppi, 72): the em in whole dots.
        FPixelSize = std::max(1, static_cast<int>((static_cast<long long>(size) * ppi + 36) / 72));
        FindCandidates(FConfig.get());
        for (std::size_t i = 0; i < FCandidates.size() && FPrimary < 0; ++i)
            if (Face(i) != nullptr)
                FPrimary = static_cast<int>(i);
        if (FPrimary < 0)
            NoFont(FFont);
        ReadMetrics(FFaces[static_cast<std::size_t>(FPrimary)]->Face);
    }

    int MeasureHeight(std::u16string_view AText, int AWidth, unsigned AFormat) override {
        return static_cast<int>(Layout(CodePoints(AText), AWidth, AFormat).size()) * FLineHeight;
    }

    void Draw(std::u16string_view AText, unsigned AFormat, TMonoBitmap& ABitmap) override {
        const std::vector<TLine> lines = Layout(CodePoints(AText), ABitmap.Width, AFormat);
        int top = 0;
        if (AFormat & DtSingleLine) {
            if (AFormat & DtVCenter)
                top = (ABitmap.Height - FLineHeight) / 2;
            else if (AFormat & DtBottom)
                top = ABitmap.Height - FLineHeight;
        }
        for (const TLine& line : lines) {
            int x = 0;
            if (AFormat & DtCenter)
                x = (ABitmap.Width - line.Width) / 2;
            else if (AFormat & DtRight)
                x = ABitmap.Width - line.Width;
            DrawLine(line, x, top, ABitmap);
            top += FLineHeight;
        }
    }

private:
    void FindCandidates(FcConfig* AConfig) {
        const std::unique_ptr<FcPattern, TPatternRelease> owner(FcPatternCreate());
        FcPattern* pattern = owner.get();
        if (pattern == nullptr)
            NoFont(FFont);
        if (!FFont.Name.empty()) {
            const std::string name = U16ToUtf8(FFont.Name);
            FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.c_str()));
        }
        const bool bold = (FFont.Style & fsBold) != 0;
        const bool italic = (FFont.Style & fsItalic) != 0;
        FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
        FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
        FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
        FcConfigSubstitute(AConfig, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        const std::unique_ptr<FcFontSet, TFontSetRelease> fonts(
            FcFontSort(AConfig, pattern, FcTrue, nullptr, &result));
        if (fonts == nullptr)
            return;
        for (int i = 0; i < fonts->nfont; ++i) {
            FcPattern* font = fonts->fonts[i];
            FcChar8* file = nullptr;
            if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch || file == nullptr)
                continue;
            TCandidate c;
            c.File = reinterpret_cast<const char*>(file);
            FcPatternGetInteger(font, FC_INDEX, 0, &c.Index);
            int weight = FC_WEIGHT_REGULAR, slant = FC_SLANT_ROMAN;
            FcPatternGetInteger(font, FC_WEIGHT, 0, &weight);
            FcPatternGetInteger(font, FC_SLANT, 0, &slant);
            c.NeedBold = bold && weight < FC_WEIGHT_DEMIBOLD;
            c.NeedItalic = italic && slant == FC_SLANT_ROMAN;
            FcCharSet* chars = nullptr;
            if (FcPatternGetCharSet(font, FC_CHARSET, 0, &chars) == FcResultMatch &&
                chars != nullptr)
                c.Chars.reset(FcCharSetCopy(chars));
            FCandidates.push_back(std::move(c));
        }
        FFaces.resize(FCandidates.size());
        FTried.assign(FCandidates.size(), false);
    }

    // The face of candidate AIndex at the font's size, opened on first use;
    // null when it cannot be used (not scalable, not readable).
    TFace* Face(std::size_t AIndex) {
        if (FTried[AIndex])
            return FFaces[AIndex].get();
        FTried[AIndex] = true;
        const TCandidate& c = FCandidates[AIndex];
        auto face = std::make_unique<TFace>();
        if (FT_New_Face(FLibrary, c.File.c_str(), c.Index, &face->Face) != 0) {
            face->Face = nullptr;
            return nullptr;
        }
        if (!FT_IS_SCALABLE(face->Face) ||
            FT_Set_Pixel_Sizes(face->Face, 0, static_cast<FT_UInt>(FPixelSize)) != 0)
            return nullptr;
        face->Embolden = c.NeedBold;
        face->Oblique = c.NeedItalic;
        FFaces[AIndex] = std::move(face);
        return FFaces[AIndex].get();
    }

    // Line height, baseline, underline and strikeout from the primary face, as
    // GDI takes them: the Windows ascent and descent of the OS/2 table.
    void ReadMetrics(FT_Face AFace) {
        const FT_Fixed scale = AFace->size->metrics.y_scale;
        const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(AFace, FT_SFNT_OS2));
        if (os2 != nullptr && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
            FAscent = ToPixels(FT_MulFix(os2->usWinAscent, scale));
            FDescent = ToPixels(FT_MulFix(os2->usWinDescent, scale));
        } else {
            FAscent = ToPixels(AFace->size->metrics.ascender);
            FDescent = -ToPixels(AFace->size->metrics.descender);
        }
        FLineHeight = std::max(1, FAscent + FDescent);
        // The underline's centre below the baseline; its thickness.
        FUnderlineSize = std::max(1, ToPixels(FT_MulFix(AFace->underline_thickness, scale)));
        const int underlineCentre = -ToPixels(FT_MulFix(AFace->underline_position, scale));
        FUnderlineTop = std::clamp(underlineCentre - FUnderlineSize / 2, 1,
                                   std::max(1, FDescent - FUnderlineSize));
        if (os2 != nullptr && os2->version != 0xFFFF && os2->yStrikeoutSize > 0) {
            FStrikeSize = std::max(1, ToPixels(FT_MulFix(os2->yStrikeoutSize, scale)));
            FStrikeTop = ToPixels(FT_MulFix(os2->yStrikeoutPosition, scale));
        } else {
            FStrikeSize = FUnderlineSize;
            FStrikeTop = FAscent / 3;
        }
    }

    const TGlyph& Glyph(char32_t ACode) {
        const auto found = FGlyphs.find(ACode);
        if (found != FGlyphs.end())
            return found->second;
        TGlyph& g = FGlyphs[ACode];
        // Control characters take no room; a tab is a blank (no tab stops are expanded).
        if (ACode < 0x20 && ACode != u'\t')
            return g;
        const char32_t code = ACode == u'\t' ? U' ' : ACode;
        TFace* face = FFaces[static_cast<std::size_t>(FPrimary)].get();
        FT_UInt index = FT_Get_Char_Index(face->Face, code);
        // A character the font lacks is taken from the next font that has it.
        for (std::size_t i = 0; index == 0 && i < FCandidates.size(); ++i) {
            if (static_cast<int>(i) == FPrimary || FCandidates[i].Chars == nullptr ||
                !FcCharSetHasChar(FCandidates[i].Chars.get(), code))
                continue;
            TFace* other = Face(i);
            if (other == nullptr)
                continue;
            const FT_UInt otherIndex = FT_Get_Char_Index(other->Face, code);
            if (otherIndex != 0)
                face = other, index = otherIndex;
        }
        if (FT_Load_Glyph(face->Face, index, FT_LOAD_TARGET_MONO | FT_LOAD_NO_BITMAP) != 0)
            return g;
        FT_GlyphSlot slot = face->Face->glyph;
        if (slot->format == FT_GLYPH_FORMAT_OUTLINE) {
            if (face->Oblique)
                FT_GlyphSlot_Oblique(slot);
            if (face->Embolden)
                FT_GlyphSlot_Embolden(slot);
        }
        // Advances are the font's own widths rounded to whole dots (what GDI takes
        // for a metric-compatible font), not those of FreeType's hinting, so that
        // lines break where they break on Windows; a made-up bold is a dot wider.
        g.Advance =
            static_cast<int>(std::lround(static_cast<double>(slot->linearHoriAdvance) / 65536.0)) +
            (face->Embolden ? 1 : 0);
        if (FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0)
            return g;
        const FT_Bitmap& bm = slot->bitmap;
        if (bm.pixel_mode != FT_PIXEL_MODE_MONO || bm.buffer == nullptr)
            return g;
        g.Left = slot->bitmap_left;
        g.Top = slot->bitmap_top;
        g.Width = static_cast<int>(bm.width);
        g.Rows = static_cast<int>(bm.rows);
        g.Pitch = std::abs(bm.pitch);
        g.Bits.resize(static_cast<std::size_t>(g.Pitch) * static_cast<std::size_t>(g.Rows));
        for (int r = 0; r < g.Rows; ++r) {
            const unsigned char* row =
                bm.pitch >= 0 ? bm.buffer + r * bm.pitch : bm.buffer + (g.Rows - 1 - r) * -bm.pitch;
            std::copy(row, row + g.Pitch, g.Bits.begin() + r * g.Pitch);
        }
        return g;
    }

    int TextWidth(std::u32string_view AText) {
        int w = 0;
        for (char32_t c : AText)
            w += Glyph(c).Advance;
        return w;
    }

    TLine MakeLine(std::u32string_view AText, bool ATrimRight) {
        if (ATrimRight)
            while (!AText.empty() && AText.back() == U' ')
                AText.remove_suffix(1);
        return {std::u32string(AText), TextWidth(AText)};
    }

    // A line too wide for the box loses characters at its end for "...".
    TLine Ellipsis(TLine ALine, int AWidth) {
        if (ALine.Width <= AWidth)
            return ALine;
        const std::u32string dots = U"...";
        const int dotsWidth = TextWidth(dots);
        std::u32string& t = ALine.Text;
        int w = ALine.Width;
        while (!t.empty() && w + dotsWidth > AWidth) {
            w -= Glyph(t.back()).Advance;
            t.pop_back();
        }
        t += dots;
        ALine.Width = w + dotsWidth;
        return ALine;
    }

    // Breaks one paragraph (no line breaks in it) between words.
    void WrapParagraph(std::u32string_view AText, int AWidth, unsigned AFormat,
                       std::vector<TLine>& ALines) {
        if (AText.empty()) {
            ALines.push_back({});
            return;
        }
        std::size_t start = 0;
        bool first = true;
        while (start < AText.size()) {
            if (!first) {
                // A wrapped line does not begin with the blanks it was broken at.
                while (start < AText.size() && AText[start] == U' ')
                    ++start;
                if (start == AText.size())
                    return;
            }
            first = false;
            int w = 0;
            std::size_t end = start;
            while (end < AText.size() && w + Glyph(AText[end]).Advance <= AWidth)
                w += Glyph(AText[end++]).Advance;
            if (end == AText.size()) {
                ALines.push_back(MakeLine(AText.substr(start), false));
                return;
            }
            if (AText[end] == U' ') {
                ALines.push_back(MakeLine(AText.substr(start, end - start), true));
                start = end;
                continue;
            }
            // Else the line ends at its last blank that follows a word.
            const std::size_t lastBlank = AText.substr(0, end).find_last_of(U' ');
            if (lastBlank != std::u32string_view::npos && lastBlank > start) {
                const std::u32string_view before = AText.substr(start, lastBlank - start);
                if (before.find_first_not_of(U' ') != std::u32string_view::npos) {
                    ALines.push_back(MakeLine(before, true));
                    start = lastBlank;
                    continue;
                }
            }
            if (AFormat & DtEditControl) {
                // A word wider than the box is broken; a line holds at least one character.
                end = std::max(end, start + 1);
                ALines.push_back(MakeLine(AText.substr(start, end - start), false));
                start = end;
                continue;
            }
            end = AText.find(U' ', end);
            if (end == std::u32string_view::npos)
                end = AText.size();
            ALines.push_back(MakeLine(AText.substr(start, end - start), true));
            start = end;
        }
    }

    std::vector<TLine> Layout(const std::u32string& AText, int AWidth, unsigned AFormat) {
        std::vector<TLine> lines;
        // An empty text is one empty line, as GDI measures it.
        if ((AFormat & DtSingleLine) || AText.empty()) {
            TLine line = MakeLine(AText, false);
            lines.push_back(AFormat & DtEndEllipsis ? Ellipsis(std::move(line), AWidth) : line);
            return lines;
        }
        std::size_t start = 0;
        while (start < AText.size()) {
            std::size_t end = AText.find_first_of(U"\r\n", start);
            const std::size_t stop = end == std::u32string::npos ? AText.size() : end;
            const std::u32string_view paragraph =
                std::u32string_view(AText).substr(start, stop - start);
            if (AFormat & DtWordBreak) {
                WrapParagraph(paragraph, AWidth, AFormat, lines);
            } else {
                TLine line = MakeLine(paragraph, false);
                lines.push_back(AFormat & DtEndEllipsis ? Ellipsis(std::move(line), AWidth) : line);
            }
            if (end == std::u32string::npos)
                break;
            // CR LF is one line break; a break at the very end adds no line.
            start = end + 1;
            if (AText[end] == U'\r' && start < AText.size() && AText[start] == U'\n')
                ++start;
        }
        return lines;
    }

    void DrawLine(const TLine& ALine, int AX, int ATop, TMonoBitmap& ABitmap) {
        const int baseline = ATop + FAscent;
        int pen = AX;
        for (char32_t c : ALine.Text) {
            const TGlyph& g = Glyph(c);
            for (int r = 0; r < g.Rows; ++r) {
                const auto* row = reinterpret_cast<const unsigned char*>(g.Bits.data()) +
                                  static_cast<std::size_t>(r) * static_cast<std::size_t>(g.Pitch);
                ABitmap.BlackenRow(row, g.Width, pen + g.Left, baseline - g.Top + r);
            }
            pen += g.Advance;
        }
        if (FFont.Style & fsUnderline)
            ABitmap.FillBlack(AX, baseline + FUnderlineTop, AX + ALine.Width,
                              baseline + FUnderlineTop + FUnderlineSize);
        if (FFont.Style & fsStrikeOut)
            ABitmap.FillBlack(AX, baseline - FStrikeTop, AX + ALine.Width,
                              baseline - FStrikeTop + FStrikeSize);
    }

    std::unique_lock<std::mutex> FLock;
    std::unique_ptr<FcConfig, TConfigRelease> FConfig;
    TFontDesc FFont;
    FT_Library FLibrary = nullptr;
    int FPixelSize = 1;
    std::vector<TCandidate> FCandidates;
    std::vector<std::unique_ptr<TFace>> FFaces;
    std::vector<bool> FTried;
    int FPrimary = -1;
    int FAscent = 0;
    int FDescent = 0;
    int FLineHeight = 1;
    int FUnderlineTop = 1;
    int FUnderlineSize = 1;
    int FStrikeTop = 0;
    int FStrikeSize = 1;
    std::map<char32_t, TGlyph> FGlyphs;
};

} // namespace

void ReleaseFontConfiguration() {
    TFontSystem& system = TFontSystem::Instance();
    const std::lock_guard lock(system.Mutex);
    system.ReleaseConfig();
}

std::unique_ptr<TTextRenderer> CreateTextRenderer(const TFontDesc& AFont) {
    return std::make_unique<TFreeTypeRenderer>(AFont);
}

} // namespace korv
