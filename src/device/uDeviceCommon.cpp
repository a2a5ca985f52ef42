#include "device/uDeviceCommon.h"

#include "common/uEquipmentErrors.h"

#include <cmath>

namespace korv {

namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static const int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : Days[m - 1];
}

[[noreturn]] void BadField() {
    throw EquException(1004);
}

} // namespace

bool TryEncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMinute, int ASecond,
                       TDateTimeValue& AValue) {
    if (AYear < 1 || AYear > 9999 || AMonth < 1 || AMonth > 12 || ADay < 1 ||
        ADay > DaysInMonth(AYear, AMonth) || AHour < 0 || AHour > 23 || AMinute < 0 ||
        AMinute > 59 || ASecond < 0 || ASecond > 59)
        return false;
    AValue =
        DaysFromCivil(AYear, static_cast<unsigned>(AMonth), static_cast<unsigned>(ADay)) * 86400 +
        AHour * 3600 + AMinute * 60 + ASecond;
    return true;
}

TDateTimeParts DecodeDateTime(TDateTimeValue AValue) {
    std::int64_t days = AValue / 86400;
    std::int64_t secs = AValue % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // Civil date from days (inverse of DaysFromCivil).
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    TDateTimeParts p;
    p.Year = static_cast<int>(y + (m <= 2));
    p.Month = static_cast<int>(m);
    p.Day = static_cast<int>(d);
    p.Hour = static_cast<int>(secs / 3600);
    p.Minute = static_cast<int>(secs / 60 % 60);
    p.Second = static_cast<int>(secs % 60);
    return p;
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
