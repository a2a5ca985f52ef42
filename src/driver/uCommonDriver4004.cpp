#include "driver/uCommonDriver4004.h"

#include "common/uGuid.h"
#include "common/uResources.h"
#include "common/uText.h"
#include "driver/uDriverXml.h"
#include "ui/uViewer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace korv {

namespace {

#define KORV_STR2(...) #__VA_ARGS__
#define KORV_STR(...) KORV_STR2(__VA_ARGS__)

TCommonDriver& Common(TCustomDriver& D) {
    return static_cast<TCommonDriver&>(D);
}

// Exported methods. Each reads its inputs, calls the operation and writes
// its outputs; errors are reported through GetLastError with code 1001.

bool GetInterfaceRevisionH(TCustomDriver& D, V8Variant* R, V8Variant*, long) {
    if (R)
        D.V8SetInt(R, Common(D).InterfaceRevision());
    return true;
}

bool GetDescriptionH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return RunTrapped(D, R, [&] {
        V8Variant* Out = Param(P, N, 0);
        D.SetOutText(Out, Common(D).GetDescription());
    });
}

bool GetLastErrorH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    if (R)
        D.V8SetInt(R, D.LastResult().GetIntResult());
    if (P && N > 0)
        D.V8SetWString(&P[0], D.LastResult().ErrorDescription);
    return true;
}

bool ConnectEquipmentH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return RunTrapped(D, R, [&] {
        V8Variant* Out = Param(P, N, 0);
        pugi::xml_document Settings;
        ParseXmlInput(V8AsWideString(Param(P, N, 2)), Settings);
        Common(D).ConnectEquipment(Settings);
        try {
            D.SetOutText(Out, D.DeviceID());
        } catch (...) {
            // A device the host cannot name could never be disconnected.
            std::u16string ID = D.DeviceID();
            Common(D).DisconnectEquipment(ID);
            throw;
        }
    });
}

bool DisconnectEquipmentH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return RunTrapped(D, R, [&] { Common(D).DisconnectEquipment(V8AsWideString(Param(P, N, 0))); });
}

bool EquipmentParametersH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return RunTrapped(D, R, [&] {
        V8Variant* Out = Param(P, N, 1);
        D.SetOutText(Out, Common(D).EquipmentParameters());
    });
}

bool SetParameterH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return RunTrapped(D, R, [&] {
        std::u16string Name = V8AsWideString(Param(P, N, 0));
        D.PropertySet(Name, Param(P, N, 1));
    });
}

bool EquipmentTestH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    // The trace renders host values; one it cannot render must not fail the test.
    auto Trace = [&](std::u16string_view ATitle, bool AWithResult) {
        try {
            std::u16string Text = u"Params: " + V8ParamsText(P, N);
            if (AWithResult)
                Text = u"Result=" + (R ? V8ToText(R) : std::u16string()) + u"; " + Text;
            WriteLog(ATitle, Text, TLogLevel::Debug);
        } catch (const std::exception&) {
        }
    };
    auto TraceEnd = [&] { Trace(u"< EquipmentTest", true); };
    try {
        pugi::xml_document Settings;
        ParseXmlInput(V8AsWideString(Param(P, N, 1)), Settings);
        // The test's own settings may switch the log on for the test.
        for (pugi::xml_node Node : Settings.child("Parameters").children()) {
            if (!SameTextI(XmlToU16(Node.name()), u"Parameter") ||
                !SameTextI(XmlToU16(Node.attribute("Name").value()), u"LogEnabled"))
                continue;
            bool On = false;
            try {
                On = PropBool(
                    TextToPropValue(TPropType::Boolean, XmlToU16(Node.attribute("Value").value())));
            } catch (const EDriverError&) {
            }
            if (On) {
                SetLogMode(3);
                Trace(u"> EquipmentTest", false);
                break;
            }
        }
        V8Variant* OutDescription = Param(P, N, 2);
        V8Variant* OutDemo = Param(P, N, 3);
        std::u16string Description, Demo;
        Common(D).EquipmentTest(Settings, Description, Demo);
        D.SetOutText(OutDescription, Description);
        D.SetOutText(OutDemo, Demo);
        D.SetSuccess(R);
        TraceEnd();
    } catch (const std::exception& E) {
        D.HandleException(E, R, 1001);
        TraceEnd();
        if (P && N > 2)
            D.V8SetWString(&P[2], ExceptionMessage(E));
    } catch (...) {
        D.HandleUnknownException(R);
        TraceEnd();
    }
    return true;
}

