// Drawing the tape as a PNG picture of a register's paper strip.
//
// The picture is laid out once (every element gets its top and height in
// dots), then drawn with cairo in bands of a few hundred rows that are passed
// to libpng row by row. Memory therefore stays small however long the tape is;
// the height of one file is capped (TapeOptions::MaxPngHeightPx) because image
// viewers give up on pictures tens of metres long. SavePng keeps the newest
// part of a longer tape under a torn edge, SavePngPages cuts the whole tape
// into pages.
#include "Tape.h"

#include <cairo.h>
#include <png.h>
#include <qrencode.h>
#include <zint.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <memory>

namespace emu {

namespace {

// Geometry in dots (203 dpi, 8 dots per millimetre).
constexpr int kPaperMargin = 32; // unprintable edge of the roll on each side
constexpr int kTableMargin = 24; // the grey table around the strip
constexpr int kPaperPad = 16;    // paper above the first and below the last line
constexpr int kCutPad = 12;      // paper left on each side of a full cut
constexpr int kCutGap = 28;      // space between two pieces after a full cut
constexpr int kPartialCutHeight = 24;
constexpr int kBandRows = 256;
constexpr int kTearDepth = 5;

constexpr double kTableGrey = 0.55;
constexpr double kErrorGrey = 0.35;

constexpr char kMonoFace[] = "DejaVu Sans Mono";
constexpr char kSymbolFace[] = "DejaVu Sans"; // has the scissors glyph

// Width and height factors of the register's font numbers.
struct FontScale {
    double X;
    double Y;
};

FontScale ScaleOf(const TapeElement& e) {
    FontScale s{1.0, 1.0};
    switch (e.Font) {
    case 2: // large
        s = {2.0, 2.0};
        break;
    case 3: // condensed
        s = {0.75, 0.75};
        break;
    case 4: // tall
        s = {1.0, 2.0};
        break;
    case 5: // wide
        s = {2.0, 1.0};
        break;
    default:
        break;
    }
    if (e.Wide)
        s.X *= 2.0;
    return s;
}

// Splits UTF-8 text into code points kept as strings (one glyph each).
std::vector<std::string> Glyphs(const std::string& utf8) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t n = 1;
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0xF0)
            n = 4;
        else if (c >= 0xE0)
            n = 3;
        else if (c >= 0xC0)
            n = 2;
        n = std::min(n, utf8.size() - i);
        std::string g = utf8.substr(i, n);
        // Control characters have no glyph; show them as blanks.
        if (n == 1 && (c < 0x20 || c == 0x7F))
            g = " ";
        out.push_back(std::move(g));
        i += n;
    }
    return out;
}

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;
using QrPtr = std::unique_ptr<QRcode, decltype(&QRcode_free)>;
using ZintPtr = std::unique_ptr<zint_symbol, decltype(&ZBarcode_Delete)>;

QrPtr EncodeQr(const TapeElement& e) {
    return QrPtr(QRcode_encodeData(static_cast<int>(e.Data.size()),
                                   reinterpret_cast<const unsigned char*>(e.Data.data()), 0,
                                   static_cast<QRecLevel>(std::clamp(e.B, 0, 3))),
                 &QRcode_free);
}

// EAN-13 as a zint raster (3 bytes per dot, RGB), or null when zint refuses.
ZintPtr EncodeEan(const TapeElement& e) {
    ZintPtr sym(ZBarcode_Create(), &ZBarcode_Delete);
    if (!sym)
        return sym;
    sym->symbology = BARCODE_EANX;
    sym->scale = 1.5f; // 3 dots a module: about 0.37 mm, as registers print it
    sym->height = 40.0f;
    // zint computes the check digit itself from the first 12.
    std::string first12 = e.Data.substr(0, 12);
    if (ZBarcode_Encode(sym.get(), reinterpret_cast<const unsigned char*>(first12.data()),
                        static_cast<int>(first12.size())) >= ZINT_ERROR ||
        ZBarcode_Buffer(sym.get(), 0) >= ZINT_ERROR || !sym->bitmap)
        sym.reset();
    return sym;
}

