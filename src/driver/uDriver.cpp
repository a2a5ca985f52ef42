#include "driver/uDriver.h"

#include "common/Common.Log.h"
#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "device/uDeviceCommon.h"
#include "device/uDeviceLinks.h"
#include "driver/uDriverInternal.h"
#include "driver/uDriverXml.h"

namespace korv {

using namespace drv;

namespace {

std::int32_t GetInterfaceRevisionH(TDriver& D, TParams<0>) {
    return D.InterfaceRevision();
}

const TExportMethod KMethods[] = {
    Export<GetInterfaceRevisionH>(u"GetInterfaceRevision", u"ПолучитьРевизиюИнтерфейса",
                                  KBarrierQuery),
};

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
        SetLogEnabled(Instance->FLogEnabled);
        OpenDevice(*Instance);
    } catch (...) {
        // A failed connection leaves nothing registered, its log switch included.
        FInstance = nullptr;
        RemoveDeviceLogFlag(FDeviceID);
        throw;
    }
    FInstanceList[FDeviceID] = std::move(Instance);
}

void TDriver::OpenDevice(TDeviceDriver& AInstance) {
    const bool Tcp = AInstance.FPortNumber == KTcpPortNumber;
    AInstance.SetDevice(CreateDevice(Tcp));
    TDevice& Device = AInstance.GetDevice();
    try {
        Device.SetConnectPwd(
            ConnectPasswordBytes(static_cast<std::uint32_t>(AInstance.FConnectPwd)));
        int Rc = Tcp ? Device.Enable(U16ToUtf8(AInstance.FIPAddress), AInstance.FIPPort)
                     : Device.Enable(AInstance.FPortNumber, AInstance.FBaudRate);
        if (Rc != 0) {
            // The reason follows the fixed text; the code stays the link's.
            const std::u16string& Why = Device.LinkReason();
            throw EquException(Rc, u"Ошибка соединения с ККТ" + (Why.empty() ? u"" : u"; " + Why),
                               TCommandFault{Device.LinkOrigin(), {}, Rc, Why});
        }
        Device.SetConnectionType(Tcp ? KConnectionTcp : KConnectionSerial);
        Device.SetFeedCount(AInstance.FFeedCount);
        Device.SetDisableCut(AInstance.FDisableCut);
        AInstance.FCutMarker = UpperCase(AInstance.FCutString);
        // Finishes what a broken-off session left (a stopped print, an open
        // receipt, a document left half read) before the settings are
        // written: the register refuses table writes until then. The short
        // state this asks tells it, so a register in its normal mode is asked
        // nothing more.
        Device.PrepareForDocument(/*AUnlockDataOutput=*/true);
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
        // Opening the link read the register's line length; nothing since has changed it.
        ApplyLineLength(Device.GetLineLen());
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

std::unique_ptr<TDevice> TDriver::CreateDevice(bool ATcp) {
    if (ATcp)
        return std::make_unique<TSocketDevice>();
    return std::make_unique<TComDevice>();
}

void TDriver::DisconnectEquipment(const std::u16string& ADeviceID) {
    auto It = FInstanceList.find(ADeviceID);
    if (It != FInstanceList.end()) {
        FInstanceList.erase(It);
        RemoveDeviceLogFlag(ADeviceID);
    }
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
        Device.GetFieldAsStr(KRegTable, KRegRow, KSerialField, Serial);
        Serial = Serial.substr(0, Serial.find('\0')).substr(0, 16);
        bool Fiscalized = IsFiscalized();
        int Protocol = 0, Subversion = 0, ModelIndex = 0, Lang = 0;
        std::string Model;
        Device.GetDeviceType(Protocol, Subversion, Model, ModelIndex, Lang);
        Model = std::string(TrimView(Model.substr(0, Model.find('\0'))));
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

} // namespace korv
