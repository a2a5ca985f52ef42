#pragma once
// The register's frame protocol on the serial line. Each command: an enquiry
// (ENQ) until the register answers NAK ("waiting for a command"), collecting
// an answer it still holds (ACK) on the way; the frame; its ACK; then the
// answer frame, acknowledged with ACK (or NAK for a bad check byte). Three
// attempts of three enquiries each, all within the command's deadline. Every
// byte sent and received is logged as "-> " / "<- " hex under the source
// "TCOMProtocol".
//
// Codes: 0 success, 1007 no answer (silence, a failed write or read), 1011
// the port cannot be opened, 1014 protocol error (wrong start byte, length,
// check byte, acknowledgement, or an answer to another command). Nothing is
// raised.

#include "transport/uCommManager.h"
#include "transport/uLinkProtocol.h"

namespace korv {

class TCustomCOMProtocol : public TCustomLinkProtocol {
public:
    /// AComPort is not owned; it must outlive the protocol object.
    explicit TCustomCOMProtocol(TComm* AComPort);
    ~TCustomCOMProtocol() override;

    TComm* ComPort() const { return FComPort; }
    /// The command's own time-out, or the control time-out when it has none.
    int AnswerTimeout(int ATimeout) const override;

protected:
    TByteStream* LinkStream() override { return FComPort; }
    /// The port opens on demand, as its writes would; a port that cannot be
    /// opened is reported as such (1011) rather than as a silent register.
    int PrepareLink() override;

    TComm* FComPort;
};

class TCOMProtocol : public TCustomCOMProtocol {
public:
    explicit TCOMProtocol(TComm* AComPort);
    ~TCOMProtocol() override;
};

} // namespace korv
