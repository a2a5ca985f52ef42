#pragma once
// TDriver: the driver object the host talks to. It holds the connected
// registers (device instances) by DeviceID and implements the operations of
// the fiscal method surface on the selected one.

#include "device/uTLVStructure.h"
#include "driver/uDeviceDriver.h"
#include "driver/uEcrDriver4004.h"

#include <bitset>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korv {

struct TPrinterState;

/// The output fields of the shift, report and status operations; a set of
/// them chooses what FillOutputParameters writes.
enum class TOutputField : int {
    ShiftNumber,
    CheckNumber,
    ShiftClosingCheckNumber,
    DateTime,
    ShiftState,
    Counters1,
    Counters2,
    Counters3,
    Counters4,
    BacklogDocumentsCounter,
    CashBalance,
    BacklogDocumentFirstNumber,
    BacklogDocumentFirstDateTime,
    FNError,
    FNOverflow,
    FNFail,
    FNValidityDate,
    Payments,
    CashInOut,
    RegisterFlags,
    Count
};
/// What the FN tells of a document after a failure from its close on.
enum class TDocumentOutcome {
    Made,    // a new document of the type expected, nothing left open
    NotMade, // no such document
    Unknown, // the FN could not be asked (or the answer about it was cut off)
};

using TOutputFields = std::bitset<static_cast<std::size_t>(TOutputField::Count)>;
/// A set of output fields.
TOutputFields OutputFields(std::initializer_list<TOutputField> AFields);

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

    /// The FN shift state: 0 closed, 1 open, 2 open for more than 24 hours.
    std::uint8_t GetShiftState();
    /// Fills AOutputParameters (OutputParameters/Parameters) with the chosen
    /// output fields of the current device (see TOutputField).
    void FillOutputParameters(pugi::xml_document& AOutputParameters, TOutputFields AFields);

    /// The number of connected device instances.
    std::size_t InstanceCount() const { return FInstanceList.size(); }
    /// The selected instance, or null.
    TDeviceDriver* Instance() const { return FInstance; }

    // Shared steps of the operations on the selected device.

    /// Closes the TCP connection of the current device (nothing for serial).
    void DisconnectSocket();
    /// Opens the TCP connection again and applies the line length it read;
    /// a failure shows in the next command. True when a TCP link was opened
    /// (the register's line length was read with it).
    bool ReconnectSocket();
    /// Finishes interrupted printing and voids a receipt left open.
    void PrepareDevice();
    /// The same after a short state ABefore read at the start of the
    /// operation (only commands that neither print nor change the mode since):
    /// nothing is sent when it tells an idle printer and no receipt open.
    void PrepareDevice(const TPrinterState& ABefore);
    /// True when the register prints documents (PrintMode 0).
    bool IsPrintingOn();
    /// Cuts after a document unless told not to, the register cut by itself,
    /// or nothing is printed. AFeed -1 cuts at once; else feed and cut.
    void CutAfterDocument(bool ASkip, bool AAfterAutoCutDocument, int AFeed);
    /// The print mode of a receipt / report from the cashier's choice or the settings.
    void ApplyReceiptPrinting();
    void ApplyReportPrinting();
    /// Puts back the print mode read at connection.
    void RestorePrintMode();
    /// After an operation failed: puts the print mode back and closes the TCP
    /// connection. A restore that fails as well (the link is gone, say) adds
    /// nothing to the operation's own error, which is what the host must see.
    void RestoreAfterFailure();
    /// Cashier name, INN and print choice of the operation's input parameters.
    void ReadCashierParameters(const pugi::xml_document& AInputParameters);
    /// A trimmed INN must be empty or 12 characters (3026 otherwise).
    static void CheckCashierINN(std::u16string_view AINN);
    /// Raises unless the shift is closed (AClosedRequired) or open, or when
    /// it has lasted more than 24 hours.
    void CheckShiftState(bool AClosedRequired);
    /// The same with what a short state read before tells (see
    /// TDevice::IsDayOpened).
    void CheckShiftState(bool AClosedRequired, const TPrinterState& ABefore);
    /// The effective line length, stored in the device too.
    int UpdateLineLength();
    /// The same from the register's line length ARegisterLength, already read.
    int ApplyLineLength(int ARegisterLength);
    bool IsFiscalized();

    /// Runs ACommand, which makes one document the FN does not keep (cash in
    /// and out), so that a host's retry never repeats a document that was
    /// made: when ACommand fails, AWitness (a register counter the document
    /// raises) is read again; a count above the one read before means the
    /// document was made, and the failure is logged and dropped. Otherwise
    /// the failure goes on. True when a failure was dropped. Documents of
    /// the FN are judged by the FN (CloseOnce).
    bool MakeDocumentOnce(const std::function<std::uint64_t()>& AWitness,
                          const std::function<void()>& ACommand);
    /// The number of the FN's last fiscal document (the usual witness).
    std::uint64_t LastFiscalDocumentNumber();

    /// The 1-based preset AIndex of the graphic-text settings: font name,
    /// size and the style words ("bold italic strikeout underline").
    void GraphicTextSettings(int AIndex, std::u16string& AFontName, int& AFontSize,
                             std::u16string& AFontStyle) const;
    /// Prints the part of a line between [gtN] and [/gtN] as graphic text of
    /// preset N; false (nothing printed) when the line has no such markup.
    bool PrintGraphicTextMarkup(std::u16string_view AText);

    // Exactly one receipt. A receipt reads the FN's last document number
    // (LastFiscalDocumentNumber) before it is opened; when a step from its closing
    // command on fails (the answer lost, the link dropped, paper out while
    // printing), the FN decides whether the document was made, so that the
    // host never sells twice what the FN has already signed.

    /// After a failure from a closing command on: reconnects when needed and
    /// asks the FN. True when a document of one of ATypes, newer than
    /// ABefore, exists and nothing is left open; the device's DocElementList
    /// then holds that document. False when there is no new document (the
    /// caller voids what is open and fails) or the FN cannot be asked.
    bool DocumentMade(std::uint64_t ABefore, std::initializer_list<int> ATypes);
    /// The same with the cases told apart: Unknown when the FN could not be
    /// asked through all rounds (the register off, the cable out).
    TDocumentOutcome JudgeDocument(std::uint64_t ABefore, std::initializer_list<int> ATypes);
    /// After a failure before a document's close: PrepareDevice voids what
    /// is open, on a new TCP connection when the first attempt fails.
    void VoidAfterFailure();
    /// Runs AClose (the closing command and the steps after it). Returns
    /// false when it succeeded; true when it failed but DocumentMade found the
    /// document; else its failure goes on.
    template <class FClose>
    bool CloseOnce(std::uint64_t ABefore, std::initializer_list<int> ATypes, FClose&& AClose) {
        try {
            AClose();
            return false;
        } catch (...) {
            if (!DocumentMade(ABefore, ATypes))
                throw;
            return true;
        }
    }

    /// The output of a receipt: the FN's status and shift, the clock and
    /// fiscal sign kept by the close, and the tax inspection's site.
    void FillDocumentOutputParameters(pugi::xml_document& AOutput);
    /// The same output from the FN's archive (the document DocumentMade found).
    void FillDocumentOutputFromArchive(pugi::xml_document& AOutput);
    /// The steps after a document's close (waiting for the print, the cut,
    /// the outputs): once the document exists their failures no longer fail
    /// the call; the outputs then come from the archive.
    void FinishDocument(std::uint64_t ABefore, int AType, bool AFromArchive,
                        pugi::xml_document& AOutput);

    /// The correction receipt of FFD 1.0 and 1.05: one command with totals.
    void ProcessTotalsCorrection(const pugi::xml_document& APackage, pugi::xml_document& AOutput);
    /// Marking codes: the FFD 1.2 check, and the session reset of the open
    /// and close operations (the register's buffer and the list emptied).
    void CheckKMSupported();
    void ResetMarkingSession();

    /// Applies the Parameter elements of the settings to an instance: names
    /// the instance does not know are skipped, values that do not convert raise.
    void ApplySettings(const pugi::xml_document& ASettings, TDeviceDriver& AInstance);

