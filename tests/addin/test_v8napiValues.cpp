// Host values: what the add-in writes into host memory and how it reads
// what the host passes.

#include "support/FakeHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

using namespace korv;
using korvtest::I4;
using korvtest::TFakeMemoryManager;
using korvtest::WStr;

namespace {

V8Variant OfType(std::uint16_t Type) {
    V8Variant V{};
    V.vt = Type;
    return V;
}

V8Variant R8(double D) {
    V8Variant V = OfType(VTYPE_R8);
    V.dblVal = D;
    return V;
}

V8Variant Tm(int Year, int Mon, int Day, int Hour, int Min, int Sec) {
    V8Variant V = OfType(VTYPE_TM);
    V.tmVal.tm_year = Year;
    V.tmVal.tm_mon = Mon;
    V.tmVal.tm_mday = Day;
    V.tmVal.tm_hour = Hour;
    V.tmVal.tm_min = Min;
    V.tmVal.tm_sec = Sec;
    return V;
}

} // namespace

TEST(V8Values, EmptyWideStringTakesTwoHostBytes) {
    TFakeMemoryManager MM;
    V8Variant V{};
    ASSERT_TRUE(V8SetWString(MM.Host(), &V, u""));
    EXPECT_EQ(V.vt, VTYPE_PWSTR);
    EXPECT_EQ(MM.Allocs, 1u);
    EXPECT_EQ(MM.LastSize, 2u);
    ASSERT_NE(V.pwstrVal, nullptr);
    EXPECT_EQ(V.pwstrVal[0], 0);
    EXPECT_EQ(V.wstrLen, 0u);
    EXPECT_EQ(V8AsWideString(&V), u"");
    V8ClearVar(MM.Host(), &V);
    EXPECT_TRUE(MM.Live.empty());
}

TEST(V8Values, WritingOverHostTextFreesItFirst) {
    TFakeMemoryManager MM;
    V8Variant V{};
    ASSERT_TRUE(V8SetWString(MM.Host(), &V, u"Касса №1"));
    EXPECT_EQ(V.wstrLen, 8u);
    EXPECT_EQ(MM.LastSize, 18u);
    EXPECT_EQ(V8AsWideString(&V), u"Касса №1");

    ASSERT_TRUE(V8SetInt(MM.Host(), &V, -5));
    EXPECT_EQ(MM.Frees, 1u);
    EXPECT_TRUE(MM.Live.empty());
    EXPECT_EQ(V.vt, VTYPE_I4);
    EXPECT_EQ(V.lVal, -5);

    // Bytes and blobs are host memory too.
    ASSERT_TRUE(V8SetString(MM.Host(), &V, "abc"));
    EXPECT_EQ(V.strLen, 3u);
    EXPECT_STREQ(V.pstrVal, "abc");
    const char Bytes[] = {1, 0, 2};
    ASSERT_TRUE(V8SetBlob(MM.Host(), &V, Bytes, 3));
    EXPECT_EQ(MM.Frees, 2u);
    EXPECT_EQ(V.vt, VTYPE_BLOB);
    EXPECT_EQ(std::memcmp(V.pstrVal, Bytes, 3), 0);
    ASSERT_TRUE(V8SetBool(MM.Host(), &V, true));
    EXPECT_EQ(MM.Frees, 3u);
    EXPECT_TRUE(MM.Live.empty());
    EXPECT_TRUE(V8AsBoolean(&V));
}

TEST(V8Values, NullSourcesLeaveTheValueAlone) {
    TFakeMemoryManager MM;
    V8Variant V = I4(7);
    EXPECT_TRUE(V8SetPChar(MM.Host(), &V, nullptr));
    EXPECT_TRUE(V8SetBlob(MM.Host(), &V, nullptr, 4));
    EXPECT_EQ(V.vt, VTYPE_I4);
    EXPECT_EQ(V.lVal, 7);
    EXPECT_EQ(MM.Allocs, 0u);
    EXPECT_FALSE(V8SetInt(MM.Host(), nullptr, 1));
}

