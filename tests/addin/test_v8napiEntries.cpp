// The object record and its entry tables, called through raw vtable slots
// as the Linux host calls them, and the traced call with its error trap.

#include "support/FakeHost.h"
#include "support/TempFolder.h"

#include "common/Common.Log.h"
#include "common/uText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

using namespace korv;
using korvtest::I4;
using korvtest::TFakeConnection;
using korvtest::TFakeMemoryManager;
using korvtest::WStr;

namespace {

// An Itanium host: two destructor slots ahead of each interface's methods.
constexpr int HostDtorSlots = 2;

enum Iface { InitDone = 0, LangExt = 1, Locale = 2, UserLang = 3 };

// Method numbers (after the destructor) of the host's interfaces.
enum InitDoneSlot { sInit, sSetMemManager, sGetInfo, sDone };
enum LangExtSlot {
    sRegisterExtensionAs,
    sGetNProps,
    sFindProp,
    sGetPropName,
    sGetPropVal,
    sSetPropVal,
    sIsPropReadable,
    sIsPropWritable,
    sGetNMethods,
    sFindMethod,
    sGetMethodName,
    sGetNParams,
    sGetParamDefValue,
    sHasRetVal,
    sCallAsProc,
    sCallAsFunc,
};

int Destroyed = 0;

class TTestObject : public TV8UserObject {
public:
    ~TTestObject() override { ++Destroyed; }
    bool Init() override {
        ++Inits;
        return true;
    }
    void SetLocale() override { LocaleSeen = locale; }
    long GetInfo() override { return TV8UserObject::GetInfo(); }

    int Inits = 0;
    int Calls = 0;
    std::int32_t Value = 0;
    std::u16string LocaleSeen;
};

TTestObject& Test(TV8UserObject& O) {
    return static_cast<TTestObject&>(O);
}

// Echo(text, out): returns the text, writes "out:" + text into the second parameter.
bool Echo(TV8UserObject& O, V8Variant* Ret, V8Variant* Params, long Count) {
    ++Test(O).Calls;
    if (Count < 2)
        return false;
    const std::u16string Text = V8TraceText(&Params[0]);
    O.V8SetWString(&Params[1], u"out:" + Text);
    O.V8SetWString(Ret, Text);
    return true;
}

bool Fail(TV8UserObject& O, V8Variant*, V8Variant*, long) {
    ++Test(O).Calls;
    throw std::runtime_error("Сбой обработчика");
}

bool ValueProp(TV8UserObject& O, const std::u16string& Name, V8Variant* V, bool Get) {
    if (Name != u"Value")
        throw std::runtime_error("Property not found: " + U16ToUtf8(Name));
    if (Get)
        return O.V8SetInt(V, Test(O).Value);
    Test(O).Value = V8AsInteger(V);
    return true;
}

bool BrokenProp(TV8UserObject&, const std::u16string& Name, V8Variant*, bool) {
    throw std::runtime_error("Property not found: " + U16ToUtf8(Name));
}

constexpr const char16_t* ClassName = u"AddInTest";

void RegisterTestClass() {
    if (ClassRegistry().Find(ClassName))
        return;
    TClassReg& R = ClassRegistry().RegisterClass<TTestObject>(u"AddInTestExt", ClassName);
    R.AddFunc(u"Echo", u"Эхо", Echo, 2);
    R.AddFunc(u"Fail", u"Сбой", Fail, 1);
    R.AddProc(u"Ping", u"Пинг", Echo, 2);
    R.AddProp(u"Value", u"Значение", true, true, ValueProp);
    R.AddProp(u"Broken", u"Сломано", true, false, BrokenProp);
    R.Method(0)->DefParams.AddWString(u"по умолчанию", 2);
}

template <class R, class... A> R Call(void* Interface, int Method, A... Args) {
    auto* Table = *static_cast<TV8Slot* const*>(Interface);
    return reinterpret_cast<R (*)(void*, A...)>(Table[HostDtorSlots + Method])(Interface, Args...);
}

std::string ReadFile(const std::u16string& Name) {
    std::ifstream F(std::filesystem::path(U16ToUtf8(Name)), std::ios::binary);
    std::stringstream S;
    S << F.rdbuf();
    return S.str();
}

class V8Entries : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterTestClass();
        ASSERT_EQ(V8GetClassObject(ClassName, &Rec), 1);
        Call<bool>(I(InitDone), sSetMemManager, static_cast<void*>(&MM));
        Call<bool>(I(InitDone), sInit, static_cast<void*>(&Conn));
    }
    void TearDown() override { V8DestroyObject(&Rec); }

    void* I(Iface K) { return static_cast<void**>(Rec) + K; }
    TTestObject& Obj() { return static_cast<TTestObject&>(*static_cast<TV8UserObject**>(Rec)[4]); }
    long FindMethod(const char16_t* Name) { return Call<long>(I(LangExt), sFindMethod, Name); }
    bool CallAsFunc(long Meth, V8Variant* Ret, V8Variant* Params, long Count) {
        return Call<bool>(I(LangExt), sCallAsFunc, Meth, Ret, Params, Count);
    }
    std::u16string HostText(const WCHAR_T* P) {
        EXPECT_TRUE(MM.Live.count(const_cast<WCHAR_T*>(P))) << "not host memory";
        return P ? std::u16string(P) : u"<null>";
    }

    void* Rec = nullptr;
    TFakeMemoryManager MM;
    TFakeConnection Conn;
};

} // namespace