bool GetAdditionalActionsH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return RunTrapped(D, R, [&] {
        V8Variant* Out = Param(P, N, 0);
        D.SetOutText(Out, Common(D).GetAdditionalActions());
    });
}

bool DoAdditionalActionH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return RunTrapped(D, R, [&] { Common(D).DoAdditionalAction(V8AsWideString(Param(P, N, 0))); });
}

bool EquipmentAutoSetupH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    // Nothing to set up automatically: the settings come back as they were given.
    return RunTrapped(D, R, [&] {
        std::u16string Settings = V8AsWideString(Param(P, N, 1));
        D.SetOutText(Param(P, N, 2), Settings);
    });
}

bool SetApplicationInformationH(TCustomDriver& D, V8Variant* R, V8Variant*, long) {
    D.SetSuccess(R);
    return true;
}

bool GetLocalizationPatternH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return RunTrapped(D, R, [&] {
        V8Variant* Out = Param(P, N, 0);
        pugi::xml_document Empty;
        D.SetOutText(Out, XmlText(Empty));
    });
}

bool SetLocalizationH(TCustomDriver& D, V8Variant* R, V8Variant*, long) {
    D.SetSuccess(R);
    return true;
}

const TExportMethod KMethods[] = {
    {u"GetInterfaceRevision", u"ПолучитьРевизиюИнтерфейса", 0, GetInterfaceRevisionH},
    {u"GetDescription", u"ПолучитьОписание", 1, GetDescriptionH},
    {u"GetLastError", u"ПолучитьОшибку", 1, GetLastErrorH},
    {u"ConnectEquipment", u"ПодключитьОборудование", 3, ConnectEquipmentH},
    {u"DisconnectEquipment", u"ОтключитьОборудование", 1, DisconnectEquipmentH},
    {u"EquipmentParameters", u"ПараметрыОборудования", 2, EquipmentParametersH},
    {u"SetParameter", u"УстановитьПараметр", 2, SetParameterH},
    {u"EquipmentTest", u"ТестированиеОборудования", 4, EquipmentTestH},
    {u"GetAdditionalActions", u"ПолучитьДополнительныеДействия", 1, GetAdditionalActionsH},
    {u"DoAdditionalAction", u"ВыполнитьДополнительноеДействие", 1, DoAdditionalActionH},
    {u"EquipmentAutoSetup", u"АвтонастройкаОборудования", 5, EquipmentAutoSetupH},
    {u"SetApplicationInformation", u"УстановитьИнформациюПриложения", 1,
     SetApplicationInformationH},
    {u"GetLocalizationPattern", u"ПолучитьШаблонЛокализации", 1, GetLocalizationPatternH},
    {u"SetLocalization", u"УстановитьЛокализацию", 2, SetLocalizationH},
};

const TPropDesc<TCustomDriver> KProps[] = {
    {u"LogEnabled", u"ЛогВключен", u"Вести лог", u"False", false, TPropType::Boolean,
     [](const TCustomDriver& D) -> TPropValue {
         return static_cast<const TCommonDriver&>(D).GetLogEnabled();
     },
     [](TCustomDriver& D, const TPropValue& V) { Common(D).SetLogEnabled(PropBool(V)); }},
};

const TAdditionalAction KActions[] = {
    {u"ViewLog", u"Просмотр лога", [](TCustomDriver& D) { Common(D).ViewLog(); }},
    {u"ShowHelp", u"Справка", [](TCustomDriver& D) { Common(D).ShowHelp(); }},
};

} // namespace

