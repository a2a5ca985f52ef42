#include "device/uDeviceCommon.h"

#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"

#include <cmath>

namespace korv {

namespace {

[[noreturn]] void BadField() {
    throw EquException(1004);
}

} // namespace

bool TryEncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMinute, int ASecond,
                       TDateTimeValue& AValue) {
    const TCivilTime Time{AYear, AMonth, ADay, AHour, AMinute, ASecond};
    if (AYear < 1 || AYear > 9999 || !IsValidCivil(Time))
        return false;
    AValue = UnixFromCivil(Time);
    return true;
}

TDateTimeParts DecodeDateTime(TDateTimeValue AValue) {
    const TCivilTime T = CivilFromUnix(AValue);
    return {static_cast<int>(T.Year), T.Month, T.Day, T.Hour, T.Minute, T.Second};
}

std::string ByteField(long long AValue) {
    if (AValue < 0 || AValue > 255)
        BadField();
    return std::string(1, static_cast<char>(AValue));
}

std::string LEField(int ACount, std::uint64_t AValue) {
    if (ACount < 8 && (AValue >> (8 * ACount)) != 0)
        BadField();
    std::string out;
    for (int i = 0; i < ACount; ++i) {
        out += static_cast<char>(i < 8 ? (AValue >> (8 * i)) & 0xFF : 0);
    }
    return out;
}

std::int64_t CurrencyToKopecks(TCurrency AScaled) {
    std::int64_t q = AScaled / 100;
    std::int64_t r = AScaled % 100;
    if (r < 0) {
        r += 100;
        --q;
    }
    if (r > 50 || (r == 50 && (q & 1) != 0))
        ++q;
    return q;
}

std::string MoneyField(TCurrency AScaled) {
    const std::int64_t kopecks = CurrencyToKopecks(AScaled);
    if (kopecks < 0)
        BadField();
    return LEField(5, static_cast<std::uint64_t>(kopecks));
}

std::string QuantityField(double AQuantity) {
    const double scaled = std::nearbyint(AQuantity * 1000000.0);
    if (!(scaled >= 0.0) || scaled >= 281474976710656.0) // NaN, negative, 2^48
        BadField();
    return LEField(6, static_cast<std::uint64_t>(scaled));
}

std::string BCDField(int ACount, std::uint64_t AValue) {
    std::string out(static_cast<std::size_t>(ACount), '\0');
    for (int i = ACount - 1; i >= 0; --i) {
        const unsigned lo = static_cast<unsigned>(AValue % 10);
        AValue /= 10;
        const unsigned hi = static_cast<unsigned>(AValue % 10);
        AValue /= 10;
        out[static_cast<std::size_t>(i)] = static_cast<char>(hi << 4 | lo);
    }
    if (AValue != 0)
        BadField();
    return out;
}

std::string ConnectPasswordBytes(std::uint64_t APassword) {
    return LEField(4, APassword);
}

std::uint64_t ReadLE(std::string_view AData, std::size_t APos, std::size_t ACount) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < ACount && i < 8 && APos + i < AData.size(); ++i)
        v |= static_cast<std::uint64_t>(static_cast<unsigned char>(AData[APos + i])) << (8 * i);
    return v;
}

std::uint64_t ReadBCD(std::string_view AData) {
    std::uint64_t v = 0;
    for (char c : AData) {
        const unsigned b = static_cast<unsigned char>(c);
        if ((b >> 4) > 9 || (b & 0x0F) > 9)
            return 0;
        v = v * 100 + (b >> 4) * 10 + (b & 0x0F);
    }
    return v;
}

} // namespace korv
