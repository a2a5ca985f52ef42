// The registered driver class as the host sees it: its method and property
// lists, the common methods, and the fiscal methods without a device.

#include "DriverTestHost.h"

#include "common/Common.Log.h"
#include "common/uText.h"
#include "driver/uCommonDriver4004.h"
#include "driver/uDriver.h"
#include "driver/uRegisterDrivers.h"

#include <pugixml.hpp>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace korv;
using namespace korvtest;

namespace {

class DriverSurface : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("KORVANDER_LOG_DIR", TestLogFolder().string().c_str(), 1);
        if (!ClassRegistry().Find(u"Korvander"))
            RegisterDrivers();
    }

    void SetUp() override {
        Reg = ClassRegistry().Find(u"Korvander");
        ASSERT_NE(Reg, nullptr);
        Obj = Reg->UserClass();
        Obj->ClassReg = Reg;
        Obj->V8MM = Mem.Host();
        SetLogMode(0);
    }

    void TearDown() override {
        SetLogMode(0);
        Obj.reset();
        EXPECT_TRUE(Mem.Live.empty()) << "host memory left allocated";
    }

    bool Call(std::u16string_view AName, THostCall& C) {
        long N = Reg->FindMethod(AName);
        EXPECT_GE(N, 0);
        if (N < 0)
            return false;
        EXPECT_TRUE(Reg->Method(N)->Call(*Obj, &C.Ret, C.Params.data(), C.Count()));
        return C.Ret.vt == VTYPE_BOOL && C.Ret.bVal;
    }

    std::pair<int, std::u16string> LastError() {
        THostCall C(Mem, 1);
        Call(u"GetLastError", C);
        EXPECT_EQ(C.Ret.vt, VTYPE_I4);
        return {C.Ret.lVal, C.Text(0)};
    }

    static pugi::xml_document& Parse(const std::u16string& AText, pugi::xml_document& ADoc) {
        EXPECT_TRUE(ADoc.load_string(U16ToUtf8(AText).c_str()));
        return ADoc;
    }

    TDriver& Driver() { return dynamic_cast<TDriver&>(*Obj); }

    THostMemory Mem;
    TClassReg* Reg = nullptr;
    std::unique_ptr<TV8UserObject> Obj;
};

struct TMethodLine {
    std::u16string Name;
    std::u16string NameLoc;
    int Params = 0;
};

/// The driver's methods as the host lists them (tests/support/methods.txt).
const std::vector<TMethodLine>& ExpectedMethods() {
    static const std::vector<TMethodLine> Lines = [] {
        std::vector<TMethodLine> R;
        std::ifstream In(KORVANDER_TEST_SUPPORT_DIR "/methods.txt");
        std::string Line;
        while (std::getline(In, Line)) {
            if (Line.empty() || Line[0] == '#')
                continue;
            std::istringstream Words(Line);
            int Number = 0;
            std::string Name, NameLoc, Kind;
            TMethodLine M;
            Words >> Number >> Name >> NameLoc >> M.Params >> Kind;
            EXPECT_EQ(Number, static_cast<int>(R.size())) << Line;
            EXPECT_EQ(Kind, "function") << Line;
            M.Name = Utf8ToU16(Name);
            M.NameLoc = Utf8ToU16(NameLoc);
            R.push_back(M);
        }
        return R;
    }();
    return Lines;
}