// Positions down the tape in dots. A kept tape can be taller than an int
// (100000 pictures of 20000 rows); one band or picture never is.
using Pos = std::int64_t;

struct Placed {
    std::size_t Index = 0;
    Pos Y = 0;
    int H = 0;
};

struct Layout {
    std::vector<Placed> Items;
    std::vector<std::pair<Pos, Pos>> Paper; // [top, bottom) of each piece of paper
    Pos Total = 0;
};

class Renderer {
public:
    Renderer(const Tape& tape) : FTape(tape), FOpt(tape.Options()) {
        FImageWidth = FOpt.WidthPx + 2 * (kPaperMargin + kTableMargin);
        FLeft = kTableMargin + kPaperMargin;
        FCell = static_cast<double>(FOpt.WidthPx) / FOpt.CharsPerLine;
        // The monospace advance is about 0.6 em; measure it to fit the grid.
        Surface s(cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1), &cairo_surface_destroy);
        Context cr(cairo_create(s.get()), &cairo_destroy);
        cairo_select_font_face(cr.get(), kMonoFace, CAIRO_FONT_SLANT_NORMAL,
                               CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr.get(), 100.0);
        cairo_text_extents_t ext;
        cairo_text_extents(cr.get(), "M", &ext);
        double advance = ext.x_advance > 1.0 ? ext.x_advance / 100.0 : 0.6;
        FFontPx = FCell / advance;
        FLine = std::max(8, static_cast<int>(std::lround(FFontPx * 1.25)));
    }

    Layout Lay() const {
        Layout l;
        Pos y = kPaperPad;
        Pos paperTop = 0;
        for (std::size_t i = 0; i < FTape.Size(); ++i) {
            const TapeElement& e = FTape.At(i);
            int h = HeightOf(e);
            if (e.Kind == TapeKind::Cut && e.A) {
                l.Paper.emplace_back(paperTop, y + kCutPad);
                paperTop = y + kCutPad + kCutGap;
            }
            l.Items.push_back({i, y, h});
            y += h;
        }
        l.Total = y + kPaperPad;
        l.Paper.emplace_back(paperTop, l.Total);
        return l;
    }

    int Width() const { return FImageWidth; }

    // Draws rows [top, top + rows) of the tape into `cr`, whose origin is the
    // top of the band. Elements are drawn at positions relative to the band.
    void DrawBand(cairo_t* cr, const Layout& l, Pos top, int rows, Pos windowTop,
                  Pos windowBottom) const {
        cairo_save(cr);
        cairo_rectangle(cr, 0, 0, FImageWidth, rows);
        cairo_clip(cr);

        cairo_set_source_rgb(cr, kTableGrey, kTableGrey, kTableGrey);
        cairo_paint(cr);
        cairo_set_source_rgb(cr, 1, 1, 1);
        for (auto [a, b] : l.Paper) {
            Pos lo = std::max(a, top), hi = std::min(b, top + rows);
            if (lo < hi) {
                cairo_rectangle(cr, kTableMargin, static_cast<double>(lo - top),
                                FImageWidth - 2 * kTableMargin, static_cast<double>(hi - lo));
                cairo_fill(cr);
            }
        }
        // Elements overlapping the band (Items are sorted by Y).
        auto first = std::lower_bound(l.Items.begin(), l.Items.end(), top,
                                      [](const Placed& p, Pos y) { return p.Y + p.H <= y; });
        for (auto it = first; it != l.Items.end() && it->Y < top + rows; ++it)
            if (it->H > 0)
                DrawElement(cr, FTape.At(it->Index), static_cast<int>(it->Y - top), it->H, rows);

        if (windowTop > 0)
            Tear(cr, static_cast<double>(windowTop - top), true);
        if (windowBottom < l.Total)
            Tear(cr, static_cast<double>(windowBottom - top), false);
        cairo_restore(cr);
    }

