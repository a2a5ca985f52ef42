// The tape's element model, its text form and its serialised form. Drawing is
// in TapeRender.cpp.
#include "Tape.h"

#include <qrencode.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace emu {

namespace {

// Unicode code points of the Windows-1251 bytes 0x80..0xBF; 0 where the code
// page has no character. 0xC0..0xFF are U+0410..U+044F in order.
constexpr char16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
};

void PutUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string_view TrimNul(std::string_view s) {
    while (!s.empty() && s.back() == '\0')
        s.remove_suffix(1);
    return s;
}

// Counts UTF-8 code points (continuation bytes are not counted).
std::size_t Utf8Length(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

// Printable text of a code's data for the text file: 1251 text, with control
// bytes shown as \xNN so that a marker stays on one line.
std::string EscapedData(std::string_view data) {
    std::string plain;
    std::string out;
    for (unsigned char c : data) {
        if (c < 0x20 || c == 0x7F || c == '\\') {
            out += Cp1251ToUtf8(plain);
            plain.clear();
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            plain += static_cast<char>(c);
        }
    }
    return out + Cp1251ToUtf8(plain);
}

int Ean13CheckDigit(std::string_view first12) {
    int sum = 0;
    for (std::size_t i = 0; i < 12; ++i)
        sum += (first12[i] - '0') * (i % 2 == 0 ? 1 : 3);
    return (10 - sum % 10) % 10;
}

bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

constexpr int kMaxGraphicWidth = 4096;
constexpr int kMaxGraphicRows = 20000;
constexpr int kMaxFeed = 255;
// A register's line fits in one frame; longer texts only come from callers
// that went wrong, and are cut so that one element stays a sane height.
constexpr std::size_t kMaxTextBytes = 4096;
constexpr std::size_t kMaxQrBytes = 8192;               // well over what the largest symbol holds
constexpr char kCopyCaption[] = "\xCA\xCE\xCF\xC8\xDF"; // "КОПИЯ" in 1251

// A picture in text: each character stands for two by two dots, drawn with
// the quadrant block characters; the blank columns at both sides are left out.
std::string GraphicArt(const TapeElement& e) {
    static const char* const kQuadrants[16] = {" ",
                                               "\xE2\x96\x98",
                                               "\xE2\x96\x9D",
                                               "\xE2\x96\x80",
                                               "\xE2\x96\x96",
                                               "\xE2\x96\x8C",
                                               "\xE2\x96\x9E",
                                               "\xE2\x96\x9B",
                                               "\xE2\x96\x97",
                                               "\xE2\x96\x9A",
                                               "\xE2\x96\x90",
                                               "\xE2\x96\x9C",
                                               "\xE2\x96\x84",
                                               "\xE2\x96\x99",
                                               "\xE2\x96\x9F",
                                               "\xE2\x96\x88"};
    const std::size_t stride = (static_cast<std::size_t>(e.A) + 7) / 8;
    auto black = [&](int x, int y) {
        if (x >= e.A || y >= e.B)
            return false;
        auto byte = static_cast<unsigned char>(
            e.Data[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) / 8]);
        return ((byte >> (x % 8)) & 1) != 0; // leftmost dot in bit 0
    };
    int left = e.A, right = -1;
    for (int y = 0; y < e.B; ++y)
        for (int x = 0; x < e.A; ++x)
            if (black(x, y)) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    std::string out;
    if (right < 0)
        return out;
    left -= left % 2;
    for (int y = 0; y < e.B; y += 2) {
        std::string line;
        for (int x = left; x <= right; x += 2) {
            const int q = (black(x, y) ? 1 : 0) | (black(x + 1, y) ? 2 : 0) |
                          (black(x, y + 1) ? 4 : 0) | (black(x + 1, y + 1) ? 8 : 0);
            line += kQuadrants[q];
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + '\n';
    }
    return out;
}

} // namespace

std::string Cp1251ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else if (c >= 0xC0)
            PutUtf8(out, 0x0410 + (c - 0xC0));
        else if (char16_t cp = kCp1251High[c - 0x80])
            PutUtf8(out, cp);
        else
            out += '?';
    }
    return out;
}

Tape::Tape(const TapeOptions& options) : FOptions(options) {
    FOptions.WidthPx = std::clamp(FOptions.WidthPx, 64, 4096);
    FOptions.CharsPerLine = std::clamp(FOptions.CharsPerLine, 8, 200);
    FOptions.MaxElements = std::max<std::size_t>(FOptions.MaxElements, 16);
    FOptions.MaxPngHeightPx = std::clamp(FOptions.MaxPngHeightPx, 256, 1 << 20);
}