protected:
    /// A new register command object for the link the settings chose.
    virtual std::unique_ptr<TDevice> CreateDevice(bool ATcp);

private:
    /// Judges the receipt of unknown outcome of the device, if any, before a
    /// receipt of AType from APackage (the package as text). True when it is
    /// this same receipt and the FN made it: AOutput then holds its outputs
    /// from the archive and nothing more is to be made. Otherwise it is
    /// forgotten and the receipt is made. A register that still cannot be
    /// asked fails the call and the judgement waits for the next one.
    bool JudgePendingReceipt(int AType, const std::u16string& APackage,
                             pugi::xml_document& AOutput);
    /// Which print setting a printing operation follows when the cashier does not say.
    enum class TPrintSetting { Receipt, Report };
    /// The frame of a printing operation: the link opened, the cashier data
    /// read from AInput (none: the print choice is left to the setting), the
    /// print mode of the operation, a pending data output drained, ABody, and
    /// always the print mode of the connection put back and the link closed.
    /// ABody gets the short state read before the print mode was written.
    /// AKeepRestoreFailure false: a failed restore after a success is ignored.
    void PrintingOperation(const pugi::xml_document* AInput, TPrintSetting ASetting,
                           bool AKeepRestoreFailure,
                           const std::function<void(TDevice&, const TPrinterState&)>& ABody);
    /// After a document's command: waits until it is printed (paper-outs
    /// included) and cuts unless the register cuts by itself or does not print.
    void FinishDocument();
    /// Prints one line of graphic text.
    void PrintGraphicLine(std::u16string_view AText, std::u16string_view AFontName, int AFontSize,
                          std::u16string_view AFontStyle);
    /// Connects the instance's register as its settings say.
    void OpenDevice(TDeviceDriver& AInstance);
    /// The selected instance's register; raises while there is none.
    TDevice& CurrentDevice();
    /// Runs AWork on the selected device inside the connection frame: the
    /// TCP link is opened first and closed afterwards, also on failure.
    template <class FWork> void Operate(FWork&& AWork) {
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

    std::map<std::u16string, std::unique_ptr<TDeviceDriver>> FInstanceList;
    TDeviceDriver* FInstance = nullptr;
};