private:
    int HeightOf(const TapeElement& e) const {
        switch (e.Kind) {
        case TapeKind::Text: {
            FontScale s = ScaleOf(e);
            std::size_t n = TextLines(e, s).size();
            return static_cast<int>(std::lround(FLine * s.Y * static_cast<double>(n)));
        }
        case TapeKind::Title:
            return static_cast<int>(TextLines(e, {1.0, 1.0}).size()) * FLine + FLine / 2;
        case TapeKind::Error:
            return static_cast<int>(TextLines(e, {0.8, 0.8}).size()) * FLine;
        case TapeKind::Feed:
            return e.A * FLine;
        case TapeKind::Cut:
            return e.A ? 2 * kCutPad + kCutGap : kPartialCutHeight;
        case TapeKind::Graphic:
            return e.B;
        case TapeKind::Qr: {
            QrPtr q = EncodeQr(e);
            if (!q)
                return FLine;
            return (q->width + 8) * QrModule(e, q->width);
        }
        case TapeKind::Ean13: {
            ZintPtr z = EncodeEan(e);
            return (z ? z->bitmap_height : 0) + FLine / 2;
        }
        case TapeKind::Drawer:
        case TapeKind::Beep:
            return 0;
        }
        return 0;
    }

    int QrModule(const TapeElement& e, int modules) const {
        int fit = std::max(1, FOpt.WidthPx / (modules + 8));
        return std::clamp(e.A, 1, fit);
    }

    // The text of an element cut into printed lines of the element's width.
    std::vector<std::vector<std::string>> TextLines(const TapeElement& e, FontScale s) const {
        std::string utf8 = Cp1251ToUtf8(e.Data);
        if (e.Kind == TapeKind::Error)
            utf8 = "[error: " + e.Data + "]";
        else if (e.Kind == TapeKind::Title && e.A > 0)
            utf8 += "  \xE2\x84\x96 " + std::to_string(e.A);
        std::vector<std::string> glyphs = Glyphs(utf8);
        auto perLine = static_cast<std::size_t>(
            std::max(1.0, std::floor(FOpt.WidthPx / (FCell * s.X) + 1e-9)));
        std::vector<std::vector<std::string>> lines;
        for (std::size_t i = 0; i < glyphs.size(); i += perLine)
            lines.emplace_back(
                glyphs.begin() + static_cast<std::ptrdiff_t>(i),
                glyphs.begin() + static_cast<std::ptrdiff_t>(std::min(glyphs.size(), i + perLine)));
        if (lines.empty())
            lines.emplace_back();
        return lines;
    }

    void DrawText(cairo_t* cr, const TapeElement& e, int y, int rows, FontScale s,
                  bool centre) const {
        auto lines = TextLines(e, s);
        cairo_select_font_face(cr, kMonoFace,
                               e.Kind == TapeKind::Error ? CAIRO_FONT_SLANT_ITALIC
                                                         : CAIRO_FONT_SLANT_NORMAL,
                               e.Bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        cairo_matrix_t m;
        cairo_matrix_init_scale(&m, FFontPx * s.X, FFontPx * s.Y);
        cairo_set_font_matrix(cr, &m);
        double grey = e.Kind == TapeKind::Error ? kErrorGrey : 0.0;
        cairo_set_source_rgb(cr, grey, grey, grey);
        cairo_font_extents_t fe;
        cairo_font_extents(cr, &fe);
        const double lineH = FLine * s.Y;
        const double cell = FCell * s.X;
        for (std::size_t n = 0; n < lines.size(); ++n) {
            const double lineTop = y + lineH * static_cast<double>(n);
            if (lineTop + lineH < 0 || lineTop > rows)
                continue; // outside the band
            double x = FLeft;
            if (centre)
                x += (FOpt.WidthPx - cell * static_cast<double>(lines[n].size())) / 2;
            // Baseline: the font's ascent, centred in the line's height.
            double base = lineTop + (lineH - fe.height) / 2 + fe.ascent;
            // Each glyph in its own cell keeps the grid even with a fallback font.
            for (const std::string& g : lines[n]) {
                if (g != " ") {
                    cairo_move_to(cr, x, base);
                    cairo_show_text(cr, g.c_str());
                }
                x += cell;
            }
        }
    }

    void DrawQr(cairo_t* cr, const TapeElement& e, int y) const {
        QrPtr q = EncodeQr(e);
        if (!q)
            return;
        const int mod = QrModule(e, q->width);
        const double x0 = FLeft + (FOpt.WidthPx - q->width * mod) / 2.0;
        const double y0 = y + 4.0 * mod;
        cairo_set_source_rgb(cr, 0, 0, 0);
        for (int r = 0; r < q->width; ++r)
            for (int c = 0; c < q->width; ++c)
                if (q->data[r * q->width + c] & 1)
                    cairo_rectangle(cr, x0 + c * mod, y0 + r * mod, mod, mod);
        cairo_fill(cr);
    }

    // Paints an A8 mask of `w` x `h` dots at (x, y) in black.
    template <class Black>
    static void Blit(cairo_t* cr, double x, double y, int w, int h, const Black& black) {
        if (w <= 0 || h <= 0)
            return;
        Surface s(cairo_image_surface_create(CAIRO_FORMAT_A8, w, h), &cairo_surface_destroy);
        if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS)
            return;
        cairo_surface_flush(s.get());
        unsigned char* px = cairo_image_surface_get_data(s.get());
        const int stride = cairo_image_surface_get_stride(s.get());
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                px[r * stride + c] = black(c, r) ? 0xFF : 0x00;
        cairo_surface_mark_dirty(s.get());
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_mask_surface(cr, s.get(), x, y);
    }

    void DrawEan(cairo_t* cr, const TapeElement& e, int y) const {
        ZintPtr z = EncodeEan(e);
        if (!z)
            return;
        const int w = std::min(z->bitmap_width, FOpt.WidthPx);
        const unsigned char* bm = z->bitmap;
        const int bw = z->bitmap_width;
        Blit(cr, FLeft + (FOpt.WidthPx - w) / 2, y, w, z->bitmap_height, [&](int c, int r) {
            const unsigned char* p = bm + 3 * (static_cast<std::size_t>(r) * bw + c);
            return p[0] + p[1] + p[2] < 3 * 128;
        });
    }

    // Only the rows inside the band (0..rows) are built, so a tall picture
    // costs one band.
    void DrawGraphic(cairo_t* cr, const TapeElement& e, int y, int rows) const {
        const int first = std::max(0, -y);
        const int last = std::min(e.B, rows - y);
        const int w = std::min(e.A, FOpt.WidthPx);
        const std::size_t stride = (static_cast<std::size_t>(e.A) + 7) / 8;
        const std::string& d = e.Data;
        Blit(cr, FLeft + (FOpt.WidthPx - w) / 2, y + first, w, last - first, [&](int c, int r) {
            auto byte = static_cast<unsigned char>(d[(first + r) * stride + c / 8]);
            return ((byte >> (c % 8)) & 1) != 0; // leftmost dot in bit 0
        });
    }

    void DrawCut(cairo_t* cr, const TapeElement& e, int y, int h) const {
        const double mid = e.A ? y + kCutPad + kCutGap / 2.0 : y + h / 2.0;
        const double dash[] = {8.0, 6.0};
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        cairo_set_line_width(cr, 1.0);
        cairo_set_dash(cr, dash, 2, 0);
        cairo_move_to(cr, kTableMargin / 2.0 + 28, mid + 0.5);
        cairo_line_to(cr, FImageWidth - kTableMargin / 2.0, mid + 0.5);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
        cairo_select_font_face(cr, kSymbolFace, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, 22.0);
        cairo_move_to(cr, kTableMargin / 2.0, mid + 8);
        cairo_show_text(cr, "\xE2\x9C\x82"); // scissors
    }

    // `y` is the element's top relative to the band of `rows` rows.
    void DrawElement(cairo_t* cr, const TapeElement& e, int y, int h, int rows) const {
        switch (e.Kind) {
        case TapeKind::Text:
            DrawText(cr, e, y, rows, ScaleOf(e), false);
            break;
        case TapeKind::Title:
            DrawText(cr, e, y + FLine / 4, rows, {1.0, 1.0}, true);
            break;
        case TapeKind::Error:
            DrawText(cr, e, y, rows, {0.8, 0.8}, false);
            break;
        case TapeKind::Qr:
            DrawQr(cr, e, y);
            break;
        case TapeKind::Ean13:
            DrawEan(cr, e, y + FLine / 4);
            break;
        case TapeKind::Graphic:
            DrawGraphic(cr, e, y, rows);
            break;
        case TapeKind::Cut:
            DrawCut(cr, e, y, h);
            break;
        default:
            break;
        }
    }

    // A torn paper edge at `y`: zigzag teeth of table colour bite into the
    // paper on the side that is not shown.
    void Tear(cairo_t* cr, double y, bool atTop) const {
        const double sign = atTop ? 1.0 : -1.0;
        cairo_set_source_rgb(cr, kTableGrey, kTableGrey, kTableGrey);
        cairo_move_to(cr, 0, y - sign);
        double x = 0;
        bool deep = false;
        while (x < FImageWidth) {
            x += 12;
            deep = !deep;
            cairo_line_to(cr, x, y + sign * (deep ? kTearDepth : 2));
        }
        cairo_line_to(cr, FImageWidth, y - sign);
        cairo_close_path(cr);
        cairo_fill(cr);
    }

    const Tape& FTape;
    const TapeOptions& FOpt;
    int FImageWidth = 0;
    int FLeft = 0;
    double FCell = 12;
    double FFontPx = 20;
    int FLine = 24;
};

