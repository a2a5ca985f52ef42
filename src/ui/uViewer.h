#pragma once
// Showing the driver's files (help page, log) in the desktop's own viewer.

#include <string>

namespace korv {

/// Hands AFileName to the desktop's default viewer and returns without
/// waiting for it. Raises EDriverError with a message that names the file
/// when there is no desktop to show it on or the viewer cannot be started.
void OpenInViewer(const std::u16string& AFileName);

} // namespace korv
