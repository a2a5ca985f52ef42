#pragma once
// The register's frame, the same on the serial line and on TCP:
//   STX (0x02), LEN (1..255), LEN message bytes, LRC (XOR of LEN and message).
// A message starts with the command code: one byte, or two when the first is
// 0xFE or 0xFF. In an answer the result code follows the command code.

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t ENQ = 0x05;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t NAK = 0x15;

/// The longest message one frame carries (its length byte).
inline constexpr std::size_t MaxFrameMessage = 255;

/// XOR of all bytes; 0 for none.
std::uint8_t CalcLRC(std::string_view ABytes);

/// The frame of AMessage; empty when the message is empty or longer than 255.
std::string BuildFrame(std::string_view AMessage);

/// The length of the command code at the start of AMessage (1 or 2).
std::size_t CommandCodeLength(std::string_view AMessage);

enum class TFrameStatus {
    Ok,
    BadStart,  // the first byte is not STX
    BadLength, // fewer or more bytes than LEN asks for
    BadLRC,    // the check byte does not match
};

/// Checks a frame as received (STX, LEN, message, LRC) and cuts out the
/// answer: the message after its command code (result code first; empty when
/// the message holds no more than the code, which the command layer refuses).
/// On failure AResponse is left empty.
TFrameStatus ParseAnswerFrame(std::string_view AFrame, std::string& AResponse);

/// The command code of a received frame's message (empty when none).
std::string_view FrameCommandCode(std::string_view AFrame);

} // namespace korv
