#pragma once
// The register's frame protocol on the serial line. Each command: an enquiry
// (ENQ) until the register answers NAK ("waiting for a command"), collecting
// an answer it still holds (ACK) on the way; the frame; its ACK; then the
// answer frame, acknowledged with ACK (or NAK for a bad check byte). Three
// attempts of three enquiries each. Every byte sent and received is logged as
// "-> " / "<- " hex under the source "TCOMProtocol".
//
// Codes: 0 success, 1007 no answer (silence, a failed write or read), 1014
// protocol error (wrong start byte, length, check byte or acknowledgement).
// Nothing is raised.

#include "transport/uCommManager.h"

#include <memory>
#include <string>
#include <string_view>

namespace korv {

class TFrameDialogue;

/// The time-out of each control byte, and the answer time-out when a command
/// gives none (ms).
inline constexpr int DefaultAnswerTimeout = 2000;

class TCustomCOMProtocol {
public:
    /// AComPort is not owned; it must outlive the protocol object.
    explicit TCustomCOMProtocol(TComm* AComPort);
    virtual ~TCustomCOMProtocol();
    TCustomCOMProtocol(const TCustomCOMProtocol&) = delete;
    TCustomCOMProtocol& operator=(const TCustomCOMProtocol&) = delete;

    /// Runs one command. The message is ACmd (1 or 2 bytes), AConnectPwd when
    /// ASendPwd, then AData. AResponse receives the answer message without
    /// its command code (result code first). ATimeout is the answer time-out
    /// in ms, 0 for the default. Without AWaitResponse the call ends when the
    /// register has acknowledged the frame and AResponse stays empty.
    virtual int RunCommand(std::string& AResponse, std::string_view AConnectPwd,
                           std::string_view ACmd, std::string_view AData, int ATimeout,
                           bool ASendPwd, bool AWaitResponse) = 0;

    TComm* ComPort() const { return FComPort; }
    /// The answer of the last command (as RunCommand returned it).
    const std::string& Response() const { return FResponse; }
    /// The reason of the last failure ("" after a success).
    const std::u16string& LastReason() const { return FLastReason; }
    /// Shortens or lengthens the control-byte and default answer time-out
    /// (tests; the register needs DefaultAnswerTimeout).
    void SetControlTimeout(int AMs) { FControlTimeout = AMs; }
    int ControlTimeout() const { return FControlTimeout; }

protected:
    TComm* FComPort;
    std::string FResponse;
    std::u16string FLastReason;
    int FControlTimeout = DefaultAnswerTimeout;
};

class TCOMProtocol : public TCustomCOMProtocol {
public:
    explicit TCOMProtocol(TComm* AComPort);
    ~TCOMProtocol() override;

    int RunCommand(std::string& AResponse, std::string_view AConnectPwd, std::string_view ACmd,
                   std::string_view AData, int ATimeout, bool ASendPwd,
                   bool AWaitResponse) override;

    /// XOR of all bytes; 0 for none.
    static std::uint8_t CalcLRC(std::string_view ABytes);
    /// Writes the frame of AMessage: 0, 1007 when the write failed, 1014 for
    /// a message that does not fit a frame.
    int SendFrame(std::string_view AMessage);
    /// Enquiries and the frame (see the head of this file): 0 when the frame
    /// was sent (acknowledged, or silently on the last attempt), else the code.
    int SendWithHandshake(std::string_view AMessage);
    /// Reads a frame (STX, LEN, then LEN + 1 bytes under the port time-outs);
    /// 1007 when nothing came, 1014 for a wrong start byte. AFrame may be short.
    int ReadFrame(std::string& AFrame, int ATimeout);
    /// Reads and checks the answer frame, acknowledges it, and cuts out the
    /// answer (result code first).
    int ReceiveAnswer(std::string& AResponse, int ATimeout);

private:
    std::unique_ptr<TFrameDialogue> FDialogue;
};

} // namespace korv
