#include "driver/uDriver.h"

#include "common/Common.Log.h"
#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "device/uDeviceCommon.h"
#include "device/uDeviceLinks.h"
#include "driver/uDriverXml.h"

#include <limits>
#include <optional>

namespace korv {

namespace {

bool GetInterfaceRevisionH(TCustomDriver& D, V8Variant* R, V8Variant*, long) {
    if (R)
        D.V8SetInt(R, static_cast<TDriver&>(D).InterfaceRevision());
    return true;
}

const TExportMethod KMethods[] = {
    {u"GetInterfaceRevision", u"ПолучитьРевизиюИнтерфейса", 0, GetInterfaceRevisionH},
};

std::u16string_view TrimView(std::u16string_view S) {
    while (!S.empty() && S.front() <= u' ')
        S.remove_prefix(1);
    while (!S.empty() && S.back() <= u' ')
        S.remove_suffix(1);
    return S;
}

std::u16string Format(std::u16string_view APattern, std::u16string_view AArg) {
    std::u16string S(APattern);
    auto Pos = S.find(u"%s");
    if (Pos != std::u16string::npos)
        S.replace(Pos, 2, AArg);
    return S;
}

/// Operations whose register work is not part of this build.
[[noreturn]] void NotSupported() {
    throw EquException(1003, u"Операция не поддерживается этой сборкой драйвера");
}

// Register setting cells (table, row, field).
constexpr int KPrintModeTable = 17, KPrintModeRow = 1, KPrintModeField = 7;
constexpr int KReceiveAllKTField = 41;
constexpr int KAutoCutTable = 1, KAutoCutRow = 1, KAutoCutField = 7;
constexpr int KSerialTable = 18, KSerialRow = 1, KSerialField = 1;
constexpr int KTcpPortNumber = 9999;
constexpr int KConnectionSerial = 0, KConnectionTcp = 1;

} // namespace

TDriver::~TDriver() = default;

const TExportTable& TDriver::ExportTable() {
    static const TExportTable Table{&TEcrlDriver::ExportTable(), KMethods, {}, {}};
    return Table;
}

void TDriver::ApplySettings(const pugi::xml_document& ASettings, TDeviceDriver& AInstance) {
    auto Props = TDeviceDriver::Properties();
    for (pugi::xml_node Node : ASettings.child("Parameters").children()) {
        if (Node.type() != pugi::node_element || !SameTextI(XmlToU16(Node.name()), u"Parameter"))
            continue;
        std::u16string Name = XmlToU16(Node.attribute("Name").value());
        const TPropDesc<TDeviceDriver>* P = FindPropDesc(Props, Name);
        if (!P || P->ReadOnly)
            continue; // settings the device does not know are not an error
        SetInstanceProperty(Props, Name, XmlToU16(Node.attribute("Value").value()), AInstance);
    }
}

void TDriver::ConnectEquipment(const pugi::xml_document& ASettings) {
    TEcrlDriver::ConnectEquipment(ASettings); // a new DeviceID
    auto Instance = std::make_unique<TDeviceDriver>();
    FInstance = Instance.get();
    try {
        ApplySettings(ASettings, *Instance);
        SetLogMode(Instance->FLogEnabled ? 3 : 0);
        OpenDevice(*Instance);
    } catch (...) {
        // A failed connection leaves nothing registered.
        FInstance = nullptr;
        throw;
    }
    FInstanceList[FDeviceID] = std::move(Instance);
}

void TDriver::OpenDevice(TDeviceDriver& AInstance) {
    const bool Tcp = AInstance.FPortNumber == KTcpPortNumber;
    if (Tcp)
        AInstance.SetDevice(std::make_unique<TSocketDevice>());
    else
        AInstance.SetDevice(std::make_unique<TComDevice>());
    TDevice& Device = AInstance.GetDevice();
    try {
        Device.SetConnectPwd(
            ConnectPasswordBytes(static_cast<std::uint32_t>(AInstance.FConnectPwd)));
        int Rc = Tcp ? Device.Enable(U16ToUtf8(AInstance.FIPAddress), AInstance.FIPPort)
                     : Device.Enable(AInstance.FPortNumber, AInstance.FBaudRate);
        if (Rc != 0)
            throw EquException(Rc, u"Ошибка соединения с ККТ");
        Device.SetConnectionType(Tcp ? KConnectionTcp : KConnectionSerial);
        Device.SetFeedCount(AInstance.FFeedCount);
        Device.SetDisableCut(AInstance.FDisableCut);
        AInstance.FCutMarker = UpperCase(AInstance.FCutString);
        try {
            Device.SetFieldAsByte(KPrintModeTable, KPrintModeRow, KReceiveAllKTField,
                                  AInstance.FReceiveAllKT ? 2 : 0);
        } catch (const std::exception&) {
            // Older registers lack the cell; they take every code anyway.
        }
        Device.GetFieldAsByte(KPrintModeTable, KPrintModeRow, KPrintModeField,
                              AInstance.FInitPrintSetting);
        int AutoCut = 0;
        Device.GetFieldAsByte(KAutoCutTable, KAutoCutRow, KAutoCutField, AutoCut);
        UpdateLineLength();
        PrepareDevice();
        TFFDVersion Ffd = Device.GetFFD();
        Device.SetFFDVersion(Ffd);
        AInstance.FFFDVersion = static_cast<int>(Ffd);
        AInstance.FAutoCut = AutoCut != 0;
    } catch (...) {
        DisconnectSocket();
        throw;
    }
    // A TCP register is connected only while an operation runs.
    DisconnectSocket();
}

void TDriver::DisconnectEquipment(const std::u16string& ADeviceID) {
    auto It = FInstanceList.find(ADeviceID);
    if (It != FInstanceList.end())
        FInstanceList.erase(It);
    FInstance = nullptr;
    TEcrlDriver::DisconnectEquipment(ADeviceID);
}

void TDriver::SelectDevice(const std::u16string& ADeviceID) {
    bool Empty = TrimView(ADeviceID).empty();
    if (!Empty) {
        auto It = FInstanceList.find(ADeviceID);
        if (It == FInstanceList.end())
            throw EDriverError(Format(KUnknownDeviceText, ADeviceID));
        FInstance = It->second.get();
    }
    if (Empty)
        throw EDriverError(std::u16string(KNoDeviceIDText));
}

void TDriver::EquipmentTest(const pugi::xml_document& ASettings, std::u16string& ADescription,
                            std::u16string& ADemoModeIsActivated) {
    ADescription.clear();
    ADemoModeIsActivated.clear();
    try {
        ConnectEquipment(ASettings);
        ReconnectSocket();
        TDevice& Device = CurrentDevice();
        Device.Beep();
        std::string Serial;
        Device.GetFieldAsStr(KSerialTable, KSerialRow, KSerialField, Serial);
        Serial = Serial.substr(0, Serial.find('\0')).substr(0, 16);
        bool Fiscalized = IsFiscalized();
        int Protocol = 0, Subversion = 0, ModelIndex = 0, Lang = 0;
        std::string Model;
        Device.GetDeviceType(Protocol, Subversion, Model, ModelIndex, Lang);
        ADescription = AnsiToU16(Model) + u", № " + AnsiToU16(Serial) + u", " +
                       (Fiscalized ? u"ФИСК" : u"НЕ ФИСК");
        FInstance->FPrintRequired = -1;
        ApplyReceiptPrinting();
        try {
            Device.PrintString(ADescription);
            CutAfterDocument(false, false, FInstance->FFeedCount);
        } catch (...) {
            RestorePrintMode();
            throw;
        }
        RestorePrintMode();
    } catch (...) {
        // The test never leaves its instance behind.
        std::u16string TestID = FDeviceID;
        DisconnectEquipment(TestID);
        throw;
    }
    std::u16string TestID = FDeviceID;
    DisconnectEquipment(TestID);
}

template <class FWork> void TDriver::Operate(FWork&& AWork) {
    TDevice& Device = CurrentDevice();
    ReconnectSocket();
    try {
        AWork(Device);
    } catch (...) {
        DisconnectSocket();
        throw;
    }
    DisconnectSocket();
}

void TDriver::DisconnectSocket() {
    if (FInstance && FInstance->HasDevice()) {
        TDevice& Device = FInstance->GetDevice();
        if (Device.GetConnectionType() == KConnectionTcp)
            Device.Disable();
    }
}

void TDriver::ReconnectSocket() {
    DisconnectSocket();
    if (FInstance && FInstance->HasDevice()) {
        TDevice& Device = FInstance->GetDevice();
        if (Device.GetConnectionType() == KConnectionTcp) {
            try {
                Device.Enable(U16ToUtf8(FInstance->FIPAddress), FInstance->FIPPort);
            } catch (const std::exception&) {
                // A failed reconnection shows as the error of the next command.
            }
        }
    }
}

void TDriver::PrepareDevice() {
    TDevice& Device = CurrentDevice();
    Device.PrintPrevDoc();
    Device.WaitForEndPrinting();
    Device.CancelReceipt();
}

bool TDriver::IsPrintingOn() {
    int Mode = 0;
    CurrentDevice().GetFieldAsByte(KPrintModeTable, KPrintModeRow, KPrintModeField, Mode);
    return Mode == 0;
}

void TDriver::CutAfterDocument(bool ASkip, bool AAfterAutoCutDocument, int AFeed) {
    if ((AAfterAutoCutDocument && FInstance->FAutoCut) || ASkip || !IsPrintingOn())
        return;
    if (AFeed == -1)
        CurrentDevice().Cut(false);
    else
        CurrentDevice().FeedAndCut(FInstance->FFeedCount);
}

namespace {

void ApplyPrinting(TDevice& ADevice, int APrintRequired, int ASetting) {
    int Mode = -1;
    if (APrintRequired == -1)
        Mode = ASetting == 2 ? 2 : 0;
    else if (APrintRequired == 1)
        Mode = 0;
    else if (APrintRequired == 0)
        Mode = 2;
    if (Mode >= 0)
        ADevice.SetFieldAsByte(KPrintModeTable, KPrintModeRow, KPrintModeField, Mode);
}

} // namespace

void TDriver::ApplyReceiptPrinting() {
    ApplyPrinting(CurrentDevice(), FInstance->FPrintRequired, FInstance->FEnablePrinting);
}

void TDriver::ApplyReportPrinting() {
    ApplyPrinting(CurrentDevice(), FInstance->FPrintRequired, FInstance->FEnableReportPrinting);
}

void TDriver::RestorePrintMode() {
    CurrentDevice().SetFieldAsByte(KPrintModeTable, KPrintModeRow, KPrintModeField,
                                   FInstance->FInitPrintSetting);
}

void TDriver::ReadCashierParameters(const pugi::xml_document& AInputParameters) {
    pugi::xml_node Params = AInputParameters.document_element().child("Parameters");
    FInstance->FCashierName = XmlToU16(Params.attribute("CashierName").value());
    std::u16string INN(TrimView(XmlToU16(Params.attribute("CashierINN").value())));
    FInstance->FPrintRequired = -1;
    if (pugi::xml_attribute Print = Params.attribute("PrintRequired")) {
        std::u16string Text(TrimView(XmlToU16(Print.value())));
        if (SameTextI(Text, u"true"))
            FInstance->FPrintRequired = 1;
        else if (SameTextI(Text, u"false"))
            FInstance->FPrintRequired = 0;
    }
    CheckCashierINN(INN);
    FInstance->FCashierINN = INN;
}

void TDriver::CheckCashierINN(std::u16string_view AINN) {
    std::u16string_view INN = TrimView(AINN);
    if (!INN.empty() && INN.size() != 12)
        throw EquException(3026, u"Длина ИНН кассира не равна 12");
}

void TDriver::CheckShiftState(bool AClosedRequired) {
    std::uint8_t State = 0;
    CurrentDevice().IsDayOpened(State);
    if (State == 2)
        throw EquException(3002);
    if (AClosedRequired && State == 1)
        throw EquException(3015);
    if (!AClosedRequired && State == 0)
        throw EquException(3005);
}

int TDriver::UpdateLineLength() {
    TDevice& Device = CurrentDevice();
    int Length = 0;
    Device.GetLineLength(Length);
    if (FInstance->FLineLength > 0)
        Length = FInstance->FLineLength;
    FInstance->FLineLen = static_cast<std::uint8_t>(Length);
    Device.SetLineLen(FInstance->FLineLen);
    return FInstance->FLineLen;
}

bool TDriver::IsFiscalized() {
    TFNCurrentStatus Status;
    CurrentDevice().GetFNCurrentStatus(Status);
    return Status.IsFiscalized();
}

TDevice& TDriver::CurrentDevice() {
    if (!FInstance)
        throw EDriverError(u"Устройство не включено");
    return FInstance->GetDevice();
}

void TDriver::GetDataKKT(pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::OperationFN(std::uint8_t, const pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::OpenShift(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::CloseShift(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::ProcessCheck(bool, const pugi::xml_document&, pugi::xml_document&, bool) {
    CurrentDevice();
    NotSupported();
}

void TDriver::ProcessCorrectionCheck(bool, const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::PrintTextDocument(const pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::CashInOutcome(const pugi::xml_document&, TCurrency) {
    CurrentDevice();
    NotSupported();
}

void TDriver::PrintXReport(const pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::GetCurrentStatus(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::ReportCurrentStatusOfSettlements(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::OpenCashDrawer() {
    Operate([](TDevice& Device) { Device.OpenDrawer(); });
}

void TDriver::GetLineLength(std::int32_t& ALineLength) {
    Operate([&](TDevice&) { ALineLength = UpdateLineLength(); });
}

void TDriver::PrintCheckCopy(const std::u16string&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::OpenSessionRegistrationKM() {
    CurrentDevice();
    NotSupported();
}

void TDriver::CloseSessionRegistrationKM() {
    CurrentDevice();
    NotSupported();
}

void TDriver::RequestKM(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::GetProcessingKMResult(pugi::xml_document&, std::int32_t&) {
    CurrentDevice();
    NotSupported();
}

void TDriver::ConfirmKM(const std::u16string&, std::int32_t) {
    CurrentDevice();
    NotSupported();
}

void TDriver::SetDateTime(const std::u16string& ADateTime) {
    std::optional<std::int64_t> Value = ParseIso8601(ADateTime);
    if (!Value)
        throw EquException(1004, GetDriverErrorText(1004) + u". Некорректный формат даты/времени");
    Operate([&](TDevice& Device) { Device.SetDateTime(*Value); });
}

void TDriver::GetDateTime(std::u16string& ADateTime) {
    Operate([&](TDevice& Device) {
        // The register leaves the value alone when its clock holds no valid
        // date; that is reported, not passed on as a date of 1970.
        constexpr TDateTimeValue KUnset = std::numeric_limits<TDateTimeValue>::min();
        TDateTimeValue Value = KUnset;
        Device.GetDateTimeKKT(Value);
        if (Value == KUnset)
            throw EDriverError(u"ККТ вернула некорректные дату и время");
        ADateTime = UnixToIsoText(Value);
    });
}

void TDriver::GetDocumentInformation(std::int32_t, pugi::xml_document&) {
    CurrentDevice();
    NotSupported();
}

} // namespace korv
