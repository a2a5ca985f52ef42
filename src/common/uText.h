#pragma once
// Host text (UTF-16) and the small text rules every layer shares: UTF-8,
// case, trimming, numbers and Booleans written as text, padding and wrapping.
// Invalid input never throws: bad UTF sequences become U+FFFD.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korv {

/// UTF-8 to UTF-16; a bad sequence becomes U+FFFD.
std::u16string Utf8ToU16(std::string_view s);
/// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string U16ToUtf8(std::u16string_view s);

/// Case-insensitive comparison (Latin and Cyrillic letters), as used for
/// property names and XML names compared "without case".
bool SameTextI(std::u16string_view a, std::u16string_view b);
/// Latin and Cyrillic letters in upper case.
std::u16string UpperCase(std::u16string_view s);
/// Latin and Cyrillic letters in lower case.
std::u16string LowerCase(std::u16string_view s);

/// Decimal text of an integer.
std::u16string IntToU16(long long v);
/// Decimal text of a double ("." as the separator, no exponent for ordinary values, no trailing
/// zeros).
std::u16string FloatToU16(double v);

/// What a trim removes: blanks and control characters, U+0000..U+0020.
constexpr bool IsTrimmedChar(char32_t c) {
    return c <= 0x20;
}
/// Text without leading and trailing blanks and control characters (IsTrimmedChar).
std::u16string_view TrimView(std::u16string_view Text);
/// 8-bit text (any code page) without leading and trailing bytes 0x00..0x20 (NUL padding included).
std::string_view TrimView(std::string_view Bytes);

/// A decimal integer with an optional sign, surrounding blanks ignored; nothing for anything else
/// or overflow.
std::optional<std::int64_t> TextToInt64(std::u16string_view Text);
/// A finite decimal number, "." or "," as the separator, optional sign and exponent, surrounding
/// blanks ignored; nothing otherwise.
std::optional<double> TextToFloat(std::u16string_view Text);
/// "true"/"false" in any case, or a number (TextToFloat) that is true when not 0; surrounding
/// blanks ignored; nothing otherwise ("yes" included).
std::optional<bool> TextToBool(std::u16string_view Text);
/// "true" or "false", as Booleans are written in XML.
const char* BoolText(bool AValue);

/// Text filled with blanks up to Len; with Cut, first cut to Len.
std::string PadText(std::string_view Text, std::size_t Len, bool Cut);
/// Decimal digits of Value left-padded with "0" to Width.
std::string ZeroPad(std::uint64_t Value, int Width);
/// Keeps TAB, LF, CR, U+0020..U+D7FF, U+E000..U+FFFD and whole surrogate pairs
/// (characters beyond U+FFFF), the characters XML allows; drops the rest.
std::u16string FilterText(std::u16string_view Text);
/// Pieces of Size characters, the last one shorter (Size 0: the text whole, none for empty text).
std::vector<std::u16string> SplitText(std::u16string_view Text, std::size_t Size);
/// Hands LineSink each line: CR LF and CR become LF, a line longer than Width breaks at the last
/// blank within it (hard at Width without one), every line trimmed.
void WrapText(std::u16string_view Text, std::size_t Width,
              const std::function<void(std::u16string_view)>& LineSink);

} // namespace korv