TEST_F(DriverSurface, RegistersThirtySevenFunctionsInOrderAndOneProperty) {
    const auto& Expected = ExpectedMethods();
    ASSERT_EQ(Expected.size(), 37u);
    ASSERT_EQ(Reg->MethCount(), 37);
    for (int I = 0; I < 37; ++I) {
        SCOPED_TRACE(I);
        const TMethReg* M = Reg->Method(I);
        EXPECT_EQ(M->MethName, Expected[I].Name);
        EXPECT_EQ(M->MethNameLoc, Expected[I].NameLoc);
        EXPECT_EQ(M->ParamCount, Expected[I].Params);
        EXPECT_TRUE(M->IsFunction);
        EXPECT_EQ(M->DefParams.ValueCount(), 0);
    }
    ASSERT_EQ(Reg->PropCount(), 1);
    EXPECT_EQ(Reg->Prop(0)->PropName, u"LogEnabled");
    EXPECT_EQ(Reg->Prop(0)->PropNameLoc, u"ЛогВключен");
    EXPECT_TRUE(Reg->Prop(0)->IsReadable);
    EXPECT_TRUE(Reg->Prop(0)->IsWritable);
    EXPECT_EQ(Reg->RegisterExtensionAs, u"Korvander");

    // Both names find the driver's own revision entry, never the shadowed one.
    EXPECT_EQ(Reg->FindMethod(u"GetInterfaceRevision"), 0);
    EXPECT_EQ(Reg->FindMethod(u"ПолучитьРевизиюИнтерфейса"), 0);
    THostCall C(Mem, 0);
    Call(u"GetInterfaceRevision", C);
    EXPECT_EQ(C.Ret.vt, VTYPE_I4);
    EXPECT_EQ(C.Ret.lVal, 4004);
}

TEST_F(DriverSurface, GetLastErrorReportsTheLastCallOnly) {
    {
        THostCall C(Mem, 2);
        C.Str(0, u"PortNumber").Int(1, 5);
        EXPECT_FALSE(Call(u"SetParameter", C));
    }
    auto [Code, Text] = LastError();
    EXPECT_EQ(Code, 1001);
    EXPECT_EQ(Text, u"Property not found: PortNumber");
    // Reading the error does not change it.
    EXPECT_EQ(LastError().first, 1001);
    {
        THostCall C(Mem, 1);
        EXPECT_TRUE(Call(u"SetApplicationInformation", C));
    }
    auto [Code2, Text2] = LastError();
    EXPECT_EQ(Code2, 0);
    EXPECT_EQ(Text2, u"");
}

TEST_F(DriverSurface, DescriptionCarriesTheAttributesInTheirOrder) {
    {
        THostCall C(Mem, 2);
        C.Str(0, u"LogEnabled").Bool(1, true);
        EXPECT_TRUE(Call(u"SetParameter", C));
    }
    THostCall C(Mem, 1);
    ASSERT_TRUE(Call(u"GetDescription", C));
    std::u16string Text = C.Text(0);
    EXPECT_EQ(Text.rfind(u"<?xml version=\"1.0\"?>", 0), 0u);
    pugi::xml_document Doc;
    pugi::xml_node Root = Parse(Text, Doc).document_element();
    EXPECT_STREQ(Root.name(), "DriverDescription");
    std::vector<std::string> Names;
    for (pugi::xml_attribute A : Root.attributes())
        Names.push_back(A.name());
    EXPECT_EQ(Names, (std::vector<std::string>{"Name", "Description", "EquipmentType",
                                               "IntegrationComponent", "MainDriverInstalled",
                                               "DriverVersion", "IntegrationComponentVersion",
                                               "DownloadURL", "LogIsEnabled", "LogPath"}));
    EXPECT_STREQ(Root.attribute("Name").value(), "Драйвер ККТ Зарник");
    EXPECT_STREQ(Root.attribute("Description").value(),
                 "Драйвер ККТ Зарник 1С:Совместимо для 1С:БПО NativeAPI");
    EXPECT_STREQ(Root.attribute("EquipmentType").value(), "ККТ");
    EXPECT_STREQ(Root.attribute("IntegrationComponent").value(), "false");
    EXPECT_STREQ(Root.attribute("MainDriverInstalled").value(), "false");
    EXPECT_STREQ(Root.attribute("DriverVersion").value(),
                 Root.attribute("IntegrationComponentVersion").value());
    EXPECT_EQ(std::count(Root.attribute("DriverVersion").value(),
                         Root.attribute("DriverVersion").value() +
                             std::strlen(Root.attribute("DriverVersion").value()),
                         '.'),
              3);
    EXPECT_STREQ(Root.attribute("DownloadURL").value(), "https://velmora.example/korvander");
    EXPECT_STREQ(Root.attribute("LogIsEnabled").value(), "true");
    EXPECT_EQ(Utf8ToU16(Root.attribute("LogPath").value()), GetLogFileName(true));
    EXPECT_EQ(std::string(Root.attribute("LogPath").value()).back(), '/');
}