TEST(V8Values, RefusedAllocationLeavesTypedNullText) {
    TFakeMemoryManager MM;
    V8Variant V{};
    ASSERT_TRUE(V8SetWString(MM.Host(), &V, u"old"));
    MM.Refuse = true;
    EXPECT_FALSE(V8SetWString(MM.Host(), &V, u"new"));
    EXPECT_EQ(V.vt, VTYPE_PWSTR);
    EXPECT_EQ(V.pwstrVal, nullptr);
    EXPECT_EQ(V.wstrLen, 0u);
    EXPECT_TRUE(MM.Live.empty()); // the old text was still given back
    EXPECT_EQ(V8AsWideString(&V), u"");

    // Without any memory manager text cannot be written, but nothing breaks.
    EXPECT_FALSE(V8SetWString(nullptr, &V, u"x"));
    EXPECT_EQ(V8HostString(nullptr, u"x"), nullptr);
}

TEST(V8Values, BooleansFollowTheIntegerReading) {
    auto AsBool = [](V8Variant V) { return V8AsBoolean(&V); };
    V8Variant B = OfType(VTYPE_BOOL);
    B.bVal = true;
    EXPECT_TRUE(AsBool(B));
    B.bVal = false;
    EXPECT_FALSE(AsBool(B));
    EXPECT_FALSE(AsBool(I4(0)));
    EXPECT_TRUE(AsBool(I4(5)));
    EXPECT_TRUE(AsBool(WStr(u"1")));
    EXPECT_FALSE(AsBool(WStr(u"Да")));
    EXPECT_FALSE(AsBool(WStr(u"true")));
    EXPECT_TRUE(AsBool(R8(1.5)));
    EXPECT_FALSE(AsBool(R8(0.9)));
}

TEST(V8Values, IntegersTruncateAndParseStrictly) {
    V8Variant V = R8(-2.7);
    EXPECT_EQ(V8AsInteger(&V), -2);
    V = WStr(u" 42 ");
    EXPECT_EQ(V8AsInteger(&V), 42);
    V = WStr(u"-17");
    EXPECT_EQ(V8AsInteger(&V), -17);
    for (const char16_t* Bad : {u"", u"12abc", u"2147483648", u"1.5", u"٣"}) {
        V = WStr(Bad);
        EXPECT_EQ(V8AsInteger(&V), 0);
    }
    // Doubles no integer holds do not overflow.
    V = R8(1e300);
    EXPECT_EQ(V8AsInteger(&V), 0);
    V = OfType(VTYPE_I2);
    V.shortVal = -300;
    EXPECT_EQ(V8AsInteger(&V), -300);
    V = OfType(VTYPE_BOOL);
    V.bVal = true;
    EXPECT_EQ(V8AsInteger(&V), 0);
    // A flag bit makes the value unreadable as a number.
    V = I4(3);
    V.vt |= VTYPE_BYREF;
    EXPECT_EQ(V8AsInteger(&V), 0);
}

TEST(V8Values, DoublesUseThePointAsSeparator) {
    V8Variant V = WStr(u"12.5");
    EXPECT_DOUBLE_EQ(V8AsDouble(&V), 12.5);
    V = WStr(u"12,5");
    EXPECT_DOUBLE_EQ(V8AsDouble(&V), 0);
    V = WStr(u"inf");
    EXPECT_DOUBLE_EQ(V8AsDouble(&V), 0);
    V = I4(-3);
    EXPECT_DOUBLE_EQ(V8AsDouble(&V), -3);
    V = OfType(VTYPE_R4);
    V.fltVal = 0.25f;
    EXPECT_DOUBLE_EQ(V8AsDouble(&V), 0.25);
}

TEST(V8Values, TmBecomesDateTime) {
    V8Variant V = Tm(124, 0, 31, 13, 5, 9);
    const TDateTime D = V8AsDateTime(&V);
    // 2024-01-31 is day 45322 after 1899-12-30.
    EXPECT_NEAR(D, 45322 + (13 * 3600 + 5 * 60 + 9) / 86400.0, 1e-9);
    EXPECT_EQ(V8ToText(&V), u"31.01.2024 13:05:09");
    V = Tm(124, 1, 29, 0, 0, 0);
    EXPECT_EQ(V8ToText(&V), u"29.02.2024");
    V = Tm(123, 1, 29, 0, 0, 0);
    EXPECT_THROW(V8AsDateTime(&V), std::invalid_argument);
    V = Tm(124, 12, 1, 0, 0, 0);
    EXPECT_THROW(V8AsDateTime(&V), std::invalid_argument);
    V = Tm(124, 0, 1, 24, 0, 0);
    EXPECT_THROW(V8AsDateTime(&V), std::invalid_argument);
    V = R8(2.5);
    EXPECT_DOUBLE_EQ(V8AsDateTime(&V), 2.5);
    V = I4(2);
    EXPECT_DOUBLE_EQ(V8AsDateTime(&V), 0);
}

