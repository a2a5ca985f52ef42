#pragma once
// The driver's own error, EquException, and the table of driver error texts.

#include <stdexcept>
#include <string>
#include <string_view>

namespace korv {

/// A driver error: a driver error code and its message (host text).
/// It never crosses the host boundary; the method surface turns it into
/// false + GetLastError.
class EquException : public std::runtime_error {
public:
    EquException(int ACode, std::u16string AMessage, std::u16string AStrCode = {});
    /// Raised with the table text of the code.
    explicit EquException(int ACode);

    int Code;
    std::u16string StrCode;
    /// The message as host text (what() holds it as UTF-8).
    const std::u16string& Message() const noexcept { return FMessage; }

private:
    std::u16string FMessage;
};

/// Any other error raised with a host-text message (register result codes,
/// plain driver failures). The method surface reports these with code 1001.
class EDriverError : public std::runtime_error {
public:
    explicit EDriverError(std::u16string AMessage);
    const std::u16string& Message() const noexcept { return FMessage; }

private:
    std::u16string FMessage;
};

/// The message of any exception as host text: the u16 message of our own
/// errors, what() read as UTF-8 for the rest.
std::u16string ExceptionMessage(const std::exception& E);

/// AText when it is not empty and ACode != 0; else the table text of ACode;
/// for a code not in the table ADefault when not empty, else "Неизвестная ошибка".
std::u16string GetDriverErrorText(int ACode, std::u16string_view AText = {},
                                  std::u16string_view ADefault = {});

} // namespace korv
