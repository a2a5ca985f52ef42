#pragma once
// Types shared by the register command layer and the driver operations, and
// the fixed-width field encoders every command uses to build its data.

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

/// Money inside the driver: a fixed-point amount counting 1/10000 of a rouble.
using TCurrency = std::int64_t;
/// One rouble as a TCurrency.
inline constexpr TCurrency CurrencyScale = 10000;

/// A date and time as seconds since 1970-01-01 of the register's wall clock
/// (no time zone is ever applied).
using TDateTimeValue = std::int64_t;

/// Fiscal data format version of the register.
enum class TFFDVersion : std::uint8_t { ffd10 = 0, ffd105 = 1, ffd11 = 2, ffd12 = 3 };

/// The FN status as FF 01 reports it.
struct TFNCurrentStatus {
    std::uint8_t FNPhase = 0;         // bit 1 set: the FN is fiscalized
    std::uint8_t CurrentDocument = 0; // type of the document being formed
    std::uint8_t DocumentData = 0;    // whether its data arrived
    std::uint8_t ShiftState = 0;      // 0 closed, 1 open
    std::uint8_t WarningFlags = 0;    // bit 0 urgent replacement, bit 1 exhausted, bit 2 full
    std::uint64_t LastFDNumber = 0;   // number of the last fiscal document

    bool IsFiscalized() const { return (FNPhase & 0x02) != 0; }
};

/// The result of one marking-code check.
struct TKMResult {
    std::string GUID;
    std::string KM;
    std::int32_t MarkingValidationResult = 0;
    std::int32_t OnlineValidationError = 0;
    std::int32_t StatusInfo = 0;
    std::int32_t ProcessingResult = 0;
    std::int32_t ProcessingCode = 0;
    std::int32_t KMType = 0;
    std::int32_t RequestDate = 0;
    std::int32_t LocalValidationResult = 0;
    std::int32_t OfflineValidationError = 0;
    std::string TLVList; // tag numbers received, each followed by ';'
    std::int32_t PlannedStatus = 0;
    std::int32_t RequestStatus = 0;
};

// ---- Dates ----------------------------------------------------------------

/// Seconds since 1970 of a calendar date and time; false (AValue untouched)
/// when any part is out of range (month 1..12, day within the month,
/// hours 0..23, minutes and seconds 0..59).
bool TryEncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMinute, int ASecond,
                       TDateTimeValue& AValue);

/// The calendar parts of seconds since 1970.
struct TDateTimeParts {
    int Year, Month, Day, Hour, Minute, Second;
};
TDateTimeParts DecodeDateTime(TDateTimeValue AValue);

// ---- Command fields --------------------------------------------------------
// Every encoder refuses a value that does not fit its field with EquException
// 1004 ("Ошибка входных параметров команды"): a command is never sent with a
// field silently cut or widened.

/// One byte; AValue must lie in 0..255.
std::string ByteField(long long AValue);
/// ACount bytes little-endian; AValue must fit them.
std::string LEField(int ACount, std::uint64_t AValue);
/// Money: 5 bytes of kopecks little-endian. AScaled counts 1/10000 of a
/// rouble; kopecks are rounded to nearest, ties to even. Negative amounts are
/// refused.
std::string MoneyField(TCurrency AScaled);
/// The kopecks of a scaled amount (rounded to nearest, ties to even).
std::int64_t CurrencyToKopecks(TCurrency AScaled);
/// Quantity: 6 bytes of round(AQuantity * 1000000), ties to even.
std::string QuantityField(double AQuantity);
/// ACount bytes of packed BCD, most significant digit first; a value with
/// more than 2 * ACount digits is refused.
std::string BCDField(int ACount, std::uint64_t AValue);
/// The connection password as sent: 4 bytes, least significant first.
std::string ConnectPasswordBytes(std::uint64_t APassword);

// ---- Answer fields ---------------------------------------------------------

/// Unsigned little-endian value of ACount bytes at APos (ACount <= 8; the
/// caller has checked the length).
std::uint64_t ReadLE(std::string_view AData, std::size_t APos, std::size_t ACount);
/// Packed BCD digits read as decimal; 0 when a nibble is not a decimal digit.
std::uint64_t ReadBCD(std::string_view AData);

} // namespace korv