/// "1.0", "1.0.5", "1.1" or "1.2" for the versions 1..4 (TFFDVersion + 1);
/// "Неизвестная версия ФФД" for another.
std::u16string FFDVersionName(int AVersion);
/// The numbers of the set bits among bits 0..ACount-1, ascending, joined by
/// commas (5 with 6 bits is "0,2"; no bit set is empty).
std::u16string BitListText(unsigned AMask, int ACount);
/// The CheckPackage of a document read from the FN: Parameters with the
/// document type and its tags, a FiscalString under Positions for every item
/// structure, and Payments; other tags are left out.
void BuildCheckPackage(int ADocType, const std::vector<TDocElement>& AElements,
                       pugi::xml_document& AOutputParameters);

/// SelectDevice's message for a DeviceID that names no connected device (%s: the DeviceID).
inline constexpr std::u16string_view KUnknownDeviceText =
    u"Экземпляр устройства c идентификатором %s не существует или уже был отключен";
/// Added to the error of a receipt whose close failed while the register
/// could not be asked whether it was made.
inline constexpr std::u16string_view KReceiptOutcomeUnknownText =
    u"Неизвестно, сформирован ли чек: ККТ не отвечает. Повторный вызов с тем же чеком "
    u"безопасен: чек не будет сформирован дважды";
/// SelectDevice's message for an empty DeviceID.
inline constexpr std::u16string_view KNoDeviceIDText = u"Не передан идентификатор устройства";

} // namespace korv
