// The text renderer on Windows: a GDI font made from the name, size and
// style, and DrawTextW into a one-bit DIB section whose colour 0 is black and
// colour 1 white, so its rows are already a TMonoBitmap's.

#include "graphics/uGraphicText.h"

#include "common/uEquipmentErrors.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace korv {

namespace {

[[noreturn]] void GdiFailure(const TFontDesc& AFont, const char16_t* AWhat) {
    const std::u16string name = AFont.Name.empty() ? u"по умолчанию" : u"«" + AFont.Name + u"»";
    throw EquException(1008, GetDriverErrorText(1008) + u". " + AWhat + u" (шрифт " + name + u")");
}

// wchar_t is UTF-16 on Windows.
std::wstring Wide(std::u16string_view AText) {
    return std::wstring(AText.begin(), AText.end());
}

class TGdiRenderer final : public TTextRenderer {
public:
    explicit TGdiRenderer(const TFontDesc& AFont) : FDesc(AFont) {
        FDC = CreateCompatibleDC(nullptr);
        if (FDC == nullptr)
            GdiFailure(FDesc, u"Не удалось создать контекст рисования");
        const int size = AFont.Size > 0 ? AFont.Size : DefaultFontSize;
        const int ppi = AFont.PixelsPerInch > 0 ? AFont.PixelsPerInch : 96;
        LOGFONTW lf{};
        lf.lfHeight = -MulDiv(size, ppi, 72);
        lf.lfWeight = (AFont.Style & fsBold) ? FW_BOLD : FW_NORMAL;
        lf.lfItalic = (AFont.Style & fsItalic) ? TRUE : FALSE;
        lf.lfUnderline = (AFont.Style & fsUnderline) ? TRUE : FALSE;
        lf.lfStrikeOut = (AFont.Style & fsStrikeOut) ? TRUE : FALSE;
        lf.lfCharSet = DEFAULT_CHARSET;
        lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
        lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        lf.lfQuality = NONANTIALIASED_QUALITY;
        lf.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
        // A name longer than GDI keeps is cut; GDI then offers its nearest font.
        const std::size_t n = std::min<std::size_t>(AFont.Name.size(), LF_FACESIZE - 1);
        std::copy_n(AFont.Name.begin(), n, lf.lfFaceName);
        FFont = CreateFontIndirectW(&lf);
        if (FFont == nullptr) {
            DeleteDC(FDC);
            GdiFailure(FDesc, u"Не удалось создать шрифт для графического текста");
        }
        FOldFont = SelectObject(FDC, FFont);
    }

    ~TGdiRenderer() override {
        SelectObject(FDC, FOldFont);
        DeleteObject(FFont);
        DeleteDC(FDC);
    }

    TGdiRenderer(const TGdiRenderer&) = delete;
    TGdiRenderer& operator=(const TGdiRenderer&) = delete;

    int MeasureHeight(std::u16string_view AText, int AWidth, unsigned AFormat) override {
        const std::wstring text = Wide(AText);
        RECT r{0, 0, AWidth, 0};
        DrawTextW(FDC, text.c_str(), static_cast<int>(text.size()), &r, AFormat | DT_CALCRECT);
        return std::max<LONG>(r.bottom - r.top, 0);
    }

    void Draw(std::u16string_view AText, unsigned AFormat, TMonoBitmap& ABitmap) override {
        if (ABitmap.Width <= 0 || ABitmap.Height <= 0)
            return;
        struct {
            BITMAPINFOHEADER Header;
            RGBQUAD Colours[2];
        } info{};
        info.Header.biSize = sizeof(BITMAPINFOHEADER);
        info.Header.biWidth = ABitmap.Width;
        info.Header.biHeight = -ABitmap.Height; // rows top to bottom
        info.Header.biPlanes = 1;
        info.Header.biBitCount = 1;
        info.Header.biCompression = BI_RGB;
        info.Colours[1] = RGBQUAD{255, 255, 255, 0};
        void* bits = nullptr;
        HBITMAP dib = CreateDIBSection(FDC, reinterpret_cast<const BITMAPINFO*>(&info),
                                       DIB_RGB_COLORS, &bits, nullptr, 0);
        if (dib == nullptr || bits == nullptr)
            GdiFailure(FDesc, u"Не удалось создать картинку для графического текста");
        const HGDIOBJ old = SelectObject(FDC, dib);
        PatBlt(FDC, 0, 0, ABitmap.Width, ABitmap.Height, WHITENESS);
        SetTextColor(FDC, RGB(0, 0, 0));
        SetBkMode(FDC, TRANSPARENT);
        const std::wstring text = Wide(AText);
        RECT r{0, 0, ABitmap.Width, ABitmap.Height};
        DrawTextW(FDC, text.c_str(), static_cast<int>(text.size()), &r, AFormat);
        GdiFlush();
        // A one-bit DIB row is padded to 32 bits, as a TMonoBitmap's.
        std::memcpy(ABitmap.Bits.data(), bits, ABitmap.Bits.size());
        SelectObject(FDC, old);
        DeleteObject(dib);
    }

private:
    TFontDesc FDesc;
    HDC FDC = nullptr;
    HFONT FFont = nullptr;
    HGDIOBJ FOldFont = nullptr;
};

} // namespace

void ReleaseFontConfiguration() {}

std::unique_ptr<TTextRenderer> CreateTextRenderer(const TFontDesc& AFont) {
    return std::make_unique<TGdiRenderer>(AFont);
}

} // namespace korv
