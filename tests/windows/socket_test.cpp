// The WinSock link's receives: the wait is the blocking receive itself, under the socket's
// receive time-out set to the step's wait (short waits go through select); a time-out leaves
// the connection usable; what one receive took serves the reads after it; a peer's close is a
// failure, silence is not.
//
// usage: socket_test.exe      exit status 0 when every check passed
#include "checks.h"

#include "transport/uSocketStream.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using namespace korv;
using Clock = std::chrono::steady_clock;

using wintest::Check;
using wintest::gChecks;
using wintest::gFailures;

long long MsSince(Clock::time_point AStart) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - AStart).count();
}

// The receive time-out option the socket has now (ms).
DWORD RecvTimeout(const TSocketStream& AStream) {
    DWORD Ms = 12345;
    int Len = sizeof Ms;
    getsockopt(static_cast<SOCKET>(AStream.Handle()), SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<char*>(&Ms), &Len);
    return Ms;
}

void Send(SOCKET APeer, const std::string& ABytes) {
    send(APeer, ABytes.data(), static_cast<int>(ABytes.size()), 0);
}

void Run() {
    SOCKET Listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int Len = sizeof Addr;
    const bool Listening = bind(Listener, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr) == 0 &&
                           listen(Listener, 1) == 0 &&
                           getsockname(Listener, reinterpret_cast<sockaddr*>(&Addr), &Len) == 0;
    Check(Listening, "a listener on 127.0.0.1");
    if (!Listening)
        return;
    TSocketStream Stream;
    Stream.SetReceiveTimeout(10000);
    Check(Stream.Connect(0x7F000001u, ntohs(Addr.sin_port), 2000) == 0, "connected");
    SOCKET Peer = accept(Listener, nullptr, nullptr);
    Check(Peer != INVALID_SOCKET, "accepted");
    std::uint8_t B = 0;

    // Silence: the receive ends by the socket's time-out, set to the step's wait.
    auto Start = Clock::now();
    Check(!Stream.StreamReadByte(B, 600), "nothing comes from a silent peer");
    const long long Waited = MsSince(Start);
    Check(Waited >= 550 && Waited < 5000,
          "the wait lasts the step's 600 ms (took " + std::to_string(Waited) + " ms)");
    Check(!Stream.StreamFailed(), "silence is not a failure");
    Check(RecvTimeout(Stream) == 600, "the receive time-out is the step's wait");

    // The connection goes on after a time-out; a new wait sets the option again.
    Send(Peer, "\x15");
    Check(Stream.StreamReadByte(B, 2000) && B == 0x15, "a byte after a time-out is read");
    Check(RecvTimeout(Stream) == 2000, "the option follows the wait");

    // A short wait goes through select and leaves the option alone.
    Start = Clock::now();
    Check(!Stream.StreamReadByte(B, 100), "a short wait on silence fails");
    Check(MsSince(Start) < 450, "a short wait is not stretched to half a second");
    Check(RecvTimeout(Stream) == 2000, "a short wait keeps the option");

    // An acknowledgement and its frame in one piece: one receive serves both reads.
    Send(Peer, std::string("\x06\x02\x03\x11\x00\x12", 6));
    std::string Block;
    Check(Stream.StreamReadByte(B, 2000) && B == 0x06, "the acknowledgement");
    Check(Stream.StreamReadByte(B, 2000) && B == 0x02, "the frame's start");
    Check(Stream.StreamReadBlock(4, Block, TDeadline::After(2000)) &&
              Block == std::string("\x03\x11\x00\x12", 4),
          "the frame's rest");

    // No limit at all: the option 0 (none), and the byte that comes later is read.
    Send(Peer, "z");
    Check(Stream.StreamReadBlock(1, Block, TDeadline::Never()) && Block == "z",
          "a read without a limit");
    Check(RecvTimeout(Stream) == 0, "no limit is the option 0");

    // The peer closes: a failure, told at once.
    shutdown(Peer, SD_BOTH);
    closesocket(Peer);
    Start = Clock::now();
    Check(!Stream.StreamReadByte(B, 3000), "nothing from a closed peer");
    Check(Stream.StreamFailed(), "a closed peer is a failure");
    Check(MsSince(Start) < 2500, "the close is seen at once");
    Stream.Close();
    closesocket(Listener);
}

} // namespace

int main() {
    WSADATA Data;
    if (WSAStartup(MAKEWORD(2, 2), &Data) != 0)
        return 2;
    Run();
    WSACleanup();
    std::printf("%s: WinSock receives, %d checks, %d failed\n", gFailures ? "FAILED" : "ok",
                gChecks, gFailures);
    return gFailures ? 1 : 0;
}
