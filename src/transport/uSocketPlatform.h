#pragma once
// The system calls under TSocketStream (uSocketStreamPosix.cpp,
// uSocketStreamWin.cpp). Each does one thing and reports failure by its
// result, with the system's text in AError; every decision above the calls
// lives in uSocketStream.cpp, once for both platforms.

#include <cstddef>
#include <cstdint>
#include <string>

namespace korv::sockos {

using THandle = std::intptr_t;
inline constexpr THandle NoSocket = -1;

/// Starts the socket library (WinSock 1.1); true where there is none to start.
bool Startup(std::u16string& AError);
void Cleanup();
/// A TCP stream socket, not inherited by child processes; NoSocket on failure.
THandle Open(std::u16string& AError);
/// Connects within ATimeoutMs, leaving the socket in blocking mode:
/// 1 connected, 0 the time ran out, -1 refused or failed.
int Connect(THandle AHandle, std::uint32_t AAddress, std::uint16_t APort, int ATimeoutMs,
            std::u16string& AError);
bool SetNoDelay(THandle AHandle, bool AOn);
bool SetReceiveTimeout(THandle AHandle, int AMs);
/// The socket reports input only once ABytes of it are there (or the peer
/// closed, or an error waits); false where the system has no such mark.
bool SetReceiveLowWater(THandle AHandle, int ABytes);
/// Shuts both directions down and closes: 0, or the platform's failure code.
int Close(THandle AHandle, std::u16string& AError);
/// One send, never raising a signal: the count sent, or -1.
long Send(THandle AHandle, const char* AData, std::size_t ACount, std::u16string& AError);
/// Waits up to ATimeoutMs (negative: no limit) for input: 1 ready (data,
/// end of data or an error to read), 0 time-out, -1 failure.
int WaitReadable(THandle AHandle, int ATimeoutMs, std::u16string& AError);
/// One receive of what is there: the count, 0 when the peer closed, -1 failure.
long Receive(THandle AHandle, char* ABuf, std::size_t ACount, std::u16string& AError);
/// Waits up to ATimeoutMs (negative: no limit) for input and receives what is
/// there, at most ACount bytes: the count, 0 when the peer closed, -1 failure,
/// -2 when nothing came in time. ARecvTimeout is the receive time-out option
/// the socket has now (ms; -1 unknown), which a platform may use for the wait
/// and change.
long ReceiveWithin(THandle AHandle, char* ABuf, std::size_t ACount, int ATimeoutMs,
                   int& ARecvTimeout, std::u16string& AError);
inline constexpr long TimedOut = -2;

} // namespace korv::sockos
