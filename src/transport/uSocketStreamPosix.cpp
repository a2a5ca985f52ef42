#include "transport/uSocketPlatform.h"

#include "common/uText.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korv::sockos {

namespace {

int Fd(THandle AHandle) {
    return static_cast<int>(AHandle);
}

std::u16string SystemText(int AErr) {
    switch (AErr) {
    case ECONNREFUSED:
        return u"соединение отклонено";
    case ETIMEDOUT:
        return u"нет ответа";
    case EHOSTUNREACH:
    case ENETUNREACH:
        return u"узел недоступен";
    default:
        return Utf8ToU16(std::strerror(AErr));
    }
}

bool SetBlocking(int AFd, bool ABlocking) {
    const int Flags = ::fcntl(AFd, F_GETFL);
    if (Flags < 0)
        return false;
    return ::fcntl(AFd, F_SETFL, ABlocking ? Flags & ~O_NONBLOCK : Flags | O_NONBLOCK) == 0;
}

/// poll on one descriptor, resumed after signals until ATimeoutMs (negative:
/// no limit) has passed.
int PollFor(int AFd, short AEvents, int ATimeoutMs, short& ARevents) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (true) {
        int Wait = ATimeoutMs < 0 ? -1 : 0;
        if (ATimeoutMs > 0) {
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  Deadline - std::chrono::steady_clock::now())
                                  .count();
            Wait = Left > 0 ? static_cast<int>(Left) : 0;
        }
        pollfd P{AFd, AEvents, 0};
        const int r = ::poll(&P, 1, Wait);
        if (r < 0 && errno == EINTR)
            continue;
        ARevents = P.revents;
        return r;
    }
}

} // namespace

bool Startup(std::u16string&) {
    return true;
}

void Cleanup() {}

THandle Open(std::u16string& AError) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        AError = SystemText(errno);
        return NoSocket;
    }
    return s;
}

int Connect(THandle AHandle, std::uint32_t AAddress, std::uint16_t APort, int ATimeoutMs,
            std::u16string& AError) {
    const int s = Fd(AHandle);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_port = htons(APort);
    Addr.sin_addr.s_addr = htonl(AAddress);
    if (!SetBlocking(s, false)) {
        AError = SystemText(errno);
        return -1;
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) != 0) {
        if (errno != EINPROGRESS) {
            AError = SystemText(errno);
            return -1;
        }
        short Rev = 0;
        const int r = PollFor(s, POLLOUT, ATimeoutMs, Rev);
        if (r == 0)
            return 0;
        int Err = 0;
        socklen_t Len = sizeof Err;
        if (r < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, &Err, &Len) != 0 || Err != 0) {
            AError = SystemText(Err ? Err : errno);
            return -1;
        }
    }
    if (!SetBlocking(s, true)) {
        AError = SystemText(errno);
        return -1;
    }
    return 1;
}

bool SetNoDelay(THandle AHandle, bool AOn) {
    const int On = AOn ? 1 : 0;
    return ::setsockopt(Fd(AHandle), IPPROTO_TCP, TCP_NODELAY, &On, sizeof On) == 0;
}

bool SetReceiveTimeout(THandle AHandle, int AMs) {
    timeval Tv{AMs / 1000, (AMs % 1000) * 1000};
    return ::setsockopt(Fd(AHandle), SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof Tv) == 0;
}

bool SetReceiveLowWater(THandle AHandle, int ABytes) {
    return ::setsockopt(Fd(AHandle), SOL_SOCKET, SO_RCVLOWAT, &ABytes, sizeof ABytes) == 0;
}

int Close(THandle AHandle, std::u16string& AError) {
    ::shutdown(Fd(AHandle), SHUT_RDWR);
    if (::close(Fd(AHandle)) != 0) {
        AError = SystemText(errno);
        return errno ? errno : -1;
    }
    return 0;
}

long Send(THandle AHandle, const char* AData, std::size_t ACount, std::u16string& AError) {
    while (true) {
        // MSG_NOSIGNAL: a closed peer gives EPIPE here, never SIGPIPE.
        const ssize_t n = ::send(Fd(AHandle), AData, ACount, MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        AError = SystemText(errno);
        return -1;
    }
}

int WaitReadable(THandle AHandle, int ATimeoutMs, std::u16string& AError) {
    short Rev = 0;
    const int r = PollFor(Fd(AHandle), POLLIN, ATimeoutMs, Rev);
    if (r < 0) {
        AError = SystemText(errno);
        return -1;
    }
    // POLLHUP / POLLERR count as ready: the receive that follows tells what happened.
    return r == 0 ? 0 : 1;
}

long Receive(THandle AHandle, char* ABuf, std::size_t ACount, std::u16string& AError) {
    while (true) {
        const ssize_t n = ::recv(Fd(AHandle), ABuf, ACount, 0);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        AError = SystemText(errno);
        return -1;
    }
}

long ReceiveWithin(THandle AHandle, char* ABuf, std::size_t ACount, int ATimeoutMs, int&,
                   std::u16string& AError) {
    // poll is cheap here; the socket's own time-out is left as it is.
    const int Ready = WaitReadable(AHandle, ATimeoutMs, AError);
    if (Ready <= 0)
        return Ready < 0 ? -1 : TimedOut;
    return Receive(AHandle, ABuf, ACount, AError);
}

} // namespace korv::sockos
