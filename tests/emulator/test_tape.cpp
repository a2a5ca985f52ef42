// The emulator's paper tape: its text form, odd print requests, the PNG picture
// and the serialised image.
#include "Tape.h"
#include "support/TempFolder.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

using emu::Tape;
using emu::TapeKind;
using emu::TapeOptions;

std::filesystem::path TempDir() {
    return korvtest::TestTempFolder("tape");
}

// Leaves the process without the font caches of drawing, for the leak checker.
class DrawingCaches : public ::testing::Environment {
public:
    void TearDown() override { emu::ReleaseDrawingCaches(); }
};
const auto* const kDrawingCaches = ::testing::AddGlobalTestEnvironment(new DrawingCaches);

// A PNG read back through cairo, with a grey-level accessor.
class Picture {
public:
    explicit Picture(const std::string& path)
        : FSurface(cairo_image_surface_create_from_png(path.c_str()), &cairo_surface_destroy) {}
    bool Ok() const { return cairo_surface_status(FSurface.get()) == CAIRO_STATUS_SUCCESS; }
    int Width() const { return cairo_image_surface_get_width(FSurface.get()); }
    int Height() const { return cairo_image_surface_get_height(FSurface.get()); }
    int Grey(int x, int y) const {
        const unsigned char* px = cairo_image_surface_get_data(FSurface.get());
        const int stride = cairo_image_surface_get_stride(FSurface.get());
        return static_cast<int>(reinterpret_cast<const std::uint32_t*>(px + y * stride)[x] & 0xFF);
    }
    int DarkPixels() const {
        int n = 0;
        for (int y = 0; y < Height(); ++y)
            for (int x = 0; x < Width(); ++x)
                n += Grey(x, y) < 64;
        return n;
    }

private:
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> FSurface;
};

// One element of every kind.
Tape SampleTape() {
    Tape t;
    t.Title("\xCA\xC0\xD1\xD1\xCE\xC2\xDB\xC9 \xD7\xC5\xCA", 1); // "КАССОВЫЙ ЧЕК"
    t.Text("\xD5\xEB\xE5\xE1 \xB9 1\0\0\0", 1, false, false);    // "Хлеб № 1" + NUL padding
    t.Text("TOTAL 10.00", 2, true, true);
    t.Ean13("460000000000");
    t.Qr("t=20260101T1200&s=10.00", 6, 2);
    t.Graphic(16, {std::string("\x01\x80", 2), std::string("\xFF", 1)});
    t.Feed(2);
    t.Cut(false);
    t.Drawer();
    t.Beep();
    t.Cut(true);
    return t;
}

TEST(TapeText, EveryElementKind) {
    Tape t = SampleTape();
    EXPECT_EQ(t.ToText(), "               КАССОВЫЙ ЧЕК  № 1\n"
                          "Хлеб № 1\n"
                          "TOTAL 10.00\n"
                          "[EAN-13 4600000000008]\n"
                          "[QR t=20260101T1200&s=10.00]\n"
                          "[graphic 16x2]\n"
                          // the picture below its marker, two by two dots a character
                          "\u2599\u2584\u2584\u2584   \u259D\n"
                          "\n\n"
                          "-------- partial cut --------\n"
                          "[drawer]\n"
                          "[beep]\n"
                          "-------- cut --------\n");
    EXPECT_EQ(t.At(1).Data, "\xD5\xEB\xE5\xE1 \xB9 1");
    EXPECT_EQ(t.At(2).Font, 2);
    EXPECT_TRUE(t.At(2).Bold && t.At(2).Wide);
}

TEST(TapeText, TitlePaddingAndLongLines) {
    Tape t;
    // A title as the register command carries it: 30 bytes padded with NULs.
    std::string title("REPORT");
    title.resize(30, '\0');
    t.Title(title, 0);
    t.Text(std::string(5000, 'x'));
    EXPECT_EQ(t.At(0).Data, "REPORT");
    EXPECT_EQ(t.ToText().substr(0, 28), std::string(21, ' ') + "REPORT\n");
    EXPECT_EQ(t.At(1).Data.size(), 4096u); // one element stays a sane height
}

