#pragma once
// TEcrlDriver: the fiscal-register half of the equipment-driver interface
// (revision 4004). Each exported method selects the device named by the
// host, converts the host's parameters, calls one operation and writes the
// results back; the operations themselves belong to the driver object.

#include "driver/uCommonDriver4004.h"

#include <cstdint>
#include <string>

namespace korv {

/// A money amount with four decimal places (100.5 is 1005000).
using TCurrency = std::int64_t;

/// AValue × 10000 rounded to the nearest integer; EquException 1004 for a
/// value that is not finite or does not fit.
TCurrency DoubleToCurrency(double AValue);

class TEcrlDriver : public TCommonDriver {
public:
    TEcrlDriver();

    static const TExportTable& ExportTable();
    const TExportTable& ClassExports() const override { return ExportTable(); }

    /// The common description, then the fiscal register's type.
    static void UpdateDriverInfo(TDriverInfo& ADriverInfo);

    // The fiscal operations. Output documents arrive empty; output values
    // are written to the host only when the operation returns.
    virtual void GetDataKKT(pugi::xml_document& ATableParametersKKT) = 0;
    virtual void OperationFN(std::uint8_t AOperationType,
                             const pugi::xml_document& AParametersFiscal) = 0;
    virtual void OpenShift(const pugi::xml_document& AInputParameters,
                           pugi::xml_document& AOutputParameters) = 0;
    virtual void CloseShift(const pugi::xml_document& AInputParameters,
                            pugi::xml_document& AOutputParameters) = 0;
    virtual void ProcessCheck(bool AElectronically, const pugi::xml_document& ACheckPackage,
                              pugi::xml_document& ADocumentOutputParameters,
                              bool AIsCorrection) = 0;
    virtual void ProcessCorrectionCheck(bool AElectronically,
                                        const pugi::xml_document& ACheckCorrectionPackage,
                                        pugi::xml_document& ADocumentOutputParameters) = 0;
    virtual void PrintTextDocument(const pugi::xml_document& ADocumentPackage) = 0;
    virtual void CashInOutcome(const pugi::xml_document& AInputParameters, TCurrency AAmount) = 0;
    virtual void PrintXReport(const pugi::xml_document& AInputParameters) = 0;
    virtual void GetCurrentStatus(const pugi::xml_document& AInputParameters,
                                  pugi::xml_document& AOutputParameters) = 0;
    virtual void ReportCurrentStatusOfSettlements(const pugi::xml_document& AInputParameters,
                                                  pugi::xml_document& AOutputParameters) = 0;
    virtual void OpenCashDrawer() = 0;
    virtual void GetLineLength(std::int32_t& ALineLength) = 0;
    virtual void PrintCheckCopy(const std::u16string& ACheckNumber) = 0;
    virtual void OpenSessionRegistrationKM() = 0;
    virtual void CloseSessionRegistrationKM() = 0;
    virtual void RequestKM(const pugi::xml_document& AInputParameters,
                           pugi::xml_document& AOutputParameters) = 0;
    virtual void GetProcessingKMResult(pugi::xml_document& AOutputParameters,
                                       std::int32_t& ARequestStatus) = 0;
    virtual void ConfirmKM(const std::u16string& AGUID, std::int32_t AConfirmationType) = 0;
    virtual void SetDateTime(const std::u16string& ADateTime) = 0;
    virtual void GetDateTime(std::u16string& ADateTime) = 0;
    virtual void GetDocumentInformation(std::int32_t ADocNumber,
                                        pugi::xml_document& AOutputParameters) = 0;
};

} // namespace korv
