#pragma once
// Base64 (RFC 4648, standard alphabet, with padding).

#include <string>
#include <string_view>

namespace korv {

/// The bytes in Base64 with "=" padding.
std::string Base64Encode(std::string_view Bytes);
/// The bytes of Base64 text; whitespace is ignored, padding optional; anything else raises
/// EquException 1004.
std::string Base64Decode(std::string_view Text);

} // namespace korv