TEST(V8Exports, ClassObjectRecord) {
    RegisterTestClass();
    EXPECT_NE(std::u16string(V8GetClassNames()).find(ClassName), std::u16string::npos);
    EXPECT_EQ(V8GetAttachType(), 3);

    void* Rec = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(V8GetClassObject(u"addintest", &Rec), 0);
    EXPECT_EQ(V8GetClassObject(u"Other", &Rec), 0);
    EXPECT_EQ(V8GetClassObject(nullptr, &Rec), 0);
    EXPECT_EQ(Rec, reinterpret_cast<void*>(0x1));

    ASSERT_EQ(V8GetClassObject(ClassName, &Rec), 1);
    auto** Words = static_cast<void**>(Rec);
    for (int K = 0; K < 4; ++K) {
        ASSERT_NE(Words[K], nullptr) << "interface " << K;
        // The destructor slots stay null; the methods follow them.
        auto* Table = static_cast<TV8Slot*>(Words[K]);
        EXPECT_EQ(Table[0], nullptr);
        EXPECT_EQ(Table[1], nullptr);
        EXPECT_NE(Table[2], nullptr);
    }
    EXPECT_NE(Words[4], nullptr);
    EXPECT_EQ(Words[5], Words[4]);
    EXPECT_EQ(Words[6], Words[4]);
    EXPECT_EQ(Words[7], Words[4]);
    EXPECT_EQ(static_cast<TV8UserObject*>(Words[4])->ClassReg, ClassRegistry().Find(ClassName));

    const int Before = Destroyed;
    EXPECT_EQ(V8DestroyObject(&Rec), 0);
    EXPECT_EQ(Destroyed, Before + 1);
    EXPECT_EQ(Rec, nullptr); // the caller's pointer does not dangle
    void* Null = nullptr;
    EXPECT_EQ(V8DestroyObject(&Null), 0);
    EXPECT_EQ(V8DestroyObject(nullptr), 0);
}

TEST_F(V8Entries, InitDoneAndLocale) {
    EXPECT_EQ(Obj().V8MM, MM.Host());
    EXPECT_EQ(Obj().V8, Conn.Host());
    EXPECT_EQ(Obj().Inits, 1);
    EXPECT_EQ(Call<long>(I(InitDone), sGetInfo), 2000);
    Call<void>(I(InitDone), sDone);
    Call<void>(I(Locale), 0, static_cast<const WCHAR_T*>(u"ru_RU"));
    EXPECT_EQ(Obj().locale, u"ru_RU");
    EXPECT_EQ(Obj().LocaleSeen, u"ru_RU");
    Call<void>(I(Locale), 0, static_cast<const WCHAR_T*>(nullptr));
    EXPECT_EQ(Obj().locale, u"");
    // The user-language slot is there and does nothing.
    Call<void>(I(UserLang), 0, static_cast<const WCHAR_T*>(u"ru"));
}

