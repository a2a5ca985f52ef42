#include "common/uDateTime.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <cstdio>

namespace korv {

namespace {

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

bool IsLeapYear(std::int64_t Year) {
    return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

int DaysInMonth(std::int64_t Year, int Month) {
    static const int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Month < 1 || Month > 12)
        return 0;
    return Month == 2 && IsLeapYear(Year) ? 29 : Days[Month - 1];
}

bool IsValidCivil(const TCivilTime& T) {
    return T.Month >= 1 && T.Month <= 12 && T.Day >= 1 && T.Day <= DaysInMonth(T.Year, T.Month) &&
           T.Hour >= 0 && T.Hour <= 23 && T.Minute >= 0 && T.Minute <= 59 && T.Second >= 0 &&
           T.Second <= 59;
}

// The day counts below shift the year to start in March, so that the leap day
// is the last day of a year; an era is 400 years (146097 days).
std::int64_t DaysFromCivil(std::int64_t Year, int Month, int Day) {
    const auto m = static_cast<unsigned>(Month);
    const auto d = static_cast<unsigned>(Day);
    const std::int64_t y = Year - (m <= 2);
    const std::int64_t Era = (y >= 0 ? y : y - 399) / 400;
    const auto Yoe = static_cast<unsigned>(y - Era * 400);
    const unsigned Doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + static_cast<std::int64_t>(Doe) - 719468;
}

TCivilTime CivilFromDays(std::int64_t Days) {
    const std::int64_t z = Days + 719468;
    const std::int64_t Era = (z >= 0 ? z : z - 146096) / 146097;
    const auto Doe = static_cast<unsigned>(z - Era * 146097);
    const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
    const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
    const unsigned Mp = (5 * Doy + 2) / 153;
    TCivilTime T;
    T.Day = static_cast<int>(Doy - (153 * Mp + 2) / 5 + 1);
    T.Month = static_cast<int>(Mp < 10 ? Mp + 3 : Mp - 9);
    T.Year = static_cast<std::int64_t>(Yoe) + Era * 400 + (T.Month <= 2);
    return T;
}

std::int64_t UnixFromCivil(const TCivilTime& T) {
    return DaysFromCivil(T.Year, T.Month, T.Day) * 86400 + T.Hour * 3600 + T.Minute * 60 + T.Second;
}

TCivilTime CivilFromUnix(std::int64_t Seconds) {
    std::int64_t Days = Seconds / 86400;
    std::int64_t Rest = Seconds % 86400;
    if (Rest < 0) {
        Rest += 86400;
        --Days;
    }
    TCivilTime T = CivilFromDays(Days);
    T.Hour = static_cast<int>(Rest / 3600);
    T.Minute = static_cast<int>(Rest / 60 % 60);
    T.Second = static_cast<int>(Rest % 60);
    return T;
}

std::optional<std::int64_t> ParseIso8601(std::u16string_view Text) {
    TReader R(TrimView(Text));
    int Year, Month, Day, Hour = 0, Minute = 0, Second = 0;
    if (!R.Digits(4, Year) || !R.Take(u'-') || !R.Digits(2, Month) || !R.Take(u'-') ||
        !R.Digits(2, Day))
        return std::nullopt;
    if (Day < 1 || Day > DaysInMonth(Year, Month))
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
    return UnixFromCivil({Year, Month, Day, Hour, Minute, Second}) - Offset;
}

std::int64_t DateTextToUnix(std::u16string_view Text) {
    if (auto Value = ParseIso8601(Text))
        return *Value;
    throw EquException(1004);
}

std::u16string UnixToIsoText(std::int64_t Seconds) {
    const TCivilTime T = CivilFromUnix(Seconds);
    char Buf[48];
    std::snprintf(Buf, sizeof Buf, "%04lld-%02d-%02dT%02d:%02d:%02d",
                  static_cast<long long>(T.Year), T.Month, T.Day, T.Hour, T.Minute, T.Second);
    return std::u16string(Buf, Buf + std::char_traits<char>::length(Buf));
}

} // namespace korv
