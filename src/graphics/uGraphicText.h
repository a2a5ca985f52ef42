#pragma once
// Text drawn in a Windows font into a one-bit picture, and that picture in the
// register's graphics line format.
//
// The rules of the picture live here once: the style words, the dots per
// millimetre, the format flags, the measured height and the print format. The
// drawing itself is done by a TTextRenderer: GDI's DrawTextW on Windows
// (uGraphicTextWin.cpp), FreeType with fontconfig elsewhere
// (uGraphicTextFreeType.cpp), both laying text out as DrawTextW does.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace korv {

/// Font style bits.
enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = unsigned;

/// Style words separated by blanks, compared without case: "bold", "italic",
/// "underline", "strikeout" each add their style; other words are ignored.
TFontStyles ParseFontStyle(std::u16string_view AStyle);

// Text format flags, with the values of the Windows DrawText flags (the GDI
// renderer passes them on unchanged).
inline constexpr unsigned DtLeft = 0x0;
inline constexpr unsigned DtTop = 0x0;
inline constexpr unsigned DtCenter = 0x1;
inline constexpr unsigned DtRight = 0x2;
inline constexpr unsigned DtVCenter = 0x4; // single line only
inline constexpr unsigned DtBottom = 0x8;  // single line only
inline constexpr unsigned DtWordBreak = 0x10;
inline constexpr unsigned DtSingleLine = 0x20;
inline constexpr unsigned DtCalcRect = 0x400;
inline constexpr unsigned DtNoPrefix = 0x800;
inline constexpr unsigned DtEditControl = 0x2000; // a word wider than the box is broken
inline constexpr unsigned DtEndEllipsis = 0x8000;

/// The size of a font whose size was never set (points).
inline constexpr int DefaultFontSize = 8;
/// The largest font size drawn (points); above it a request is refused.
inline constexpr int MaxFontSize = 1000;
/// The largest picture drawn, in dots each way; above it a request is refused.
inline constexpr int MaxBitmapDots = 65535;

/// A one-bit picture laid out as a Windows monochrome bitmap: rows top to
/// bottom, Stride bytes each, the leftmost pixel of a byte in its high bit,
/// 1 = white.
struct TMonoBitmap {
    int Width = 0;
    int Height = 0;
    std::size_t Stride = 0;
    std::string Bits;

    /// A white picture of that size (rows padded to 32 bits, as GDI's).
    void Reset(int AWidth, int AHeight);
    bool IsBlack(int AX, int AY) const;
    /// A point outside the picture is ignored.
    void SetBlack(int AX, int AY);
    /// Blackens the set dots of a one-bit row (leftmost dot in the high bit of
    /// its first byte) ACount dots long, placed with its first dot at (AX, AY);
    /// dots outside the picture are dropped.
    void BlackenRow(const unsigned char* ARow, int ACount, int AX, int AY);
    /// Black dots in the rectangle [AX0, AX1) x [AY0, AY1), clipped.
    void FillBlack(int AX0, int AY0, int AX1, int AY1);
};

/// Each row as Width div 8 bytes (a trailing partial byte dropped), each byte
/// inverted (a black dot is a 1 bit) with its bits reversed (the leftmost dot
/// in bit 0); rows top to bottom.
std::string ToPrintFormat(const TMonoBitmap& ABitmap);

/// Rounds to the nearest integer, halves to even.
int RoundHalfEven(double AValue);

/// The font a renderer draws with.
struct TFontDesc {
    std::u16string Name;        // a Windows font name; empty: the platform's default font
    int Size = DefaultFontSize; // points
    TFontStyles Style = 0;
    int PixelsPerInch = 96;
};

/// Draws text as DrawTextW does: black on white, without smoothing, lines
/// broken at line breaks and (with DtWordBreak) between words, each line
/// aligned in the box.
class TTextRenderer {
public:
    virtual ~TTextRenderer() = default;
    /// The height in dots that AText takes in a box AWidth dots wide (the
    /// calculate-rectangle pass; AFormat includes DtCalcRect).
    virtual int MeasureHeight(std::u16string_view AText, int AWidth, unsigned AFormat) = 0;
    /// Draws AText into the box that is the whole of ABitmap.
    virtual void Draw(std::u16string_view AText, unsigned AFormat, TMonoBitmap& ABitmap) = 0;
};

/// The platform's renderer for AFont. A name the machine does not know gets
/// its default font; with no usable font at all it raises EquException 1008
/// naming the font.
std::unique_ptr<TTextRenderer> CreateTextRenderer(const TFontDesc& AFont);
/// Frees the font configuration the renderer keeps between pictures (the
/// next picture reads it again). Where fontconfig draws the text, a program
/// that ends fontconfig itself (FcFini) must call this first; elsewhere it
/// does nothing.
void ReleaseFontConfiguration();

/// One picture of text: its box in millimetres, its font and format flags.
class TGraphicText {
public:
    TGraphicText() = default;

    double Height() const { return FHeight; } // mm
    void SetHeight(double AValue) { FHeight = AValue; }
    double Width() const { return FWidth; } // mm
    void SetWidth(double AValue) { FWidth = AValue; }
    const std::u16string& Data() const { return FData; }
    void SetData(std::u16string AValue) { FData = std::move(AValue); }
    TFontDesc& Font() { return FFont; }
    const TFontDesc& Font() const { return FFont; }
    unsigned TextFormat() const { return FTextFormat; }
    void SetTextFormat(unsigned AValue) { FTextFormat = AValue; }
    /// Dots per inch: stored as whole dots per millimetre (203 gives 8), also
    /// the font's pixels per inch.
    int DPI() const;
    void SetDPI(int AValue);
    double DotsPerMM() const { return FDotsPerMM; }

    /// Draws Data into BitMap: Width x Height mm in dots, then as high as the
    /// text measures (the width stays). Raises EquException 1004 for a font
    /// size or a picture beyond the limits above, and what CreateTextRenderer raises.
    void Render();
    const TMonoBitmap& BitMap() const { return FBitMap; }

private:
    TMonoBitmap FBitMap;
    double FHeight = 0;
    double FWidth = 0;
    double FDotsPerMM = 8.0;
    TFontDesc FFont;
    std::u16string FData;
    unsigned FTextFormat = DtWordBreak;
};

/// The front end: text in, print data out.
class TPrintGraphicText {
public:
    /// Renders AText in a box AWidth x AHeight mm at 203 dots per inch and
    /// returns it in the print format with the picture's size in dots.
    /// AFontSize above 0 sets the size, a non-empty AFontName the font;
    /// AFontStyle holds style words. AAlign containing "center" or "right" and
    /// AVAlign containing "center" or "bottom" (without case) align the text;
    /// AMultiline breaks it between words, else it stays on one line cut with
    /// an ellipsis.
    static void GetGraphicText(std::u16string_view AText, double AWidth, double AHeight,
                               int AFontSize, std::u16string_view AFontName,
                               std::u16string_view AFontStyle, std::u16string_view AAlign,
                               std::u16string_view AVAlign, bool AMultiline, std::string& AData,
                               int& ABitmapWidth, int& ABitmapHeight);
};

} // namespace korv
