#pragma once
// A connected TCP stream socket as a TByteStream. The platform parts are
// uSocketStreamPosix.cpp and uSocketStreamWin.cpp. Receives wait with a
// deadline; sends go on until every byte is out and never raise a signal.

#include "transport/uByteStream.h"

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
    /// Shuts both directions down and closes: 0, or the platform's failure code.
    int Close();
    bool IsOpen() const { return FSocket != kNoSocket; }
    /// The limit of every receive (ms).
    void SetReceiveTimeout(int AMs) { FReceiveTimeout = AMs; }
    int ReceiveTimeout() const { return FReceiveTimeout; }

    /// Sends every byte: 0 or 605.
    int Send(std::string_view AData);
    /// Receives ACount bytes, each wait limited by ATimeoutMs: 0 with all of
    /// them, or with fewer when the time-out passed after some data came; 606
    /// when nothing came in time, the receive failed or the peer closed.
    int Receive(std::size_t ACount, std::string& AData, int ATimeoutMs);

    const std::u16string& LastError() const { return FError; }

    // TByteStream
    bool StreamOpened() const override { return IsOpen(); }
    bool StreamWrite(std::string_view AData) override { return Send(AData) == 0; }
    bool StreamReadByte(std::uint8_t& AValue, int ATimeoutMs) override;
    bool StreamReadBlock(std::size_t ACount, std::string& AData, int ATimeoutMs) override {
        return Receive(ACount, AData, ATimeoutMs) == 0;
    }
    void StreamPurge() override;
    std::u16string StreamError() const override { return FError; }

private:
    static constexpr std::intptr_t kNoSocket = -1;
    /// Waits for input: 1 ready, 0 time-out, -1 failure.
    int WaitReadable(int ATimeoutMs);
    /// One receive of what is there: the count, 0 when the peer closed, -1 failure.
    long ReceiveSome(char* ABuf, std::size_t ACount);

    std::intptr_t FSocket = kNoSocket;
    bool FLibraryStarted = false;
    int FReceiveTimeout = 10000;
    std::u16string FError;
};

} // namespace korv
