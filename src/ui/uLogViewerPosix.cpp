// The log viewer on Linux: today's log in the desktop's own viewer.

#include "ui/uLogViewer.h"

#include "common/uEquipmentErrors.h"
#include "ui/uViewer.h"

#include <filesystem>
#include <system_error>

namespace korv {

void ShowLogViewer(const std::u16string&, const std::u16string& AToday) {
    std::error_code Ec;
    if (!std::filesystem::exists(std::filesystem::path(AToday), Ec))
        throw EDriverError(u"Лог за сегодня ещё не записан (включите настройку «Вести лог»): " +
                           AToday);
    OpenInViewer(AToday);
}

} // namespace korv
