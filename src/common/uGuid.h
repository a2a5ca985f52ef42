#pragma once
// Identifiers from the OS random source.

#include <cstddef>
#include <string>

namespace korv {

/// A new random GUID (version 4): 36 upper-case characters without braces; EquException 1001 when
/// the OS random source fails.
std::u16string NewGuidText();
/// Fills Buf with Len bytes from the OS random source; false when it fails.
bool OsRandomBytes(unsigned char* Buf, std::size_t Len);

} // namespace korv
