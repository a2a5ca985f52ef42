#pragma once
// TCommonDriver: the part of the equipment-driver interface (revision 4004)
// that every kind of equipment shares: description, settings form, last
// error, connection, test, additional actions and the log switch.

#include "common/Common.Log.h"
#include "driver/uCustomDriver.h"

#include <pugixml.hpp>

#include <string>
#include <string_view>

namespace korv {

enum class TEquipmentType {
    etScanner,
    etMCR,
    etFR,
    etReceiptPrinter,
    etLabelPrinter,
    etCustomerDisplay,
    etDataCollectionTerminal,
    etAcquiringTerminal,
    etScale,
    etPrintingScale,
    etRFIDReader,
    etECR,
    etVideocamera,
    etElectronicLock,
    etUnknown,
};

/// The host's text for an equipment type; "Enum value unacceptable" outside the enumeration.
std::u16string EquipmentTypeText(TEquipmentType AType);

/// The library-wide description of the driver.
struct TDriverInfo {
    std::u16string Name;
    std::u16string Description;
    TEquipmentType EquipmentType = TEquipmentType::etUnknown;
    bool IntegrationComponent = false;
    bool MainDriverInstalled = false;
    std::u16string DriverVersion;
    std::u16string IntegrationComponentVersion;
    std::u16string DownloadURL;
    bool LogIsEnabled = false;
    std::u16string LogPath;

    void Clear();
};

/// The one description of the library, filled at registration.
TDriverInfo& DriverInfo();

/// The maker's web address reported in the description.
inline constexpr std::u16string_view KDownloadURL = u"https://velmora.example/korvander";

class TCommonDriver : public TCustomDriver {
public:
    TCommonDriver();

    static const TExportTable& ExportTable();
    const TExportTable& ClassExports() const override { return ExportTable(); }

    /// Fills the common part of the driver description.
    static void UpdateDriverInfo(TDriverInfo& ADriverInfo);

    /// Registers the class, names the log and fills the description.
    template <class T>
    static TClassReg& RegisterDriver(std::u16string_view AExtension,
                                     std::u16string_view ADescription, std::u16string_view AName);

    // Operations the exported methods call; the fiscal driver overrides them.

    /// Connects a device with the settings; leaves its DeviceID in FDeviceID.
    virtual void ConnectEquipment(const pugi::xml_document& ASettings);
    virtual void DisconnectEquipment(const std::u16string& ADeviceID);
    /// Makes the named device the current one, or raises.
    virtual void SelectDevice(const std::u16string& ADeviceID) = 0;
    /// The interface revision the driver implements.
    virtual std::int32_t InterfaceRevision() const = 0;
    /// Connects with ASettings, describes the device and disconnects again.
    virtual void EquipmentTest(const pugi::xml_document& ASettings, std::u16string& ADescription,
                               std::u16string& ADemoModeIsActivated);
    /// The settings form (XML text).
    virtual std::u16string EquipmentParameters();
    /// The driver description (XML text).
    virtual std::u16string GetDescription();
    /// The list of additional actions (XML text).
    virtual std::u16string GetAdditionalActions();
    /// Runs the additional action named exactly AName; "Action not found" otherwise.
    virtual void DoAdditionalAction(std::u16string_view AName);

    /// Additional actions: the log and the help page in the desktop's viewer.
    void ViewLog();
    void ShowHelp();

    /// The log switch as last set through LogEnabled (SetParameter) or by
    /// the settings of a connected device.
    bool GetLogEnabled() const;
    /// Records the switch and sets the log mode to 3 (on) or 0 (off).
    void SetLogEnabled(bool AValue);

private:
    bool FLogEnabled = false;
};

template <class T>
TClassReg& TCommonDriver::RegisterDriver(std::u16string_view AExtension,
                                         std::u16string_view ADescription,
                                         std::u16string_view AName) {
    TClassReg& Reg = TCustomDriver::RegisterDriver(
        T::ExportTable(), [] { return std::unique_ptr<TV8UserObject>(std::make_unique<T>()); },
        AExtension);
    DriverInfo().Name = AName;
    DriverInfo().Description = ADescription;
    T::UpdateDriverInfo(DriverInfo());
    SetLogName(AExtension);
    return Reg;
}

/// The help page written beside the log, "<log folder>/Korvander_help.html".
std::u16string HelpFileName();

} // namespace korv
