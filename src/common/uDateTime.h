#pragma once
// Calendar arithmetic (proleptic Gregorian, no time zones) and the ISO 8601
// date-times of the XML documents. Times are seconds since 1970-01-01 00:00:00
// of the wall clock they were read from.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korv {

/// A calendar date and time of day.
struct TCivilTime {
    std::int64_t Year = 1970;
    int Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0;
};

/// True for a leap year of the Gregorian calendar.
bool IsLeapYear(std::int64_t Year);
/// Days of Month (1..12) in Year; 0 for a month outside 1..12.
int DaysInMonth(std::int64_t Year, int Month);
/// True when month, day, hour (0..23), minute and second (0..59) name a real moment of Year.
bool IsValidCivil(const TCivilTime& ATime);
/// Days since 1970-01-01 of a valid date (negative before it).
std::int64_t DaysFromCivil(std::int64_t Year, int Month, int Day);
/// The date of a day counted from 1970-01-01; the time of day is 00:00:00.
TCivilTime CivilFromDays(std::int64_t Days);
/// Seconds since 1970-01-01 of a valid civil time.
std::int64_t UnixFromCivil(const TCivilTime& ATime);
/// The civil time of seconds since 1970-01-01 (earlier times included).
TCivilTime CivilFromUnix(std::int64_t Seconds);

/// "yyyy-mm-dd[Thh:nn[:ss[.fff]]][Z|+hh:mm|-hhmm]", surrounding blanks ignored; seconds since 1970
/// (zone offset applied when given, fractions dropped), or nothing.
std::optional<std::int64_t> ParseIso8601(std::u16string_view Text);
/// ParseIso8601, or EquException 1004 "Ошибка входных параметров команды" for text that does not
/// parse.
std::int64_t DateTextToUnix(std::u16string_view Text);
/// "yyyy-mm-ddThh:nn:ss" of seconds since 1970 (no zone conversion).
std::u16string UnixToIsoText(std::int64_t Seconds);

} // namespace korv
