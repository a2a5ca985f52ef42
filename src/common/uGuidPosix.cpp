#include "common/uEquipmentErrors.h"
#include "common/uGuid.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace korv {

namespace {

bool ReadUrandom(unsigned char* Buf, std::size_t Len) {
    const int Fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
        return false;
    std::size_t Got = 0;
    while (Got < Len) {
        const ssize_t n = ::read(Fd, Buf + Got, Len - Got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        Got += static_cast<std::size_t>(n);
    }
    ::close(Fd);
    return Got == Len;
}

} // namespace

bool OsRandomBytes(unsigned char* Buf, std::size_t Len) {
    std::size_t Got = 0;
    while (Got < Len) {
        const ssize_t n = ::getrandom(Buf + Got, Len - Got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return ReadUrandom(Buf, Len);
        Got += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace korv