TEST_F(DriverSurface, LogSwitchReportsTheSettingNotTheModeOfTheCall) {
    auto Described = [&] {
        THostCall C(Mem, 1);
        EXPECT_TRUE(Call(u"GetDescription", C));
        pugi::xml_document Doc;
        return std::string(
            Parse(C.Text(0), Doc).document_element().attribute("LogIsEnabled").value());
    };
    auto Read = [&] {
        V8Variant V{};
        EXPECT_TRUE(Reg->Prop(0)->PropGetSet(*Obj, u"LogEnabled", &V, true));
        return V.vt == VTYPE_BOOL && V.bVal;
    };
    auto Set = [&](bool AValue) {
        THostCall C(Mem, 2);
        C.Str(0, u"LogEnabled").Bool(1, AValue);
        EXPECT_TRUE(Call(u"SetParameter", C));
    };
    // Every traced host call runs in the "undetermined" mode 4; the switch
    // must still read as configured.
    SetLogMode(4);
    EXPECT_EQ(Described(), "false");
    EXPECT_FALSE(Read());
    Set(true);
    SetLogMode(4);
    EXPECT_EQ(Described(), "true");
    EXPECT_TRUE(Read());
    SetLogMode(0); // a call for a device whose log is off
    EXPECT_EQ(Described(), "true");
    Set(false);
    SetLogMode(4);
    EXPECT_EQ(Described(), "false");
    EXPECT_FALSE(Read());
}

TEST_F(DriverSurface, DescriptionShowsALogThatCannotBeWritten) {
    auto LogState = [&] {
        THostCall C(Mem, 1);
        EXPECT_TRUE(Call(u"GetDescription", C));
        pugi::xml_document Doc;
        return std::string(Parse(C.Text(0), Doc).document_element().attribute("LogState").value());
    };
    EXPECT_EQ(LogState(), "");
    // A folder below a regular file can never be made, not even by root.
    const std::filesystem::path Blocker = TestLogFolder() / "not-a-folder";
    std::ofstream(Blocker).put('x');
    setenv("KORVANDER_LOG_DIR", (Blocker / "log").string().c_str(), 1);
    SetLogMode(3);
    WriteLog(u"Test", u"a line that cannot be written", TLogLevel::Info);
    SetLogMode(0);
    const std::string State = LogState();
    setenv("KORVANDER_LOG_DIR", TestLogFolder().string().c_str(), 1);
    EXPECT_NE(State.find("not-a-folder"), std::string::npos) << State;
    // Once the folder works again the description is as usual.
    EXPECT_EQ(LogState(), "");
}

TEST_F(DriverSurface, SettingsFormComesFromTheCompiledResource) {
    THostCall C(Mem, 2);
    ASSERT_TRUE(Call(u"EquipmentParameters", C));
    pugi::xml_document Doc;
    pugi::xml_node Root = Parse(C.Text(1), Doc).document_element();
    EXPECT_STREQ(Root.name(), "Settings");
    pugi::xml_node First = Root.select_node("//Parameter").node();
    EXPECT_STREQ(First.attribute("Name").value(), "PortNumber");
    EXPECT_STREQ(First.attribute("Caption").value(), "Порт");
    pugi::xpath_node_set Items = First.select_nodes("ChoiceList/Item");
    ASSERT_EQ(Items.size(), 129u);
    EXPECT_STREQ(Items[0].node().attribute("Value").value(), "9999");
    EXPECT_STREQ(Items[0].node().text().get(), "TCP/IP");
    EXPECT_STREQ(Items[128].node().attribute("Value").value(), "128");
    EXPECT_STREQ(Items[128].node().text().get(), "COM128");

    // Every setting the device instance accepts is on the form, and back.
    std::vector<std::string> OnForm;
    for (pugi::xpath_node N : Root.select_nodes("//Parameter"))
        OnForm.push_back(N.node().attribute("Name").value());
    auto Props = TDeviceDriver::Properties();
    ASSERT_EQ(OnForm.size(), Props.size());
    for (const auto& P : Props)
        EXPECT_NE(std::find(OnForm.begin(), OnForm.end(), U16ToUtf8(P.Name)), OnForm.end())
            << U16ToUtf8(P.Name);
    EXPECT_STREQ(Root.select_node("//Parameter[@Name='ConnectPwd']")
                     .node()
                     .attribute("DefaultValue")
                     .value(),
                 "30");
}

