#pragma once
// The register's 8-bit code pages: Windows-1251 ("ANSI", printing) and 866
// ("OEM", some FN requisites), from our own tables. Every byte survives a
// round trip through UTF-16.

#include <string>
#include <string_view>

namespace korv {

/// UTF-16 to 1251; a character without a 1251 byte becomes '?'.
std::string U16ToAnsi(std::u16string_view Text);
/// 1251 to UTF-16.
std::u16string AnsiToU16(std::string_view Bytes);
/// UTF-16 to 866; a character without an 866 byte becomes '?'.
std::string U16ToOem(std::u16string_view Text);
/// 866 to UTF-16.
std::u16string OemToU16(std::string_view Bytes);
/// 1251 bytes as 866 bytes ('?' for a character 866 lacks).
std::string AnsiToOem(std::string_view Bytes);
/// 866 bytes as 1251 bytes ('?' for a character 1251 lacks).
std::string OemToAnsi(std::string_view Bytes);

} // namespace korv
