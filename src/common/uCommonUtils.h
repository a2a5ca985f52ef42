#pragma once
// Small conversions shared by the command layer and the driver operations.
// Byte strings (std::string) hold register bytes; u16string holds host text.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korv {

std::string BytesToHexText(std::string_view Bytes, std::string_view Separator = " ");
std::string PadText(std::string_view Text, std::size_t Len, bool Cut);
std::string PadBytes(std::string_view Text, std::size_t Len, char Fill);
/// Keeps TAB, LF, CR, U+0020..U+D7FF and U+E000..U+FFFD (the XML input rule).
std::u16string FilterText(std::u16string_view Text);
std::int64_t HexToInt64(std::string_view Text);
std::uint64_t LEBytesToInt(std::string_view Bytes);
std::string IntToLEBytes(int Digits, std::uint64_t Value);
std::string IntToLEBytesN(int Count, std::uint64_t Value);
std::string IntToBEBytesN(int Count, std::uint64_t Value);
std::string HexTextToBytes(std::string_view Text, int Count);
std::string BytesToHexTextN(std::string_view Bytes, int Count);
std::uint64_t BCDToInt(std::string_view Bytes, int Count);
std::string IntToBCD(int Count, std::uint64_t Value);
std::string MoneyToLE6(double Amount);
bool TestBit(std::uint64_t Value, int Bit);
std::uint64_t SetBit(std::uint64_t Value, int Bit);
std::uint8_t SetByteBit(std::uint8_t Value, int Bit, bool On);
std::uint8_t ReverseBits(std::uint8_t Byte);
std::string ZeroPad(std::uint64_t Value, int Width);
std::vector<std::u16string> SplitText(std::u16string_view Text, std::size_t Size);
/// Wraps at the last blank within Width (hard at Width without one); CR LF and CR become LF.
void WrapText(std::u16string_view Text, std::size_t Width,
              const std::function<void(std::u16string_view)>& LineSink);

/// Code pages: Windows-1251 ("ANSI") and 866 ("OEM"), our own tables.
std::string U16ToAnsi(std::u16string_view Text); // unmapped characters become '?'
std::u16string AnsiToU16(std::string_view Bytes);
std::string U16ToOem(std::u16string_view Text);
std::u16string OemToU16(std::string_view Bytes);
std::string AnsiToOem(std::string_view Bytes);
std::string OemToAnsi(std::string_view Bytes);

/// Base64 (RFC 4648, with padding). Decoding ignores whitespace and raises
/// EquException 1004 on anything else that is not Base64.
std::string Base64Encode(std::string_view Bytes);
std::string Base64Decode(std::string_view Text);

/// ISO 8601 "yyyy-mm-ddThh:nn:ss" with optional fraction and zone (Z, +hh:mm).
/// A value without a zone is local wall time taken as is. Returns seconds
/// since 1970-01-01 of the wall time (zone offset applied when given), or nothing.
std::optional<std::int64_t> ParseIso8601(std::u16string_view Text);
/// DateTextToUnix: ParseIso8601 or EquException 1004.
std::int64_t DateTextToUnix(std::u16string_view Text);
/// "yyyy-mm-ddThh:nn:ss" of seconds since 1970 (no zone conversion).
std::u16string UnixToIsoText(std::int64_t Seconds);

/// A new random GUID (version 4) as 36 characters without braces (upper-case
/// hex). Raises EquException 1001 when the OS random source fails.
std::u16string NewGuidText();
/// Fills Buf with Len bytes from the OS random source; false when it fails.
bool OsRandomBytes(unsigned char* Buf, std::size_t Len);

/// Name tables: payment method 1..7, calculation subject 1..33 (empty outside).
std::u16string PaymentMethodName(int Value);
std::u16string CalculationSubjectName(int Value);

} // namespace korv