TEST_F(V8Entries, NamesAndCounts) {
    WCHAR_T* Ext = nullptr;
    EXPECT_TRUE(Call<bool>(I(LangExt), sRegisterExtensionAs, &Ext));
    EXPECT_EQ(HostText(Ext), u"AddInTestExt");

    EXPECT_EQ(Call<long>(I(LangExt), sGetNMethods), 3);
    EXPECT_EQ(Call<long>(I(LangExt), sGetNProps), 2);
    EXPECT_EQ(FindMethod(u"Эхо"), 0);
    EXPECT_EQ(FindMethod(u"Echo"), 0);
    EXPECT_EQ(FindMethod(u"echo"), -1);
    EXPECT_EQ(FindMethod(u"Пинг"), 2);
    EXPECT_EQ(Call<long>(I(LangExt), sFindProp, static_cast<const WCHAR_T*>(u"Значение")), 0);
    EXPECT_EQ(Call<long>(I(LangExt), sFindProp, static_cast<const WCHAR_T*>(u"value")), -1);

    EXPECT_EQ(HostText(Call<const WCHAR_T*>(I(LangExt), sGetMethodName, 0L, 0L)), u"Echo");
    EXPECT_EQ(HostText(Call<const WCHAR_T*>(I(LangExt), sGetMethodName, 0L, 1L)), u"Эхо");
    EXPECT_EQ(HostText(Call<const WCHAR_T*>(I(LangExt), sGetPropName, 1L, 1L)), u"Сломано");
    EXPECT_EQ(Call<long>(I(LangExt), sGetNParams, 1L), 1);
    EXPECT_TRUE(Call<bool>(I(LangExt), sHasRetVal, 0L));
    EXPECT_FALSE(Call<bool>(I(LangExt), sHasRetVal, 2L));
    EXPECT_TRUE(Call<bool>(I(LangExt), sIsPropWritable, 0L));
    EXPECT_FALSE(Call<bool>(I(LangExt), sIsPropWritable, 1L));
    EXPECT_TRUE(Call<bool>(I(LangExt), sIsPropReadable, 1L));

    // Default values: only where one is registered; text lands in host memory.
    V8Variant Def{};
    EXPECT_FALSE(Call<bool>(I(LangExt), sGetParamDefValue, 0L, 0L, &Def));
    ASSERT_TRUE(Call<bool>(I(LangExt), sGetParamDefValue, 0L, 1L, &Def));
    EXPECT_EQ(HostText(Def.pwstrVal), u"по умолчанию");

    // A refused allocation gives null names, never a crash.
    MM.Refuse = true;
    EXPECT_TRUE(Call<bool>(I(LangExt), sRegisterExtensionAs, &Ext));
    EXPECT_EQ(Ext, nullptr);
    EXPECT_EQ(Call<const WCHAR_T*>(I(LangExt), sGetMethodName, 0L, 0L), nullptr);
}

TEST_F(V8Entries, NumbersOutOfRangeAreHarmless) {
    for (long N : {-1L, 3L, 1000L}) {
        EXPECT_EQ(Call<const WCHAR_T*>(I(LangExt), sGetMethodName, N, 0L), nullptr);
        EXPECT_EQ(Call<long>(I(LangExt), sGetNParams, N), 0);
        EXPECT_FALSE(Call<bool>(I(LangExt), sHasRetVal, N));
        EXPECT_EQ(Call<const WCHAR_T*>(I(LangExt), sGetPropName, N, 0L), nullptr);
        EXPECT_FALSE(Call<bool>(I(LangExt), sIsPropReadable, N));
        EXPECT_FALSE(Call<bool>(I(LangExt), sIsPropWritable, N));
        V8Variant V{};
        EXPECT_FALSE(Call<bool>(I(LangExt), sGetPropVal, N, &V));
        EXPECT_FALSE(Call<bool>(I(LangExt), sGetParamDefValue, N, 0L, &V));
        EXPECT_FALSE(CallAsFunc(N, &V, nullptr, 0));
        EXPECT_FALSE(Call<bool>(I(LangExt), sCallAsProc, N, static_cast<V8Variant*>(nullptr), 0L));
    }
    EXPECT_EQ(Obj().Calls, 0);
    EXPECT_TRUE(Conn.Errors.empty());
}

