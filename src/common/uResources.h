#pragma once
// Files of resources/ compiled into the library (see cmake/KorvanderResources.cmake).

#include <optional>
#include <string_view>

namespace korv {

/// The bytes of the resource `name` (compared without case), or nothing.
std::optional<std::string_view> FindResource(std::string_view name);

} // namespace korv
