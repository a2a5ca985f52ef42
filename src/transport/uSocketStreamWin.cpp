#include "transport/uSocketPlatform.h"

#include "common/uText.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

namespace korv::sockos {

namespace {

SOCKET S(THandle AHandle) {
    return static_cast<SOCKET>(AHandle);
}

std::u16string SystemText(int AErr) {
    switch (AErr) {
    case WSAECONNREFUSED:
        return u"соединение отклонено";
    case WSAETIMEDOUT:
        return u"нет ответа";
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
        return u"узел недоступен";
    default:
        break;
    }
    wchar_t* Buf = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(AErr), 0, reinterpret_cast<LPWSTR>(&Buf), 0, nullptr);
    std::u16string Text;
    if (n && Buf)
        Text.assign(reinterpret_cast<const char16_t*>(Buf), n);
    if (Buf)
        ::LocalFree(Buf);
    while (!Text.empty() && Text.back() <= u' ')
        Text.pop_back();
    if (Text.empty())
        Text = u"Ошибка сокета " + IntToU16(AErr);
    return Text;
}

timeval ToTimeval(int AMs) {
    timeval Tv{};
    Tv.tv_sec = AMs / 1000;
    Tv.tv_usec = (AMs % 1000) * 1000;
    return Tv;
}

} // namespace

bool Startup(std::u16string& AError) {
    WSADATA Data;
    if (::WSAStartup(MAKEWORD(1, 1), &Data) != 0) {
        AError = u"Не удалось запустить сокеты";
        return false;
    }
    return true;
}

void Cleanup() {
    ::WSACleanup();
}

THandle Open(std::u16string& AError) {
    // Not inherited by processes the host starts: made so in one call where
    // the system knows the flag (Windows 7 SP1 on), afterwards elsewhere.
    SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s != INVALID_SOCKET)
            ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    if (s == INVALID_SOCKET) {
        AError = SystemText(::WSAGetLastError());
        return NoSocket;
    }
    return static_cast<THandle>(s);
}

int Connect(THandle AHandle, std::uint32_t AAddress, std::uint16_t APort, int ATimeoutMs,
            std::u16string& AError) {
    const SOCKET s = S(AHandle);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_port = htons(APort);
    Addr.sin_addr.s_addr = htonl(AAddress);
    u_long NonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &NonBlocking) != 0) {
        AError = SystemText(::WSAGetLastError());
        return -1;
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) != 0) {
        const int Err = ::WSAGetLastError();
        if (Err != WSAEWOULDBLOCK) {
            AError = SystemText(Err);
            return -1;
        }
        fd_set Write, Except;
        FD_ZERO(&Write);
        FD_ZERO(&Except);
        FD_SET(s, &Write);
        FD_SET(s, &Except);
        timeval Tv = ToTimeval(ATimeoutMs);
        const int r = ::select(0, nullptr, &Write, &Except, &Tv);
        if (r == 0)
            return 0;
        if (r < 0 || !FD_ISSET(s, &Write)) {
            int SockErr = 0;
            int Len = sizeof SockErr;
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&SockErr), &Len);
            AError = SystemText(SockErr ? SockErr : ::WSAGetLastError());
            return -1;
        }
    }
    u_long Blocking = 0;
    if (::ioctlsocket(s, FIONBIO, &Blocking) != 0) {
        AError = SystemText(::WSAGetLastError());
        return -1;
    }
    return 1;
}

bool SetNoDelay(THandle AHandle, bool AOn) {
    const BOOL On = AOn ? TRUE : FALSE;
    return ::setsockopt(S(AHandle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&On),
                        sizeof On) == 0;
}

bool SetReceiveTimeout(THandle AHandle, int AMs) {
    const DWORD Ms = static_cast<DWORD>(AMs);
    return ::setsockopt(S(AHandle), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&Ms),
                        sizeof Ms) == 0;
}

int Close(THandle AHandle, std::u16string& AError) {
    ::shutdown(S(AHandle), SD_BOTH);
    if (::closesocket(S(AHandle)) != 0) {
        const int Err = ::WSAGetLastError();
        AError = SystemText(Err);
        return Err;
    }
    return 0;
}

long Send(THandle AHandle, const char* AData, std::size_t ACount, std::u16string& AError) {
    const int n = ::send(S(AHandle), AData, static_cast<int>(ACount), 0);
    if (n == SOCKET_ERROR) {
        AError = SystemText(::WSAGetLastError());
        return -1;
    }
    return n;
}

int WaitReadable(THandle AHandle, int ATimeoutMs, std::u16string& AError) {
    fd_set Read;
    FD_ZERO(&Read);
    FD_SET(S(AHandle), &Read);
    timeval Tv = ToTimeval(ATimeoutMs < 0 ? 0 : ATimeoutMs);
    const int r = ::select(0, &Read, nullptr, nullptr, ATimeoutMs < 0 ? nullptr : &Tv);
    if (r == SOCKET_ERROR) {
        AError = SystemText(::WSAGetLastError());
        return -1;
    }
    return r > 0 ? 1 : 0;
}

bool SetReceiveLowWater(THandle, int) {
    return false; // WinSock does not let the receive mark be set
}

long Receive(THandle AHandle, char* ABuf, std::size_t ACount, std::u16string& AError) {
    const int n = ::recv(S(AHandle), ABuf, static_cast<int>(ACount), 0);
    if (n == SOCKET_ERROR) {
        AError = SystemText(::WSAGetLastError());
        return -1;
    }
    return n;
}

long ReceiveWithin(THandle AHandle, char* ABuf, std::size_t ACount, int ATimeoutMs,
                   int& ARecvTimeout, std::u16string& AError) {
    // Each WinSock call costs a round trip to the system (to its server under
    // Wine), so the wait is the receive itself: a blocking receive ended by
    // the socket's receive time-out, set to this wait when it differs (a
    // register's steps mostly repeat the same wait). A time-out so ends the
    // receive exactly when a select would have ended. Short waits go through
    // select: 0 means no limit to the option, and older systems rounded small
    // values up to half a second. Where the option is refused, select too.
    constexpr int kShortestOption = 500;
    const bool Short = ATimeoutMs >= 0 && ATimeoutMs < kShortestOption;
    const int Option = ATimeoutMs < 0 ? 0 : ATimeoutMs;
    if (!Short && Option != ARecvTimeout)
        ARecvTimeout = SetReceiveTimeout(AHandle, Option) ? Option : -1;
    if (Short || ARecvTimeout != Option) {
        const int Ready = WaitReadable(AHandle, ATimeoutMs, AError);
        if (Ready <= 0)
            return Ready < 0 ? -1 : TimedOut;
        return Receive(AHandle, ABuf, ACount, AError);
    }
    const int n = ::recv(S(AHandle), ABuf, static_cast<int>(ACount), 0);
    if (n != SOCKET_ERROR)
        return n;
    const int Err = ::WSAGetLastError();
    if (Err == WSAETIMEDOUT)
        return TimedOut;
    AError = SystemText(Err);
    return -1;
}

} // namespace korv::sockos
