// ProcessCorrectionCheck: a correction receipt with items on FFD 1.1 and 1.2
// registers, the single totals command on the older formats.

#include "driver/uDriverReceipt.h"

#include "common/Common.LogPlatform.h"
#include "common/uBase64.h"
#include "common/uBytes.h"
#include "common/uCodePages.h"
#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"

namespace korv {

using namespace drv;
using namespace rcpt;

namespace {

constexpr int KCorrectionDocument = 31;

/// Today at midnight on the register's wall clock (the machine's local date).
TDateTimeValue Today() {
    const TLogTime Local = logplatform::LocalNow();
    TDateTimeValue Value = 0;
    TryEncodeDateTime(Local.Year, Local.Month, Local.Day, 0, 0, 0, Value);
    return Value;
}

} // namespace

namespace rcpt {

TTotalsCorrection ReadTotalsCorrection(const pugi::xml_document& APackage, const TTaxValues& ATaxes,
                                       TDateTimeValue AToday) {
    pugi::xml_node Root = APackage.document_element();
    pugi::xml_node Params = Root.child("Parameters");
    pugi::xml_node Payments = Root.child("Payments");
    pugi::xml_node Positions = Root.child("Positions");
    pugi::xml_node Data = Params.child("CorrectionData");
    if (!Params || !Payments || !Positions || !Data)
        throw EquException(1004);
    TTotalsCorrection C;
    C.Type = AttrInt(Data, "Type", 0);
    if (C.Type < 0 || C.Type > 255)
        throw EquException(1004);
    C.Description = AttrText(Data, "Description");
    C.Number = AttrText(Data, "Number");
    const std::u16string Date = AttrTrim(Data, "Date");
    if (Date.empty()) {
        C.Date = AToday;
    } else {
        C.Date = DateTextToUnix(Date);
        C.Date -= ((C.Date % 86400) + 86400) % 86400;
    }
    C.TaxationSystem = AttrInt(Params, "TaxationSystems", 0);
    if (C.TaxationSystem < 0 || C.TaxationSystem > 7)
        throw EquException(1004);

    TDevice::TCorrectionSums& S = C.Sums;
    for (pugi::xml_node N : Positions.children("FiscalString")) {
        const TCurrency Amount = AttrCurrency(N, "VATAmount");
        const int Id = ATaxes.IDOfTax(TrimView(AttrText(N, "VATRate")));
        TCurrency* Sum = nullptr;
        switch (Id) {
        case 1:
        case 2:
            Sum = &S.SumTAX20;
            break;
        case 3:
            Sum = &S.SumTAX10;
            break;
        case 4:
            Sum = &S.SumTAX0;
            break;
        case 5:
            Sum = &S.SumTAXNone;
            break;
        case 6:
        case 7:
            Sum = &S.SumTAX120;
            break;
        case 8:
            Sum = &S.SumTAX110;
            break;
        default:
            throw EquException(3010);
        }
        *Sum += Amount;
    }
    S.Cash = AttrCurrency(Payments, "Cash");
    S.ElectronicPayment = AttrCurrency(Payments, "ElectronicPayment");
    S.AdvancePayment = AttrCurrency(Payments, "PrePayment");
    S.Credit = AttrCurrency(Payments, "PostPayment");
    S.CashProvision = AttrCurrency(Payments, "Barter");
    S.CorrectionSum = S.Cash + S.ElectronicPayment + S.AdvancePayment + S.Credit + S.CashProvision;
    C.OperationType = AttrInt(Params, "OperationType", 0);
    if (C.OperationType != 1 && C.OperationType != 3)
        throw EquException(1004);
    return C;
}

} // namespace rcpt

void TDriver::ProcessCorrectionCheck(bool AElectronically,
                                     const pugi::xml_document& ACheckCorrectionPackage,
                                     pugi::xml_document& ADocumentOutputParameters) {
    CurrentDevice();
    if (FInstance->FFFDVersion >= static_cast<int>(TFFDVersion::ffd11)) {
        ProcessCheck(AElectronically, ACheckCorrectionPackage, ADocumentOutputParameters, true);
        return;
    }
    ProcessTotalsCorrection(ACheckCorrectionPackage, ADocumentOutputParameters);
}

void TDriver::ProcessTotalsCorrection(const pugi::xml_document& APackage,
                                      pugi::xml_document& AOutput) {
    TDevice& Device = CurrentDevice();
    TDeviceDriver& Instance = *FInstance;
    ReconnectSocket();
    try {
        // As in a receipt: a document left half read is read out before the
        // print mode is written.
        const TDevice::TPrinterState State = Device.ReadPrinterState(/*AUnlockDataOutput=*/true);
        Device.SetFieldAsByte(KPrintModeTable, KPrintModeRow, KPrintModeField,
                              Instance.FEnablePrinting == 2 ? 2 : 0);
        Device.PrepareForDocument(State);
        // An idle printer and the mode (a shift over 24 hours too) are known
        // from that state: only the FN is asked about the shift.
        CheckShiftState(false, State);
        const TTotalsCorrection C = ReadTotalsCorrection(APackage, Instance.FTaxValues, Today());
        const std::uint64_t Before = LastFiscalDocumentNumber();
        // One command makes the document: nothing stays open when it fails.
        const bool FromArchive = CloseOnce(Before, {KCorrectionDocument}, [&] {
            std::int64_t Number = 0;
            Device.ProcessCorrectionCheck(Instance.FFiscalSign, Number, C.Type, C.OperationType,
                                          1 << C.TaxationSystem, C.Sums, U16ToAnsi(C.Description),
                                          U16ToAnsi(C.Number), C.Date, {}, {});
            Device.GetDateTimeKKT(Instance.FDateTime);
        });
        FinishDocument(Before, KCorrectionDocument, FromArchive, AOutput);
    } catch (...) {
        RestoreAfterFailure();
        throw;
    }
    try {
        RestorePrintMode();
    } catch (const std::exception&) {
        // The document is made; the print mode is written again by the next operation.
    }
    DisconnectSocket();
}

} // namespace korv
