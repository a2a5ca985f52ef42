#pragma once
// A connected TCP stream socket as a TByteStream. The system calls are in
// uSocketPlatform.h; the options of a connected socket are set in one place
// here (ApplyOptions) for both platforms. Receives end at a deadline; sends
// go on until every byte is out and never raise a signal. A receive takes
// whatever has come (an answer's ACK and its frame mostly arrive together)
// and later reads are served from it, so one system call covers many bytes.

#include "transport/uByteStream.h"
#include "transport/uSocketPlatform.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

class TSocketStream : public TByteStream {
public:
    TSocketStream();
    ~TSocketStream() override;
    TSocketStream(const TSocketStream&) = delete;
    TSocketStream& operator=(const TSocketStream&) = delete;

    /// Connects to the host-order IPv4 address and port within AConnectTimeoutMs:
    /// 0, 600 (no socket), 601 (no connection) or 607 (no socket library).
    int Connect(std::uint32_t AAddress, std::uint16_t APort, int AConnectTimeoutMs);
    /// Shuts both directions down and closes: 0, or the platform's failure
    /// code. The socket library stays started until the object goes.
    int Close();
    bool IsOpen() const { return FSocket != sockos::NoSocket; }
    /// The socket's receive time-out option (ms), set at the next Connect.
    void SetReceiveTimeout(int AMs) { FReceiveTimeout = AMs; }
    int ReceiveTimeout() const { return FReceiveTimeout; }

    /// Sends every byte: 0 or 605.
    int Send(std::string_view AData);
    /// Receives ACount bytes by ADeadline: 0 with all of them, or with fewer
    /// when the deadline passed after some data came; 606 when nothing came
    /// in time, the receive failed or the peer closed.
    int Receive(std::size_t ACount, std::string& AData, const TDeadline& ADeadline);

    const std::u16string& LastError() const { return FError; }
    /// The system's handle (NoSocket when closed), for checks of its options.
    sockos::THandle Handle() const { return FSocket; }

    // TByteStream
    bool StreamOpened() const override { return IsOpen(); }
    bool StreamWrite(std::string_view AData) override { return Send(AData) == 0; }
    bool StreamReadByte(std::uint8_t& AValue, int ATimeoutMs) override;
    bool StreamReadBlock(std::size_t ACount, std::string& AData,
                         const TDeadline& ADeadline) override {
        return Receive(ACount, AData, ADeadline) == 0;
    }
    void StreamPurge() override;
    std::u16string StreamError() const override { return FError; }
    bool StreamFailed() const override { return FFailed; }

private:
    /// Every option of a connected socket: no Nagle delay (each command ends
    /// with a one-byte ACK and the next begins with a one-byte ENQ, which
    /// would wait for the peer's delayed acknowledgement), and the receive
    /// time-out for any blocking receive.
    void ApplyOptions();
    int Failed(int ACode);
    /// Asks the system to report input only once ABytes are there; a system
    /// without the mark keeps reporting every piece.
    void SetLowWater(std::size_t ABytes);

    sockos::THandle FSocket = sockos::NoSocket;
    bool FLibraryStarted = false;
    bool FFailed = false;
    int FReceiveTimeout = 10000;
    /// The receive mark in force (1: the system's default).
    std::size_t FLowWater = 1;
    /// The receive time-out option the open socket has (-1: not known).
    int FSocketTimeout = -1;
    std::u16string FError;
    /// Received and not yet read: FInput[FInputAt, FInputEnd).
    std::array<char, 1024> FInput{};
    std::size_t FInputAt = 0;
    std::size_t FInputEnd = 0;
};

} // namespace korv