void Tape::Append(TapeElement element) {
    FElements.push_back(std::move(element));
    if (FElements.size() > FOptions.MaxElements) {
        // Drop a tenth at once so that a long day does not shift the vector on
        // every line.
        std::size_t drop = std::max<std::size_t>(FOptions.MaxElements / 10, 1);
        FElements.erase(FElements.begin(), FElements.begin() + static_cast<std::ptrdiff_t>(drop));
        FDropped += drop;
    }
}

std::vector<TapeElement> Tape::TakeFrom(std::uint64_t from) {
    std::vector<TapeElement> taken;
    if (from < FDropped || from >= FDropped + FElements.size())
        return taken;
    auto first = FElements.begin() + static_cast<std::ptrdiff_t>(from - FDropped);
    taken.assign(std::make_move_iterator(first), std::make_move_iterator(FElements.end()));
    FElements.erase(first, FElements.end());
    return taken;
}

void Tape::PutBack(std::vector<TapeElement> elements) {
    for (TapeElement& e : elements)
        Append(std::move(e));
}

int Tape::LinesOf(const TapeElement& e) {
    switch (e.Kind) {
    case TapeKind::Feed:
        return e.A;
    case TapeKind::Graphic:
        return (e.B + 23) / 24;
    case TapeKind::Ean13:
        return 4;
    case TapeKind::Qr:
        return 8;
    case TapeKind::Title:
        return 2;
    case TapeKind::Drawer:
    case TapeKind::Beep:
    case TapeKind::Error:
        return 0;
    default:
        return 1;
    }
}

void Tape::Text(std::string_view cp1251Bytes, int font, bool bold, bool wide) {
    TapeElement e;
    e.Kind = TapeKind::Text;
    e.Data = std::string(TrimNul(cp1251Bytes).substr(0, kMaxTextBytes));
    e.Font = font;
    e.Bold = bold;
    e.Wide = wide;
    Append(std::move(e));
}

void Tape::Title(std::string_view cp1251Bytes, int docNumber) {
    TapeElement e;
    e.Kind = TapeKind::Title;
    e.Data = std::string(TrimNul(cp1251Bytes).substr(0, kMaxTextBytes));
    e.A = std::max(docNumber, 0);
    e.Bold = true;
    Append(std::move(e));
}

void Tape::Ean13(std::string_view digits) {
    if (digits.empty() || !AllDigits(digits) || (digits.size() != 12 && digits.size() != 13)) {
        Error("EAN-13 needs 12 or 13 digits, got \"" + EscapedData(digits) + "\"");
        return;
    }
    char check = static_cast<char>('0' + Ean13CheckDigit(digits));
    if (digits.size() == 13 && digits[12] != check) {
        Error("EAN-13 " + std::string(digits) + " has a bad check digit (expected " + check + ")");
        return;
    }
    TapeElement e;
    e.Kind = TapeKind::Ean13;
    e.Data = std::string(digits.substr(0, 12)) + check;
    Append(std::move(e));
}

void Tape::Ean13Number(std::uint64_t number) {
    if (number > 999999999999ULL) {
        Error("EAN-13 number " + std::to_string(number) + " has more than 12 digits");
        return;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "%012llu", static_cast<unsigned long long>(number));
    Ean13(buf);
}

void Tape::Qr(std::string_view data, int moduleSize, int eccLevel) {
    if (data.empty()) {
        Error("QR code without data");
        return;
    }
    eccLevel = std::clamp(eccLevel, 0, 3);
    errno = 0;
    // Encode once now, so that data the symbol cannot hold is reported where
    // it was printed rather than when the picture is drawn.
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(static_cast<int>(std::min(data.size(), kMaxQrBytes)),
                          reinterpret_cast<const unsigned char*>(data.data()), 0,
                          static_cast<QRecLevel>(eccLevel)),
        &QRcode_free);
    if (!code || data.size() > kMaxQrBytes) {
        Error("QR code of " + std::to_string(data.size()) + " bytes cannot be encoded" +
              (errno == ERANGE || data.size() > kMaxQrBytes ? " (over the capacity)" : ""));
        return;
    }
    TapeElement e;
    e.Kind = TapeKind::Qr;
    e.Data = std::string(data);
    e.A = std::clamp(moduleSize, 1, 16);
    e.B = eccLevel;
    Append(std::move(e));
}

