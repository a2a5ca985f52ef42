#include "transport/uLinkProtocol.h"

#include "transport/uFrameCodec.h"

namespace korv {

TCustomLinkProtocol::~TCustomLinkProtocol() = default;

std::string TCustomLinkProtocol::BuildMessage(std::string_view AConnectPwd, std::string_view ACmd,
                                              std::string_view AData, bool ASendPwd) {
    std::string Message(ACmd);
    if (ASendPwd)
        Message.append(AConnectPwd);
    Message.append(AData);
    return Message;
}

std::uint8_t TCustomLinkProtocol::CalcLRC(std::string_view ABytes) {
    return korv::CalcLRC(ABytes);
}

int TCustomLinkProtocol::LinkFailure(int ACode, std::u16string AReason) {
    FLastReason = std::move(AReason);
    FLastOrigin = TErrorOrigin::System;
    return ACode;
}

template <class FStep> int TCustomLinkProtocol::Step(FStep&& AStep) {
    if (const int Rc = PrepareLink(); Rc != 0)
        return Rc;
    TByteStream* Stream = LinkStream();
    if (!Stream)
        return LinkFailure(1011, u"Порт не открыт");
    TFrameDialogue Dialogue(*Stream, FDialect);
    const int Rc = AStep(Dialogue);
    FLastReason = Dialogue.LastReason;
    FLastOrigin = Dialogue.LastOrigin;
    return Rc;
}

int TCustomLinkProtocol::RunCommand(std::string& AResponse, std::string_view AConnectPwd,
                                    std::string_view ACmd, std::string_view AData, int ATimeout,
                                    bool ASendPwd, bool AWaitResponse) {
    AResponse.clear();
    FResponse.clear();
    const std::string Message = BuildMessage(AConnectPwd, ACmd, AData, ASendPwd);
    const int Rc = Step([&](TFrameDialogue& D) {
        return D.RunCommand(AResponse, Message, FControlTimeout, AnswerTimeout(ATimeout),
                            AWaitResponse);
    });
    FResponse = AResponse;
    return Rc;
}

int TCustomLinkProtocol::SendFrame(std::string_view AMessage) {
    return Step([&](TFrameDialogue& D) { return D.SendFrame(AMessage); });
}

int TCustomLinkProtocol::SendWithHandshake(std::string_view AMessage) {
    return Step([&](TFrameDialogue& D) {
        return D.SendWithHandshake(AMessage, FControlTimeout,
                                   CommandDeadline(FControlTimeout, FControlTimeout), nullptr);
    });
}

int TCustomLinkProtocol::ReadFrame(std::string& AFrame, int ATimeout) {
    const int Wait = ATimeout > 0 ? ATimeout : FControlTimeout;
    return Step([&](TFrameDialogue& D) {
        return D.ReadFrame(AFrame, Wait, CommandDeadline(FControlTimeout, Wait));
    });
}

int TCustomLinkProtocol::ReceiveAnswer(std::string& AResponse, std::string_view ACmd,
                                       int ATimeout) {
    const int Wait = AnswerTimeout(ATimeout);
    return Step([&](TFrameDialogue& D) {
        return D.ReceiveAnswer(AResponse, ACmd, Wait, CommandDeadline(FControlTimeout, Wait));
    });
}

} // namespace korv
