// The viewer on Windows: the shell's "open" verb for the file.

#include "ui/uViewer.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <windows.h>

#include <shellapi.h>

namespace korv {

void OpenInViewer(const std::u16string& AFileName) {
    std::wstring path(AFileName.begin(), AFileName.end());
    auto rc = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (rc <= 32)
        throw EDriverError(u"Не удалось открыть файл " + AFileName + u" (код " +
                           IntToU16(static_cast<long long>(rc)) + u")");
}

} // namespace korv
