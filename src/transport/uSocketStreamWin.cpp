#include "transport/uSocketStream.h"

#include "common/uText.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

namespace korv {

namespace {

SOCKET S(std::intptr_t AHandle) {
    return static_cast<SOCKET>(AHandle);
}

std::u16string SystemText(int AErr) {
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

TSocketStream::TSocketStream() = default;

TSocketStream::~TSocketStream() {
    Close();
}

int TSocketStream::Connect(std::uint32_t AAddress, std::uint16_t APort, int AConnectTimeoutMs) {
    Close();
    FError.clear();
    WSADATA Data;
    if (::WSAStartup(MAKEWORD(1, 1), &Data) != 0) {
        FError = u"Не удалось запустить сокеты";
        return 607;
    }
    FLibraryStarted = true;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        FError = SystemText(::WSAGetLastError());
        ::WSACleanup();
        FLibraryStarted = false;
        return 600;
    }
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_port = htons(APort);
    Addr.sin_addr.s_addr = htonl(AAddress);
    u_long NonBlocking = 1;
    bool Ok = ::ioctlsocket(s, FIONBIO, &NonBlocking) == 0;
    if (Ok && ::connect(s, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) != 0) {
        Ok = false;
        const int Err = ::WSAGetLastError();
        if (Err == WSAEWOULDBLOCK) {
            fd_set Write, Except;
            FD_ZERO(&Write);
            FD_ZERO(&Except);
            FD_SET(s, &Write);
            FD_SET(s, &Except);
            timeval Tv = ToTimeval(AConnectTimeoutMs);
            const int r = ::select(0, nullptr, &Write, &Except, &Tv);
            if (r > 0 && FD_ISSET(s, &Write))
                Ok = true;
            else
                FError = r == 0 ? u"Истек таймаут подключения" : u"Соединение не установлено";
        } else {
            FError = SystemText(Err);
        }
    }
    u_long Blocking = 0;
    if (Ok)
        Ok = ::ioctlsocket(s, FIONBIO, &Blocking) == 0;
    if (!Ok) {
        ::closesocket(s);
        ::WSACleanup();
        FLibraryStarted = false;
        return 601;
    }
    const DWORD Rcv = static_cast<DWORD>(FReceiveTimeout);
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&Rcv), sizeof Rcv);
    FSocket = static_cast<std::intptr_t>(s);
    return 0;
}

int TSocketStream::Close() {
    int Rc = 0;
    if (IsOpen()) {
        const SOCKET s = S(FSocket);
        ::shutdown(s, SD_BOTH);
        FSocket = kNoSocket;
        if (::closesocket(s) != 0) {
            Rc = ::WSAGetLastError();
            FError = SystemText(Rc);
        }
    }
    if (FLibraryStarted) {
        ::WSACleanup();
        FLibraryStarted = false;
    }
    return Rc;
}

int TSocketStream::Send(std::string_view AData) {
    if (!IsOpen()) {
        FError = u"Соединение не установлено";
        return 605;
    }
    std::size_t Done = 0;
    while (Done < AData.size()) {
        const int n =
            ::send(S(FSocket), AData.data() + Done, static_cast<int>(AData.size() - Done), 0);
        if (n == SOCKET_ERROR) {
            FError = SystemText(::WSAGetLastError());
            return 605;
        }
        Done += static_cast<std::size_t>(n);
    }
    return 0;
}

int TSocketStream::WaitReadable(int ATimeoutMs) {
    fd_set Read;
    FD_ZERO(&Read);
    FD_SET(S(FSocket), &Read);
    timeval Tv = ToTimeval(ATimeoutMs < 0 ? 0 : ATimeoutMs);
    const int r = ::select(0, &Read, nullptr, nullptr, ATimeoutMs < 0 ? nullptr : &Tv);
    if (r == SOCKET_ERROR) {
        FError = SystemText(::WSAGetLastError());
        return -1;
    }
    return r > 0 ? 1 : 0;
}

long TSocketStream::ReceiveSome(char* ABuf, std::size_t ACount) {
    const int n = ::recv(S(FSocket), ABuf, static_cast<int>(ACount), 0);
    if (n == SOCKET_ERROR) {
        FError = SystemText(::WSAGetLastError());
        return -1;
    }
    return n;
}

} // namespace korv