TEST(V8Values, TypeNamesCarryFlags) {
    V8Variant V = OfType(0x4016);
    EXPECT_EQ(V8TypeName(&V), u"VTYPE_PWSTR by ref");
    V.vt = 99;
    EXPECT_EQ(V8TypeName(&V), u"unknown type");
    V.vt = 0x3003;
    EXPECT_EQ(V8TypeName(&V), u"VTYPE_I4 array");
    V.vt = 0x1000 | VTYPE_BLOB;
    EXPECT_EQ(V8TypeName(&V), u"VTYPE_BLOB vector");
    V.vt = VTYPE_STR_BLOB;
    EXPECT_EQ(V8TypeName(&V), u"VTYPE_STR_BLOB");
    V.vt = VTYPE_NULL;
    EXPECT_EQ(V8TypeName(&V), u"VTYPE_NULL");
}

TEST(V8Values, VariantConversionAndText) {
    V8Variant V{};
    EXPECT_EQ(V8ToText(&V), u"");
    V = I4(-12);
    EXPECT_EQ(V8ToText(&V), u"-12");
    V = R8(12.5);
    EXPECT_EQ(V8ToText(&V), u"12.5");
    V = R8(0.1);
    EXPECT_EQ(V8ToText(&V), u"0.1");
    V = R8(1e20);
    EXPECT_EQ(V8ToText(&V), u"1E20");
    V = OfType(VTYPE_I8);
    V.llVal = 1LL << 40;
    EXPECT_EQ(V8ToText(&V), u"1099511627776");
    V = OfType(VTYPE_BOOL);
    V.bVal = true;
    EXPECT_EQ(V8ToText(&V), u"True");
    V = WStr(u"Текст");
    EXPECT_EQ(V8ToText(&V), u"Текст");

    // A blob converts to exactly its bytes.
    char Bytes[] = {'\x01', '\xff'};
    V = OfType(VTYPE_BLOB);
    V.pstrVal = Bytes;
    V.strLen = 2;
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(V8ToVariant(&V)),
              (std::vector<std::uint8_t>{1, 255}));
}

TEST(V8Values, UnsupportedTypesRaiseWithTheirName) {
    auto MessageOf = [](V8Variant V) -> std::string {
        try {
            V8ToVariant(&V);
        } catch (const std::runtime_error& E) {
            return E.what();
        }
        return "no error";
    };
    EXPECT_EQ(MessageOf(OfType(VTYPE_NULL)), "Unsupported data type - VTYPE_NULL");
    EXPECT_EQ(MessageOf(OfType(0x4016)), "Unsupported data type - VTYPE_PWSTR by ref");
    EXPECT_EQ(MessageOf(OfType(VTYPE_I2)), "Unsupported data type - VTYPE_I2");
}

TEST(V8Values, ClearVarGivesBackHostMemoryAndZeroes) {
    TFakeMemoryManager MM;
    V8Variant V{};
    ASSERT_TRUE(V8SetString(MM.Host(), &V, "bytes"));
    V.cbElements = 9;
    V8ClearVar(MM.Host(), &V);
    EXPECT_TRUE(MM.Live.empty());
    const auto* Raw = reinterpret_cast<const unsigned char*>(&V);
    EXPECT_TRUE(std::all_of(Raw, Raw + sizeof V, [](unsigned char C) { return C == 0; }));

    // A by-reference text is still host text of ours to free.
    ASSERT_TRUE(V8SetWString(MM.Host(), &V, u"x"));
    V.vt |= VTYPE_BYREF;
    V8ClearVar(MM.Host(), &V);
    EXPECT_TRUE(MM.Live.empty());
}
