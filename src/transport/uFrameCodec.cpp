#include "transport/uFrameCodec.h"

namespace korv {

std::uint8_t CalcLRC(std::string_view ABytes) {
    std::uint8_t Lrc = 0;
    for (char c : ABytes)
        Lrc = static_cast<std::uint8_t>(Lrc ^ static_cast<std::uint8_t>(c));
    return Lrc;
}

std::string BuildFrame(std::string_view AMessage) {
    if (AMessage.empty() || AMessage.size() > MaxFrameMessage)
        return {};
    std::string Frame;
    Frame.reserve(AMessage.size() + 3);
    Frame.push_back(static_cast<char>(STX));
    Frame.push_back(static_cast<char>(AMessage.size()));
    Frame.append(AMessage);
    Frame.push_back(static_cast<char>(CalcLRC(std::string_view(Frame).substr(1))));
    return Frame;
}

std::size_t CommandCodeLength(std::string_view AMessage) {
    if (!AMessage.empty() && static_cast<std::uint8_t>(AMessage[0]) >= 0xFE)
        return 2;
    return 1;
}

TFrameStatus ParseAnswerFrame(std::string_view AFrame, std::string& AResponse) {
    AResponse.clear();
    if (AFrame.empty() || static_cast<std::uint8_t>(AFrame[0]) != STX)
        return TFrameStatus::BadStart;
    if (AFrame.size() < 3)
        return TFrameStatus::BadLength;
    const std::size_t Len = static_cast<std::uint8_t>(AFrame[1]);
    if (AFrame.size() != Len + 3)
        return TFrameStatus::BadLength;
    if (CalcLRC(AFrame.substr(1, Len + 1)) != static_cast<std::uint8_t>(AFrame[Len + 2]))
        return TFrameStatus::BadLRC;
    const std::string_view Message = AFrame.substr(2, Len);
    const std::size_t CodeLen = CommandCodeLength(Message);
    if (Message.size() > CodeLen)
        AResponse.assign(Message.substr(CodeLen));
    return TFrameStatus::Ok;
}

std::string_view FrameCommandCode(std::string_view AFrame) {
    if (AFrame.size() < 3)
        return {};
    const std::string_view Message = AFrame.substr(2, AFrame.size() - 3);
    const std::size_t CodeLen = CommandCodeLength(Message);
    if (Message.size() < CodeLen)
        return {};
    return Message.substr(0, CodeLen);
}

} // namespace korv
