// The viewer on Linux: xdg-open, started without a shell, in a desktop session only.

#include "ui/uViewer.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace korv {

namespace {

bool HasDesktop() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

} // namespace

void OpenInViewer(const std::u16string& AFileName) {
    if (!HasDesktop())
        throw EDriverError(u"Нет графического сеанса (DISPLAY и WAYLAND_DISPLAY не заданы). "
                           u"Откройте файл вручную: " +
                           AFileName);
    std::string path = U16ToUtf8(AFileName);
    char program[] = "xdg-open";
    char* argv[] = {program, path.data(), nullptr};
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program, nullptr, nullptr, argv, environ);
    if (rc != 0)
        throw EDriverError(u"Не удалось запустить xdg-open (" + Utf8ToU16(std::strerror(rc)) +
                           u"). Откройте файл вручную: " + AFileName);
    // The host must not wait for the viewer, yet the child has to be reaped
    // so that it does not linger as a zombie in the host's process.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

} // namespace korv
