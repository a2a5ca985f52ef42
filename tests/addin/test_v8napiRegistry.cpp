// The class registry, default parameter values and the per-device log switch.

#include "support/FakeHost.h"

#include <gtest/gtest.h>

using namespace korv;

namespace {

bool Nop(TV8UserObject&, V8Variant*, V8Variant*, long) {
    return true;
}

} // namespace

TEST(V8Registry, ClassNamesJoinInRegistrationOrder) {
    TClassRegList List;
    EXPECT_EQ(List.ClassNames, u"");
    TClassReg& A = List.RegisterClass<TV8UserObject>(u"ExtA", u"A");
    List.RegisterClass<TV8UserObject>(u"ExtB", u"B");
    EXPECT_EQ(List.ClassNames, u"A|B");
    EXPECT_EQ(List.ClassCount(), 2);
    EXPECT_EQ(List.Find(u"A"), &A);
    EXPECT_EQ(A.RegisterExtensionAs, u"ExtA");
    EXPECT_EQ(List.Find(u"a"), nullptr);
    EXPECT_EQ(List.Find(u"A|B"), nullptr);
    // The virtual constructor builds an object of the class.
    EXPECT_NE(A.UserClass(), nullptr);
    EXPECT_EQ(A.MethCount(), 0);
    EXPECT_EQ(A.PropCount(), 0);
}

TEST(V8Registry, LookupTriesRussianThenEnglishExactly) {
    TClassRegList List;
    TClassReg& R = List.RegisterClass<TV8UserObject>(u"X", u"X");
    R.AddFunc(u"GetDescription", u"ПолучитьОписание", Nop, 1);
    R.AddProc(u"Open", u"Открыть", Nop, 0);
    // A later entry whose English name is an earlier Russian one.
    R.AddFunc(u"Открыть", u"Другой", Nop, 0);
    R.AddProp(u"LogEnabled", u"ЛогВключен", true, false, nullptr);

    EXPECT_EQ(R.FindMethod(u"ПолучитьОписание"), 0);
    EXPECT_EQ(R.FindMethod(u"GetDescription"), 0);
    EXPECT_EQ(R.FindMethod(u"getdescription"), -1);
    EXPECT_EQ(R.FindMethod(u"получитьописание"), -1);
    EXPECT_EQ(R.FindMethod(u"Открыть"), 1);
    EXPECT_EQ(R.FindMethod(u"Другой"), 2);
    EXPECT_EQ(R.FindMethod(u""), -1);
    EXPECT_EQ(R.FindProp(u"ЛогВключен"), 0);
    EXPECT_EQ(R.FindProp(u"logenabled"), -1);

    EXPECT_TRUE(R.Method(0)->IsFunction);
    EXPECT_FALSE(R.Method(1)->IsFunction);
    EXPECT_EQ(R.Method(0)->ParamCount, 1);
    EXPECT_EQ(R.Method(3), nullptr);
    EXPECT_EQ(R.Method(-1), nullptr);
    EXPECT_FALSE(R.Prop(0)->IsWritable);
    EXPECT_EQ(R.Prop(1), nullptr);
}

TEST(V8Registry, DefaultValuesKeepTheirOwnText) {
    TDefParamList L;
    {
        std::u16string Temp = u"Текст";
        L.AddWString(Temp, 2);
        Temp.assign(u"перезаписано");
    }
    EXPECT_EQ(L.TempParam->Num, 1);
    L.AddInt(5, 1);
    L.AddAString("ab", 3);
    EXPECT_EQ(L.ValueCount(), 3);
    const TDefParamValue* W = L.Find(1);
    ASSERT_NE(W, nullptr);
    EXPECT_EQ(W->Value.vt, VTYPE_PWSTR);
    EXPECT_EQ(std::u16string(W->Value.pwstrVal, W->Value.wstrLen), u"Текст");
    EXPECT_EQ(L.Find(0)->Value.lVal, 5);
    EXPECT_EQ(L.Find(2)->Value.strLen, 2u);
    EXPECT_EQ(L.Find(3), nullptr);
}

TEST(V8Registry, DeviceLogFlagsByExactDeviceID) {
    const std::u16string Id = u"0F8FAD5B-D9CB-469F-A165-70867728950E";
    EXPECT_FALSE(GetDeviceLogFlag(Id));
    SetDeviceLogFlag(Id, true);
    EXPECT_TRUE(GetDeviceLogFlag(Id));
    EXPECT_FALSE(GetDeviceLogFlag(u"0f8fad5b-d9cb-469f-a165-70867728950e"));
    SetDeviceLogFlag(Id, false);
    EXPECT_FALSE(GetDeviceLogFlag(Id));
    RemoveDeviceLogFlag(Id);
    EXPECT_EQ(DeviceLogFlags().count(Id), 0u);
}

TEST(V8Registry, DeviceIDShape) {
    EXPECT_TRUE(IsDeviceIDText(u"0F8FAD5B-D9CB-469F-A165-70867728950E"));
    EXPECT_TRUE(IsDeviceIDText(u"0f8fad5b-d9cb-469f-a165-70867728950e"));
    EXPECT_FALSE(IsDeviceIDText(u"{0F8FAD5B-D9CB-469F-A165-70867728950E}"));
    EXPECT_FALSE(IsDeviceIDText(u"0F8FAD5B-D9CB-469F-A165-70867728950"));
    EXPECT_FALSE(IsDeviceIDText(u"0F8FAD5BD-9CB-469F-A165-70867728950E"));
    EXPECT_FALSE(IsDeviceIDText(u"0F8FAD5B-D9CB-469F-A165-70867728950G"));
    EXPECT_FALSE(IsDeviceIDText(u"0F8FAD5B-D9CB-469F-A165-70867728950E "));
    EXPECT_FALSE(IsDeviceIDText(u"COM1"));
}

TEST(V8Registry, LoadAndUnloadAreCounted) {
    V8NapiLoad();
    V8NapiLoad();
    ClassRegistry().RegisterClass<TV8UserObject>(u"Counted", u"Counted");
    SetDeviceLogFlag(u"X", true);
    V8NapiUnload();
    EXPECT_NE(ClassRegistry().Find(u"Counted"), nullptr);
    V8NapiUnload();
    EXPECT_EQ(ClassRegistry().Find(u"Counted"), nullptr);
    EXPECT_EQ(ClassRegistry().ClassNames, u"");
    EXPECT_FALSE(GetDeviceLogFlag(u"X"));
    V8NapiUnload(); // an extra unload does nothing
}
