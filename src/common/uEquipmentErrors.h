#pragma once
// The driver's own error, EquException, and the table of driver error texts.

#include <stdexcept>
#include <string>
#include <string_view>

namespace korv {

/// Where a failed register command went wrong.
enum class TErrorOrigin {
    None,     // not a command failure (settings, host data, driver logic)
    Register, // the register refused the command with a result code
    Silent,   // the link got no answer in time
    BadFrame, // an answer came but was malformed, foreign or stale
    System,   // the port or socket failed (OS, socket library, settings of the link)
};

/// What the log and recovery code read of a command failure: numbers, never text.
struct TCommandFault {
    TErrorOrigin Origin = TErrorOrigin::None;
    /// The command code as sent (1 byte, or 2 bytes FF nn); empty when none.
    std::string Command;
    /// The register's result code (Register), else the link's code (1007,
    /// 1011, 1014, 600..607); 0 when none.
    int ResultCode = 0;
    /// The link's own words for it (an OS text, "answer to command ..."); may be empty.
    std::u16string Reason;
};

/// The short name of an origin ("register", "silent", "frame", "system"; "" for None).
const char* ErrorOriginName(TErrorOrigin AOrigin);

/// A driver error: a driver error code and its message (host text), and for
/// a failed register command where it failed (Fault).
/// It never crosses the host boundary; the method surface turns it into
/// false + GetLastError.
class EquException : public std::runtime_error {
public:
    EquException(int ACode, std::u16string AMessage, std::u16string AStrCode = {});
    /// Raised with the table text of the code.
    explicit EquException(int ACode);
    /// A failed register command.
    EquException(int ACode, std::u16string AMessage, TCommandFault AFault);

    int Code;
    std::u16string StrCode;
    TCommandFault Fault;
    /// The message as host text (what() holds it as UTF-8).
    const std::u16string& Message() const noexcept { return FMessage; }

private:
    std::u16string FMessage;
};

/// Any other error raised with a host-text message (register result codes,
/// plain driver failures): an EquException whose code is always 1001, as the
/// method surface reports it.
class EDriverError : public EquException {
public:
    explicit EDriverError(std::u16string AMessage);
    EDriverError(std::u16string AMessage, TCommandFault AFault);
};

/// The message of any exception as host text: the u16 message of our own
/// errors, what() read as UTF-8 for the rest.
std::u16string ExceptionMessage(const std::exception& E);

/// AText when it is not empty and ACode != 0; else the table text of ACode;
/// for a code not in the table ADefault when not empty, else "Неизвестная ошибка".
std::u16string GetDriverErrorText(int ACode, std::u16string_view AText = {},
                                  std::u16string_view ADefault = {});

} // namespace korv