void Tape::Graphic(int widthPx, const std::vector<std::string>& rows) {
    if (widthPx < 1 || widthPx > kMaxGraphicWidth) {
        Error("graphic width " + std::to_string(widthPx) + " is out of range");
        return;
    }
    if (rows.empty() || rows.size() > static_cast<std::size_t>(kMaxGraphicRows)) {
        Error("graphic of " + std::to_string(rows.size()) + " rows is out of range");
        return;
    }
    const std::size_t stride = (static_cast<std::size_t>(widthPx) + 7) / 8;
    TapeElement e;
    e.Kind = TapeKind::Graphic;
    e.A = widthPx;
    e.B = static_cast<int>(rows.size());
    e.Data.reserve(stride * rows.size());
    for (const std::string& row : rows) {
        std::string r = row.substr(0, stride);
        r.resize(stride, '\0');
        e.Data += r;
    }
    Append(std::move(e));
}

void Tape::Feed(int lines) {
    TapeElement e;
    e.Kind = TapeKind::Feed;
    e.A = std::clamp(lines, 0, kMaxFeed);
    Append(std::move(e));
}

void Tape::Cut(bool full) {
    TapeElement e;
    e.Kind = TapeKind::Cut;
    e.A = full ? 1 : 0;
    Append(std::move(e));
}

void Tape::Drawer() {
    TapeElement e;
    e.Kind = TapeKind::Drawer;
    Append(std::move(e));
}

void Tape::Beep() {
    TapeElement e;
    e.Kind = TapeKind::Beep;
    Append(std::move(e));
}

void Tape::Error(std::string_view utf8Reason) {
    TapeElement e;
    e.Kind = TapeKind::Error;
    e.Data = std::string(utf8Reason.substr(0, 1000));
    Append(std::move(e));
}

void Tape::BeginDocument() {
    EndDocument();
    FDocStart = static_cast<std::int64_t>(FDropped + FElements.size());
}

void Tape::EndDocument() {
    if (FDocStart < 0)
        return;
    auto end = static_cast<std::int64_t>(FDropped + FElements.size());
    if (end > FDocStart) {
        FLastDocBegin = FDocStart;
        FLastDocEnd = end;
    }
    FDocStart = -1;
}

bool Tape::CopyLastDocument() {
    const auto base = static_cast<std::int64_t>(FDropped);
    std::int64_t begin = FLastDocBegin - base;
    std::int64_t end = FLastDocEnd - base;
    if (FLastDocBegin < 0) {
        // No explicit boundaries: the document is what lies between the last
        // two cuts (or from the start of the tape to the only cut).
        end = -1;
        for (auto i = static_cast<std::int64_t>(FElements.size()) - 1; i >= 0; --i) {
            if (FElements[static_cast<std::size_t>(i)].Kind != TapeKind::Cut)
                continue;
            if (end < 0) {
                end = i;
            } else {
                begin = i + 1;
                break;
            }
        }
        if (end >= 0 && begin < 0)
            begin = 0;
    }
    // A document whose start scrolled off the kept tape cannot be copied whole.
    if (begin < 0 || end <= begin || end > static_cast<std::int64_t>(FElements.size()))
        return false;

    std::vector<TapeElement> copy;
    for (auto i = begin; i < end; ++i) {
        const TapeElement& e = FElements[static_cast<std::size_t>(i)];
        switch (e.Kind) {
        case TapeKind::Text:
        case TapeKind::Title:
        case TapeKind::Ean13:
        case TapeKind::Qr:
        case TapeKind::Graphic:
        case TapeKind::Feed:
            copy.push_back(e);
            break;
        default:
            break;
        }
    }
    if (copy.empty())
        return false;
    Text(kCopyCaption, 1, true, false);
    for (TapeElement& e : copy)
        Append(std::move(e));
    return true;
}

void Tape::Clear() {
    FElements.clear();
    FDropped = 0;
    FDocStart = FLastDocBegin = FLastDocEnd = -1;
}

