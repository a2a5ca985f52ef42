// The viewer on Linux: xdg-open, started without a shell, in a desktop session only.

#include "ui/uViewer.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // The host must not wait for the viewer, and nothing of ours may linger
    // after the call (a zombie, or a reaping thread that would outlive an
    // unloaded library): an intermediate child starts the viewer and exits
    // at once, so the viewer is adopted by init.
    pid_t child = fork();
    if (child < 0)
        throw EDriverError(u"Не удалось запустить xdg-open (" + Utf8ToU16(std::strerror(errno)) +
                           u"). Откройте файл вручную: " + AFileName);
    if (child == 0) {
        // The viewer gets none of the host's files: a port or socket it
        // inherited would stay open for as long as the viewer runs.
        if (close_range(3, ~0U, 0) != 0) {
            long last = sysconf(_SC_OPEN_MAX);
            for (int fd = 3; fd < (last > 0 && last < 65536 ? last : 65536); ++fd)
                close(fd);
        }
        pid_t viewer = 0;
        int rc = posix_spawnp(&viewer, program, nullptr, nullptr, argv, environ);
        _exit(rc == 0 ? 0 : (rc & 0x7F) | 0x80);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        int rc = WIFEXITED(status) ? (WEXITSTATUS(status) & 0x7F) : 0;
        std::u16string reason = rc ? Utf8ToU16(std::strerror(rc)) : u"ошибка запуска";
        throw EDriverError(u"Не удалось запустить xdg-open (" + reason +
                           u"). Откройте файл вручную: " + AFileName);
    }
}

} // namespace korv
