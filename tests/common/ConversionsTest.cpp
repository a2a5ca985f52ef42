#include "common/uBytes.h"
#include "common/uFiscalNames.h"
#include "common/uText.h"

#include <gtest/gtest.h>

using namespace korv;
using namespace std::string_literals;

TEST(HexText, BytesAndBack) {
    EXPECT_EQ(BytesToHexText("\x05\xAB\x00"s), "05 AB 00 ");
    EXPECT_EQ(BytesToHexText("\x05\xAB"s, ""), "05AB");
    EXPECT_EQ(BytesToHexTextN("\x01\x02\x03"s, 2), "0102");
    EXPECT_EQ(BytesToHexTextN("\x01\x02\x03"s, 0), "010203");
    EXPECT_EQ(BytesToHexTextN("\x01"s, 5), "01");
    EXPECT_EQ(HexTextToBytes("ABC", 0), "\x0A\xBC"s);
    EXPECT_EQ(HexTextToBytes("1", 3), "\x00\x00\x01"s);
    EXPECT_EQ(HexTextToBytes("", 2), "\x00\x00"s);
    EXPECT_EQ(HexTextToBytes("ff10", 0), "\xFF\x10"s);
}

TEST(HexText, HexToInt64) {
    EXPECT_EQ(HexToInt64("1AH"), 26);
    EXPECT_EQ(HexToInt64("1a"), 26);
    EXPECT_EQ(HexToInt64("1G"), 0);
    EXPECT_EQ(HexToInt64(""), 0);
    EXPECT_EQ(HexToInt64("H"), 0);
    EXPECT_EQ(HexToInt64("FFFFFFFF"), 0xFFFFFFFFLL);
    EXPECT_EQ(HexToInt64("1HH"), 0);
}

TEST(LittleEndian, Fields) {
    EXPECT_EQ(IntToLEBytes(8, 258), "\x02\x01\x00\x00"s);
    EXPECT_EQ(IntToLEBytes(10, 150000), "\xF0\x49\x02\x00\x00"s);
    EXPECT_EQ(IntToLEBytes(0, 0x123), "\x23\x01"s); // odd digit count gets a leading zero
    EXPECT_EQ(IntToLEBytes(2, 0x12345), "\x45\x23\x01"s);
    EXPECT_EQ(IntToLEBytesN(3, 0x0A0B0C0D), "\x0D\x0C\x0B"s);
    EXPECT_EQ(IntToLEBytesN(10, 1), "\x01\0\0\0\0\0\0\0\0\0"s);
    EXPECT_EQ(IntToBEBytesN(2, 0x0102), "\x01\x02"s);
    EXPECT_EQ(LEBytesToInt("\x02\x01\x00\x00"s), 258u);
    EXPECT_EQ(LEBytesToInt(""), 0u);
    EXPECT_EQ(LEBytesToInt("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"s), ~0ull);
    EXPECT_EQ(LEBytesToInt(IntToLEBytesN(8, 0x8877665544332211ull)), 0x8877665544332211ull);
}

TEST(Money, SixBytesOfKopecks) {
    EXPECT_EQ(MoneyToLE6(1.5), "\x96\0\0\0\0\0"s);
    EXPECT_EQ(LEBytesToInt(MoneyToLE6(1.005)), 101u);
    EXPECT_EQ(LEBytesToInt(MoneyToLE6(0.29)), 29u);
    EXPECT_EQ(LEBytesToInt(MoneyToLE6(12345678.99)), 1234567899u);
    EXPECT_EQ(MoneyToLE6(0).size(), 6u);
}

TEST(Bcd, Boundaries) {
    EXPECT_EQ(IntToBCD(2, 1234), "\x12\x34"s);
    EXPECT_EQ(IntToBCD(3, 5), "\x00\x00\x05"s);
    EXPECT_EQ(IntToBCD(1, 99), "\x99"s);
    EXPECT_EQ(IntToBCD(1, 123), "\x12"s); // a longer number keeps its leading digits
    EXPECT_EQ(IntToBCD(0, 1), "");
    EXPECT_EQ(BCDToInt("\x12\x34"s, 2), 1234u);
    EXPECT_EQ(BCDToInt("\x12\x34"s, 1), 12u);
    EXPECT_EQ(BCDToInt("\x99\x99\x99\x99\x99\x99\x99\x99\x99"s, 9), 999999999999999999u);
    EXPECT_EQ(BCDToInt("\x1A"s, 1), 0u);
    EXPECT_EQ(BCDToInt("\xA1"s, 1), 0u);
    EXPECT_EQ(BCDToInt("\x12"s, 4), 12u); // a count past the end reads what is there
}