TEST(TapeText, Cp1251Conversion) {
    EXPECT_EQ(emu::Cp1251ToUtf8("\xA8\xB8\xC0\xDF\xE0\xFF"), "ЁёАЯая");
    EXPECT_EQ(emu::Cp1251ToUtf8("\x88\xB9\x96\xAB\xBB"), "€№–«»");
    EXPECT_EQ(emu::Cp1251ToUtf8("\xA5\xB4\xB2\xB3\xAA\xBA"), "ҐґІіЄє");
    EXPECT_EQ(emu::Cp1251ToUtf8("a\x98z"), "a?z"); // 0x98 has no character
    EXPECT_EQ(emu::Cp1251ToUtf8(""), "");
}

TEST(TapeCodes, Ean13ChecksItsInput) {
    Tape t;
    t.Ean13("4600000000008");        // right check digit
    t.Ean13("4600000000001");        // wrong check digit
    t.Ean13("46000000000A");         // a letter
    t.Ean13("46000");                // too short
    t.Ean13("");                     // nothing
    t.Ean13Number(4600000000ULL);    // fewer digits: zero-padded
    t.Ean13Number(1099511627775ULL); // the largest 5-byte number: 13 digits
    ASSERT_EQ(t.Size(), 7u);
    EXPECT_EQ(t.At(0).Kind, TapeKind::Ean13);
    EXPECT_EQ(t.At(0).Data, "4600000000008");
    for (std::size_t i : {1u, 2u, 3u, 4u, 6u})
        EXPECT_EQ(t.At(i).Kind, TapeKind::Error) << i;
    EXPECT_NE(t.At(1).Data.find("bad check digit (expected 8)"), std::string::npos);
    EXPECT_EQ(t.At(5).Kind, TapeKind::Ean13);
    EXPECT_EQ(t.At(5).Data, "0046000000008");
}

TEST(TapeCodes, QrOddInput) {
    Tape t;
    t.Qr("", 4, 1);                          // empty
    t.Qr(std::string(3000, 'x'), 4, 3);      // over the capacity at level H
    t.Qr(std::string("a\0b\nc", 5), 99, -5); // binary data, sizes clamped
    ASSERT_EQ(t.Size(), 3u);
    EXPECT_EQ(t.At(0).Kind, TapeKind::Error);
    EXPECT_EQ(t.At(1).Kind, TapeKind::Error);
    EXPECT_NE(t.At(1).Data.find("over the capacity"), std::string::npos);
    ASSERT_EQ(t.At(2).Kind, TapeKind::Qr);
    EXPECT_EQ(t.At(2).Data.size(), 5u);
    EXPECT_EQ(t.At(2).A, 16);
    EXPECT_EQ(t.At(2).B, 0);
    EXPECT_NE(t.ToText().find("[QR a\\x00b\\x0Ac]\n"), std::string::npos);
}

