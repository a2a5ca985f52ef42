#include "graphics/uGraphicText.h"

#include "common/uBytes.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <algorithm>
#include <cfenv>
#include <cmath>

namespace korv {

namespace {

// Millimetres per inch as the dots-per-millimetre conversion has it.
constexpr double MMPerInch = 25.400051;
constexpr int PrintDPI = 203;

bool Contains(std::u16string_view AText, std::u16string_view AWord) {
    return LowerCase(AText).find(AWord) != std::u16string::npos;
}

} // namespace

TFontStyles ParseFontStyle(std::u16string_view AStyle) {
    TFontStyles styles = 0;
    std::size_t start = 0;
    while (start < AStyle.size()) {
        std::size_t end = AStyle.find(u' ', start);
        if (end == std::u16string_view::npos)
            end = AStyle.size();
        const std::u16string_view word = AStyle.substr(start, end - start);
        if (SameTextI(word, u"bold"))
            styles |= fsBold;
        else if (SameTextI(word, u"italic"))
            styles |= fsItalic;
        else if (SameTextI(word, u"underline"))
            styles |= fsUnderline;
        else if (SameTextI(word, u"strikeout"))
            styles |= fsStrikeOut;
        start = end + 1;
    }
    return styles;
}

void TMonoBitmap::Reset(int AWidth, int AHeight) {
    Width = std::max(AWidth, 0);
    Height = std::max(AHeight, 0);
    Stride = (static_cast<std::size_t>(Width) + 31) / 32 * 4;
    Bits.assign(Stride * static_cast<std::size_t>(Height), '\xFF');
}

bool TMonoBitmap::IsBlack(int AX, int AY) const {
    if (AX < 0 || AY < 0 || AX >= Width || AY >= Height)
        return false;
    const auto byte = static_cast<unsigned char>(
        Bits[static_cast<std::size_t>(AY) * Stride + static_cast<std::size_t>(AX) / 8]);
    return (byte & (0x80u >> (AX % 8))) == 0;
}

void TMonoBitmap::SetBlack(int AX, int AY) {
    const unsigned char dot = 0x80;
    BlackenRow(&dot, 1, AX, AY);
}

// The pixel loops of graphic text run through here, so they index raw bytes
// and move a whole source byte at a time where the row lies inside the picture.
void TMonoBitmap::BlackenRow(const unsigned char* ARow, int ACount, int AX, int AY) {
    if (AY < 0 || AY >= Height || ACount <= 0)
        return;
    auto* line =
        reinterpret_cast<unsigned char*>(Bits.data()) + static_cast<std::size_t>(AY) * Stride;
    // Wide enough that a start far off either edge cannot overflow.
    const long long from = AX;
    if (from >= 0 && from + ACount <= Width) {
        const int bytes = (ACount + 7) / 8;
        const unsigned shift = static_cast<unsigned>(from % 8);
        for (int k = 0; k < bytes; ++k) {
            unsigned dots = ARow[k];
            if (k == bytes - 1 && ACount % 8)
                dots &= 0xFFu << (8 - ACount % 8);
            if (!dots)
                continue;
            unsigned char* to = line + (from + 8LL * k) / 8;
            to[0] = static_cast<unsigned char>(to[0] & ~(dots >> shift));
            // Dots that spill into the next byte lie before the row's end, so inside.
            if (const unsigned spill = (dots << (8 - shift)) & 0xFFu; shift && spill)
                to[1] = static_cast<unsigned char>(to[1] & ~spill);
        }
        return;
    }
    const long long first = std::max(0LL, -from);
    const long long last = std::min<long long>(ACount, Width - from);
    for (long long i = first; i < last; ++i) {
        if (ARow[i / 8] & (0x80u >> (i % 8))) {
            const auto x = static_cast<std::size_t>(from + i);
            line[x / 8] = static_cast<unsigned char>(line[x / 8] & ~(0x80u >> (x % 8)));
        }
    }
}

void TMonoBitmap::FillBlack(int AX0, int AY0, int AX1, int AY1) {
    AX0 = std::max(AX0, 0), AY0 = std::max(AY0, 0);
    AX1 = std::min(AX1, Width), AY1 = std::min(AY1, Height);
    if (AX1 <= AX0)
        return;
    const std::string ink((static_cast<std::size_t>(AX1 - AX0) + 7) / 8, '\xFF');
    for (int y = AY0; y < AY1; ++y)
        BlackenRow(reinterpret_cast<const unsigned char*>(ink.data()), AX1 - AX0, AX0, y);
}

std::string ToPrintFormat(const TMonoBitmap& ABitmap) {
    const std::size_t rowBytes = static_cast<std::size_t>(ABitmap.Width) / 8;
    std::string out(rowBytes * static_cast<std::size_t>(ABitmap.Height), '\0');
    const auto* bits = reinterpret_cast<const unsigned char*>(ABitmap.Bits.data());
    auto* to = reinterpret_cast<unsigned char*>(out.data());
    for (int y = 0; y < ABitmap.Height; ++y) {
        const unsigned char* row = bits + static_cast<std::size_t>(y) * ABitmap.Stride;
        for (std::size_t i = 0; i < rowBytes; ++i)
            *to++ = ReverseBits(static_cast<std::uint8_t>(~row[i]));
    }
    return out;
}

int RoundHalfEven(double AValue) {
    // nearbyint follows the rounding mode, which is to-nearest-even unless
    // someone changed it; the result must not depend on that.
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(AValue);
    std::fesetround(saved);
    return static_cast<int>(r);
}

int TGraphicText::DPI() const {
    return RoundHalfEven(FDotsPerMM * MMPerInch);
}

void TGraphicText::SetDPI(int AValue) {
    FDotsPerMM = RoundHalfEven(AValue / MMPerInch);
    FFont.PixelsPerInch = AValue;
}

void TGraphicText::Render() {
    if (FFont.Size > MaxFontSize)
        throw EquException(1004, GetDriverErrorText(1004) + u". Размер шрифта больше " +
                                     IntToU16(MaxFontSize));
    const double width = FWidth * FDotsPerMM;
    const double height = FHeight * FDotsPerMM;
    if (!(width >= 0 && width <= MaxBitmapDots && height >= 0 && height <= MaxBitmapDots))
        throw EquException(1004);
    FBitMap.Reset(RoundHalfEven(width), RoundHalfEven(height));
    const std::unique_ptr<TTextRenderer> renderer = CreateTextRenderer(FFont);
    const int measured = renderer->MeasureHeight(FData, FBitMap.Width, FTextFormat | DtCalcRect);
    if (measured > MaxBitmapDots)
        throw EquException(1004, GetDriverErrorText(1004) + u". Текст не помещается в картинку");
    // The picture is exactly as high as the text; the width stays.
    FBitMap.Reset(FBitMap.Width, measured);
    renderer->Draw(FData, FTextFormat, FBitMap);
}

void TPrintGraphicText::GetGraphicText(std::u16string_view AText, double AWidth, double AHeight,
                                       int AFontSize, std::u16string_view AFontName,
                                       std::u16string_view AFontStyle, std::u16string_view AAlign,
                                       std::u16string_view AVAlign, bool AMultiline,
                                       std::string& AData, int& ABitmapWidth, int& ABitmapHeight) {
    TGraphicText text;
    text.SetDPI(PrintDPI);
    text.SetWidth(AWidth);
    text.SetHeight(AHeight);
    text.SetData(std::u16string(AText));
    if (!AFontName.empty())
        text.Font().Name = std::u16string(AFontName);
    text.Font().Style = ParseFontStyle(AFontStyle);
    if (AFontSize > 0)
        text.Font().Size = AFontSize;

    unsigned format = DtNoPrefix | DtEditControl | DtEndEllipsis;
    format |= AMultiline ? DtWordBreak : DtSingleLine;
    if (Contains(AAlign, u"center"))
        format |= DtCenter;
    else if (Contains(AAlign, u"right"))
        format |= DtRight;
    if (Contains(AVAlign, u"center"))
        format |= DtVCenter;
    else if (Contains(AVAlign, u"bottom"))
        format |= DtBottom;
    text.SetTextFormat(format);

    text.Render();
    AData = ToPrintFormat(text.BitMap());
    ABitmapWidth = text.BitMap().Width;
    ABitmapHeight = text.BitMap().Height;
}

} // namespace korv