std::string Tape::ToText() const {
    std::string out;
    if (FDropped > 0)
        out += "[" + std::to_string(FDropped) + " earlier elements dropped]\n";
    const auto width = static_cast<std::size_t>(FOptions.CharsPerLine);
    for (const TapeElement& e : FElements) {
        switch (e.Kind) {
        case TapeKind::Text:
            out += Cp1251ToUtf8(e.Data);
            out += '\n';
            break;
        case TapeKind::Title: {
            std::string line = Cp1251ToUtf8(e.Data);
            if (e.A > 0)
                line += "  \xE2\x84\x96 " + std::to_string(e.A); // "№"
            std::size_t len = Utf8Length(line);
            if (len < width)
                line.insert(0, (width - len) / 2, ' ');
            out += line + '\n';
            break;
        }
        case TapeKind::Ean13:
            out += "[EAN-13 " + e.Data + "]\n";
            break;
        case TapeKind::Qr:
            out += "[QR " + EscapedData(e.Data) + "]\n";
            break;
        case TapeKind::Graphic:
            out += "[graphic " + std::to_string(e.A) + "x" + std::to_string(e.B) + "]\n";
            out += GraphicArt(e);
            break;
        case TapeKind::Feed:
            out.append(static_cast<std::size_t>(e.A), '\n');
            break;
        case TapeKind::Cut:
            out += e.A ? "-------- cut --------\n" : "-------- partial cut --------\n";
            break;
        case TapeKind::Drawer:
            out += "[drawer]\n";
            break;
        case TapeKind::Beep:
            out += "[beep]\n";
            break;
        case TapeKind::Error:
            out += "[error: " + e.Data + "]\n";
            break;
        }
    }
    return out;
}

bool Tape::SaveText(const std::string& path, std::string* err) const {
    std::string text = ToText();
    std::unique_ptr<std::FILE, decltype(&std::fclose)> f(std::fopen(path.c_str(), "wb"),
                                                         &std::fclose);
    if (!f) {
        if (err)
            *err = "cannot create " + path;
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok && err)
        *err = "cannot write " + path;
    return ok;
}

// Serialised image: the magic "KTAPE1", then little-endian fields:
// u64 dropped, i64 doc start, i64 last doc begin, i64 last doc end, u32 count,
// and per element: u8 kind, u8 flags (bit 0 bold, bit 1 wide), i32 font,
// i32 A, i32 B, u32 data length, data bytes.
namespace {

constexpr std::string_view kMagic = "KTAPE1";

void PutU(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

class Reader {
public:
    explicit Reader(std::string_view s) : FData(s) {}
    bool Get(std::uint64_t& v, int bytes) {
        if (FData.size() - FPos < static_cast<std::size_t>(bytes))
            return false;
        v = 0;
        for (int i = 0; i < bytes; ++i)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(FData[FPos + i])) << (8 * i);
        FPos += static_cast<std::size_t>(bytes);
        return true;
    }
    bool GetI32(int& v) {
        std::uint64_t u = 0;
        if (!Get(u, 4))
            return false;
        v = static_cast<std::int32_t>(static_cast<std::uint32_t>(u));
        return true;
    }
    bool GetBytes(std::string& s, std::size_t n) {
        if (FData.size() - FPos < n)
            return false;
        s.assign(FData.substr(FPos, n));
        FPos += n;
        return true;
    }
    bool AtEnd() const { return FPos == FData.size(); }
    std::size_t Pos() const { return FPos; }

private:
    std::string_view FData;
    std::size_t FPos = 0;
};

// Checks that a restored element is one the tape could have made itself, so
// that the drawing code can trust its fields.
bool ValidElement(const TapeElement& e, std::string* why) {
    auto fail = [&](const char* text) {
        *why = text;
        return false;
    };
    switch (e.Kind) {
    case TapeKind::Text:
    case TapeKind::Title:
        return (e.A >= 0 && e.Data.size() <= kMaxTextBytes) || fail("bad text");
    case TapeKind::Drawer:
    case TapeKind::Beep:
    case TapeKind::Error:
        return e.Data.size() <= kMaxTextBytes || fail("bad text");
    case TapeKind::Ean13:
        return (e.Data.size() == 13 && AllDigits(e.Data) &&
                e.Data[12] == '0' + Ean13CheckDigit(e.Data)) ||
               fail("bad EAN-13 code");
    case TapeKind::Qr:
        return (!e.Data.empty() && e.Data.size() <= kMaxQrBytes && e.A >= 1 && e.A <= 16 &&
                e.B >= 0 && e.B <= 3) ||
               fail("bad QR code");
    case TapeKind::Graphic:
        if (e.A < 1 || e.A > kMaxGraphicWidth || e.B < 1 || e.B > kMaxGraphicRows)
            return fail("bad graphic size");
        return e.Data.size() == static_cast<std::size_t>((e.A + 7) / 8) * e.B ||
               fail("graphic data does not match its size");
    case TapeKind::Feed:
        return (e.A >= 0 && e.A <= kMaxFeed) || fail("bad feed count");
    case TapeKind::Cut:
        return (e.A == 0 || e.A == 1) || fail("bad cut kind");
    }
    return fail("unknown element kind");
}

} // namespace