TEST(TapeGraphics, SizesCheckedRowsNormalised) {
    Tape t;
    t.Graphic(0, {"\x01"});
    t.Graphic(5000, {"\x01"});
    t.Graphic(8, {});
    t.Graphic(8, std::vector<std::string>(20001, "\x01"));
    t.Graphic(12, {"", std::string("\xFF\xFF\xFF", 3)}); // short row padded, long one cut
    ASSERT_EQ(t.Size(), 5u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(t.At(i).Kind, TapeKind::Error) << i;
    EXPECT_EQ(t.At(4).Data, std::string("\0\0\xFF\xFF", 4));
}

TEST(TapeCopy, LastDocumentByBoundariesOrCuts) {
    Tape t;
    EXPECT_FALSE(t.CopyLastDocument());
    // Without boundaries: the piece between the last two cuts.
    t.Text("first");
    t.Cut(true);
    t.Text("second");
    t.Ean13("460000000000");
    t.Beep();
    t.Cut(false);
    ASSERT_TRUE(t.CopyLastDocument());
    EXPECT_EQ(t.ToText(), "first\n-------- cut --------\nsecond\n[EAN-13 4600000000008]\n"
                          "[beep]\n-------- partial cut --------\n"
                          "КОПИЯ\nsecond\n[EAN-13 4600000000008]\n");

    // Explicit boundaries win over cuts.
    t.Clear();
    t.BeginDocument();
    t.Text("receipt");
    t.Cut(true);
    t.EndDocument();
    t.Text("after");
    ASSERT_TRUE(t.CopyLastDocument());
    EXPECT_EQ(t.ToText(), "receipt\n-------- cut --------\nafter\nКОПИЯ\nreceipt\n");
}

TEST(TapeLimits, CopyOfDroppedDocumentRefused) {
    TapeOptions o;
    o.MaxElements = 20;
    Tape t(o);
    t.BeginDocument();
    t.Text("receipt");
    t.EndDocument();
    for (int i = 0; i < 30; ++i)
        t.Text("filler");
    EXPECT_FALSE(t.CopyLastDocument());
}

TEST(TapeLimits, RestoredIntoSmallerLimit) {
    Tape big;
    for (int i = 0; i < 100; ++i)
        big.Text("line " + std::to_string(i));
    TapeOptions o;
    o.MaxElements = 30;
    Tape small(o);
    std::string err;
    ASSERT_TRUE(small.Deserialize(big.Serialize(), &err)) << err;
    EXPECT_EQ(small.Size(), 30u);
    EXPECT_EQ(small.Dropped(), 70u);
    EXPECT_EQ(small.At(0).Data, "line 70");
}

TEST(TapeLimits, OldestElementsDropped) {
    TapeOptions o;
    o.MaxElements = 20;
    Tape t(o);
    for (int i = 0; i < 100; ++i)
        t.Text("line " + std::to_string(i));
    EXPECT_LE(t.Size(), 20u);
    EXPECT_EQ(t.Dropped() + t.Size(), 100u);
    EXPECT_EQ(t.At(t.Size() - 1).Data, "line 99");
    EXPECT_EQ(
        t.ToText().rfind("[" + std::to_string(t.Dropped()) + " earlier elements dropped]\n", 0),
        0u);
}

TEST(TapePng, WrittenAndReadable) {
    Tape t = SampleTape();
    std::string path = (TempDir() / "sample.png").string();
    std::string err;
    ASSERT_TRUE(t.SavePng(path, &err)) << err;
    Picture p(path);
    ASSERT_TRUE(p.Ok());
    EXPECT_EQ(p.Width(), 576 + 2 * (32 + 24)); // printable width, roll margins, table
    EXPECT_GT(p.Height(), 300);
    EXPECT_GT(p.DarkPixels(), 2000); // text, barcode and QR code are drawn
    EXPECT_GT(p.Grey(5, 5), 100);    // the table is grey, not black
    EXPECT_LT(p.Grey(5, 5), 200);
    EXPECT_EQ(p.Grey(40, 5), 255); // the paper is white
}

TEST(TapePng, GraphicDotsLeftmostInBitZero) {
    Tape t;
    t.Graphic(16, {std::string("\x01\x80", 2)}); // dots 0 and 15
    std::string path = (TempDir() / "graphic.png").string();
    std::string err;
    ASSERT_TRUE(t.SavePng(path, &err)) << err;
    Picture p(path);
    ASSERT_TRUE(p.Ok());
    const int x0 = 24 + 32 + (576 - 16) / 2, y = 16; // centred below the top pad
    EXPECT_LT(p.Grey(x0, y), 64);
    EXPECT_EQ(p.Grey(x0 + 1, y), 255);
    EXPECT_EQ(p.Grey(x0 + 14, y), 255);
    EXPECT_LT(p.Grey(x0 + 15, y), 64);
    EXPECT_EQ(p.Grey(x0, y + 1), 255);
}

TEST(TapePng, LongTapeCappedOrPaged) {
    TapeOptions o;
    o.MaxPngHeightPx = 1000;
    Tape t(o);
    for (int i = 0; i < 300; ++i)
        t.Text("line " + std::to_string(i));
    t.Graphic(320, std::vector<std::string>(1500, std::string(40, '\x55'))); // taller than a page
    t.Text("last");
    std::string err;
    std::string path = (TempDir() / "long.png").string();
    ASSERT_TRUE(t.SavePng(path, &err)) << err;
    Picture last(path);
    ASSERT_TRUE(last.Ok());
    EXPECT_LE(last.Height(), 1000);
    EXPECT_GT(last.Height(), 900);

    std::vector<std::string> files;
    ASSERT_TRUE(t.SavePngPages((TempDir() / "long").string(), &files, &err)) << err;
    ASSERT_GE(files.size(), 10u);
    int total = 0;
    for (const std::string& f : files) {
        Picture p(f);
        ASSERT_TRUE(p.Ok()) << f;
        EXPECT_LE(p.Height(), 1000) << f;
        total += p.Height();
    }
    EXPECT_GT(total, 300 * 20 + 1500);
}

TEST(TapePng, UnwritablePathReported) {
    Tape t = SampleTape();
    std::string err;
    EXPECT_FALSE(t.SavePng((TempDir() / "no-such-dir" / "x.png").string(), &err));
    EXPECT_NE(err.find("cannot create"), std::string::npos);
    EXPECT_FALSE(t.SaveText((TempDir() / "no-such-dir" / "x.txt").string(), &err));
}

TEST(TapeSerialize, RoundTrip) {
    Tape t = SampleTape();
    t.Error("QR code without data");
    t.BeginDocument();
    t.Text("doc");
    t.EndDocument();
    Tape u;
    std::string err;
    ASSERT_TRUE(u.Deserialize(t.Serialize(), &err)) << err;
    EXPECT_EQ(u.ToText(), t.ToText());
    EXPECT_EQ(u.Serialize(), t.Serialize());
    ASSERT_TRUE(u.CopyLastDocument()); // the boundaries survive
    EXPECT_EQ(u.At(u.Size() - 1).Data, "doc");
}

TEST(TapeSerialize, MalformedImagesRejectedTapeKept) {
    Tape t = SampleTape();
    const std::string image = t.Serialize();
    Tape u;
    u.Text("kept");
    const std::string before = u.Serialize();
    std::string err;
    // Every truncation.
    for (std::size_t n = 0; n < image.size(); ++n)
        EXPECT_FALSE(u.Deserialize(std::string_view(image).substr(0, n), &err)) << n;
    // Trailing bytes, a lying element count, a bad EAN and a bad graphic size.
    EXPECT_FALSE(u.Deserialize(image + "x", &err));
    std::string bad = image;
    bad[6 + 32] = '\x7F';
    EXPECT_FALSE(u.Deserialize(bad, &err));
    EXPECT_NE(err.find("exceeds"), std::string::npos);
    Tape one;
    one.Ean13("460000000000");
    bad = one.Serialize();
    bad.back() = '1';
    EXPECT_FALSE(u.Deserialize(bad, &err));
    one.Clear();
    one.Graphic(8, {"\x01", "\x02"});
    bad = one.Serialize();
    bad[6 + 36 + 1 + 1 + 4 + 4] = '\x03'; // B: three rows, two rows of data
    EXPECT_FALSE(u.Deserialize(bad, &err));
    EXPECT_EQ(u.Serialize(), before);
}

} // namespace
