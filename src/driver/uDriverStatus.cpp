// The status operations: the clock, the line length, the cash drawer, the
// shift state and the current status of the register with its counters.

#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"
#include "driver/uDriverXml.h"

#include <cstdlib>
#include <optional>

namespace korv {

using namespace drv;

namespace {

using F = TOutputField;

/// The registers of one operation type's counters: the count, the money
/// by payment kind (cash, electronic, prepayment, credit, barter), and the
/// correction count and amount (0: the type has none).
struct TCounterRegs {
    int CheckCount;
    int Money[5];
    int CorrectionCount;
    int CorrectionAmount;
};

constexpr TCounterRegs KCounterRegs[4] = {
    {144, {193, 197, 4180, 4184, 4188}, 202, 4224},
    {146, {195, 199, 4182, 4186, 4190}, 0, 0},
    {145, {194, 198, 4181, 4185, 4189}, 203, 4225},
    {147, {196, 200, 4183, 4187, 4191}, 0, 0},
};

/// A money register: one-byte numbers below 256, two-byte ones above.
TCurrency ReadMoney(TDevice& ADevice, int ARegister) {
    TCurrency Value = 0;
    if (ARegister < 256)
        ADevice.GetCashReg(ARegister, Value);
    else
        ADevice.GetCashKReg(ARegister, Value);
    return Value;
}

int ReadCount(TDevice& ADevice, int ARegister) {
    int Value = 0;
    ADevice.GetOperationRegAsInt(ARegister, Value);
    return Value;
}

} // namespace

TOutputFields OutputFields(std::initializer_list<TOutputField> AFields) {
    TOutputFields Set;
    for (TOutputField Field : AFields)
        Set.set(static_cast<std::size_t>(Field));
    return Set;
}

void TDriver::FillOutputParameters(pugi::xml_document& AOutputParameters, TOutputFields AFields) {
    TDevice& Device = CurrentDevice();
    auto Has = [&](F AField) { return AFields.test(static_cast<std::size_t>(AField)); };

    TFNCurrentStatus Status;
    Device.GetFNCurrentStatus(Status);
    int Unsent = 0;
    std::uint64_t FirstUnsent = 0;
    TDateTimeValue FirstUnsentDate = KUnsetDate;
    Device.GetFNInfoExchangeStatus(Unsent, FirstUnsent, FirstUnsentDate);
    std::uint8_t SessionState = 0;
    std::int64_t ShiftNumber = 0, ReceiptNumber = 0;
    Device.GetCurrentSessionParams(SessionState, ShiftNumber, ReceiptNumber);

    pugi::xml_node Root = AOutputParameters.append_child("OutputParameters");
    pugi::xml_node Params = Root.append_child("Parameters");

    if (Has(F::FNError))
        SetAttr(Params, "FNError", BoolText(Status.WarningFlags & 0x01));
    if (Has(F::FNFail))
        SetAttr(Params, "FNFail", BoolText(Status.WarningFlags & 0x02));
    if (Has(F::FNOverflow))
        SetAttr(Params, "FNOverflow", BoolText(Status.WarningFlags & 0x04));
    if (Has(F::FNValidityDate)) {
        std::u16string Validity;
        Device.GetFNValidityDate(Validity);
        SetAttr(Params, "FNValidityDate", Validity);
    }
    if (Has(F::CashBalance))
        SetAttr(Params, "CashBalance", CurrencyText(ReadMoney(Device, 241)));
    if (Has(F::RegisterFlags)) {
        std::string Flags;
        int Mode = 0, Submode = 0;
        Device.GetECRState(Flags, Mode, Submode);
        const auto Low = static_cast<unsigned char>(Flags.size() > 0 ? Flags[0] : 0);
        const auto High = static_cast<unsigned char>(Flags.size() > 1 ? Flags[1] : 0);
        const int Paper = ((Low & 0x02) ? 1 : 0) + ((Low & 0x80) ? 1 : 0);
        SetAttr(Params, "RecState", 2 - Paper);
        SetAttr(Params, "DrawerState", (High & 0x08) ? 1 : 0);
        SetAttr(Params, "CoverOpen", (High & 0x04) ? 1 : 0);
    }
    if (Has(F::ShiftNumber))
        SetAttr(Params, "ShiftNumber", ShiftNumber);
    if (Has(F::CheckNumber))
        SetAttr(Params, "CheckNumber", static_cast<long long>(Status.LastFDNumber));
    if (Has(F::ShiftClosingCheckNumber))
        SetAttr(Params, "ShiftClosingCheckNumber", ReceiptNumber);
    if (Has(F::DateTime)) {
        TDateTimeValue Now = KUnsetDate;
        Device.GetDateTimeKKT(Now);
        if (Now != KUnsetDate)
            FInstance->FDateTime = Now;
        SetAttr(Params, "DateTime", DateText(Now));
    }
    if (Has(F::ShiftState)) {
        // 1 closed, 2 open, 3 open for more than 24 hours (the register's mode
        // 3): a host must see that the shift is to be closed before it sells.
        int State = Status.ShiftState + 1;
        if (State == 2) {
            int Mode = 0;
            Device.GetStateKKT(Mode);
            if ((Mode & 0x0F) == 3)
                State = 3;
        }
        SetAttr(Params, "ShiftState", State);
    }
    if (Has(F::BacklogDocumentsCounter))
        SetAttr(Params, "BacklogDocumentsCounter", Unsent);
    if (Has(F::BacklogDocumentFirstNumber))
        SetAttr(Params, "BacklogDocumentFirstNumber", static_cast<long long>(FirstUnsent));
    if (Has(F::BacklogDocumentFirstDateTime))
        SetAttr(Params, "BacklogDocumentFirstDateTime", DateText(FirstUnsentDate));

    // Money by payment kind of each operation type, kept for Payments.
    TCurrency Money[4][5] = {};
    const F CounterFields[4] = {F::Counters1, F::Counters2, F::Counters3, F::Counters4};
    for (int Type = 0; Type < 4; ++Type) {
        if (!Has(CounterFields[Type]))
            continue;
        const TCounterRegs& Regs = KCounterRegs[Type];
        TCurrency Total = 0;
        for (int Kind = 0; Kind < 5; ++Kind) {
            Money[Type][Kind] = ReadMoney(Device, Regs.Money[Kind]);
            Total += Money[Type][Kind];
        }
        pugi::xml_node Node =
            Params.append_child(("CountersOperationType" + std::to_string(Type + 1)).c_str());
        SetAttr(Node, "CheckCount", ReadCount(Device, Regs.CheckCount));
        SetAttr(Node, "TotalChecksAmount", CurrencyText(Total));
        SetAttr(Node, "CorrectionCheckCount",
                Regs.CorrectionCount ? ReadCount(Device, Regs.CorrectionCount) : 0);
        SetAttr(Node, "TotalCorrectionChecksAmount",
                CurrencyText(Regs.CorrectionAmount ? ReadMoney(Device, Regs.CorrectionAmount) : 0));
    }
    if (Has(F::CashInOut)) {
        pugi::xml_node In = Params.append_child("CashIn");
        SetAttr(In, "Count", ReadCount(Device, 153));
        SetAttr(In, "TotalAmount", CurrencyText(ReadMoney(Device, 242)));
        pugi::xml_node Out = Params.append_child("CashOut");
        SetAttr(Out, "Count", ReadCount(Device, 154));
        SetAttr(Out, "TotalAmount", CurrencyText(ReadMoney(Device, 243)));
    }
    if (Has(F::Payments)) {
        const char* Kinds[5] = {"Cash", "NonCash", "Prepaid", "Credit", "Barter"};
        pugi::xml_node Payments = Root.append_child("Payments");
        for (int Kind = 0; Kind < 5; ++Kind) {
            pugi::xml_node Node = Payments.append_child(Kinds[Kind]);
            SetAttr(Node, "Sell", CurrencyText(Money[0][Kind]));
            SetAttr(Node, "SellReturn", CurrencyText(Money[1][Kind]));
        }
    }
}

void TDriver::GetCurrentStatus(const pugi::xml_document& AInputParameters,
                               pugi::xml_document& AOutputParameters) {
    bool Counters = false;
    try {
        Counters = BoolAttr(
            AInputParameters.document_element().child("Parameters").attribute("GetCounters"));
    } catch (const std::exception&) {
        Counters = false;
    }
    TOutputFields Fields =
        OutputFields({F::ShiftNumber, F::CheckNumber, F::ShiftClosingCheckNumber, F::ShiftState,
                      F::BacklogDocumentsCounter, F::CashBalance, F::BacklogDocumentFirstNumber,
                      F::BacklogDocumentFirstDateTime, F::RegisterFlags});
    if (Counters)
        Fields |= OutputFields(
            {F::Counters1, F::Counters2, F::Counters3, F::Counters4, F::Payments, F::CashInOut});
    Operate([&](TDevice&) { FillOutputParameters(AOutputParameters, Fields); });
}

std::uint8_t TDriver::GetShiftState() {
    std::uint8_t State = 0;
    Operate([&](TDevice& Device) { Device.IsDayOpened(State); });
    return State;
}

void TDriver::OpenCashDrawer() {
    Operate([](TDevice& Device) { Device.OpenDrawer(); });
}

void TDriver::GetLineLength(std::int32_t& ALineLength) {
    CurrentDevice();
    // A TCP link opened afresh has just read the register's line length.
    const bool Read = ReconnectSocket();
    try {
        ALineLength = Read ? FInstance->FLineLen : UpdateLineLength();
    } catch (...) {
        DisconnectSocket();
        throw;
    }
    DisconnectSocket();
}

void TDriver::SetDateTime(const std::u16string& ADateTime) {
    std::optional<std::int64_t> Value = ParseIso8601(ADateTime);
    if (!Value)
        throw EquException(1004, GetDriverErrorText(1004) + u". Некорректный формат даты/времени");
    Operate([&](TDevice& Device) { Device.SetDateTime(*Value); });
}

void TDriver::GetDateTime(std::u16string& ADateTime) {
    Operate([&](TDevice& Device) {
        // The register leaves the value alone when its clock holds no valid
        // date; that is reported, not passed on as a date of 1970.
        TDateTimeValue Value = KUnsetDate;
        Device.GetDateTimeKKT(Value);
        if (Value == KUnsetDate)
            throw EDriverError(u"ККТ вернула некорректные дату и время");
        FInstance->FDateTime = Value;
        ADateTime = UnixToIsoText(Value);
    });
}

} // namespace korv
