// The steps that every operation on a register shares: the TCP connection
// frame, preparing the register, the print mode of an operation, cutting,
// the cashier data, the shift checks, and the small text helpers of the
// operation files.

#include "common/Common.Log.h"
#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"
#include "driver/uDriverXml.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

namespace korv {

namespace drv {

std::u16string Format(std::u16string_view APattern, std::u16string_view AArg) {
    std::u16string S(APattern);
    auto Pos = S.find(u"%s");
    if (Pos != std::u16string::npos)
        S.replace(Pos, 2, AArg);
    return S;
}

bool BoolAttr(pugi::xml_attribute AAttr) {
    return TextToBool(XmlToU16(AAttr.value())).value_or(false);
}

std::string CurrencyText(TCurrency AValue) {
    const bool Negative = AValue < 0;
    // The magnitude as unsigned, so that the smallest amount does not overflow.
    std::uint64_t Abs =
        Negative ? 0 - static_cast<std::uint64_t>(AValue) : static_cast<std::uint64_t>(AValue);
    const auto Scale = static_cast<std::uint64_t>(CurrencyScale);
    std::string Text = Negative ? "-" : "";
    Text += std::to_string(Abs / Scale);
    std::uint64_t Fraction = Abs % Scale;
    if (Fraction != 0) {
        char Digits[8];
        std::snprintf(Digits, sizeof Digits, "%04llu", static_cast<unsigned long long>(Fraction));
        std::string Tail(Digits);
        while (!Tail.empty() && Tail.back() == '0')
            Tail.pop_back();
        Text += "." + Tail;
    }
    return Text;
}

std::u16string DateText(TDateTimeValue AValue) {
    return AValue == KUnsetDate ? std::u16string(u"1899-12-30T00:00:00") : UnixToIsoText(AValue);
}

void NotSupported() {
    throw EquException(1003, u"Операция не поддерживается этой сборкой драйвера");
}

} // namespace drv

using namespace drv;

void TDriver::DisconnectSocket() {
    if (FInstance && FInstance->HasDevice()) {
        TDevice& Device = FInstance->GetDevice();
        if (Device.GetConnectionType() == KConnectionTcp)
            Device.Disable();
    }
}

bool TDriver::ReconnectSocket() {
    DisconnectSocket();
    if (!FInstance || !FInstance->HasDevice())
        return false;
    TDevice& Device = FInstance->GetDevice();
    if (Device.GetConnectionType() != KConnectionTcp)
        return false;
    try {
        if (Device.Enable(U16ToUtf8(FInstance->FIPAddress), FInstance->FIPPort) != 0)
            return false;
    } catch (const std::exception&) {
        return false;
    }
    // Opening the link put the register's own line length into the device;
    // the configured one stands over it, as on a serial line.
    ApplyLineLength(Device.GetLineLen());
    return true;
}

void TDriver::PrepareDevice() {
    CurrentDevice().PrepareForDocument();
}

void TDriver::PrepareDevice(const TDevice::TPrinterState& ABefore) {
    if (!TDevice::StandsIdle(ABefore))
        PrepareDevice();
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

void TDriver::RestoreAfterFailure() {
    try {
        RestorePrintMode();
    } catch (const std::exception&) {
    }
    DisconnectSocket();
}

void TDriver::ReadCashierParameters(const pugi::xml_document& AInputParameters) {
    pugi::xml_node Params = AInputParameters.document_element().child("Parameters");
    FInstance->FCashierName = XmlToU16(Params.attribute("CashierName").value());
    std::u16string INN(TrimView(XmlToU16(Params.attribute("CashierINN").value())));
    FInstance->FPrintRequired = -1;
    if (pugi::xml_attribute Print = Params.attribute("PrintRequired")) {
        if (const auto Value = TextToBool(XmlToU16(Print.value())))
            FInstance->FPrintRequired = *Value ? 1 : 0;
    }
    CheckCashierINN(INN);
    FInstance->FCashierINN = INN;
}

void TDriver::CheckCashierINN(std::u16string_view AINN) {
    std::u16string_view INN = TrimView(AINN);
    if (!INN.empty() && INN.size() != 12)
        throw EquException(3026, u"Длина ИНН кассира не равна 12");
}

namespace {

void RaiseForShiftState(std::uint8_t AState, bool AClosedRequired) {
    if (AState == 2)
        throw EquException(3002);
    if (AClosedRequired && AState == 1)
        throw EquException(3015);
    if (!AClosedRequired && AState == 0)
        throw EquException(3005);
}

} // namespace

void TDriver::CheckShiftState(bool AClosedRequired) {
    std::uint8_t State = 0;
    CurrentDevice().IsDayOpened(State);
    RaiseForShiftState(State, AClosedRequired);
}

void TDriver::CheckShiftState(bool AClosedRequired, const TDevice::TPrinterState& ABefore) {
    std::uint8_t State = 0;
    CurrentDevice().IsDayOpened(State, ABefore);
    RaiseForShiftState(State, AClosedRequired);
}

int TDriver::UpdateLineLength() {
    int Length = 0;
    CurrentDevice().GetLineLength(Length);
    return ApplyLineLength(Length);
}

int TDriver::ApplyLineLength(int ARegisterLength) {
    const int Length = FInstance->FLineLength > 0 ? FInstance->FLineLength : ARegisterLength;
    FInstance->FLineLen = static_cast<std::uint8_t>(Length);
    CurrentDevice().SetLineLen(FInstance->FLineLen);
    return FInstance->FLineLen;
}

bool TDriver::IsFiscalized() {
    TFNCurrentStatus Status;
    CurrentDevice().GetFNCurrentStatus(Status);
    return Status.IsFiscalized();
}

std::uint64_t TDriver::LastFiscalDocumentNumber() {
    TFNCurrentStatus Status;
    CurrentDevice().GetFNCurrentStatus(Status);
    return Status.LastFDNumber;
}

namespace {

// Rounds of asking the FN after a failed close, and the pause between them:
// a register that lost power or its link gets a few seconds to come back.
constexpr int KOutcomeRounds = 3;
constexpr auto KOutcomePause = std::chrono::milliseconds(1000);

} // namespace

bool TDriver::MakeDocumentOnce(const std::function<std::uint64_t()>& AWitness,
                               const std::function<void()>& ACommand) {
    const std::uint64_t Before = AWitness();
    try {
        ACommand();
        return false;
    } catch (const std::exception& E) {
        // The command may have reached the register although its answer, the
        // link or the printer failed: what the register counts decides.
        // A register that lost its power or its link gets the same rounds to
        // come back as after a receipt's close.
        std::exception_ptr Failure = std::current_exception();
        std::uint64_t After = Before;
        bool Asked = false;
        for (int Round = 0; Round < KOutcomeRounds && !Asked; ++Round) {
            if (Round > 0)
                std::this_thread::sleep_for(KOutcomePause);
            try {
                ReconnectSocket();
                After = AWitness();
                Asked = true;
            } catch (const std::exception&) {
            }
        }
        if (!Asked)
            std::rethrow_exception(Failure); // the register cannot tell: the first failure stands
        if (After <= Before)
            std::rethrow_exception(Failure);
        WriteLog(u"TDriver", u"Документ сформирован, несмотря на ошибку: " + ExceptionMessage(E),
                 TLogLevel::Error);
        return true;
    }
}

namespace {

void LogOutcome(std::u16string_view AText, TLogLevel ALevel = TLogLevel::Info) {
    WriteLog(u"DocumentOutcome", AText, ALevel);
}

} // namespace

bool TDriver::DocumentMade(std::uint64_t ABefore, std::initializer_list<int> ATypes) {
    return JudgeDocument(ABefore, ATypes) == TDocumentOutcome::Made;
}

TDocumentOutcome TDriver::JudgeDocument(std::uint64_t ABefore, std::initializer_list<int> ATypes) {
    TDevice& Device = CurrentDevice();
    TFNCurrentStatus Status;
    bool Asked = false;
    for (int Round = 0; Round < KOutcomeRounds && !Asked; ++Round) {
        if (Round > 0)
            std::this_thread::sleep_for(KOutcomePause);
        // A TCP link dropped with the failure is opened again; a serial line
        // finds its frames again by itself.
        ReconnectSocket();
        try {
            Device.GetFNCurrentStatus(Status);
            Asked = true;
        } catch (const std::exception&) {
        }
    }
    if (!Asked) {
        LogOutcome(u"the FN could not be asked whether the document was made", TLogLevel::Error);
        return TDocumentOutcome::Unknown;
    }
    if (Status.LastFDNumber <= ABefore) {
        LogOutcome(u"no new fiscal document after " + IntToU16(static_cast<long long>(ABefore)) +
                   u": the operation failed");
        return TDocumentOutcome::NotMade;
    }
    try {
        std::string Flags;
        int Mode = 0, Submode = 0;
        Device.GetECRState(Flags, Mode, Submode);
        // Mode 8: a receipt is still open; the FN formed another document.
        if ((Mode & 0x0F) == 8 || Status.CurrentDocument != 0) {
            LogOutcome(u"a new fiscal document exists but a document is still open",
                       TLogLevel::Error);
            return TDocumentOutcome::NotMade;
        }
        int DocType = 0;
        if (Device.GetFiscalTagList(Status.LastFDNumber, DocType) != 0) {
            LogOutcome(u"the new fiscal document could not be read", TLogLevel::Error);
            return TDocumentOutcome::NotMade;
        }
        bool Expected = false;
        for (int T : ATypes)
            Expected = Expected || T == DocType;
        if (!Expected) {
            LogOutcome(u"the new fiscal document is of another type (" + IntToU16(DocType) + u")",
                       TLogLevel::Error);
            return TDocumentOutcome::NotMade;
        }
    } catch (const std::exception&) {
        // The link failed again: a new document exists, but whether it is this one is not known.
        LogOutcome(u"the new fiscal document could not be checked", TLogLevel::Error);
        return TDocumentOutcome::Unknown;
    }
    LogOutcome(u"fiscal document " + IntToU16(static_cast<long long>(Status.LastFDNumber)) +
               u" was made although a step from the close on failed: the operation succeeded");
    return TDocumentOutcome::Made;
}

void TDriver::VoidAfterFailure() {
    try {
        PrepareDevice();
        return;
    } catch (const std::exception&) {
        // The link may have dropped with the first failure: once more on a
        // fresh connection, so that no receipt stays open.
    }
    ReconnectSocket();
    PrepareDevice();
}

TDevice& TDriver::CurrentDevice() {
    if (!FInstance)
        throw EDriverError(u"Устройство не включено");
    return FInstance->GetDevice();
}

} // namespace korv