// libpng reports errors by longjmp: the functions that call it hold only
// trivially destructible locals.
struct PngFile {
    std::FILE* File = nullptr;
    png_structp Png = nullptr;
    png_infop Info = nullptr;
    std::string Error;

    ~PngFile() {
        if (Png)
            png_destroy_write_struct(&Png, Info ? &Info : nullptr);
        if (File)
            std::fclose(File);
    }
};

void PngError(png_structp png, png_const_charp message) {
    auto* f = static_cast<PngFile*>(png_get_error_ptr(png));
    f->Error = message ? message : "libpng error";
    std::longjmp(png_jmpbuf(png), 1);
}

void PngWarning(png_structp, png_const_charp) {}

bool PngBegin(PngFile& f, int width, int height) {
    f.Png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &f, &PngError, &PngWarning);
    if (!f.Png)
        return false;
    f.Info = png_create_info_struct(f.Png);
    if (!f.Info)
        return false;
    if (setjmp(png_jmpbuf(f.Png)))
        return false;
    png_init_io(f.Png, f.File);
    png_set_IHDR(f.Png, f.Info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_pHYs(f.Png, f.Info, 7992, 7992, PNG_RESOLUTION_METER); // 203 dpi
    // Mostly white paper: one cheap filter compresses it nearly as well as
    // libpng's adaptive choice, at a fraction of the time of a day's tape.
    png_set_filter(f.Png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_level(f.Png, 3);
    png_write_info(f.Png, f.Info);
    return true;
}

bool PngRow(PngFile& f, unsigned char* row) {
    if (setjmp(png_jmpbuf(f.Png)))
        return false;
    png_write_row(f.Png, row);
    return true;
}

bool PngEnd(PngFile& f) {
    if (setjmp(png_jmpbuf(f.Png)))
        return false;
    png_write_end(f.Png, nullptr);
    return true;
}

// Writes rows [top, bottom) of the laid-out tape to `path`.
bool WriteWindow(const Renderer& r, const Layout& l, Pos top, Pos bottom, const std::string& path,
                 std::string* err) {
    auto fail = [&](const std::string& why) {
        if (err)
            *err = why;
        std::remove(path.c_str());
        return false;
    };
    PngFile f;
    f.File = std::fopen(path.c_str(), "wb");
    if (!f.File) {
        if (err)
            *err = "cannot create " + path;
        return false;
    }
    const int width = r.Width();
    if (!PngBegin(f, width, static_cast<int>(bottom - top)))
        return fail("cannot write " + path + ": " + f.Error);

    Surface band(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, kBandRows),
                 &cairo_surface_destroy);
    if (cairo_surface_status(band.get()) != CAIRO_STATUS_SUCCESS)
        return fail("cannot allocate a drawing surface");
    std::vector<unsigned char> grey(static_cast<std::size_t>(width));
    for (Pos y = top; y < bottom; y += kBandRows) {
        const int rows = static_cast<int>(std::min<Pos>(kBandRows, bottom - y));
        {
            Context cr(cairo_create(band.get()), &cairo_destroy);
            r.DrawBand(cr.get(), l, y, rows, top, bottom);
        }
        cairo_surface_flush(band.get());
        const unsigned char* px = cairo_image_surface_get_data(band.get());
        const int stride = cairo_image_surface_get_stride(band.get());
        for (int row = 0; row < rows; ++row) {
            const auto* p = reinterpret_cast<const std::uint32_t*>(px + row * stride);
            for (int x = 0; x < width; ++x) {
                std::uint32_t v = p[x];
                // RGB24 is native-endian 0x00RRGGBB; the picture is grey.
                grey[static_cast<std::size_t>(x)] = static_cast<unsigned char>(
                    (((v >> 16) & 0xFF) * 30 + ((v >> 8) & 0xFF) * 59 + (v & 0xFF) * 11) / 100);
            }
            if (!PngRow(f, grey.data()))
                return fail("cannot write " + path + ": " + f.Error);
        }
    }
    if (!PngEnd(f))
        return fail("cannot write " + path + ": " + f.Error);
    std::FILE* file = f.File;
    f.File = nullptr;
    if (std::fclose(file) != 0)
        return fail("cannot write " + path);
    return true;
}

