#include "driver/uDriver.h"

#include "common/Common.Log.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "driver/uDriverXml.h"

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

/// The register command layer is not part of this build yet: a selected
/// instance never has a device, so operations stop at CurrentDevice.
[[noreturn]] void NotConnected() {
    throw EquException(1005, u"Устройство не найдено или не проинициализировано");
}

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
        throw EquException(1003, u"Подключение к ККТ не поддерживается этой сборкой драйвера: "
                                 u"нет модуля связи с устройством");
    } catch (...) {
        // A failed connection leaves nothing registered.
        FInstance = nullptr;
        throw;
    }
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
        CurrentDevice();
        NotConnected();
    } catch (...) {
        // The test never leaves its instance behind.
        std::u16string TestID = FDeviceID;
        DisconnectEquipment(TestID);
        throw;
    }
}

TDevice& TDriver::CurrentDevice() {
    if (!FInstance)
        throw EDriverError(u"Устройство не включено");
    return FInstance->GetDevice();
}

void TDriver::GetDataKKT(pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::OperationFN(std::uint8_t, const pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::OpenShift(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::CloseShift(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::ProcessCheck(bool, const pugi::xml_document&, pugi::xml_document&, bool) {
    CurrentDevice();
    NotConnected();
}

void TDriver::ProcessCorrectionCheck(bool, const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::PrintTextDocument(const pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::CashInOutcome(const pugi::xml_document&, TCurrency) {
    CurrentDevice();
    NotConnected();
}

void TDriver::PrintXReport(const pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::GetCurrentStatus(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::ReportCurrentStatusOfSettlements(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::OpenCashDrawer() {
    CurrentDevice();
    NotConnected();
}

void TDriver::GetLineLength(std::int32_t&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::PrintCheckCopy(const std::u16string&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::OpenSessionRegistrationKM() {
    CurrentDevice();
    NotConnected();
}

void TDriver::CloseSessionRegistrationKM() {
    CurrentDevice();
    NotConnected();
}

void TDriver::RequestKM(const pugi::xml_document&, pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::GetProcessingKMResult(pugi::xml_document&, std::int32_t&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::ConfirmKM(const std::u16string&, std::int32_t) {
    CurrentDevice();
    NotConnected();
}

void TDriver::SetDateTime(const std::u16string&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::GetDateTime(std::u16string&) {
    CurrentDevice();
    NotConnected();
}

void TDriver::GetDocumentInformation(std::int32_t, pugi::xml_document&) {
    CurrentDevice();
    NotConnected();
}

} // namespace korv
