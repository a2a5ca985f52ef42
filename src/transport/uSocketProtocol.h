#pragma once
// The register link over TCP: the frame and the ENQ/NAK/ACK dialogue of the
// serial line, byte for byte, on a stream socket. Dotted IPv4 addresses only.
// Logged as "-> " / "<- " hex under the source "TSocketProtocol".
//
// Codes: 0 success; 600 socket creation failed; 601 connection failed; 602
// conversion error while connecting; 603 port out of 1..65535; 604 address
// not a dotted IPv4 address; 605 send failed; 606 receive failed (also: the
// peer closed the connection); 607 socket library start-up failed; 1007 no
// answer; 1014 protocol error. Nothing is raised, and a dropped connection
// never raises a signal in the process.

#include "transport/uLinkProtocol.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korv {

class TSocketStream;

/// The limit of a connection attempt (ms).
inline constexpr int DefaultConnectTimeout = 4000;
/// The socket's receive time-out (ms): the least an answer is waited for.
inline constexpr int DefaultReceiveTimeout = 10000;

/// Parses "a.b.c.d" (four decimal octets 0..255, blanks around allowed) into
/// a host-order address; false for anything else (host names included).
bool ParseDottedIPv4(std::string_view AText, std::uint32_t& AAddress);

class TCustomSocketProtocol : public TCustomLinkProtocol {
public:
    TCustomSocketProtocol();
    /// Disconnects when connected.
    ~TCustomSocketProtocol() override;

    /// Connects to AIPAddress:ATCPPort within the connect time-out; 0 or a code.
    virtual int Connect(const std::string& AIPAddress, int ATCPPort) = 0;
    /// Shuts the connection down and closes it; 0, or the platform's failure.
    virtual int Disconnect() = 0;
    /// The longer of the receive time-out and the command's own: a slow
    /// command (a Z report, say) is waited for as long as it may take.
    int AnswerTimeout(int ATimeout) const override;

    bool Connected() const;
    const std::string& IPAddress() const { return FIPAddress; }
    int TCPPort() const { return FTCPPort; }
    /// Shorter limits for tests (ms).
    void SetConnectTimeout(int AMs) { FConnectTimeout = AMs; }
    void SetReceiveTimeout(int AMs);
    int ConnectTimeout() const { return FConnectTimeout; }
    int ReceiveTimeout() const { return FReceiveTimeout; }

protected:
    TByteStream* LinkStream() override;

    std::string FIPAddress;
    int FTCPPort = 0;
    int FConnectTimeout = DefaultConnectTimeout;
    int FReceiveTimeout = DefaultReceiveTimeout;
    std::unique_ptr<TSocketStream> FSocket;
};

class TSocketProtocol : public TCustomSocketProtocol {
public:
    TSocketProtocol();
    ~TSocketProtocol() override;

    int Connect(const std::string& AIPAddress, int ATCPPort) override;
    int Disconnect() override;

    /// Sends all bytes; 0 or 605.
    int SendBytes(std::string_view AData);
    /// Receives one byte within the receive time-out; 0 or 606.
    int ReceiveByte(std::uint8_t& AValue);
    /// Receives ACount bytes, all within the receive time-out (fewer only
    /// when it passes with the connection open); 0, or 606 when the receive
    /// failed, nothing came or the peer closed.
    int ReceiveBytes(std::size_t ACount, std::string& AData);
};

} // namespace korv