std::u16string EquipmentTypeText(TEquipmentType AType) {
    static const char16_t* const KTexts[] = {
        u"СканерШтрихкода",      u"СчитывательМагнитныхКарт", u"ФискальныйРегистратор",
        u"ПринтерЧеков",         u"ПринтерЭтикеток",          u"ДисплейПокупателя",
        u"ТерминалСбораДанных",  u"ЭквайринговыйТерминал",    u"ЭлектронныеВесы",
        u"ВесыСПечатьюЭтикеток", u"СчитывательRFID",          u"ККТ",
        u"Видеокамера",          u"ЭлектронныйЗамок",         u"НеизвестныйТипОборудования",
    };
    auto I = static_cast<std::size_t>(AType);
    if (I >= std::size(KTexts))
        throw EDriverError(u"Enum value unacceptable");
    return KTexts[I];
}

void TDriverInfo::Clear() {
    EquipmentType = TEquipmentType::etUnknown;
    IntegrationComponent = false;
    MainDriverInstalled = false;
    LogIsEnabled = false;
    DownloadURL.clear();
}

TDriverInfo& DriverInfo() {
    static TDriverInfo Info;
    return Info;
}

std::u16string LibraryVersion() {
    int V[4] = {0, 0, 0, 0};
    std::sscanf(KORV_STR(KORVANDER_VERSION_TUPLE), "%d,%d,%d,%d", &V[0], &V[1], &V[2], &V[3]);
    return IntToU16(V[0]) + u"." + IntToU16(V[1]) + u"." + IntToU16(V[2]) + u"." + IntToU16(V[3]);
}

std::u16string HelpFileName() {
    return GetLogFileName(true) + u"Korvander_help.html";
}

TCommonDriver::TCommonDriver() {
    UpdateDriverInfo(DriverInfo());
}

const TExportTable& TCommonDriver::ExportTable() {
    static const TExportTable Table{nullptr, KMethods, KProps, KActions};
    return Table;
}

void TCommonDriver::UpdateDriverInfo(TDriverInfo& ADriverInfo) {
    ADriverInfo.Clear();
    ADriverInfo.DownloadURL = KDownloadURL;
    ADriverInfo.DriverVersion = LibraryVersion();
    ADriverInfo.IntegrationComponentVersion = ADriverInfo.DriverVersion;
    ADriverInfo.LogIsEnabled = false;
}

void TCommonDriver::ConnectEquipment(const pugi::xml_document&) {
    FDeviceID = NewGuidText();
}

void TCommonDriver::DisconnectEquipment(const std::u16string&) {
    FDeviceID.clear();
}

void TCommonDriver::EquipmentTest(const pugi::xml_document& ASettings, std::u16string& ADescription,
                                  std::u16string&) {
    try {
        ConnectEquipment(ASettings);
        ADescription = DriverInfo().Description;
    } catch (const std::exception& E) {
        std::u16string Message = ExceptionMessage(E);
        DisconnectEquipment(FDeviceID);
        ADescription = Message;
        throw EDriverError(Message);
    }
    DisconnectEquipment(FDeviceID);
}

std::u16string TCommonDriver::EquipmentParameters() {
    pugi::xml_document Doc;
    if (auto Res = FindResource("Parameters")) {
        pugi::xml_parse_result Parsed = Doc.load_buffer(Res->data(), Res->size());
        if (!Parsed)
            throw EDriverError(Utf8ToU16(Parsed.description()));
        return XmlText(Doc);
    }
    // Without the compiled form: one page listing the exported properties.
    pugi::xml_node Page = Doc.append_child("Settings").append_child("Page");
    SetAttr(Page, "Caption", u"Параметры");
    ForEachExportTable(ClassExports(), [&](const TExportTable& T) {
        for (const auto& P : T.Props) {
            pugi::xml_node Node = Page.append_child("Parameter");
            SetAttr(Node, "Name", P.Name);
            SetAttr(Node, "Caption", P.Caption);
            SetAttr(Node, "TypeValue", PropTypeName(P.Type));
            SetAttr(Node, "DefaultValue", P.DefValue);
            SetAttr(Node, "ReadOnly", BoolText(P.ReadOnly));
        }
    });
    return XmlText(Doc);
}

