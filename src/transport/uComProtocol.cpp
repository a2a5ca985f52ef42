#include "transport/uComProtocol.h"

#include "transport/uFrameCodec.h"
#include "transport/uFrameDialogue.h"

namespace korv {

namespace {

const TLinkDialect kSerialDialect{"TCOMProtocol", /*PurgeBeforeEnquiry*/ true,
                                  /*DropByteAfterUnknown*/ false, /*AcceptFFThenAck*/ false};

} // namespace

TCustomCOMProtocol::TCustomCOMProtocol(TComm* AComPort) : FComPort(AComPort) {}

TCustomCOMProtocol::~TCustomCOMProtocol() = default;

TCOMProtocol::TCOMProtocol(TComm* AComPort)
    : TCustomCOMProtocol(AComPort),
      FDialogue(AComPort ? std::make_unique<TFrameDialogue>(*AComPort, kSerialDialect) : nullptr) {}

TCOMProtocol::~TCOMProtocol() = default;

std::uint8_t TCOMProtocol::CalcLRC(std::string_view ABytes) {
    return korv::CalcLRC(ABytes);
}

int TCOMProtocol::SendFrame(std::string_view AMessage) {
    if (!FDialogue)
        return 1011;
    const int Rc = FDialogue->SendFrame(AMessage);
    FLastReason = FDialogue->LastReason;
    return Rc;
}

int TCOMProtocol::SendWithHandshake(std::string_view AMessage) {
    if (!FDialogue)
        return 1011;
    const int Rc = FDialogue->SendWithHandshake(AMessage, FControlTimeout, nullptr);
    FLastReason = FDialogue->LastReason;
    return Rc;
}

int TCOMProtocol::ReadFrame(std::string& AFrame, int ATimeout) {
    if (!FDialogue)
        return 1011;
    const int Rc = FDialogue->ReadFrame(AFrame, ATimeout > 0 ? ATimeout : FControlTimeout);
    FLastReason = FDialogue->LastReason;
    return Rc;
}

int TCOMProtocol::ReceiveAnswer(std::string& AResponse, int ATimeout) {
    if (!FDialogue)
        return 1011;
    const int Rc = FDialogue->ReceiveAnswer(AResponse, ATimeout > 0 ? ATimeout : FControlTimeout);
    FLastReason = FDialogue->LastReason;
    return Rc;
}

int TCOMProtocol::RunCommand(std::string& AResponse, std::string_view AConnectPwd,
                             std::string_view ACmd, std::string_view AData, int ATimeout,
                             bool ASendPwd, bool AWaitResponse) {
    AResponse.clear();
    FResponse.clear();
    if (!FDialogue) {
        FLastReason = u"Порт не открыт";
        return 1011;
    }
    // The port opens on demand, as its writes would; a port that cannot be
    // opened is reported as such rather than as a silent register.
    if (!FComPort->Opened() && !FComPort->Open()) {
        FLastReason = FComPort->ExtResultDescription();
        return 1011;
    }
    std::string Message(ACmd);
    if (ASendPwd)
        Message.append(AConnectPwd);
    Message.append(AData);
    const int Rc = FDialogue->RunCommand(AResponse, Message, FControlTimeout,
                                         ATimeout > 0 ? ATimeout : FControlTimeout, AWaitResponse);
    FLastReason = FDialogue->LastReason;
    FResponse = AResponse;
    return Rc;
}

} // namespace korv