// Splits the tape into windows of at most `limit` rows, breaking between
// elements where possible.
std::vector<std::pair<Pos, Pos>> Windows(const Layout& l, int limit) {
    std::vector<std::pair<Pos, Pos>> out;
    Pos top = 0;
    while (top < l.Total) {
        Pos bottom = std::min<Pos>(l.Total, top + limit);
        if (bottom < l.Total) {
            // The last element boundary at or above the page's bottom, when
            // it lies in the lower half of the page.
            auto it = std::upper_bound(l.Items.begin(), l.Items.end(), bottom,
                                       [](Pos y, const Placed& p) { return y < p.Y; });
            if (it != l.Items.begin() && std::prev(it)->Y - top >= limit / 2)
                bottom = std::prev(it)->Y;
        }
        out.emplace_back(top, bottom);
        top = bottom;
    }
    return out;
}

} // namespace

bool Tape::SavePng(const std::string& path, std::string* err) const {
    Renderer r(*this);
    Layout l = r.Lay();
    Pos top = std::max<Pos>(0, l.Total - FOptions.MaxPngHeightPx);
    if (top > 0) {
        // Start at the first element that fits whole, when there is one.
        auto it = std::lower_bound(l.Items.begin(), l.Items.end(), top,
                                   [](const Placed& p, Pos y) { return p.Y < y; });
        // ...unless the element across the edge is itself most of a picture.
        if (it != l.Items.end() && it->Y - top < FOptions.MaxPngHeightPx / 2)
            top = it->Y;
    }
    return WriteWindow(r, l, top, l.Total, path, err);
}

bool Tape::SavePngPages(const std::string& stem, std::vector<std::string>* files,
                        std::string* err) const {
    Renderer r(*this);
    Layout l = r.Lay();
    int page = 0;
    for (auto [top, bottom] : Windows(l, FOptions.MaxPngHeightPx)) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "-%03d.png", ++page);
        std::string path = stem + suffix;
        if (!WriteWindow(r, l, top, bottom, path, err))
            return false;
        if (files)
            files->push_back(path);
    }
    return true;
}

void ReleaseDrawingCaches() {
    cairo_debug_reset_static_data();
    // fontconfig comes in with cairo; it is looked up rather than linked so
    // that the build needs nothing beyond cairo for it.
    using Fini = void (*)();
    if (auto fini = reinterpret_cast<Fini>(dlsym(RTLD_DEFAULT, "FcFini")))
        fini();
}

} // namespace emu
