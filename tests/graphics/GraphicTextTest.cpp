// Graphic text: the style words, the rounding, the print format, and text
// drawn with the machine's real fonts (Liberation and DejaVu, see ./run deps).

#include "common/uEquipmentErrors.h"
#include "graphics/uGraphicText.h"
#include "support/PrintPicture.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace korv::test {

namespace {

struct TRequest {
    std::u16string Text;
    int Size = 12;
    std::u16string Name = u"Arial";
    std::u16string Style;
    std::u16string Align = u"center";
    bool Multiline = true;
    double Width = 40;
};

TPicture Draw(const TRequest& R) {
    TPicture p;
    TPrintGraphicText::GetGraphicText(R.Text, R.Width, 0, R.Size, R.Name, R.Style, R.Align,
                                      u"center", R.Multiline, p.Data, p.Width, p.Height);
    EXPECT_EQ(p.Data.size(), static_cast<std::size_t>(p.Width / 8 * p.Height));
    return p;
}

// Sets an environment variable for the life of the object.
class TEnvOverride {
public:
    TEnvOverride(const char* AName, const std::string& AValue) : FName(AName) {
        if (const char* old = std::getenv(AName))
            FOld = old;
        ::setenv(AName, AValue.c_str(), 1);
    }
    ~TEnvOverride() {
        if (FOld)
            ::setenv(FName, FOld->c_str(), 1);
        else
            ::unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

std::filesystem::path TestDir() {
    return korvtest::TestTempFolder("graphics");
}

} // namespace

TEST(GraphicText, StyleWords) {
    struct {
        std::u16string Style;
        TFontStyles Expected;
    } const cases[] = {
        {u"Bold ITALIC", fsBold | fsItalic},
        {u"", 0},
        {u"underline strikeout", fsUnderline | fsStrikeOut},
        {u"  bold   heavy  ", fsBold}, // extra blanks and unknown words
        {u"BoldItalic", 0},            // words are separated by blanks only
        {u"italic italic", fsItalic},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseFontStyle(c.Style), c.Expected)
            << std::string(c.Style.begin(), c.Style.end());
}

TEST(GraphicText, RoundingIsHalfToEvenAndDpiIsWholeDotsPerMillimetre) {
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(4.512), 5);
    EXPECT_EQ(RoundHalfEven(-0.5), 0);
    TGraphicText text;
    text.SetDPI(203);
    EXPECT_EQ(text.DotsPerMM(), 8.0);
    EXPECT_EQ(text.DPI(), 203);
    EXPECT_EQ(text.Font().PixelsPerInch, 203);
    text.SetDPI(300);
    EXPECT_EQ(text.DotsPerMM(), 12.0);
    EXPECT_EQ(text.DPI(), 305);
}

TEST(GraphicText, PrintFormatInvertsAndReversesEachByte) {
    // 12 dots wide: one whole byte a row, the partial second byte dropped.
    struct {
        int X;
        char Expected;
    } const cases[] = {{0, '\x01'}, {1, '\x02'}, {7, '\x80'}, {8, '\x00'}, {11, '\x00'}};
    for (const auto& c : cases) {
        TMonoBitmap bm;
        bm.Reset(12, 2);
        bm.SetBlack(c.X, 1);
        EXPECT_EQ(ToPrintFormat(bm), std::string("\x00", 1) + c.Expected) << "x=" << c.X;
    }
    TMonoBitmap white;
    white.Reset(16, 3);
    EXPECT_EQ(ToPrintFormat(white), std::string(6, '\0'));
}

TEST(GraphicText, ARowOfDotsLandsWhereItsDotsWouldEachLand) {
    // Every start, at a byte boundary or not, inside or off either edge, and
    // lengths that end mid-byte: the row must blacken exactly its own set dots.
    const unsigned char source[] = {0xB5, 0xFF, 0x81, 0x6C};
    const int width = 37; // rows padded to four bytes, the last one partial
    for (int count : {1, 5, 8, 13, 27, 32}) {
        for (int x : {-40, -9, -1, 0, 3, 7, 8, 10, width - 13, width - 5, width - 1, width, 1000}) {
            TMonoBitmap bm;
            bm.Reset(width, 3);
            bm.BlackenRow(source, count, x, 1);
            for (int y = 0; y < 3; ++y) {
                for (int px = 0; px < width; ++px) {
                    const int i = px - x;
                    const bool set =
                        y == 1 && i >= 0 && i < count && (source[i / 8] & (0x80 >> (i % 8)));
                    ASSERT_EQ(bm.IsBlack(px, y), set)
                        << "count=" << count << " x=" << x << " px=" << px;
                }
            }
            // The padding after the last dot stays white.
            EXPECT_EQ(static_cast<unsigned char>(bm.Bits[bm.Stride + 4]) & 0x07, 0x07);
        }
    }
}

TEST(GraphicText, TextWrapsAtAWordAndThePictureIsTwoLinesHigh) {
    const TPicture one = Draw({u"Хлеб"});
    const TPicture first = Draw({u"Хлеб ржаной"});
    const TPicture both = Draw({u"Хлеб ржаной нарезной батон"});
    const TPicture second = Draw({u"нарезной батон"});
    EXPECT_EQ(one.Width, 320);
    EXPECT_GT(one.Height, 20);
    EXPECT_EQ(first.Height, one.Height);
    ASSERT_EQ(both.Height, 2 * one.Height) << both.Art();
    // The lines are the words before and after the break, each centred.
    EXPECT_EQ(both.Rows(0, one.Height), first.Data) << both.Art();
    EXPECT_EQ(both.Rows(one.Height, one.Height), second.Data) << both.Art();
}

TEST(GraphicText, LineBreaksAndLongWords) {
    const int line = Draw({u"A"}).Height;
    struct {
        std::u16string Text;
        int Lines;
    } const cases[] = {
        {u"A\r\nB", 2}, {u"A\nB\rC", 3}, {u"A\n", 1},        {u"\n\nA", 3},
        {u"", 1},       {u"A    ", 1},   {u"A\r\n\r\nB", 3},
    };
    for (const auto& c : cases) {
        const TPicture p = Draw({c.Text});
        EXPECT_EQ(p.Height, c.Lines * line) << std::string(c.Text.begin(), c.Text.end());
    }
    // A word wider than the box is broken between letters.
    const TPicture word = Draw({std::u16string(60, u'W')});
    EXPECT_EQ(word.Height % line, 0);
    EXPECT_GE(word.Height, 4 * line);
    // On one line a text too long is cut, not wrapped.
    TRequest single{std::u16string(60, u'W')};
    single.Multiline = false;
    EXPECT_EQ(Draw(single).Height, line);
}

TEST(GraphicText, SizeZeroKeepsTheDefaultSize) {
    const TPicture zero = Draw({u"Итого", 0});
    const TPicture eight = Draw({u"Итого", DefaultFontSize});
    EXPECT_GT(zero.Height, 0);
    EXPECT_EQ(zero.Data, eight.Data);
    EXPECT_LT(zero.Height, Draw({u"Итого", 12}).Height);
}

TEST(GraphicText, AlignmentInTheBox) {
    const std::u16string text = u"Чек";
    TRequest left{text};
    left.Align = u"Left";
    TRequest right{text};
    right.Align = u"RIGHT";
    const auto [l0, l1] = Draw(left).InkColumns();
    const auto [c0, c1] = Draw({text}).InkColumns();
    const auto [r0, r1] = Draw(right).InkColumns();
    EXPECT_LT(l0, 4);
    EXPECT_GT(r1, 320 - 6);
    EXPECT_NEAR((c0 + c1) / 2.0, 160, 4);
    EXPECT_EQ(l1 - l0, c1 - c0);
    EXPECT_EQ(r1 - r0, c1 - c0);
}

TEST(GraphicText, StylesChangeTheInk) {
    const std::u16string text = u"Магазин";
    const TPicture regular = Draw({text, 14});
    const TPicture bold = Draw({text, 14, u"Arial", u"bold"});
    const TPicture italic = Draw({text, 14, u"Arial", u"italic"});
    EXPECT_GT(bold.BlackCount(), regular.BlackCount() * 11 / 10);
    EXPECT_GT(bold.InkColumns().second - bold.InkColumns().first,
              regular.InkColumns().second - regular.InkColumns().first);
    EXPECT_NE(italic.Data, regular.Data);

    // Underline and strikeout each add a row of ink across the whole text.
    const auto [left, right] = regular.InkColumns();
    const int inkWidth = right - left + 1;
    auto fullRows = [&](const TPicture& p) {
        int n = 0;
        for (int y = 0; y < p.Height; ++y)
            n += p.BlackInRow(y) >= inkWidth - 2;
        return n;
    };
    EXPECT_EQ(fullRows(regular), 0);
    const TPicture under = Draw({text, 14, u"Arial", u"underline"});
    const TPicture strike = Draw({text, 14, u"Arial", u"strikeout"});
    const TPicture both = Draw({text, 14, u"Arial", u"underline strikeout"});
    EXPECT_GE(fullRows(under), 1) << under.Art();
    EXPECT_GE(fullRows(strike), 1) << strike.Art();
    EXPECT_GE(fullRows(both), fullRows(under) + fullRows(strike));
    // The underline lies below the strikeout.
    auto firstFullRow = [&](const TPicture& p) {
        for (int y = 0; y < p.Height; ++y)
            if (p.BlackInRow(y) >= inkWidth - 2)
                return y;
        return -1;
    };
    EXPECT_GT(firstFullRow(under), firstFullRow(strike));
}

TEST(GraphicText, WindowsNamesFindTheirMetricTwins) {
    struct {
        std::u16string Windows, Twin;
    } const cases[] = {
        {u"Arial", u"Liberation Sans"},
        {u"Times New Roman", u"Liberation Serif"},
        {u"Courier New", u"Liberation Mono"},
    };
    const std::u16string text = u"Кофе 250 мл";
    for (const auto& c : cases) {
        TRequest windows{text, 12, c.Windows, u"bold"};
        TRequest twin{text, 12, c.Twin, u"bold"};
        EXPECT_EQ(Draw(windows).Data, Draw(twin).Data)
            << std::string(c.Windows.begin(), c.Windows.end());
    }
    EXPECT_NE(Draw({text, 12, u"Arial"}).Data, Draw({text, 12, u"Times New Roman"}).Data);
    EXPECT_NE(Draw({text, 12, u"Arial"}).Data, Draw({text, 12, u"Courier New"}).Data);
}

TEST(GraphicText, UnknownOrNoNameGetsTheDefaultFont) {
    const std::u16string text = u"Спасибо за покупку";
    const TPicture unnamed = Draw({text, 12, u""});
    EXPECT_GT(unnamed.BlackCount(), 0);
    EXPECT_EQ(Draw({text, 12, u"No Such Font Anywhere"}).Data, unnamed.Data);
}

TEST(GraphicText, GoldenRasterOfLiberationSans) {
    // Only the fonts of Debian's fonts-liberation2, whatever else the machine has.
    const std::filesystem::path fonts = "/usr/share/fonts/truetype/liberation2";
    ASSERT_TRUE(std::filesystem::exists(fonts / "LiberationSans-Bold.ttf"))
        << "fonts-liberation2 is not installed (./run deps installs it)";
    const std::filesystem::path conf = TestDir() / "liberation2.conf";
    std::ofstream(conf) << "<?xml version=\"1.0\"?>\n<fontconfig>\n<dir>" + fonts.string() +
                               "</dir>\n<cachedir>" + (TestDir() / "fc-cache").string() +
                               "</cachedir>\n</fontconfig>\n";
    const TEnvOverride env("FONTCONFIG_FILE", conf.string());
    // 7 points bold, 10 mm on one line, at the top left.
    TPicture p;
    TPrintGraphicText::GetGraphicText(u"Ab1 Яд", 10, 0, 7, u"Liberation Sans", u"bold", u"left",
                                      u"top", false, p.Data, p.Width, p.Height);
    const char* const golden[] = {
        "................................................................................",
        "................................................................................",
        "................................................................................",
        "...............###..............................................................",
        ".....###.......###............###.............##########........................",
        "....#####......###..........#####............###########........................",
        "....##.##......###.........###.##...........###......###........................",
        "....##.##......###.####....#...##...........###......###.....#######............",
        "...###.###.....#########.......##...........###......###....########............",
        "...###.###.....####...###......##...........####.....###....###..###............",
        "...##...##.....###....###......##............###########....###..###............",
        "..###...###....###....###......##..............#########....###..###............",
        "..#########....###....###......##.............###....###....##...###............",
        "..#########....###....###......##.............###....###...###...###............",
        "..##.....##....###....###......##............###.....###...###...###............",
        ".###.....###...####...###......##............###.....###...##....###............",
        ".###.....###...#########...##########.......###......###.#############..........",
        ".##.......##...###.####....##########.......###......###.#############..........",
        ".........................................................###.......###..........",
        ".........................................................###.......###..........",
        ".........................................................###.......###..........",
        ".........................................................###.......###..........",
    };
    std::string expected;
    for (const char* row : golden)
        expected += std::string(row) + '\n';
    EXPECT_EQ(p.Art(), expected);
}

TEST(GraphicText, NoFontAtAllIsAnErrorAndFontsComeBackAfterwards) {
    const std::filesystem::path conf = TestDir() / "no-fonts.conf";
    std::ofstream(conf) << "<?xml version=\"1.0\"?>\n<fontconfig>\n<cachedir>" +
                               (TestDir() / "fc-cache").string() + "</cachedir>\n</fontconfig>\n";
    {
        TEnvOverride env("FONTCONFIG_FILE", conf.string());
        try {
            Draw({u"Текст"});
            FAIL() << "drawn without fonts";
        } catch (const EquException& E) {
            EXPECT_EQ(E.Code, 1008);
            EXPECT_NE(E.Message().find(u"«Arial»"), std::u16string::npos);
        }
    }
    EXPECT_GT(Draw({u"Текст"}).BlackCount(), 0);
}

TEST(GraphicText, SizesBeyondTheLimitsAreRefused) {
    struct {
        int Size;
        double Width;
    } const cases[] = {{MaxFontSize + 1, 40}, {12, -1}, {12, 100000}};
    for (const auto& c : cases) {
        TRequest r{u"X", c.Size};
        r.Width = c.Width;
        try {
            Draw(r);
            ADD_FAILURE() << "size " << c.Size << " width " << c.Width;
        } catch (const EquException& E) {
            EXPECT_EQ(E.Code, 1004);
        }
    }
}

} // namespace korv::test
