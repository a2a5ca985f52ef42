#pragma once
// TDeviceDriver: one connected register, with the host's connection
// settings as properties.

#include "device/uDeviceCommon.h"
#include "driver/uCustomDriver.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korv {

class TDevice;

/// The VAT rates of the interface's XML in the order of the register's tax
/// identifiers: "20" is 1, "18" 2, ... "7/107" 12.
class TTaxValues {
public:
    static constexpr std::u16string_view KCommaText =
        u"20,18,10,0,none,20/120,18/118,10/110,5,7,5/105,7/107";

    TTaxValues();
    /// The 1-based position of ATaxValue in the list (compared without
    /// regard to case), or 0 for a rate the register does not know.
    int IDOfTax(std::u16string_view ATaxValue) const;
    std::size_t Count() const { return FItems.size(); }
    const std::u16string& operator[](std::size_t AIndex) const { return FItems.at(AIndex); }

private:
    std::vector<std::u16string> FItems;
};

/// A receipt whose close failed while the FN could not be asked whether it
/// was made: the next receipt on the device judges it first.
struct TPendingReceipt {
    int DocType = 0;          // the FN document type it makes
    std::uint64_t Before = 0; // the FN's last document number before it opened
    std::u16string Package;   // the host's package as text: a repeated call matches it
};

class TDeviceDriver {
public:
    static constexpr int KGraphicPresets = 5;

    /// Every setting starts at the default the settings form shows.
    TDeviceDriver();
    ~TDeviceDriver();
    TDeviceDriver(const TDeviceDriver&) = delete;
    TDeviceDriver& operator=(const TDeviceDriver&) = delete;

    /// The properties the connection settings may name, in settings order.
    static std::span<const TPropDesc<TDeviceDriver>> Properties();

    /// The register command object; "Устройство не включено" while there is none.
    TDevice& GetDevice();
    /// Takes ownership of the register command object.
    void SetDevice(std::unique_ptr<TDevice> ADevice);
    bool HasDevice() const { return FDevice != nullptr; }

    // Connection settings.
    std::int32_t FPortNumber = 0;
    std::int32_t FBaudRate = 0;
    std::u16string FIPAddress;
    std::int32_t FIPPort = 0;
    std::int32_t FConnectPwd = 0;
    // General settings.
    std::int32_t FFeedCount = 0;
    std::u16string FCutString;
    std::int32_t FLineLength = 0; // MaxReceiptRowLength; 0 = the register's own
    bool FDisableCut = false;
    std::uint8_t FEnablePrinting = 0;
    std::uint8_t FEnableReportPrinting = 0;
    std::int32_t FReceiptFontNumber = 0;
    bool FReceiveAllKT = false;
    bool FReceiptTextAvailable = false;
    bool FLogEnabled = false;
    // Graphic-text presets 1..5 (index 0..4).
    std::u16string FGTFontName[KGraphicPresets];
    std::int32_t FGTFontSize[KGraphicPresets] = {};
    bool FGTIsBold[KGraphicPresets] = {};
    bool FGTIsItalic[KGraphicPresets] = {};
    bool FGTIsStrikeout[KGraphicPresets] = {};
    bool FGTIsUnderline[KGraphicPresets] = {};

    // Learned from the register at connection.
    std::u16string FCutMarker; // CutString in upper case
    int FInitPrintSetting = 0; // PrintMode at connection, restored after printing
    bool FAutoCut = false;     // the register cuts by itself
    std::uint8_t FLineLen = 0; // the effective line length
    int FFFDVersion = 0;       // fiscal data format version (TFFDVersion)
    // The cashier data of the current operation.
    std::u16string FCashierName;
    std::u16string FCashierINN;
    int FPrintRequired = -1; // -1 not given, 0 false, 1 true
    // The clock read by the last operation that reported it.
    std::int64_t FDateTime = 0;
    // The fiscal sign of the last receipt closed.
    std::string FFiscalSign;
    // Marking codes: the result of the last request, its code, and 1 while
    // that code is neither confirmed nor replaced.
    TKMResult FKMResult;
    std::string FCurrentKM;
    std::int32_t FRequestCounter = 0;
    TTaxValues FTaxValues;
    // The receipt of unknown outcome, until a receipt call judges it.
    std::optional<TPendingReceipt> FPendingReceipt;

private:
    std::unique_ptr<TDevice> FDevice; // the register command object, owned
};

} // namespace korv