TEST_F(V8Entries, CallAsFuncWritesResultAndOutputParameters) {
    V8Variant Params[2] = {WStr(u"чек"), {}};
    ASSERT_TRUE(V8SetWString(MM.Host(), &Params[1], u"previous host text"));
    V8Variant Ret{};
    ASSERT_TRUE(CallAsFunc(FindMethod(u"Echo"), &Ret, Params, 2));
    EXPECT_EQ(HostText(Ret.pwstrVal), u"чек");
    EXPECT_EQ(HostText(Params[1].pwstrVal), u"out:чек");
    EXPECT_EQ(MM.Live.size(), 2u); // the previous text went back to the host

    // As a procedure there is no return value.
    ASSERT_TRUE(Call<bool>(I(LangExt), sCallAsProc, FindMethod(u"Пинг"),
                           static_cast<V8Variant*>(Params), 2L));
    EXPECT_EQ(Obj().Calls, 2);
    EXPECT_TRUE(Conn.Errors.empty());
}

TEST_F(V8Entries, EscapedErrorsGoToAddError) {
    V8Variant Ret{};
    V8Variant Param = I4(1);
    EXPECT_FALSE(CallAsFunc(FindMethod(u"Fail"), &Ret, &Param, 1));
    ASSERT_EQ(Conn.Errors.size(), 1u);
    EXPECT_EQ(Conn.Errors[0].Code, 1006);
    EXPECT_EQ(Conn.Errors[0].Source, u"Внешняя компонента");
    EXPECT_EQ(Conn.Errors[0].Descr, u"Сбой обработчика");
    EXPECT_EQ(static_cast<std::uint32_t>(Conn.Errors[0].SCode), 0x80004005u);

    // A call with fewer parameters than the method takes is refused before
    // its handler runs.
    const int Calls = Obj().Calls;
    V8Variant Short = WStr(u"x");
    EXPECT_FALSE(CallAsFunc(FindMethod(u"Echo"), &Ret, &Short, 1));
    EXPECT_FALSE(CallAsFunc(FindMethod(u"Echo"), &Ret, nullptr, 2));
    EXPECT_FALSE(Call<bool>(I(LangExt), sCallAsProc, FindMethod(u"Ping"), &Short, 1L));
    EXPECT_EQ(Obj().Calls, Calls);
    ASSERT_EQ(Conn.Errors.size(), 4u);
    EXPECT_EQ(Conn.Errors[1].Code, 1006);
    EXPECT_EQ(Conn.Errors[1].Descr,
              u"Метод Echo вызван с недостаточным числом параметров: передано 1, нужно 2");
    EXPECT_EQ(Conn.Errors[2].Descr,
              u"Метод Echo вызван с недостаточным числом параметров: передано 0, нужно 2");

    // Property handlers are trapped the same way.
    V8Variant V{};
    EXPECT_FALSE(Call<bool>(I(LangExt), sGetPropVal, 1L, &V));
    ASSERT_EQ(Conn.Errors.size(), 5u);
    EXPECT_EQ(Conn.Errors[4].Descr, u"Property not found: Broken");

    // The host copies the texts it is given; none of them stays allocated.
    EXPECT_TRUE(MM.Live.empty());
}

TEST_F(V8Entries, PropertiesReachTheirHandler) {
    V8Variant V = I4(42);
    ASSERT_TRUE(Call<bool>(I(LangExt), sSetPropVal, 0L, &V));
    EXPECT_EQ(Obj().Value, 42);
    V8Variant Out{};
    ASSERT_TRUE(Call<bool>(I(LangExt), sGetPropVal, 0L, &Out));
    EXPECT_EQ(Out.vt, VTYPE_I4);
    EXPECT_EQ(Out.lVal, 42);
}

