// Shifts, reports, cash in and out and the copy of the last document: the
// printing frame they share and the operations themselves.

#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"

#include <cstdlib>

namespace korv {

using namespace drv;

namespace {

using F = TOutputField;

const TOutputFields& OpenShiftFields() {
    static const TOutputFields Fields =
        OutputFields({F::ShiftNumber, F::DateTime, F::ShiftState, F::FNError, F::FNOverflow,
                      F::FNFail, F::FNValidityDate});
    return Fields;
}

const TOutputFields& CloseShiftFields() {
    static const TOutputFields Fields = OutputFields(
        {F::ShiftNumber, F::DateTime, F::ShiftState, F::Counters1, F::Counters2, F::Counters3,
         F::Counters4, F::BacklogDocumentsCounter, F::CashBalance, F::BacklogDocumentFirstNumber,
         F::BacklogDocumentFirstDateTime, F::FNError, F::FNOverflow, F::FNFail, F::FNValidityDate});
    return Fields;
}

const TOutputFields& SettlementsFields() {
    static const TOutputFields Fields =
        OutputFields({F::ShiftState, F::Counters1, F::Counters2, F::Counters3, F::Counters4,
                      F::BacklogDocumentsCounter, F::CashBalance, F::BacklogDocumentFirstNumber,
                      F::BacklogDocumentFirstDateTime});
    return Fields;
}

// FN document types of the shift reports.
constexpr int KShiftOpenDocument = 2, KShiftCloseDocument = 5, KSettlementsDocument = 21;

// Operation registers that count the cash-in and cash-out documents of the shift.
constexpr int KCashInCountRegister = 153, KCashOutCountRegister = 154;

/// The document number of PrintCheckCopy: a number (blanks around it
/// allowed), or -1 for a text that is not a non-negative number.
long long CopyNumber(std::u16string_view AText) {
    std::u16string_view Text = TrimView(AText);
    if (Text.empty() || Text.size() > 18)
        return -1;
    long long Value = 0;
    for (char16_t C : Text) {
        if (C < u'0' || C > u'9')
            return -1;
        Value = Value * 10 + (C - u'0');
    }
    return Value;
}

} // namespace

void TDriver::PrintingOperation(
    const pugi::xml_document* AInput, TPrintSetting ASetting, bool AKeepRestoreFailure,
    const std::function<void(TDevice&, const TDevice::TPrinterState&)>& ABody) {
    TDevice& Device = CurrentDevice();
    ReconnectSocket();
    try {
        if (AInput)
            ReadCashierParameters(*AInput);
        else
            FInstance->FPrintRequired = -1;
        // A document left half read refuses table writes: it is read out
        // before the print mode is written. The state found it by tells the
        // body whether the printer stands idle and the shift's mode.
        const TDevice::TPrinterState State = Device.ReadPrinterState(/*AUnlockDataOutput=*/true);
        if (ASetting == TPrintSetting::Receipt)
            ApplyReceiptPrinting();
        else
            ApplyReportPrinting();
        ABody(Device, State);
    } catch (...) {
        RestoreAfterFailure();
        throw;
    }
    try {
        RestorePrintMode();
    } catch (...) {
        DisconnectSocket();
        if (AKeepRestoreFailure)
            throw;
        return;
    }
    DisconnectSocket();
}

void TDriver::FinishDocument() {
    CurrentDevice().WaitForPrint();
    CutAfterDocument(false, true, -1);
}

namespace {

/// The outputs of a document that was made: a read that fails (the link
/// dropped, an answer lost) is asked once more on a new connection, so that
/// the call does not report a failure for a document that exists.
void FillOutputsOfMadeDocument(TDriver& ADriver, pugi::xml_document& AOutput,
                               TOutputFields AFields) {
    try {
        ADriver.FillOutputParameters(AOutput, AFields);
    } catch (const std::exception&) {
        AOutput.reset();
        ADriver.ReconnectSocket();
        ADriver.FillOutputParameters(AOutput, AFields);
    }
}

} // namespace

void TDriver::OpenShift(const pugi::xml_document& AInputParameters,
                        pugi::xml_document& AOutputParameters) {
    PrintingOperation(&AInputParameters, TPrintSetting::Report, false,
                      [&](TDevice& Device, const TDevice::TPrinterState& ABefore) {
                          CheckShiftState(true, ABefore);
                          PrepareDevice(ABefore);
                          const std::string Name = U16ToOem(FInstance->FCashierName);
                          const std::string INN = U16ToAnsi(FInstance->FCashierINN);
                          CloseOnce(LastFiscalDocumentNumber(), {KShiftOpenDocument}, [&] {
                              Device.OpenDay(Name, INN);
                              FinishDocument();
                          });
                          FillOutputsOfMadeDocument(*this, AOutputParameters, OpenShiftFields());
                      });
}

void TDriver::CloseShift(const pugi::xml_document& AInputParameters,
                         pugi::xml_document& AOutputParameters) {
    PrintingOperation(&AInputParameters, TPrintSetting::Report, true,
                      [&](TDevice& Device, const TDevice::TPrinterState& ABefore) {
                          // A shift over its 24 hours is closed like any open one.
                          std::uint8_t State = 0;
                          Device.IsDayOpened(State, ABefore);
                          if (State == 0)
                              throw EquException(3005);
                          PrepareDevice(ABefore);
                          const std::string Name = U16ToOem(FInstance->FCashierName);
                          const std::string INN = U16ToAnsi(FInstance->FCashierINN);
                          CloseOnce(LastFiscalDocumentNumber(), {KShiftCloseDocument}, [&] {
                              Device.ZReport(Name, INN);
                              FinishDocument();
                          });
                          FillOutputsOfMadeDocument(*this, AOutputParameters, CloseShiftFields());
                      });
}

void TDriver::PrintXReport(const pugi::xml_document& AInputParameters) {
    PrintingOperation(&AInputParameters, TPrintSetting::Report, true,
                      [&](TDevice& Device, const TDevice::TPrinterState& ABefore) {
                          PrepareDevice(ABefore);
                          Device.XReport();
                          FinishDocument();
                      });
}

void TDriver::ReportCurrentStatusOfSettlements(const pugi::xml_document& AInputParameters,
                                               pugi::xml_document& AOutputParameters) {
    PrintingOperation(&AInputParameters, TPrintSetting::Report, true,
                      [&](TDevice& Device, const TDevice::TPrinterState& ABefore) {
                          PrepareDevice(ABefore);
                          const std::string Name = U16ToOem(FInstance->FCashierName);
                          const std::string INN = U16ToAnsi(FInstance->FCashierINN);
                          // The report is a fiscal document: a lost answer must not make a second
                          // one.
                          CloseOnce(LastFiscalDocumentNumber(), {KSettlementsDocument}, [&] {
                              Device.CalculationStateReport(Name, INN);
                              FinishDocument();
                          });
                          FillOutputsOfMadeDocument(*this, AOutputParameters, SettlementsFields());
                      });
}

void TDriver::CashInOutcome(const pugi::xml_document& AInputParameters, TCurrency AAmount) {
    PrintingOperation(
        &AInputParameters, TPrintSetting::Receipt, true,
        [&](TDevice& Device, const TDevice::TPrinterState& ABefore) {
            PrepareDevice(ABefore);
            if (AAmount == 0) {
                Device.Encash(AAmount); // sends nothing
                FinishDocument();
                return;
            }
            // Cash in and out are documents of the register, not of the FN: the
            // register's count of them tells whether one was made.
            const int Counter = AAmount > 0 ? KCashInCountRegister : KCashOutCountRegister;
            MakeDocumentOnce(
                [&] {
                    int Count = 0;
                    Device.GetOperationRegAsInt(Counter, Count);
                    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(Count));
                },
                [&] {
                    Device.Encash(AAmount);
                    FinishDocument();
                });
        });
}

void TDriver::PrintCheckCopy(const std::u16string& ACheckNumber) {
    const long long Number = CopyNumber(ACheckNumber);
    if (Number < 0)
        throw EDriverError(u"Печать по номеру документа не поддерживается устройством");
    PrintingOperation(
        nullptr, TPrintSetting::Report, true,
        [&](TDevice& Device, const TDevice::TPrinterState& ABefore) {
            // Hosts send the stored number of the receipt they want copied: the
            // number of the last fiscal document asks for the last document, as 0 does.
            if (Number > 0 && static_cast<std::uint64_t>(Number) != LastFiscalDocumentNumber())
                throw EDriverError(u"Печать по номеру документа не поддерживается устройством");
            PrepareDevice(ABefore);
            Device.PrintDocCopy();
            FinishDocument();
        });
}

} // namespace korv
