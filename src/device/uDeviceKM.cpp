// Marking-code commands: check, bind, accept, clear, work status.

#include "device/uDevice.h"

#include "common/uEquipmentErrors.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace korv {

namespace {

unsigned char At(const std::string& s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

// Result of FF 61 while the FN is busy with another check: worth a retry.
constexpr int FNBusy = 4;
constexpr int CheckRetries = 3;
constexpr int CheckRetryPauseMs = 1000;

std::int32_t TagInt(const std::map<int, std::u16string>& ATags, int ATag) {
    const auto it = ATags.find(ATag);
    if (it == ATags.end())
        return 0;
    std::int64_t v = 0;
    for (char16_t c : it->second) {
        if (c < u'0' || c > u'9' || v > 0x7FFFFFFF)
            throw EquException(1014);
        v = v * 10 + (c - u'0');
    }
    return static_cast<std::int32_t>(v);
}

} // namespace

std::string TDevice::EncodeFVLN(double AQuantity) {
    if (!(AQuantity >= 0.0) || AQuantity > 2147483647.0)
        throw EquException(1004);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", AQuantity);
    std::string text = buf;
    if (text.find_first_of("eE") != std::string::npos)
        throw EquException(1004);
    const std::size_t point = text.find('.');
    std::string digits = text;
    std::size_t scale = 0;
    if (point != std::string::npos) {
        scale = text.size() - point - 1;
        digits.erase(point, 1);
    }
    // The digits of the quantity must fit a 32-bit signed integer.
    std::uint64_t mantissa = 0;
    for (char c : digits) {
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        if (mantissa > 2147483647)
            throw EquException(1004);
    }
    return ByteField(static_cast<long long>(scale)) + LEField(7, mantissa);
}

void TDevice::CheckMarkingCode(int APlannedStatus, std::string_view AMarkingCode, double AQuantity,
                               int AMeasureOfQuantity, int ANumerator, int ADenominator,
                               TKMResult& AKMResult) {
    // The result is kept under its code whatever happens.
    struct TKeep {
        TDevice& Device;
        std::string_view Code;
        TKMResult& Result;
        ~TKeep() { Device.FKMListResult.emplace(std::string(Code), Result); }
    } keep{*this, AMarkingCode, AKMResult};

    std::string tlv;
    if (APlannedStatus == 2 || APlannedStatus == 4) {
        tlv = SetTLV(2108, ByteField(AMeasureOfQuantity));
        if (ANumerator > 0 && ANumerator < ADenominator && AMeasureOfQuantity == 0) {
            const std::string fraction =
                SetTLV(1293, LEField(8, static_cast<std::uint64_t>(ANumerator))) +
                SetTLV(1294, LEField(8, static_cast<std::uint64_t>(ADenominator)));
            tlv += SetTLV(1291, fraction);
            tlv += SetTLV(1023, EncodeFVLN(1));
        } else if (AQuantity != 0) {
            tlv += SetTLV(1023, EncodeFVLN(AQuantity));
        }
    }
    std::string data = ByteField(APlannedStatus) + ByteField(0) +
                       ByteField(static_cast<long long>(AMarkingCode.size())) +
                       ByteField(static_cast<long long>(tlv.size()));
    data += AMarkingCode;
    data += tlv;

    const TCommandInfo& info = CommandInfo(TCommandId::CheckMarkingCode);
    int rc;
    for (;;) {
        rc = ExecuteCode(TCommandId::CheckMarkingCode, data);
        if (rc != FNBusy || FCheckMarkCount >= CheckRetries)
            break;
        ++FCheckMarkCount;
        Pause(CheckRetryPauseMs);
    }
    if (rc != 0)
        RaiseCommandError(info.Context, rc);
    const std::string& r = FResponse;
    if (r.size() < info.MinLength)
        throw EquException(1014);
    AKMResult.LocalValidationResult = At(r, 1);
    const std::size_t n = At(r, 4);
    if (n == 0)
        return;
    if (r.size() < 5 + n || n < 2)
        throw EquException(1014);
    const std::string block = r.substr(5, n);
    AKMResult.RequestStatus = At(block, 0) != 0 ? 2 : 0;
    AKMResult.MarkingValidationResult = At(block, 1);
    const std::string_view items = std::string_view(block).substr(2);
    korv::ReadTLVList(items, FTagList);
    ForEachTLV(items, [&](const TTLVItem& AItem) {
        AKMResult.TLVList += std::to_string(AItem.Tag) + ";";
    });
    AKMResult.ProcessingResult = TagInt(FTagList, 2005);
    AKMResult.KMType = TagInt(FTagList, 2100);
    AKMResult.ProcessingCode = TagInt(FTagList, 2105);
    AKMResult.StatusInfo = TagInt(FTagList, 2109);
    AKMResult.RequestDate = TagInt(FTagList, 2114);
}

void TDevice::BindMarkingCode(std::string_view AMarkingCode, int AGTINSale) {
    std::string data = ByteField(static_cast<long long>(AMarkingCode.size()));
    data += AMarkingCode;
    // Sold as a GTIN (catering).
    if (AGTINSale != 0)
        data += '\xFF';
    Execute(TCommandId::BindMarkingCode, data);
}

void TDevice::AcceptMarkingCode(bool AIsAccepted) {
    Execute(TCommandId::AcceptMarkingCode, ByteField(AIsAccepted ? 1 : 0));
}

void TDevice::ClearBufferKM() {
    Execute(TCommandId::ClearBufferKM, ByteField(2));
}

void TDevice::GetMarkingCodeWorkStatus(int& ACheckStatus, int& ANotificationStatus,
                                       int& ACommandFlags, int& ACheckResultSavedCount,
                                       int& ARealizationCount, int& AStorageSize,
                                       int& AMessageCount) {
    const std::string& r = Execute(TCommandId::MarkingStatus);
    ACheckStatus = At(r, 1);
    ANotificationStatus = At(r, 2);
    ACommandFlags = At(r, 3);
    ACheckResultSavedCount = At(r, 4);
    ARealizationCount = At(r, 5);
    AStorageSize = At(r, 6);
    AMessageCount = static_cast<int>(ReadLE(r, 7, 2));
}

} // namespace korv
