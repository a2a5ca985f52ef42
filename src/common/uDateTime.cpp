#include "common/uCommonUtils.h"
#include "common/uEquipmentErrors.h"

#include <cstdio>

namespace korv {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t Era = (y >= 0 ? y : y - 399) / 400;
    const auto Yoe = static_cast<unsigned>(y - Era * 400);
    const unsigned Doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + static_cast<std::int64_t>(Doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t Era = (z >= 0 ? z : z - 146096) / 146097;
    const auto Doe = static_cast<unsigned>(z - Era * 146097);
    const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
    y = static_cast<std::int64_t>(Yoe) + Era * 400;
    const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
    const unsigned Mp = (5 * Doy + 2) / 153;
    d = Doy - (153 * Mp + 2) / 5 + 1;
    m = Mp < 10 ? Mp + 3 : Mp - 9;
    y += m <= 2;
}

unsigned DaysInMonth(std::int64_t y, unsigned m) {
    static const unsigned Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0))
        return 29;
    return Days[m - 1];
}

class TReader {
public:
    explicit TReader(std::u16string_view AText) : FText(AText) {}

    bool Digits(int Count, int& Value) {
        Value = 0;
        for (int i = 0; i < Count; ++i) {
            if (FPos >= FText.size() || FText[FPos] < u'0' || FText[FPos] > u'9')
                return false;
            Value = Value * 10 + (FText[FPos++] - u'0');
        }
        return true;
    }
    bool Take(char16_t c) {
        if (FPos < FText.size() && FText[FPos] == c) {
            ++FPos;
            return true;
        }
        return false;
    }
    bool AtEnd() const { return FPos == FText.size(); }
    bool NextIsDigit() const {
        return FPos < FText.size() && FText[FPos] >= u'0' && FText[FPos] <= u'9';
    }

private:
    std::u16string_view FText;
    std::size_t FPos = 0;
};

} // namespace

std::optional<std::int64_t> ParseIso8601(std::u16string_view Text) {
    while (!Text.empty() && Text.front() == u' ')
        Text.remove_prefix(1);
    while (!Text.empty() && Text.back() == u' ')
        Text.remove_suffix(1);
    TReader R(Text);
    int Year, Month, Day, Hour = 0, Minute = 0, Second = 0;
    if (!R.Digits(4, Year) || !R.Take(u'-') || !R.Digits(2, Month) || !R.Take(u'-') ||
        !R.Digits(2, Day))
        return std::nullopt;
    if (Month < 1 || Month > 12 || Day < 1 ||
        Day > static_cast<int>(DaysInMonth(Year, static_cast<unsigned>(Month))))
        return std::nullopt;
    std::int64_t Offset = 0;
    if (!R.AtEnd()) {
        if (!R.Take(u'T') && !R.Take(u't') && !R.Take(u' '))
            return std::nullopt;
        if (!R.Digits(2, Hour) || !R.Take(u':') || !R.Digits(2, Minute))
            return std::nullopt;
        if (R.Take(u':')) {
            if (!R.Digits(2, Second))
                return std::nullopt;
            if (R.Take(u'.') || R.Take(u',')) {
                if (!R.NextIsDigit())
                    return std::nullopt;
                int Skip;
                while (R.NextIsDigit())
                    R.Digits(1, Skip); // fractions of a second are dropped
            }
        }
        if (Hour > 23 || Minute > 59 || Second > 59)
            return std::nullopt;
        if (R.Take(u'Z') || R.Take(u'z')) {
            Offset = 0;
        } else if (!R.AtEnd()) {
            int Sign;
            if (R.Take(u'+'))
                Sign = 1;
            else if (R.Take(u'-'))
                Sign = -1;
            else
                return std::nullopt;
            int OffH, OffM = 0;
            if (!R.Digits(2, OffH))
                return std::nullopt;
            if (R.Take(u':')) {
                if (!R.Digits(2, OffM))
                    return std::nullopt;
            } else if (R.NextIsDigit() && !R.Digits(2, OffM)) {
                return std::nullopt;
            }
            if (OffH > 23 || OffM > 59)
                return std::nullopt;
            Offset = Sign * (OffH * 3600 + OffM * 60);
        }
        if (!R.AtEnd())
            return std::nullopt;
    }
    const std::int64_t Days =
        DaysFromCivil(Year, static_cast<unsigned>(Month), static_cast<unsigned>(Day));
    return Days * 86400 + Hour * 3600 + Minute * 60 + Second - Offset;
}

std::int64_t DateTextToUnix(std::u16string_view Text) {
    if (auto Value = ParseIso8601(Text))
        return *Value;
    throw EquException(1004);
}

std::u16string UnixToIsoText(std::int64_t Seconds) {
    std::int64_t Days = Seconds / 86400;
    std::int64_t Rest = Seconds % 86400;
    if (Rest < 0) {
        Rest += 86400;
        --Days;
    }
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(Days, y, m, d);
    char Buf[48];
    std::snprintf(Buf, sizeof Buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                  static_cast<long long>(y), m, d, static_cast<long long>(Rest / 3600),
                  static_cast<long long>(Rest / 60 % 60), static_cast<long long>(Rest % 60));
    return std::u16string(Buf, Buf + std::char_traits<char>::length(Buf));
}

} // namespace korv
