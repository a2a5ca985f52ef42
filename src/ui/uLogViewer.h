#pragma once
// The log viewer: the log files of a folder, shown as text.

#include <string>

namespace korv {

/// Shows the driver's log. On Windows the form TfrmLog: the ".log" files of
/// AFolder in a list (the last one chosen), the chosen file as read-only text
/// in a chosen code page, reloaded while it grows; the call returns when the
/// form is closed. Elsewhere today's file (AToday) is handed to the desktop's
/// viewer. Raises EDriverError when there is nothing to show or no way to show it.
void ShowLogViewer(const std::u16string& AFolder, const std::u16string& AToday);

/// The form's window class and caption, and its controls' identifiers.
inline constexpr wchar_t KLogFormClass[] = L"TfrmLog";
inline constexpr int KBtnOpenDir = 101;
inline constexpr int KCbbLogFiles = 102;
inline constexpr int KCbbEncoding = 103;
inline constexpr int KMemoLog = 104;

} // namespace korv
