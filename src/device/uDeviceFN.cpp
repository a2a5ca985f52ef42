// Fiscal storage queries, documents read back as items, shifts and the FN
// life cycle.

#include "device/uDevice.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <cstdio>

namespace korv {

namespace {

unsigned char At(const std::string& s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

// Date and time as the FN sends them: year since 2000, month, day, hour, minute.
void ReadFNDateTime(const std::string& r, std::size_t APos, TDateTimeValue& AValue) {
    TryEncodeDateTime(At(r, APos) + 2000, At(r, APos + 1), At(r, APos + 2), At(r, APos + 3),
                      At(r, APos + 4), 0, AValue);
}

// Register result for "command not supported in this mode": a document
// read is already under way.
constexpr int ReadInProgress = 0x73;
// Bounds a register that keeps sending items: a document holds at most
// 64 KiB of them.
constexpr int MaxDocumentBlocks = 65536;
// Nesting of structures inside a document item.
constexpr int MaxNesting = 16;

} // namespace

void TDevice::GetFNCurrentStatus(TFNCurrentStatus& AFNCurrentStatus) {
    const std::string& r = Execute(TCommandId::FNStatus);
    AFNCurrentStatus.FNPhase = At(r, 1);
    AFNCurrentStatus.CurrentDocument = At(r, 2);
    AFNCurrentStatus.DocumentData = At(r, 3);
    AFNCurrentStatus.ShiftState = At(r, 4);
    AFNCurrentStatus.WarningFlags = At(r, 5);
    AFNCurrentStatus.LastFDNumber = ReadLE(r, 27, 4);
}

void TDevice::GetFNValidityDate(std::u16string& AText) {
    const std::string& r = Execute(TCommandId::FNValidity);
    char buf[32];
    std::snprintf(buf, sizeof buf, "20%.2d-%.2d-%.2dT00:00:00", At(r, 1), At(r, 2), At(r, 3));
    AText.assign(buf, buf + std::char_traits<char>::length(buf));
}

void TDevice::GetFFDVersionFN(std::string& AFNVersion) {
    const std::string& r = Execute(TCommandId::FNVersion);
    const std::string text = r.substr(1, 16);
    const auto has = [&](const char* a, const char* b) {
        return text.find(a) != std::string::npos || text.find(b) != std::string::npos;
    };
    if (has("1_0", "1.0"))
        AFNVersion = "1.0";
    else if (has("1_1", "1.1"))
        AFNVersion = "1.1";
    else if (has("1_2", "1.2"))
        AFNVersion = "1.2";
    else
        AFNVersion = "1.0";
}

void TDevice::GetFiscalizationParameters(TDateTimeValue& ADateTime, std::string& AUserINN,
                                         std::uint8_t& AExtWorkMode, std::uint64_t& ARegDocNumber,
                                         int& ATaxationSystems, std::string& ARegNumber,
                                         int& AWorkMode) {
    const std::string& r = Execute(TCommandId::FNFiscalization);
    // Registers answer in two layouts: a short one with the document number
    // right after the modes, and a long one with it at 57.
    const bool shortLayout = r.size() <= 52;
    if (!shortLayout && r.size() < 61)
        throw EquException(1014);
    ReadFNDateTime(r, 1, ADateTime);
    AUserINN = std::string(TrimView(std::string_view(r).substr(6, 12)));
    ARegNumber = std::string(TrimView(std::string_view(r).substr(18, 20)));
    ATaxationSystems = At(r, 38);
    AWorkMode = At(r, 39);
    if (FFFDVersion == TFFDVersion::ffd12)
        AExtWorkMode = At(r, 40);
    ARegDocNumber = ReadLE(r, shortLayout ? 40 : 57, 4);
}

void TDevice::GetFNInfoExchangeStatus(int& AUnsentCount, std::uint64_t& AFirstUnsentNumber,
                                      TDateTimeValue& AFirstUnsentDate) {
    const std::string& r = Execute(TCommandId::FNInfoExchange);
    AUnsentCount = static_cast<int>(ReadLE(r, 3, 2));
    // Fields past the count are read only when the answer holds them.
    if (r.size() >= 9)
        AFirstUnsentNumber = ReadLE(r, 5, 4);
    if (r.size() >= 14)
        ReadFNDateTime(r, 9, AFirstUnsentDate);
}

int TDevice::GetFNRequestFiscalDocumentTLV(std::uint64_t ADocNumber, int& ADocType,
                                           int& ADocLength) {
    const int rc = ExecuteCode(TCommandId::FNRequestDocument, LEField(4, ADocNumber));
    if (rc != 0)
        return rc;
    if (FResponse.size() < CommandInfo(TCommandId::FNRequestDocument).MinLength)
        return 1014;
    ADocType = static_cast<int>(ReadLE(FResponse, 1, 2));
    ADocLength = static_cast<int>(ReadLE(FResponse, 3, 2));
    return 0;
}

void TDevice::GetFNReadFiscalDocumentTLV(std::string& AData) {
    AData = Execute(TCommandId::FNReadDocument).substr(1);
}

void TDevice::ReadStructure(int AParentTag, std::string_view AData, int ADepth) {
    if (ADepth > MaxNesting)
        throw EquException(1014);
    const TTagSection section = AParentTag == 1059 || AParentTag == 1163
                                    ? TTagSection::tsGoodPosition
                                    : TTagSection::tsMain;
    ForEachTLV(AData, [&](const TTLVItem& AItem) {
        TDocElement e;
        if (!FindTag(AItem.Tag, e.DataType, e.ReqName))
            return;
        if (e.DataType == TFFD::ffdSTLV) {
            ReadStructure(AItem.Tag, AItem.Value, ADepth + 1);
            return;
        }
        e.Tag = AItem.Tag;
        e.Value = GetTLVValue(AItem.Tag, e.DataType, AItem.Value);
        e.RawValue = std::string(AItem.Value);
        e.TagSection = section;
        FDocElementList.push_back(std::move(e));
    });
}

int TDevice::GetFiscalTagList(std::uint64_t ADocNumber, int& ADocType) {
    FDocElementList.clear();
    int length = 0;
    int rc = GetFNRequestFiscalDocumentTLV(ADocNumber, ADocType, length);
    if (rc == ReadInProgress) {
        int mode = 0;
        GetStateKKT(mode);
        if ((mode & 0x0F) != DataOutputMode)
            return rc;
        // A read broken off earlier (a link lost in its middle) holds the
        // FN: its rest belongs to that document, not to this one. It is read
        // out and this document asked for again.
        FinishDocumentRead();
        rc = GetFNRequestFiscalDocumentTLV(ADocNumber, ADocType, length);
    }
    if (rc != 0)
        return rc;
    std::string block;
    for (int i = 0;; ++i) {
        if (i == MaxDocumentBlocks)
            throw EquException(1014);
        GetFNReadFiscalDocumentTLV(block);
        if (block.empty())
            break;
        if (block.size() < 4)
            throw EquException(1014);
        // Each block is one item of the document; items not in the table are skipped.
        ForEachTLV(block, [&](const TTLVItem& AItem) {
            TDocElement e;
            if (!FindTag(AItem.Tag, e.DataType, e.ReqName))
                return;
            e.Tag = AItem.Tag;
            e.TagSection = TTagSection::tsMain;
            const bool structure = e.DataType == TFFD::ffdSTLV;
            if (!structure) {
                e.Value = GetTLVValue(AItem.Tag, e.DataType, AItem.Value);
                e.RawValue = std::string(AItem.Value);
            }
            FDocElementList.push_back(std::move(e));
            if (structure)
                ReadStructure(AItem.Tag, AItem.Value, 1);
        });
    }
    return 0;
}

std::u16string TDevice::GetTagValue(int ATag) const {
    for (const TDocElement& e : FDocElementList)
        if (e.Tag == ATag)
            return e.Value;
    return {};
}

void TDevice::ReadTLVList(std::string_view AData) {
    korv::ReadTLVList(AData, FTagList);
}

TFFDVersion TDevice::GetFFD() {
    TDateTimeValue date = 0;
    std::string inn, regNumber;
    std::uint8_t extMode = 0;
    std::uint64_t regDoc = 0;
    int taxes = 0, workMode = 0;
    // An FN not registered yet has no registration to ask about; the table
    // still tells the version, and the register must stay reachable to be
    // registered at all.
    bool registered = true;
    try {
        GetFiscalizationParameters(date, inn, extMode, regDoc, taxes, regNumber, workMode);
    } catch (const std::exception&) {
        registered = false;
    }
    int docType = 0;
    if (registered && GetFiscalTagList(regDoc, docType) == 0) {
        const std::u16string v = GetTagValue(1209);
        if (v == u"1")
            return TFFDVersion::ffd10;
        if (v == u"2")
            return TFFDVersion::ffd105;
        if (v == u"3")
            return TFFDVersion::ffd11;
        if (v == u"4")
            return TFFDVersion::ffd12;
    }
    int value = 0;
    GetFieldAsByte(17, 1, 17, value);
    if (value == 0)
        value = 1;
    if (value > 4)
        throw EquException(1014);
    return static_cast<TFFDVersion>(value - 1);
}

// ---- Shifts, reports and the FN life cycle ----------------------------------------

void TDevice::GetCurrentSessionParams(std::uint8_t& AFNSessionState, std::int64_t& ASessionNumber,
                                      std::int64_t& AReceiptNumber) {
    WaitForEndPrinting();
    const std::string& r = Execute(TCommandId::SessionParams);
    AFNSessionState = At(r, 1);
    ASessionNumber = static_cast<std::int64_t>(ReadLE(r, 2, 2));
    AReceiptNumber = static_cast<std::int64_t>(ReadLE(r, 4, 2));
}

namespace {

// The shift state from the FN's session state and the register's mode.
void DayState(std::uint8_t AFNSessionState, int AMode, std::uint8_t& AState) {
    // Mode 3: the shift is open and its 24 hours are over.
    if ((AMode & 0x0F) == 3)
        AFNSessionState = 2;
    if (AFNSessionState <= 2)
        AState = AFNSessionState;
}

} // namespace

void TDevice::IsDayOpened(std::uint8_t& AState) {
    std::uint8_t state = 0;
    std::int64_t session = 0, receipt = 0;
    GetCurrentSessionParams(state, session, receipt);
    int mode = 0;
    GetStateKKT(mode);
    DayState(state, mode, AState);
}

void TDevice::IsDayOpened(std::uint8_t& AState, const TPrinterState& ABefore) {
    if (!StandsIdle(ABefore)) {
        IsDayOpened(AState);
        return;
    }
    // The short state holds the same mode byte as the full one.
    DayState(At(Execute(TCommandId::SessionParams), 1), ABefore.Mode, AState);
}

namespace {

// The begin command and the cashier requisites that precede a shift command.
void SendCashier(TDevice& ADevice, std::string_view AName, std::string_view AVATIN) {
    ADevice.SetFNRequisite(1021, AName);
    if (!AVATIN.empty())
        ADevice.SetFNRequisite(1203, AVATIN);
}

} // namespace

void TDevice::OpenDay(std::string_view ACashierName, std::string_view ACashierVATIN) {
    if (!ACashierName.empty()) {
        Execute(TCommandId::OpenDayBegin);
        SendCashier(*this, ACashierName, ACashierVATIN);
    }
    WaitForEndPrinting();
    Execute(TCommandId::OpenDay);
}

void TDevice::XReport() {
    WaitForEndPrinting();
    Execute(TCommandId::XReport);
}

void TDevice::ZReport(std::string_view ACashierName, std::string_view ACashierVATIN) {
    if (!ACashierName.empty()) {
        Execute(TCommandId::ZReportBegin);
        SendCashier(*this, ACashierName, ACashierVATIN);
    }
    WaitForEndPrinting();
    Execute(TCommandId::ZReport);
}

void TDevice::CalculationStateReport(std::string_view ACashierName,
                                     std::string_view ACashierVATIN) {
    if (!ACashierName.empty()) {
        Execute(TCommandId::CalculationBegin);
        SendCashier(*this, ACashierName, ACashierVATIN);
    }
    WaitForEndPrinting();
    // 0x50: the register is still printing the previous command's result.
    Execute(TCommandId::CalculationReport, {}, {}, {0x50});
}

void TDevice::FNBeginRegistrationReport(int ATypeReport) {
    WaitForEndPrinting();
    Execute(TCommandId::FNBeginRegistration, ByteField(ATypeReport));
}

void TDevice::FNBuildRegistrationReport(std::string_view AUserINN, std::string_view ARegNumber,
                                        int ATaxVariant, int AMode) {
    WaitForEndPrinting();
    Execute(TCommandId::FNBuildRegistration, std::string(AUserINN) + std::string(ARegNumber) +
                                                 ByteField(ATaxVariant) + ByteField(AMode));
}

void TDevice::FNBuildReregistrationReport(std::string_view AUserINN, std::string_view ARegNumber,
                                          int ATaxVariant, int AMode, int AReasonCode) {
    WaitForEndPrinting();
    Execute(TCommandId::FNBuildReregistration, std::string(AUserINN) + std::string(ARegNumber) +
                                                   ByteField(ATaxVariant) + ByteField(AMode) +
                                                   ByteField(AReasonCode));
}

void TDevice::FNClose() {
    WaitForEndPrinting();
    Execute(TCommandId::FNClose);
}

} // namespace korv
