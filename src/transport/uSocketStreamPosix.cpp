#include "transport/uSocketStream.h"

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

namespace korv {

namespace {

std::u16string SystemText(int AErr) {
    return Utf8ToU16(std::strerror(AErr));
}

bool SetBlocking(int AFd, bool ABlocking) {
    const int Flags = ::fcntl(AFd, F_GETFL);
    if (Flags < 0)
        return false;
    return ::fcntl(AFd, F_SETFL, ABlocking ? Flags & ~O_NONBLOCK : Flags | O_NONBLOCK) == 0;
}

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

TSocketStream::TSocketStream() = default;

TSocketStream::~TSocketStream() {
    Close();
}

int TSocketStream::Connect(std::uint32_t AAddress, std::uint16_t APort, int AConnectTimeoutMs) {
    Close();
    FError.clear();
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        FError = SystemText(errno);
        return 600;
    }
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_port = htons(APort);
    Addr.sin_addr.s_addr = htonl(AAddress);
    bool Ok = SetBlocking(s, false);
    if (Ok && ::connect(s, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) != 0) {
        Ok = false;
        if (errno == EINPROGRESS) {
            short Rev = 0;
            const int r = PollFor(s, POLLOUT, AConnectTimeoutMs, Rev);
            int Err = 0;
            socklen_t Len = sizeof Err;
            if (r > 0 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &Err, &Len) == 0 && Err == 0)
                Ok = true;
            else
                FError = r == 0 ? u"Истек таймаут подключения" : SystemText(Err ? Err : errno);
        } else {
            FError = SystemText(errno);
        }
    }
    if (Ok)
        Ok = SetBlocking(s, true);
    if (!Ok) {
        ::close(s);
        return 601;
    }
    // The receive limit is kept as an option of the socket too, for any
    // blocking receive; our own receives wait in poll with the same limit.
    timeval Tv{FReceiveTimeout / 1000, (FReceiveTimeout % 1000) * 1000};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &Tv, sizeof Tv);
    int One = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    FSocket = s;
    return 0;
}

int TSocketStream::Close() {
    if (!IsOpen())
        return 0;
    const int s = static_cast<int>(FSocket);
    ::shutdown(s, SHUT_RDWR);
    FSocket = kNoSocket;
    if (::close(s) != 0) {
        FError = SystemText(errno);
        return errno ? errno : -1;
    }
    return 0;
}

int TSocketStream::Send(std::string_view AData) {
    if (!IsOpen()) {
        FError = u"Соединение не установлено";
        return 605;
    }
    std::size_t Done = 0;
    while (Done < AData.size()) {
        // MSG_NOSIGNAL: a closed peer gives EPIPE here, never SIGPIPE.
        const ssize_t n = ::send(static_cast<int>(FSocket), AData.data() + Done,
                                 AData.size() - Done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            FError = SystemText(errno);
            return 605;
        }
        Done += static_cast<std::size_t>(n);
    }
    return 0;
}

int TSocketStream::WaitReadable(int ATimeoutMs) {
    short Rev = 0;
    const int r = PollFor(static_cast<int>(FSocket), POLLIN, ATimeoutMs, Rev);
    if (r < 0) {
        FError = SystemText(errno);
        return -1;
    }
    if (r == 0)
        return 0;
    // POLLHUP / POLLERR: the receive that follows tells what happened.
    return 1;
}

long TSocketStream::ReceiveSome(char* ABuf, std::size_t ACount) {
    while (true) {
        const ssize_t n = ::recv(static_cast<int>(FSocket), ABuf, ACount, 0);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        FError = SystemText(errno);
        return -1;
    }
}

} // namespace korv
