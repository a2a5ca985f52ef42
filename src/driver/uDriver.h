#pragma once
// TDriver: the driver object the host talks to. It holds the connected
// registers (device instances) by DeviceID and implements the operations of
// the fiscal method surface on the selected one.

#include "driver/uDeviceDriver.h"
#include "driver/uEcrDriver4004.h"

#include <map>
#include <memory>
#include <string>

namespace korv {

class TDriver : public TEcrlDriver {
public:
    TDriver() = default;
    ~TDriver() override;

    static const TExportTable& ExportTable();
    const TExportTable& ClassExports() const override { return ExportTable(); }

    std::int32_t InterfaceRevision() const override { return 4004; }

    void ConnectEquipment(const pugi::xml_document& ASettings) override;
    void DisconnectEquipment(const std::u16string& ADeviceID) override;
    void SelectDevice(const std::u16string& ADeviceID) override;
    void EquipmentTest(const pugi::xml_document& ASettings, std::u16string& ADescription,
                       std::u16string& ADemoModeIsActivated) override;

    void GetDataKKT(pugi::xml_document& ATableParametersKKT) override;
    void OperationFN(std::uint8_t AOperationType,
                     const pugi::xml_document& AParametersFiscal) override;
    void OpenShift(const pugi::xml_document& AInputParameters,
                   pugi::xml_document& AOutputParameters) override;
    void CloseShift(const pugi::xml_document& AInputParameters,
                    pugi::xml_document& AOutputParameters) override;
    void ProcessCheck(bool AElectronically, const pugi::xml_document& ACheckPackage,
                      pugi::xml_document& ADocumentOutputParameters, bool AIsCorrection) override;
    void ProcessCorrectionCheck(bool AElectronically,
                                const pugi::xml_document& ACheckCorrectionPackage,
                                pugi::xml_document& ADocumentOutputParameters) override;
    void PrintTextDocument(const pugi::xml_document& ADocumentPackage) override;
    void CashInOutcome(const pugi::xml_document& AInputParameters, TCurrency AAmount) override;
    void PrintXReport(const pugi::xml_document& AInputParameters) override;
    void GetCurrentStatus(const pugi::xml_document& AInputParameters,
                          pugi::xml_document& AOutputParameters) override;
    void ReportCurrentStatusOfSettlements(const pugi::xml_document& AInputParameters,
                                          pugi::xml_document& AOutputParameters) override;
    void OpenCashDrawer() override;
    void GetLineLength(std::int32_t& ALineLength) override;
    void PrintCheckCopy(const std::u16string& ACheckNumber) override;
    void OpenSessionRegistrationKM() override;
    void CloseSessionRegistrationKM() override;
    void RequestKM(const pugi::xml_document& AInputParameters,
                   pugi::xml_document& AOutputParameters) override;
    void GetProcessingKMResult(pugi::xml_document& AOutputParameters,
                               std::int32_t& ARequestStatus) override;
    void ConfirmKM(const std::u16string& AGUID, std::int32_t AConfirmationType) override;
    void SetDateTime(const std::u16string& ADateTime) override;
    void GetDateTime(std::u16string& ADateTime) override;
    void GetDocumentInformation(std::int32_t ADocNumber,
                                pugi::xml_document& AOutputParameters) override;

    /// The number of connected device instances.
    std::size_t InstanceCount() const { return FInstanceList.size(); }
    /// The selected instance, or null.
    TDeviceDriver* Instance() const { return FInstance; }

private:
    /// Applies the Parameter elements of the settings to the new instance.
    void ApplySettings(const pugi::xml_document& ASettings, TDeviceDriver& AInstance);
    /// The selected instance's register; raises while there is none.
    TDevice& CurrentDevice();

    std::map<std::u16string, std::unique_ptr<TDeviceDriver>> FInstanceList;
    TDeviceDriver* FInstance = nullptr;
};

/// SelectDevice's message for a DeviceID that names no connected device (%s: the DeviceID).
inline constexpr std::u16string_view KUnknownDeviceText =
    u"Экземпляр устройства c идентификатором %s не существует или уже был отключен";
/// SelectDevice's message for an empty DeviceID.
inline constexpr std::u16string_view KNoDeviceIDText = u"Не передан идентификатор устройства";

} // namespace korv