TEST(Bits, SetTestReverse) {
    EXPECT_EQ(ReverseBits(0x01), 0x80);
    EXPECT_EQ(ReverseBits(0x80), 0x01);
    EXPECT_EQ(ReverseBits(0xF0), 0x0F);
    EXPECT_EQ(ReverseBits(0xA5), 0xA5);
    EXPECT_EQ(ReverseBits(0x12), 0x48);
    EXPECT_TRUE(TestBit(0x8000000000000000ull, 63));
    EXPECT_FALSE(TestBit(1, 64));
    EXPECT_FALSE(TestBit(1, -1));
    EXPECT_EQ(SetBit(0, 33), 1ull << 33);
    EXPECT_EQ(SetBit(5, 70), 5u);
    EXPECT_EQ(SetByteBit(0x00, 7, true), 0x80);
    EXPECT_EQ(SetByteBit(0xFF, 0, false), 0xFE);
    EXPECT_EQ(SetByteBit(0x10, 8, true), 0x10);
}

TEST(Padding, TextAndBytes) {
    EXPECT_EQ(PadText("ab", 4, false), "ab  ");
    EXPECT_EQ(PadText("abcdef", 4, false), "abcdef");
    EXPECT_EQ(PadText("abcdef", 4, true), "abcd");
    EXPECT_EQ(PadBytes("abcdef", 3, '\0'), "abc");
    EXPECT_EQ(PadBytes("a", 3, '\0'), "a\0\0"s);
    EXPECT_EQ(ZeroPad(42, 5), "00042");
    EXPECT_EQ(ZeroPad(123456, 3), "123456");
}

TEST(Texts, FilterAndSplit) {
    const std::u16string In = u"a\tb\x01\x1F\nc\rd\xD800\xFFFE\xFFFF\xE000Я";
    EXPECT_EQ(FilterText(In), u"a\tb\nc\rd\xE000Я");
    // A whole pair (an emoji) stays; a lone low surrogate goes.
    EXPECT_EQ(FilterText(u"x\U0001F600y\xDC00"), u"x\U0001F600y");
    EXPECT_EQ(SplitText(u"abcdefg", 3), (std::vector<std::u16string>{u"abc", u"def", u"g"}));
    EXPECT_EQ(SplitText(u"abcdef", 3), (std::vector<std::u16string>{u"abc", u"def"}));
    EXPECT_TRUE(SplitText(u"", 3).empty());
    EXPECT_EQ(SplitText(u"ab", 0), (std::vector<std::u16string>{u"ab"}));
}

namespace {
std::vector<std::u16string> Wrap(std::u16string_view Text, std::size_t Width) {
    std::vector<std::u16string> Lines;
    WrapText(Text, Width, [&](std::u16string_view L) { Lines.emplace_back(L); });
    return Lines;
}
} // namespace

TEST(Wrap, BreaksAtBlanksOrHard) {
    using V = std::vector<std::u16string>;
    EXPECT_EQ(Wrap(u"один два три", 8), (V{u"один два", u"три"}));
    EXPECT_EQ(Wrap(u"один два три", 7), (V{u"один", u"два три"}));
    EXPECT_EQ(Wrap(u"abcdefghij", 4), (V{u"abcd", u"efgh", u"ij"}));
    EXPECT_EQ(Wrap(u"abcd efgh", 4), (V{u"abcd", u"efgh"}));
    EXPECT_EQ(Wrap(u"a\r\nb\rc\nd", 10), (V{u"a", u"b", u"c", u"d"}));
    EXPECT_EQ(Wrap(u"  x  ", 10), (V{u"x"}));
    EXPECT_EQ(Wrap(u"", 10), (V{u""}));
    EXPECT_EQ(Wrap(u"a\n\nb", 10), (V{u"a", u"", u"b"}));
}

TEST(NameTables, Bounds) {
    EXPECT_EQ(PaymentMethodName(1), u"ПРЕДОПЛАТА 100%");
    EXPECT_EQ(PaymentMethodName(7), u"ОПЛАТА КРЕДИТА");
    EXPECT_EQ(PaymentMethodName(0), u"");
    EXPECT_EQ(PaymentMethodName(8), u"");
    EXPECT_EQ(CalculationSubjectName(1), u"ТОВАР");
    EXPECT_EQ(CalculationSubjectName(27), u"ВЫДАЧА ДС");
    EXPECT_EQ(CalculationSubjectName(28), u"");
    EXPECT_EQ(CalculationSubjectName(30), u"АТНМ");
    EXPECT_EQ(CalculationSubjectName(33), u"ТМ");
    EXPECT_EQ(CalculationSubjectName(34), u"");
}
