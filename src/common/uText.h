#pragma once
// UTF-8 / UTF-16 conversions for host text. Invalid input never throws:
// bad sequences become U+FFFD.

#include <string>
#include <string_view>

namespace korv {

std::u16string Utf8ToU16(std::string_view s);
std::string U16ToUtf8(std::u16string_view s);

/// Case-insensitive comparison (Latin and Cyrillic letters), as used for
/// property names and XML names compared "without case".
bool SameTextI(std::u16string_view a, std::u16string_view b);
std::u16string UpperCase(std::u16string_view s);
std::u16string LowerCase(std::u16string_view s);

/// Decimal text of an integer / a double ("." as the separator, no exponent
/// for ordinary values, no trailing zeros).
std::u16string IntToU16(long long v);
std::u16string FloatToU16(double v);

} // namespace korv
