#include "common/uBase64.h"
#include "common/uCodePages.h"
#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uGuid.h"
#include "common/uText.h"
#include "support/ErrorCode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>

using namespace korv;
using namespace std::string_literals;
using namespace std::string_view_literals;

TEST(CodePages, EveryByteRoundTrips) {
    for (int b = 0; b < 256; ++b) {
        const std::string Byte(1, static_cast<char>(b));
        EXPECT_EQ(U16ToAnsi(AnsiToU16(Byte)), Byte) << b;
        EXPECT_EQ(U16ToOem(OemToU16(Byte)), Byte) << b;
    }
}

TEST(CodePages, CyrillicAndUnmapped) {
    const std::u16string Text = u"Привет, Ёжик! №5 «к»";
    EXPECT_EQ(U16ToAnsi(u"АЯабяЁё№"), "\xC0\xDF\xE0\xE1\xFF\xA8\xB8\xB9"s);
    EXPECT_EQ(U16ToOem(u"АЯабяЁё№"), "\x80\x9F\xA0\xA1\xEF\xF0\xF1\xFC"s);
    EXPECT_EQ(AnsiToU16(U16ToAnsi(Text)), Text);
    EXPECT_EQ(U16ToAnsi(u"a\x4E2D"
                        u"b"),
              "a?b");
    EXPECT_EQ(U16ToAnsi(u"\xD83D\xDE00"), "?"); // one character, one '?'
    EXPECT_EQ(U16ToOem(u"«"), "?");
    EXPECT_EQ(AnsiToOem("\xC0\xFF\xA8"s), "\x80\xEF\xF0"s);
    EXPECT_EQ(OemToAnsi("\x80\xEF\xF0"s), "\xC0\xFF\xA8"s);
    EXPECT_EQ(OemToAnsi("\xB0"s), "?"); // a box-drawing character has no 1251 byte
}

TEST(Utf, ConversionsAndBadInput) {
    const std::u16string Text = u"Чек №1 \xD83D\xDE00 €";
    EXPECT_EQ(Utf8ToU16(U16ToUtf8(Text)), Text);
    EXPECT_EQ(U16ToUtf8(u"Я"), "\xD0\xAF");
    EXPECT_EQ(Utf8ToU16("a\xFF"
                        "b"),
              u"a\xFFFD"
              u"b");
    EXPECT_EQ(Utf8ToU16("\xD0"), u"\xFFFD");
    EXPECT_EQ(Utf8ToU16("\xC0\xAF"), u"\xFFFD\xFFFD"); // overlong
    EXPECT_EQ(Utf8ToU16("\xED\xA0\x80"), u"\xFFFD");   // encoded surrogate
    EXPECT_EQ(U16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
}

TEST(Utf, CaseAndNumbers) {
    EXPECT_TRUE(SameTextI(u"ЛогВключен", u"логвключен"));
    EXPECT_TRUE(SameTextI(u"Ёжик", u"ёЖИК"));
    EXPECT_FALSE(SameTextI(u"abc", u"abd"));
    EXPECT_EQ(UpperCase(u"abcабвёї"), u"ABCАБВЁЇ");
    EXPECT_EQ(LowerCase(u"ABCАБВЁЇ"), u"abcабвёї");
    EXPECT_EQ(IntToU16(-1234567890123LL), u"-1234567890123");
    EXPECT_EQ(FloatToU16(12.34), u"12.34");
    EXPECT_EQ(FloatToU16(100), u"100");
    EXPECT_EQ(FloatToU16(0.1), u"0.1");
    EXPECT_EQ(FloatToU16(-0.0), u"0");
    EXPECT_EQ(FloatToU16(1e17), u"100000000000000000");
}

TEST(Base64, RoundTripAndErrors) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64Decode("Zm9v\r\nYmE="), "fooba");
    EXPECT_EQ(Base64Decode("Zg"), "f");
    std::string All;
    for (int b = 0; b < 256; ++b)
        All.push_back(static_cast<char>(b));
    EXPECT_EQ(Base64Decode(Base64Encode(All)), All);
    for (const char* Bad : {"Zm9v!", "Z", "Zg==Zg==", "=Zg=", "Zm9vY"}) {
        EXPECT_EQ(korvtest::EquCode([&] { Base64Decode(Bad); }), 1004) << Bad;
    }
}

TEST(Iso8601, Forms) {
    EXPECT_EQ(ParseIso8601(u"1970-01-01T00:00:00"), 0);
    EXPECT_EQ(ParseIso8601(u"2024-02-29T12:30:15"), 1709209815);
    EXPECT_EQ(ParseIso8601(u"2024-02-29T12:30:15.250"), 1709209815);
    EXPECT_EQ(ParseIso8601(u"2024-02-29T12:30:15Z"), 1709209815);
    EXPECT_EQ(ParseIso8601(u"2024-02-29T15:30:15+03:00"), 1709209815);
    EXPECT_EQ(ParseIso8601(u"2024-02-29T09:00:15-0330"), 1709209815);
    EXPECT_EQ(ParseIso8601(u"2024-02-29"), 1709164800);
    EXPECT_EQ(ParseIso8601(u"2024-02-29T12:30"), 1709209800);
    EXPECT_EQ(ParseIso8601(u"1969-12-31T23:59:59"), -1);
    for (const char16_t* Bad :
         {u"", u"2023-02-29T00:00:00", u"2024-13-01T00:00:00", u"2024-01-01T24:00:00",
          u"2024-01-01T00:00:00X", u"2024-1-01T00:00:00", u"2024-01-01T00:00:00+25:00",
          u"2024-01-01T00:00:00.", u"не дата"})
        EXPECT_FALSE(ParseIso8601(Bad).has_value()) << U16ToUtf8(Bad);
    EXPECT_EQ(UnixToIsoText(1709209815), u"2024-02-29T12:30:15");
    EXPECT_EQ(UnixToIsoText(-1), u"1969-12-31T23:59:59");
    EXPECT_EQ(DateTextToUnix(UnixToIsoText(4102444799)), 4102444799);
    EXPECT_EQ(korvtest::EquError([] { DateTextToUnix(u"31.12.2024"); }),
              (korvtest::TEquError{1004, u"Ошибка входных параметров команды"}));
}