TEST_F(DriverSurface, LogEnabledIsReachedByEitherNameInAnyCase) {
    auto Set = [&](std::u16string_view AName, bool AValue) {
        THostCall C(Mem, 2);
        C.Str(0, AName).Bool(1, AValue);
        return Call(u"SetParameter", C);
    };
    EXPECT_TRUE(Set(u"ЛогВключен", true));
    EXPECT_EQ(GetLogMode(), 3);
    EXPECT_TRUE(Set(u"logenabled", false));
    EXPECT_EQ(GetLogMode(), 0);
    EXPECT_TRUE(Set(u"LOGENABLED", true));
    EXPECT_EQ(GetLogMode(), 3);

    // The host's own property entry points read and write the same switch.
    V8Variant V{};
    ASSERT_TRUE(Reg->Prop(0)->PropGetSet(*Obj, u"LogEnabled", &V, true));
    EXPECT_EQ(V.vt, VTYPE_BOOL);
    EXPECT_TRUE(V.bVal);
    // Text values read as numbers: "1" is true, "true" is not.
    V8SetWString(Mem.Host(), &V, u"true");
    ASSERT_TRUE(Reg->Prop(0)->PropGetSet(*Obj, u"LogEnabled", &V, false));
    EXPECT_EQ(GetLogMode(), 0);
    V8SetWString(Mem.Host(), &V, u"1");
    ASSERT_TRUE(Reg->Prop(0)->PropGetSet(*Obj, u"LogEnabled", &V, false));
    EXPECT_EQ(GetLogMode(), 3);
    V8ClearVar(Mem.Host(), &V);
}

TEST_F(DriverSurface, UnknownPropertyRaisesToTheHostEntryPoint) {
    V8Variant V{};
    try {
        Reg->Prop(0)->PropGetSet(*Obj, u"Nope", &V, true);
        FAIL() << "no error";
    } catch (const std::exception& E) {
        EXPECT_EQ(ExceptionMessage(E), u"Property not found: Nope");
    }
}

TEST_F(DriverSurface, AdditionalActionsAreListedAndFoundCaseSensitively) {
    THostCall C(Mem, 1);
    ASSERT_TRUE(Call(u"GetAdditionalActions", C));
    pugi::xml_document Doc;
    pugi::xml_node Root = Parse(C.Text(0), Doc).document_element();
    EXPECT_STREQ(Root.name(), "Actions");
    std::vector<std::pair<std::string, std::string>> Actions;
    for (pugi::xml_node A : Root.children("Action"))
        Actions.emplace_back(A.attribute("Name").value(), A.attribute("Caption").value());
    EXPECT_EQ(Actions, (std::vector<std::pair<std::string, std::string>>{
                           {"ViewLog", "Просмотр лога"}, {"ShowHelp", "Справка"}}));

    THostCall Lower(Mem, 1);
    Lower.Str(0, u"showhelp");
    EXPECT_FALSE(Call(u"DoAdditionalAction", Lower));
    EXPECT_EQ(LastError(), std::make_pair(1001, std::u16string(u"Action not found")));
}