std::string Tape::Serialize() const {
    std::string out(kMagic);
    PutU(out, FDropped, 8);
    PutU(out, static_cast<std::uint64_t>(FDocStart), 8);
    PutU(out, static_cast<std::uint64_t>(FLastDocBegin), 8);
    PutU(out, static_cast<std::uint64_t>(FLastDocEnd), 8);
    PutU(out, FElements.size(), 4);
    for (const TapeElement& e : FElements) {
        PutU(out, static_cast<std::uint8_t>(e.Kind), 1);
        PutU(out, (e.Bold ? 1u : 0u) | (e.Wide ? 2u : 0u), 1);
        PutU(out, static_cast<std::uint32_t>(e.Font), 4);
        PutU(out, static_cast<std::uint32_t>(e.A), 4);
        PutU(out, static_cast<std::uint32_t>(e.B), 4);
        PutU(out, e.Data.size(), 4);
        out += e.Data;
    }
    return out;
}

bool Tape::Deserialize(std::string_view image, std::string* err) {
    auto fail = [&](const std::string& why) {
        if (err)
            *err = "tape image: " + why;
        return false;
    };
    if (image.substr(0, kMagic.size()) != kMagic)
        return fail("not a tape image");
    Reader r(image.substr(kMagic.size()));
    std::uint64_t dropped = 0, docStart = 0, lastBegin = 0, lastEnd = 0, count = 0;
    if (!r.Get(dropped, 8) || !r.Get(docStart, 8) || !r.Get(lastBegin, 8) || !r.Get(lastEnd, 8) ||
        !r.Get(count, 4))
        return fail("truncated header");
    // Each element takes at least 18 bytes: a count beyond that is a lie.
    if (dropped > (std::uint64_t{1} << 48))
        return fail("drop count out of range");
    if (count > (image.size() - kMagic.size()) / 18)
        return fail("element count " + std::to_string(count) + " exceeds the image");

    std::vector<TapeElement> elements;
    elements.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        TapeElement e;
        std::uint64_t kind = 0, flags = 0, len = 0;
        if (!r.Get(kind, 1) || !r.Get(flags, 1) || !r.GetI32(e.Font) || !r.GetI32(e.A) ||
            !r.GetI32(e.B) || !r.Get(len, 4) || !r.GetBytes(e.Data, static_cast<std::size_t>(len)))
            return fail("element " + std::to_string(i) + " is truncated");
        e.Kind = static_cast<TapeKind>(kind);
        e.Bold = (flags & 1) != 0;
        e.Wide = (flags & 2) != 0;
        std::string why;
        if (kind < 1 || kind > static_cast<std::uint64_t>(TapeKind::Error) || flags > 3 ||
            !ValidElement(e, &why))
            return fail("element " + std::to_string(i) + ": " +
                        (why.empty() ? std::string("bad kind or flags") : why));
        elements.push_back(std::move(e));
    }
    if (!r.AtEnd())
        return fail("trailing bytes after the elements");

    // A tape saved with a larger limit keeps its newest elements.
    if (elements.size() > FOptions.MaxElements) {
        std::size_t drop = elements.size() - FOptions.MaxElements;
        elements.erase(elements.begin(), elements.begin() + static_cast<std::ptrdiff_t>(drop));
        dropped += drop;
    }
    FElements = std::move(elements);
    FDropped = dropped;
    // Boundaries that do not fit the restored tape are forgotten, not trusted.
    const auto limit = static_cast<std::int64_t>(FDropped + FElements.size());
    auto boundary = [&](std::uint64_t v) {
        auto s = static_cast<std::int64_t>(v);
        return s >= 0 && s <= limit ? s : -1;
    };
    FDocStart = boundary(docStart);
    FLastDocBegin = boundary(lastBegin);
    FLastDocEnd = boundary(lastEnd);
    if (FLastDocBegin < 0 || FLastDocEnd < 0 || FLastDocEnd <= FLastDocBegin)
        FLastDocBegin = FLastDocEnd = -1;
    return true;
}

} // namespace emu