TEST_F(V8Entries, TraceIsWrittenOnlyForAFlaggedDevice) {
    const korvtest::TTempFolder Dir("addin-trace-");
    ::setenv("KORVANDER_LOG_DIR", Dir.Path().c_str(), 1);
    SetLogName(u"AddInTrace");
    const std::u16string File = GetLogFileName(false);

    const char16_t* Flagged = u"0F8FAD5B-D9CB-469F-A165-70867728950E";
    const char16_t* Unflagged = u"11111111-2222-3333-4444-555555555555";
    SetDeviceLogFlag(Flagged, true);
    SetDeviceLogFlag(Unflagged, false);

    V8Variant Ret{};
    V8Variant Params[2] = {WStr(Unflagged), I4(7)};
    ASSERT_TRUE(CallAsFunc(FindMethod(u"Echo"), &Ret, Params, 2));
    V8Variant NotAnId[2] = {WStr(u"COM1"), I4(7)};
    ASSERT_TRUE(CallAsFunc(FindMethod(u"Echo"), &Ret, NotAnId, 2));
    EXPECT_EQ(ReadFile(File), "");

    Params[0] = WStr(Flagged);
    Params[1] = I4(7);
    ASSERT_TRUE(CallAsFunc(FindMethod(u"Echo"), &Ret, Params, 2));
    const std::string Id = U16ToUtf8(Flagged);
    const std::string Log = ReadFile(File);
    EXPECT_NE(Log.find("DEBUG\t> Echo: \tParams: [" + Id + "; 7]\r\n"), std::string::npos) << Log;
    EXPECT_NE(Log.find("DEBUG\t< Echo: \tResult=" + Id + "; Params: [" + Id + "; out:" + Id + "]"),
              std::string::npos)
        << Log;

    // A value the trace cannot render is traced by its type name: the call
    // goes on, its log on or off.
    V8Variant Odd[2] = {WStr(Flagged), {}};
    Odd[1].vt = VTYPE_TM;
    Odd[1].tmVal.tm_mon = 13; // no such month
    ASSERT_TRUE(CallAsFunc(FindMethod(u"Echo"), &Ret, Odd, 2));
    EXPECT_NE(ReadFile(File).find("DEBUG\t> Echo: \tParams: [" + Id + "; VTYPE_TM]\r\n"),
              std::string::npos)
        << ReadFile(File);
    for (int Type : {int(VTYPE_NULL), int(VTYPE_TM), VTYPE_I4 | VTYPE_BYREF, int(VTYPE_ERROR),
                     int(VTYPE_CLSID), 99}) {
        SCOPED_TRACE(Type);
        V8Variant First{}, Second = I4(0);
        First.vt = static_cast<std::uint16_t>(Type);
        V8Variant Args[2] = {First, Second};
        const int Calls = Obj().Calls;
        ASSERT_TRUE(CallAsFunc(FindMethod(u"Echo"), &Ret, Args, 2));
        EXPECT_EQ(Obj().Calls, Calls + 1);
        EXPECT_EQ(HostText(Args[1].pwstrVal), u"out:" + V8TypeName(&First));
    }
    EXPECT_TRUE(Conn.Errors.empty());

    // The trap's own entry, for a flagged device.
    V8Variant One = WStr(Flagged);
    EXPECT_FALSE(CallAsFunc(FindMethod(u"Fail"), &Ret, &One, 1));
    EXPECT_NE(ReadFile(File).find("ERROR\tEXCEPTION: \tСбой обработчика"), std::string::npos);

    // A procedure's trace has no result.
    Params[1] = I4(7);
    ASSERT_TRUE(Call<bool>(I(LangExt), sCallAsProc, FindMethod(u"Ping"),
                           static_cast<V8Variant*>(Params), 2L));
    EXPECT_NE(ReadFile(File).find("< Ping: \t; Params: ["), std::string::npos);

    const auto Size = ReadFile(File).size();
    Params[0] = WStr(Unflagged);
    ASSERT_TRUE(CallAsFunc(FindMethod(u"Echo"), &Ret, Params, 2));
    EXPECT_EQ(ReadFile(File).size(), Size);

    SetLogMode(0);
    RemoveDeviceLogFlag(Flagged);
    RemoveDeviceLogFlag(Unflagged);
    ::unsetenv("KORVANDER_LOG_DIR");
}