TEST_F(DriverSurface, HelpWithoutADesktopIsWrittenAndNamed) {
    const char* Display = std::getenv("DISPLAY");
    const char* Wayland = std::getenv("WAYLAND_DISPLAY");
    std::string SavedDisplay = Display ? Display : "", SavedWayland = Wayland ? Wayland : "";
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::filesystem::remove(std::filesystem::path(HelpFileName()));

    THostCall C(Mem, 1);
    C.Str(0, u"ShowHelp");
    EXPECT_FALSE(Call(u"DoAdditionalAction", C));
    auto [Code, Text] = LastError();
    EXPECT_EQ(Code, 1001);
    EXPECT_NE(Text.find(HelpFileName()), std::u16string::npos) << U16ToUtf8(Text);
    std::ifstream In{std::filesystem::path(HelpFileName())};
    std::stringstream Page;
    Page << In.rdbuf();
    EXPECT_NE(Page.str().find("KORVANDER_LOG_DIR"), std::string::npos);
    EXPECT_NE(Page.str().find("kkt-emulator"), std::string::npos);

    if (!SavedDisplay.empty())
        setenv("DISPLAY", SavedDisplay.c_str(), 1);
    if (!SavedWayland.empty())
        setenv("WAYLAND_DISPLAY", SavedWayland.c_str(), 1);
}

TEST_F(DriverSurface, SmallCommonMethods) {
    THostCall Pattern(Mem, 1);
    ASSERT_TRUE(Call(u"GetLocalizationPattern", Pattern));
    EXPECT_EQ(Pattern.Text(0), u"<?xml version=\"1.0\"?>");

    THostCall Auto(Mem, 5);
    Auto.Str(1, u"<Settings/>");
    ASSERT_TRUE(Call(u"EquipmentAutoSetup", Auto));
    EXPECT_EQ(Auto.Text(2), u"<Settings/>");

    THostCall Loc(Mem, 2);
    EXPECT_TRUE(Call(u"SetLocalization", Loc));

    // A result the host gives no memory for is a failure, not a silent success.
    THostCall Refused(Mem, 1);
    Mem.Refuse = true;
    EXPECT_FALSE(Call(u"GetDescription", Refused));
    Mem.Refuse = false;
    EXPECT_EQ(LastError().first, 1001);

    // A host that passes fewer parameters than a method takes is refused
    // before the method runs (the host's trap reports it); no outcome changes.
    THostCall Short(Mem, 0);
    const long N = Reg->FindMethod(u"GetDescription");
    EXPECT_THROW(Reg->Method(N)->Call(*Obj, &Short.Ret, Short.Params.data(), Short.Count()),
                 std::invalid_argument);
    EXPECT_EQ(Short.Ret.vt, VTYPE_EMPTY);
    EXPECT_EQ(LastError().first, 1001);
}

TEST_F(DriverSurface, FiscalMethodsWithoutADeviceFailAndLeaveOutputsAlone) {
    const std::u16string Unknown = u"6F9619FF-8B86-D011-B42D-00C04FC964FF";
    // The fiscal methods follow the driver's own revision entry: the 22
    // before the common methods.
    const auto& Methods = ExpectedMethods();
    ASSERT_GE(Methods.size(), 23u);
    for (std::size_t K = 1; K <= 22; ++K) {
        const TMethodLine& F = Methods[K];
        SCOPED_TRACE(U16ToUtf8(F.Name));
        for (const std::u16string& ID : {std::u16string(), std::u16string(u"  "), Unknown}) {
            THostCall C(Mem, F.Params);
            C.Str(0, ID);
            for (int I = 1; I < F.Params; ++I)
                C.Int(I, 77);
            EXPECT_FALSE(Call(F.Name, C));
            auto [Code, Text] = LastError();
            EXPECT_EQ(Code, 1001);
            if (ID == Unknown)
                EXPECT_EQ(Text, u"Экземпляр устройства c идентификатором " + Unknown +
                                    u" не существует или уже был отключен");
            else
                EXPECT_EQ(Text, u"Не передан идентификатор устройства");
            for (int I = 1; I < F.Params; ++I) {
                EXPECT_EQ(C.Params[I].vt, VTYPE_I4);
                EXPECT_EQ(C.Params[I].lVal, 77);
            }
        }
    }
}