std::u16string TCommonDriver::GetDescription() {
    const TDriverInfo& Info = DriverInfo();
    std::u16string LogPath = GetLogFileName(true);
    // A log that cannot be written never fails a call; its first trouble is
    // shown here instead, once, after the attributes the host knows.
    const std::u16string Trouble = LogTrouble();
    ClearLogTrouble();
    pugi::xml_document Doc;
    pugi::xml_node Root = Doc.append_child("DriverDescription");
    SetAttr(Root, "Name", Info.Name);
    SetAttr(Root, "Description", Info.Description);
    SetAttr(Root, "EquipmentType", EquipmentTypeText(Info.EquipmentType));
    SetAttr(Root, "IntegrationComponent", BoolText(Info.IntegrationComponent));
    SetAttr(Root, "MainDriverInstalled", BoolText(Info.MainDriverInstalled));
    SetAttr(Root, "DriverVersion", Info.DriverVersion);
    SetAttr(Root, "IntegrationComponentVersion", Info.IntegrationComponentVersion);
    SetAttr(Root, "DownloadURL", Info.DownloadURL);
    SetAttr(Root, "LogIsEnabled", BoolText(GetLogEnabled()));
    SetAttr(Root, "LogPath", LogPath);
    if (!Trouble.empty())
        SetAttr(Root, "LogState", Trouble);
    return XmlText(Doc);
}

std::u16string TCommonDriver::GetAdditionalActions() {
    pugi::xml_document Doc;
    pugi::xml_node Root = Doc.append_child("Actions");
    ForEachExportTable(ClassExports(), [&](const TExportTable& T) {
        for (const TAdditionalAction& A : T.Actions) {
            pugi::xml_node Node = Root.append_child("Action");
            SetAttr(Node, "Name", A.Name);
            SetAttr(Node, "Caption", A.Caption);
        }
    });
    return XmlText(Doc);
}

void TCommonDriver::DoAdditionalAction(std::u16string_view AName) {
    const TAdditionalAction* Found = nullptr;
    ForEachExportTable(ClassExports(), [&](const TExportTable& T) {
        for (const TAdditionalAction& A : T.Actions)
            if (!Found && A.Name == AName)
                Found = &A;
    });
    if (!Found)
        throw EDriverError(u"Action not found");
    Found->Run(*this);
}

void TCommonDriver::ViewLog() {
    std::u16string FileName = GetLogFileName(false);
    std::error_code Ec;
    if (!std::filesystem::exists(std::filesystem::path(FileName), Ec))
        throw EDriverError(u"Лог за сегодня ещё не записан (включите настройку «Вести лог»): " +
                           FileName);
    OpenInViewer(FileName);
}

void TCommonDriver::ShowHelp() {
    auto Page = FindResource("Help");
    if (!Page)
        throw EDriverError(u"Справка не найдена в библиотеке");
    std::u16string FileName = HelpFileName();
    {
        std::ofstream Out(std::filesystem::path(FileName), std::ios::binary | std::ios::trunc);
        Out.write(Page->data(), static_cast<std::streamsize>(Page->size()));
        Out.close();
        if (!Out)
            throw EDriverError(u"Не удалось записать файл справки " + FileName);
    }
    OpenInViewer(FileName);
}

bool TCommonDriver::GetLogEnabled() const {
    // The configured switch, not the log mode: during a host call the mode
    // is the call's own (4, "undetermined", or the device's flag).
    return FLogEnabled;
}

void TCommonDriver::SetLogEnabled(bool AValue) {
    FLogEnabled = AValue;
    SetLogMode(AValue ? 3 : 0);
}

} // namespace korv