TEST(Guid, ShapeAndUniqueness) {
    std::set<std::u16string> Seen;
    for (int i = 0; i < 200; ++i) {
        const std::u16string G = NewGuidText();
        ASSERT_EQ(G.size(), 36u);
        for (std::size_t k = 0; k < G.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23)
                EXPECT_EQ(G[k], u'-');
            else
                EXPECT_TRUE((G[k] >= u'0' && G[k] <= u'9') || (G[k] >= u'A' && G[k] <= u'F'));
        }
        EXPECT_EQ(G[14], u'4');
        EXPECT_TRUE(Seen.insert(G).second);
    }
}

TEST(Trim, BlanksAndControlsOnBothEnds) {
    EXPECT_EQ(TrimView(u" \t\r\n x y \x01\x00"), u"x y");
    EXPECT_EQ(TrimView(u"\xA0x\xA0"), u"\xA0x\xA0"); // a no-break space is text
    EXPECT_EQ(TrimView(u"   "), u"");
    // Register fields: NUL padding goes, and so do blanks, but no 8-bit letter.
    EXPECT_EQ(TrimView(" 7707083893\0\0"sv), "7707083893");
    EXPECT_EQ(TrimView("\xC0\xA0 \xFF"sv), "\xC0\xA0 \xFF"sv);
    EXPECT_EQ(TrimView("\0\t"sv), "");
}

TEST(TextValues, NumbersAndBooleansShareOneRule) {
    struct Case {
        const char16_t* Text;
        std::optional<std::int64_t> Int;
        std::optional<double> Float;
        std::optional<bool> Bool;
    };
    const std::nullopt_t No = std::nullopt;
    const Case Cases[] = {
        {u"true", No, No, true},
        {u" FALSE ", No, No, false},
        {u"True", No, No, true},
        {u"1", 1, 1.0, true},
        {u"0", 0, 0.0, false},
        {u"-2", -2, -2.0, true},
        {u"+7", 7, 7.0, true},
        {u"0,5", No, 0.5, true},
        {u"0.0", No, 0.0, false},
        {u"1e3", No, 1000.0, true},
        {u"yes", No, No, No},
        {u"да", No, No, No},
        {u"", No, No, No},
        {u"+-1", No, No, No},
        {u"1x", No, No, No},
        {u"inf", No, No, No},
        {u"\t12\r\n", 12, 12.0, true},
        {u"１", No, No, No},
        {u"9223372036854775807", INT64_MAX, 9223372036854775807.0, true},
        {u"9223372036854775808", No, 9223372036854775808.0, true},
    };
    for (const Case& C : Cases) {
        EXPECT_EQ(TextToInt64(C.Text), C.Int) << U16ToUtf8(C.Text);
        EXPECT_EQ(TextToFloat(C.Text), C.Float) << U16ToUtf8(C.Text);
        EXPECT_EQ(TextToBool(C.Text), C.Bool) << U16ToUtf8(C.Text);
    }
    EXPECT_STREQ(BoolText(true), "true");
    EXPECT_STREQ(BoolText(false), "false");
}

TEST(Calendar, DaysRoundTripAndMonthLengths) {
    // Every day from 1600 to 2400 maps to a valid date and back, one after the other.
    TCivilTime Prev = CivilFromDays(DaysFromCivil(1600, 1, 1) - 1);
    for (std::int64_t Day = DaysFromCivil(1600, 1, 1); Day <= DaysFromCivil(2400, 12, 31); ++Day) {
        const TCivilTime T = CivilFromDays(Day);
        ASSERT_TRUE(IsValidCivil(T)) << Day;
        ASSERT_EQ(DaysFromCivil(T.Year, T.Month, T.Day), Day);
        const bool NextDay = T.Day == Prev.Day + 1 && T.Month == Prev.Month;
        const bool NextMonth = T.Day == 1 && Prev.Day == DaysInMonth(Prev.Year, Prev.Month);
        ASSERT_TRUE(NextDay || NextMonth) << Day;
        Prev = T;
    }
    EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
    EXPECT_EQ(DaysFromCivil(1899, 12, 30), -25569);
    EXPECT_EQ(DaysInMonth(2000, 2), 29);
    EXPECT_EQ(DaysInMonth(1900, 2), 28);
    EXPECT_EQ(DaysInMonth(2024, 2), 29);
    EXPECT_EQ(DaysInMonth(2024, 13), 0);
    EXPECT_FALSE(IsValidCivil({2023, 2, 29}));
    EXPECT_FALSE(IsValidCivil({2024, 1, 1, 24}));
    EXPECT_FALSE(IsValidCivil({2024, 0, 1}));
    const TCivilTime T = CivilFromUnix(-1);
    EXPECT_EQ(T.Year, 1969);
    EXPECT_EQ(T.Second, 59);
    EXPECT_EQ(UnixFromCivil(CivilFromUnix(1709209815)), 1709209815);
}