TEST_F(DriverSurface, ConnectionFailsCleanlyAndLeavesNoInstance) {
    const std::u16string Settings =
        u"<Parameters><Parameter Name=\"PortNumber\" Value=\"9999\"/>"
        u"<Parameter Name=\"Device\" Value=\"x\"/><Parameter Name=\"Unknown\" Value=\"1\"/>"
        u"</Parameters>";
    THostCall C(Mem, 3);
    C.Str(2, Settings);
    EXPECT_FALSE(Call(u"ConnectEquipment", C));
    EXPECT_EQ(C.Params[0].vt, VTYPE_EMPTY);
    EXPECT_NE(LastError().second, u"");
    EXPECT_EQ(Driver().InstanceCount(), 0u);
    EXPECT_EQ(Driver().Instance(), nullptr);

    THostCall T(Mem, 4);
    T.Str(1, Settings);
    EXPECT_FALSE(Call(u"EquipmentTest", T));
    auto [Code, Text] = LastError();
    EXPECT_EQ(Code, 1001);
    EXPECT_EQ(T.Text(2), Text);
    EXPECT_EQ(Driver().InstanceCount(), 0u);
    EXPECT_EQ(Driver().DeviceID(), u"");

    // A settings value that does not fit its property is reported, not guessed.
    THostCall Bad(Mem, 3);
    Bad.Str(2, u"<Parameters><Parameter Name=\"IPPort\" Value=\"seventy\"/></Parameters>");
    EXPECT_FALSE(Call(u"ConnectEquipment", Bad));
    EXPECT_NE(LastError().second.find(u"seventy"), std::u16string::npos);

    THostCall Broken(Mem, 3);
    Broken.Str(2, u"<Parameters><Parameter");
    EXPECT_FALSE(Call(u"ConnectEquipment", Broken));
    EXPECT_EQ(LastError().first, 1001);
}

TEST_F(DriverSurface, LogViewerNamesTheFileWhenItCannotShowIt) {
    const char* Display = std::getenv("DISPLAY");
    std::string Saved = Display ? Display : "";
    unsetenv("DISPLAY");
    const char* Wayland = std::getenv("WAYLAND_DISPLAY");
    std::string SavedWayland = Wayland ? Wayland : "";
    unsetenv("WAYLAND_DISPLAY");
    THostCall C(Mem, 1);
    C.Str(0, u"ViewLog");
    EXPECT_FALSE(Call(u"DoAdditionalAction", C));
    EXPECT_NE(LastError().second.find(GetLogFileName(false)), std::u16string::npos);
    if (!Saved.empty())
        setenv("DISPLAY", Saved.c_str(), 1);
    if (!SavedWayland.empty())
        setenv("WAYLAND_DISPLAY", SavedWayland.c_str(), 1);
}

TEST_F(DriverSurface, EquipmentTestWithItsLogOnIsTraced) {
    std::filesystem::remove(std::filesystem::path(GetLogFileName(false)));
    THostCall T(Mem, 4);
    T.Str(1, u"<Parameters><parameter Name=\"logenabled\" Value=\"true\"/></Parameters>");
    EXPECT_FALSE(Call(u"EquipmentTest", T));
    std::ifstream In{std::filesystem::path(GetLogFileName(false))};
    std::stringstream Log;
    Log << In.rdbuf();
    EXPECT_NE(Log.str().find("> EquipmentTest"), std::string::npos) << Log.str();
    EXPECT_NE(Log.str().find("< EquipmentTest"), std::string::npos) << Log.str();
    EXPECT_NE(Log.str().find("Result=False"), std::string::npos) << Log.str();
}

TEST_F(DriverSurface, DisconnectingAnUnknownDeviceSucceeds) {
    THostCall C(Mem, 1);
    C.Str(0, u"6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_TRUE(Call(u"DisconnectEquipment", C));
}

} // namespace
