// The host tool's own parts: its memory accounting (which the integration tests trust to find
// the add-in's leaks and double frees), its value conversions and its line tokenizer.
#include "HostMemory.h"
#include "HostValue.h"
#include "Script.h"

#include <gtest/gtest.h>

#include <cstring>

namespace khost {
namespace {

TEST(HostMemory, CountsAllocationsAndReportsLeaksWithTheirContext) {
    THostMemory memory;
    memory.SetContext("line 7 GetDescription");
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_TRUE(memory.AllocMemory(&a, 10));
    ASSERT_TRUE(memory.AllocMemory(&b, 0)); // zero bytes still gets an address of its own
    EXPECT_NE(a, b);
    EXPECT_TRUE(memory.IsLive(a));
    memory.FreeMemory(&a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(memory.LiveCount(), 1u);
    ASSERT_EQ(memory.Leaks().size(), 1u);
    EXPECT_NE(memory.Leaks()[0].find("line 7 GetDescription"), std::string::npos);
    EXPECT_TRUE(memory.Faults().empty());
    memory.FreeMemory(&b);
    EXPECT_TRUE(memory.Leaks().empty());
    EXPECT_EQ(memory.AllocCount(), 2u);
    EXPECT_EQ(memory.FreeCount(), 2u);
}

TEST(HostMemory, RecognisesDoubleAndForeignFrees) {
    THostMemory memory;
    void* p = memory.Alloc(8);
    void* copy = p;
    memory.FreeMemory(&p);
    // Freed blocks are never handed out again, so the second free is known for what it is.
    void* next = memory.Alloc(8);
    EXPECT_NE(next, copy);
    memory.SetContext("the second call");
    memory.FreeMemory(&copy);
    ASSERT_EQ(memory.Faults().size(), 1u);
    EXPECT_NE(memory.Faults()[0].find("freed twice"), std::string::npos);
    EXPECT_NE(memory.Faults()[0].find("the second call"), std::string::npos);

    int local = 0;
    void* foreign = &local;
    memory.FreeMemory(&foreign);
    ASSERT_EQ(memory.Faults().size(), 2u);
    EXPECT_NE(memory.Faults()[1].find("not allocated by the host"), std::string::npos);

    void* null = nullptr;
    memory.FreeMemory(&null); // freeing nothing is no fault
    EXPECT_EQ(memory.Faults().size(), 2u);
    memory.FreeOwned(next, "test");
}

TEST(HostMemory, RefusesTheRequestedNumberOfAllocations) {
    THostMemory memory;
    memory.FailNext(2);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_FALSE(memory.AllocMemory(&p, 4));
    EXPECT_EQ(p, nullptr);
    EXPECT_FALSE(memory.AllocMemory(&p, 4));
    EXPECT_TRUE(memory.AllocMemory(&p, 4));
    memory.FreeMemory(&p);
    EXPECT_EQ(memory.AllocCount(), 1u);
}

TEST(HostValue, Utf16RoundTripsAndRepairsBrokenText) {
    const std::string text = "Ab ж € 😀";
    std::u16string wide = FromUtf8(text);
    EXPECT_EQ(wide, u"Ab ж € 😀");
    EXPECT_EQ(ToUtf8(wide), text);
    EXPECT_EQ(FromUtf8("a\xFF"
                       "b"),
              u"a\uFFFDb");
    EXPECT_EQ(FromUtf8("\xC0\x80"), u"\uFFFD\uFFFD"); // overlong zero
    EXPECT_EQ(FromUtf8("\xE2\x82"), u"\uFFFD\uFFFD"); // cut short
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ(ToUtf8(lone), "x\xEF\xBF\xBDy");
}

TEST(HostValue, StringsCrossInHostMemoryAndComeBackChecked) {
    THostMemory memory;
    tVariant v;
    ASSERT_TRUE(ToVariant(THostValue::WString("Касса"), memory, v));
    EXPECT_EQ(v.vt, VTYPE_PWSTR);
    EXPECT_EQ(v.wstrVal.wstrLen, 5u);
    EXPECT_EQ(v.wstrVal.pwstrVal[5], 0);
    EXPECT_TRUE(memory.IsLive(v.wstrVal.pwstrVal));
    std::string fault;
    THostValue back = FromVariant(v, memory, fault);
    EXPECT_TRUE(fault.empty()) << fault;
    EXPECT_TRUE(SameValue(back, THostValue::WString("Касса")));
    ReleaseVariant(v, memory, "test");
    EXPECT_EQ(memory.LiveCount(), 0u);
    EXPECT_EQ(v.vt, VTYPE_EMPTY);

    // A string in memory the host never gave out, and one whose length disagrees with its
    // terminator, are what the host would reject.
    char16_t own[] = u"abc";
    tVariant foreign{};
    foreign.vt = VTYPE_PWSTR;
    foreign.wstrVal.pwstrVal = own;
    foreign.wstrVal.wstrLen = 3;
    FromVariant(foreign, memory, fault);
    EXPECT_NE(fault.find("not allocated"), std::string::npos);

    ASSERT_TRUE(ToVariant(THostValue::WString("abc"), memory, v));
    v.wstrVal.wstrLen = 2;
    FromVariant(v, memory, fault);
    EXPECT_NE(fault.find("not terminated"), std::string::npos);
    ReleaseVariant(v, memory, "test");
}

TEST(HostValue, ComparesAndFormatsByType) {
    EXPECT_TRUE(SameValue(THostValue::I4(4004), THostValue::I8(4004)));
    EXPECT_FALSE(SameValue(THostValue::I4(1), THostValue::Boolean(true)));
    EXPECT_FALSE(SameValue(THostValue::WString("1"), THostValue::I4(1)));
    EXPECT_EQ(Format(THostValue::WString("a\"b\n")), "PWSTR \"a\\\"b\\n\"");
    EXPECT_EQ(Format(THostValue::Boolean(false)), "BOOL false");
    EXPECT_EQ(Format(THostValue::Null()), "NULL");
    EXPECT_EQ(TypeName(0x4016), "VTYPE_PWSTR");
    EXPECT_EQ(TypeName(99), "unknown type");

    THostMemory memory;
    tVariant v;
    struct tm tm = {};
    tm.tm_year = 124;
    tm.tm_mday = 31;
    tm.tm_hour = 13;
    ASSERT_TRUE(ToVariant(THostValue::DateTm(tm), memory, v));
    EXPECT_EQ(v.vt, VTYPE_TM);
    EXPECT_EQ(v.tmVal.tm_year, 124);
    std::string fault;
    EXPECT_EQ(PlainText(FromVariant(v, memory, fault)), "2024-01-31T13:00:00");
}

TEST(Script, SplitsWordsQuotesAndPrefixes) {
    auto t = Tokenize(R"(  ConnectEquipment out:id "" str:"<a b=\"1\"/>" int:5  # comment "x")");
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].Word, "ConnectEquipment");
    EXPECT_FALSE(t[0].Quoted);
    EXPECT_EQ(t[1].Word, "out:id");
    EXPECT_TRUE(t[2].Quoted);
    EXPECT_EQ(t[2].Word, "");
    EXPECT_EQ(t[2].Text, "");
    EXPECT_EQ(t[3].Word, "str:");
    EXPECT_EQ(t[3].Text, "<a b=\"1\"/>");
    EXPECT_EQ(t[4].Word, "int:5");
    EXPECT_TRUE(Tokenize("   # only a comment").empty());
}

TEST(Script, ResolvesEscapes) {
    EXPECT_EQ(Tokenize(R"("a\tb\\c\n")")[0].Text, "a\tb\\c\n");
    EXPECT_EQ(Tokenize(R"("\u0436\uD83D\uDE00")")[0].Text, "ж😀");
    EXPECT_EQ(Tokenize(R"("\uD83D")")[0].Text, "\xEF\xBF\xBD"); // a lone surrogate
    EXPECT_EQ(Tokenize(R"("^\d+[.]\s$")")[0].Text, "^\\d+[.]\\s$");
    EXPECT_EQ(Tokenize(R"("# not a comment")")[0].Text, "# not a comment");
}

TEST(Script, RejectsMalformedLines) {
    EXPECT_THROW(Tokenize(R"(print "open)"), TScriptError);
    EXPECT_THROW(Tokenize(R"(print "a"b)"), TScriptError);
    EXPECT_THROW(Tokenize(R"(print "\u12")"), TScriptError);
    EXPECT_THROW(Tokenize("print \"a\\"), TScriptError);
}

} // namespace
} // namespace khost
