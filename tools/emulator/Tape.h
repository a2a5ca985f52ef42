// The emulated register's paper tape: everything the printer put on paper, in
// order, as a list of elements. It renders to a UTF-8 text file and to a PNG
// picture of the strip, and it serialises itself for the emulator's state file.
//
// Not thread-safe: the emulator's owner of the tape serialises access (the link
// thread prints while the control thread may save pictures).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// What one tape element is.
enum class TapeKind : std::uint8_t {
    Text = 1,    // a text line; Data holds Windows-1251 bytes
    Title = 2,   // a document title; Data holds 1251 bytes, A the document number
    Ean13 = 3,   // an EAN-13 barcode; Data holds all 13 digits (check digit included)
    Qr = 4,      // a QR code; Data holds the raw bytes, A the module size, B the ECC level
    Graphic = 5, // a raster picture; A = width in pixels, B = height in rows, Data = rows
    Feed = 6,    // blank paper; A = number of lines
    Cut = 7,     // a cut; A = 1 for a full cut, 0 for a partial one
    Drawer = 8,  // the cash drawer was opened (not on paper; kept for the log)
    Beep = 9,    // the beeper sounded (not on paper)
    Error = 10,  // a print request that could not be honoured; Data holds a UTF-8 reason
};

// One element of the tape.
struct TapeElement {
    TapeKind Kind = TapeKind::Text;
    std::string Data;
    int A = 0;
    int B = 0;
    int Font = 1;      // Text only: the register's font number (1 normal, 2 large, 3 small)
    bool Bold = false; // Text and Title
    bool Wide = false; // Text: double-width characters
};

// Geometry of the emulated printer.
struct TapeOptions {
    int WidthPx = 576;     // printable width in dots: 576 = 72 mm of an 80 mm roll at 203 dpi
    int CharsPerLine = 48; // characters of font 1 per line
    std::size_t MaxElements = 100000; // the oldest elements are dropped beyond this
    int MaxPngHeightPx = 60000;       // SavePng keeps the newest part of a longer tape
};

class Tape {
public:
    Tape() = default;
    explicit Tape(const TapeOptions& options);

    // A text line as the register received it: Windows-1251 bytes; a trailing
    // run of NUL bytes is ignored. `font` is the register's font number, `bold`
    // and `wide` select bold and double-width glyphs.
    void Text(std::string_view cp1251Bytes, int font = 1, bool bold = false, bool wide = false);
    // A document title (printed centred and bold), then the document number
    // when it is above 0. Trailing NUL padding of the title is ignored.
    void Title(std::string_view cp1251Bytes, int docNumber = 0);
    // An EAN-13 code from 12 digits (the check digit is computed) or 13 digits
    // (the check digit must be right). Anything else records an error element.
    void Ean13(std::string_view digits);
    // An EAN-13 code from the register command's number (the first 12 digits);
    // a number above 999999999999 records an error element.
    void Ean13Number(std::uint64_t number);
    // A QR code of `data` (raw bytes). `moduleSize` is the dot size of one
    // module (clamped to 1..16 when drawn); `eccLevel` 0..3 is L, M, Q, H
    // (other values are clamped). Empty data or data over the capacity of the
    // largest symbol records an error element instead.
    void Qr(std::string_view data, int moduleSize = 4, int eccLevel = 1);
    // A raster picture in the register's graphics-line format: each row holds
    // (widthPx + 7) / 8 bytes, a 1 bit is a black dot and the leftmost dot of a
    // byte is its lowest bit (bit 0). Short rows are padded with white, long
    // ones cut. A width outside 1..4096 or more than 20000 rows records an error.
    void Graphic(int widthPx, const std::vector<std::string>& rows);
    // Blank paper of `lines` text lines (negative counts as 0, capped at 255).
    void Feed(int lines);
    // A full or partial cut.
    void Cut(bool full);
    // The drawer opened; the beeper sounded. Kept in the text, not drawn.
    void Drawer();
    void Beep();
    // Records an element that explains a print request the tape could not honour.
    void Error(std::string_view utf8Reason);

    // Document boundaries, so that a copy of the last document can be printed.
    // BeginDocument ends any document still open; EndDocument closes it.
    void BeginDocument();
    void EndDocument();
    // Prints again the elements of the last closed document (its texts,
    // titles, codes, pictures and feeds; not its cuts), under a "КОПИЯ" line.
    // Without explicit boundaries, the last document is what lies between the
    // last two cuts. Returns false (and prints nothing) when there is none.
    bool CopyLastDocument();

    // Everything removed; the options stay.
    void Clear();

    // Paper that ran out in the middle of a document: the elements from the
    // absolute position `from` (index + Dropped()) on are taken off the tape,
    // to be put back by PutBack once the printer resumes.
    std::vector<TapeElement> TakeFrom(std::uint64_t from);
    void PutBack(std::vector<TapeElement> elements);
    // Lines of paper an element takes (0 for what is not on paper).
    static int LinesOf(const TapeElement& element);

    const TapeOptions& Options() const { return FOptions; }
    std::size_t Size() const { return FElements.size(); }
    const TapeElement& At(std::size_t index) const { return FElements.at(index); }
    const std::vector<TapeElement>& Elements() const { return FElements; }
    // How many of the oldest elements were dropped to respect MaxElements.
    std::uint64_t Dropped() const { return FDropped; }

    // The tape as UTF-8 text, one printed line per line: text lines as they
    // were printed, titles centred, feeds as empty lines, and markers for the
    // rest: "[EAN-13 4600000000003]", "[QR <data>]", "[graphic 320x24]",
    // "-------- cut --------", "-------- partial cut --------", "[drawer]",
    // "[beep]", "[error: <reason>]". A picture's marker is followed by the
    // picture itself, two by two dots a character in quadrant blocks.
    std::string ToText() const;
    // Writes ToText() to a file. False with a reason on failure.
    bool SaveText(const std::string& path, std::string* err) const;

    // Draws the tape as an 8-bit greyscale PNG: a white strip on a grey table,
    // full cuts as separated pieces, partial cuts as a dashed line with
    // scissors. A tape taller than MaxPngHeightPx keeps its newest part, under
    // a torn edge. False with a reason when the file cannot be written.
    bool SavePng(const std::string& path, std::string* err) const;
    // Draws the whole tape into pages of at most MaxPngHeightPx each, named
    // <stem>-001.png, <stem>-002.png, ... The names written are added to
    // `files` when it is not null.
    bool SavePngPages(const std::string& stem, std::vector<std::string>* files,
                      std::string* err) const;

    // A compact binary image of the tape (elements, the drop count and the
    // document boundaries) for the emulator's state file.
    std::string Serialize() const;
    // Restores a Serialize() image. On malformed input it returns false with a
    // reason and leaves the tape as it was.
    bool Deserialize(std::string_view image, std::string* err = nullptr);

private:
    void Append(TapeElement element);

    TapeOptions FOptions;
    std::vector<TapeElement> FElements;
    std::uint64_t FDropped = 0;
    // Document boundaries as absolute positions (index + FDropped); -1 when unset.
    std::int64_t FDocStart = -1;
    std::int64_t FLastDocBegin = -1;
    std::int64_t FLastDocEnd = -1;
};

// Frees the font caches that drawing leaves behind (cairo's and fontconfig's),
// so that a leak checker sees a clean exit. Call once, at process end, after
// the last picture was drawn.
void ReleaseDrawingCaches();

// Windows-1251 bytes to UTF-8 (bytes without a character become '?').
std::string Cp1251ToUtf8(std::string_view bytes);

} // namespace emu
