// Receipt commands: open, items, requisites, close, void, cash in and out,
// correction receipts.

#include "device/uDevice.h"

#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"

namespace korv {

namespace {

unsigned char At(const std::string& s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

// A money field left to the register to compute.
const std::string NoValue(5, '\xFF');

std::string DecimalText(std::uint64_t v) {
    return std::to_string(v);
}

} // namespace

void TDevice::OpenReceipt(int APaymentType, bool APrinterIdle) {
    if (!APrinterIdle)
        WaitForEndPrinting();
    Execute(TCommandId::OpenReceipt, ByteField(APaymentType));
}

void TDevice::RegisterItem(int APaymentType, double AQuantity, TCurrency APrice, TCurrency ASum,
                           TCurrency ATaxSum, int ATax, int ADepartment, int ASignMethodCalculation,
                           int ASignCalculationObject, std::string_view AName) {
    std::string data = ByteField(APaymentType);
    data += QuantityField(AQuantity);
    data += MoneyField(APrice);
    data += MoneyField(ASum);
    data += ATaxSum == 0 ? NoValue : MoneyField(ATaxSum);
    data += ByteField(ATax);
    data += ByteField(ADepartment);
    data += ByteField(ASignMethodCalculation);
    data += ByteField(ASignCalculationObject);
    data += AName;
    Execute(TCommandId::RegisterItem, data);
}

void TDevice::CloseCheckEx(const TCurrency (&ASums)[16], int ARoundSum,
                           const TCurrency (&ATaxes)[6], int ATaxVariant, std::string_view AText,
                           std::string& AFiscalSign, TDateTimeValue& ADateTime) {
    std::string data;
    for (TCurrency sum : ASums)
        data += MoneyField(sum);
    data += ByteField(ARoundSum);
    for (TCurrency tax : ATaxes)
        data += MoneyField(tax);
    data += ByteField(ATaxVariant);
    data += AText;
    WaitForEndPrinting();
    // 0x50: the register is still printing; the receipt is closed all the same.
    const std::string& r = Execute(TCommandId::CloseCheckEx, data, {}, {0x50});
    AFiscalSign = DecimalText(ReadLE(r, 10, 4));
    GetDateTimeKKT(ADateTime);
}

void TDevice::CancelReceipt() {
    const int rc = ExecuteCode(TCommandId::ECRState);
    if (rc != 0)
        RaiseCommandError(CommandInfo(TCommandId::ECRState).Context, rc);
    if (FResponse.size() < 15)
        return;
    CancelOpenReceipt(At(FResponse, 4));
}

void TDevice::CancelOpenReceipt(int AMode) {
    if ((AMode & ReceiptOpenBit) != 0)
        Execute(TCommandId::CancelCheck);
}

void TDevice::Encash(TCurrency ASumm) {
    if (ASumm == 0)
        return;
    const std::string amount = MoneyField(ASumm < 0 ? -ASumm : ASumm);
    WaitForEndPrinting();
    Execute(ASumm > 0 ? TCommandId::CashIn : TCommandId::CashOut, amount);
}

std::string TDevice::SetTLV(int ATag, std::string_view AValue) {
    if (ATag < 0)
        throw EquException(1004);
    return LEField(2, static_cast<std::uint64_t>(ATag)) + LEField(2, AValue.size()) +
           std::string(AValue);
}

std::string TDevice::SetTLV(int ATag, int AValue) {
    if (AValue < 0)
        throw EquException(1004);
    // As many bytes as the value needs, least significant first.
    int count = 1;
    while (count < 4 && (static_cast<unsigned>(AValue) >> (8 * count)) != 0)
        ++count;
    return SetTLV(ATag, LEField(count, static_cast<std::uint64_t>(AValue)));
}

void TDevice::SetFNRequisite(int ATag, std::string_view AValue) {
    Execute(TCommandId::FNRequisite, SetTLV(ATag, AValue), IntToU16(ATag));
}

void TDevice::SetFNRequisite(int ATag, int AValue) {
    Execute(TCommandId::FNRequisite, SetTLV(ATag, AValue), IntToU16(ATag));
}

void TDevice::SetFNOperationRequisite(int ATag, std::string_view AValue) {
    Execute(TCommandId::FNOperationRequisite, SetTLV(ATag, AValue), IntToU16(ATag));
}

void TDevice::SetFNOperationRequisite(int ATag, int AValue) {
    Execute(TCommandId::FNOperationRequisite, SetTLV(ATag, AValue), IntToU16(ATag));
}

void TDevice::ProcessCorrectionCheck(std::string& AFiscalSign, std::int64_t& ADocumentNumber,
                                     int ACorrectionType, int APaymentType, int ATaxVariant,
                                     const TCorrectionSums& ASums, std::string_view ABaseCorrection,
                                     std::string_view ADocNumberCorrection,
                                     TDateTimeValue ACorrectionBaseDate,
                                     std::string_view ACashierName,
                                     std::string_view ACashierVATIN) {
    // Build the receipt's data first: a bad value stops it before anything is sent.
    std::string data = ByteField(ACorrectionType) + ByteField(APaymentType);
    for (TCurrency sum :
         {ASums.CorrectionSum, ASums.Cash, ASums.ElectronicPayment, ASums.AdvancePayment,
          ASums.Credit, ASums.CashProvision, ASums.SumTAX20, ASums.SumTAX10, ASums.SumTAX0,
          ASums.SumTAXNone, ASums.SumTAX120, ASums.SumTAX110})
        data += MoneyField(sum);
    data += static_cast<char>(ATaxVariant & 0xFF);

    // A begin command left over from an earlier attempt may fail; that is harmless.
    ExecuteCode(TCommandId::CorrectionBegin);
    if (!ACashierName.empty())
        SetFNRequisite(1021, ACashierName);
    if (!ACashierVATIN.empty())
        SetFNRequisite(1203, ACashierVATIN);
    if (!ABaseCorrection.empty())
        SetFNRequisite(1177, AnsiToOem(ABaseCorrection));
    // The date of the basis, midnight, as seconds since 1970.
    TDateTimeValue day = ACorrectionBaseDate - ACorrectionBaseDate % 86400;
    if (ACorrectionBaseDate % 86400 < 0)
        day -= 86400;
    if (day < 0 || day > 0xFFFFFFFFLL)
        throw EquException(1004);
    SetFNRequisite(1178, std::string_view(LEField(4, static_cast<std::uint64_t>(day))));
    if (!ADocNumberCorrection.empty())
        SetFNRequisite(1179, AnsiToOem(ADocNumberCorrection));
    WaitForEndPrinting();
    const std::string& r = Execute(TCommandId::CorrectionCheck, data);
    ADocumentNumber = static_cast<std::int64_t>(ReadLE(r, 3, 4));
    AFiscalSign = DecimalText(ReadLE(r, 7, 4));
}

} // namespace korv
