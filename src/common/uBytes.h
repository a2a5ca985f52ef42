#pragma once
// Register bytes: hexadecimal text, little- and big-endian integers, packed
// BCD, bit flags and padding. Byte strings (std::string) hold register bytes.

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

/// Each byte as two upper-case hexadecimal digits followed by Separator ("05 AB ").
std::string BytesToHexText(std::string_view Bytes, std::string_view Separator = " ");
/// The first Count bytes (0 = all) as hexadecimal digits without separators.
std::string BytesToHexTextN(std::string_view Bytes, int Count);
/// Hexadecimal digits left-padded with "0" to 2 * Count (0 = own length) as bytes; a non-digit
/// counts as 0.
std::string HexTextToBytes(std::string_view Text, int Count);
/// Hexadecimal text with one optional trailing "H"; 0 for empty text or any non-digit.
std::int64_t HexToInt64(std::string_view Text);

/// The bytes as an unsigned little-endian integer; bytes past the eighth are ignored.
std::uint64_t LEBytesToInt(std::string_view Bytes);
/// Value in hexadecimal with at least Digits digits (an odd count gets a leading 0), least
/// significant byte first.
std::string IntToLEBytes(int Digits, std::uint64_t Value);
/// Exactly Count bytes of Value, least significant first (bytes past the eighth are 0).
std::string IntToLEBytesN(int Count, std::uint64_t Value);
/// Exactly Count bytes of Value, most significant first.
std::string IntToBEBytesN(int Count, std::uint64_t Value);
/// Amount * 100 (rounded through four decimals) as 6 bytes little-endian.
std::string MoneyToLE6(double Amount);

/// The first Count bytes (0 = all) as packed BCD; 0 when a nibble is not a decimal digit.
std::uint64_t BCDToInt(std::string_view Bytes, int Count);
/// The decimal digits of Value left-padded to 2 * Count (a longer number keeps its leading digits),
/// packed two per byte.
std::string IntToBCD(int Count, std::uint64_t Value);

/// True when bit Bit (0..63) of Value is set; false for a bit outside.
bool TestBit(std::uint64_t Value, int Bit);
/// Value with bit Bit (0..63) set; unchanged for a bit outside.
std::uint64_t SetBit(std::uint64_t Value, int Bit);
/// Value with bit Bit (0..7) set or cleared; unchanged for a bit outside.
std::uint8_t SetByteBit(std::uint8_t Value, int Bit, bool On);
/// The byte with its eight bits in reverse order. Pictures call this for each
/// byte of each row, so it swaps nibbles, pairs and bits in place of a loop.
constexpr std::uint8_t ReverseBits(std::uint8_t Byte) {
    unsigned b = Byte;
    b = (b & 0xF0u) >> 4 | (b & 0x0Fu) << 4;
    b = (b & 0xCCu) >> 2 | (b & 0x33u) << 2;
    b = (b & 0xAAu) >> 1 | (b & 0x55u) << 1;
    return static_cast<std::uint8_t>(b);
}

/// Text cut to Len bytes, then filled with Fill up to Len.
std::string PadBytes(std::string_view Text, std::size_t Len, char Fill);

} // namespace korv
