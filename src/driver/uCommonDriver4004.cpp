#include "driver/uCommonDriver4004.h"

#include "common/uGuid.h"
#include "common/uResources.h"
#include "common/uText.h"
#include "driver/uDriverXml.h"
#include "ui/uLogViewer.h"
#include "ui/uViewer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace korv {

namespace {

TCommonDriver& Common(TCustomDriver& D) {
    return static_cast<TCommonDriver&>(D);
}

// Exported methods. Each reads its inputs, calls the operation and writes
// its outputs; the barrier (RunExported) reports errors through GetLastError
// with code 1001.

std::int32_t GetInterfaceRevisionH(TCommonDriver& D, TParams<0>) {
    return D.InterfaceRevision();
}

void GetDescriptionH(TCommonDriver& D, TParams<1> P) {
    D.SetOutText(P.At<0>(), D.GetDescription());
}

std::int32_t GetLastErrorH(TCommonDriver& D, TParams<1> P) {
    D.V8SetWString(P.At<0>(), D.LastResult().ErrorDescription);
    return D.LastResult().GetIntResult();
}

void ConnectEquipmentH(TCommonDriver& D, TParams<3> P) {
    pugi::xml_document Settings;
    ParseXmlInput(V8AsWideString(P.At<2>()), Settings);
    D.ConnectEquipment(Settings);
    try {
        D.SetOutText(P.At<0>(), D.DeviceID());
    } catch (...) {
        // A device the host cannot name could never be disconnected.
        std::u16string ID = D.DeviceID();
        D.DisconnectEquipment(ID);
        throw;
    }
}

void DisconnectEquipmentH(TCommonDriver& D, TParams<1> P) {
    D.DisconnectEquipment(V8AsWideString(P.At<0>()));
}

void EquipmentParametersH(TCommonDriver& D, TParams<2> P) {
    D.SetOutText(P.At<1>(), D.EquipmentParameters());
}

void SetParameterH(TCommonDriver& D, TParams<2> P) {
    D.PropertySet(V8AsWideString(P.At<0>()), P.At<1>());
}

/// The test's own trace (the settings may switch the log on for the test).
void TraceEquipmentTest(std::u16string_view ATitle, const V8Variant* R, V8Variant* P, long N) {
    std::u16string Text = u"Params: " + V8ParamsText(P, N);
    if (R)
        Text = u"Result=" + V8TraceText(R) + u"; " + Text;
    WriteLog(ATitle, Text, TLogLevel::Debug);
}

void EquipmentTestH(TCommonDriver& D, TParams<4> P) {
    pugi::xml_document Settings;
    ParseXmlInput(V8AsWideString(P.At<1>()), Settings);
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
            TraceEquipmentTest(u"> EquipmentTest", nullptr, P.At<0>(), 4);
            break;
        }
    }
    std::u16string Description, Demo;
    D.EquipmentTest(Settings, Description, Demo);
    D.SetOutText(P.At<2>(), Description);
    D.SetOutText(P.At<3>(), Demo);
}

/// EquipmentTest also shows its error as the device's description, and
/// traces its end.
constexpr TBarrierHooks KBarrierEquipmentTest{
    .Failed = [](TCustomDriver& D, V8Variant* P,
                 const std::u16string& AMessage) { D.V8SetWString(&P[2], AMessage); },
    .Leave = [](TCustomDriver&, V8Variant* R, V8Variant* P,
                long N) { TraceEquipmentTest(u"< EquipmentTest", R, P, N); },
};

void GetAdditionalActionsH(TCommonDriver& D, TParams<1> P) {
    D.SetOutText(P.At<0>(), D.GetAdditionalActions());
}

void DoAdditionalActionH(TCommonDriver& D, TParams<1> P) {
    D.DoAdditionalAction(V8AsWideString(P.At<0>()));
}

void EquipmentAutoSetupH(TCommonDriver& D, TParams<5> P) {
    // Nothing to set up automatically: the settings come back as they were given.
    D.SetOutText(P.At<2>(), V8AsWideString(P.At<1>()));
}

// Taken without effect: the driver has no use for what these tell it.
void SetApplicationInformationH(TCommonDriver&, TParams<1>) {}
void SetLocalizationH(TCommonDriver&, TParams<2>) {}

void GetLocalizationPatternH(TCommonDriver& D, TParams<1> P) {
    pugi::xml_document Empty;
    D.SetOutText(P.At<0>(), XmlText(Empty));
}

constexpr const TBarrierHooks& Trapped = KBarrierCommon;

const TExportMethod KMethods[] = {
    Export<GetInterfaceRevisionH>(u"GetInterfaceRevision", u"ПолучитьРевизиюИнтерфейса",
                                  KBarrierQuery),
    Export<GetDescriptionH>(u"GetDescription", u"ПолучитьОписание", Trapped),
    Export<GetLastErrorH>(u"GetLastError", u"ПолучитьОшибку", KBarrierQuery),
    Export<ConnectEquipmentH>(u"ConnectEquipment", u"ПодключитьОборудование", Trapped),
    Export<DisconnectEquipmentH>(u"DisconnectEquipment", u"ОтключитьОборудование", Trapped),
    Export<EquipmentParametersH>(u"EquipmentParameters", u"ПараметрыОборудования", Trapped),
    Export<SetParameterH>(u"SetParameter", u"УстановитьПараметр", Trapped),
    Export<EquipmentTestH>(u"EquipmentTest", u"ТестированиеОборудования", KBarrierEquipmentTest),
    Export<GetAdditionalActionsH>(u"GetAdditionalActions", u"ПолучитьДополнительныеДействия",
                                  Trapped),
    Export<DoAdditionalActionH>(u"DoAdditionalAction", u"ВыполнитьДополнительноеДействие", Trapped),
    Export<EquipmentAutoSetupH>(u"EquipmentAutoSetup", u"АвтонастройкаОборудования", Trapped),
    Export<SetApplicationInformationH>(u"SetApplicationInformation",
                                       u"УстановитьИнформациюПриложения", Trapped),
    Export<GetLocalizationPatternH>(u"GetLocalizationPattern", u"ПолучитьШаблонЛокализации",
                                    Trapped),
    Export<SetLocalizationH>(u"SetLocalization", u"УстановитьЛокализацию", Trapped),
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
    ADriverInfo.DriverVersion = LibraryFileVersion();
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
    ShowLogViewer(GetLogFileName(true), GetLogFileName(false));
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
