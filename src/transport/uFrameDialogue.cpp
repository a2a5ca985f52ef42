#include "transport/uFrameDialogue.h"

#include "common/Common.Log.h"
#include "common/uBytes.h"
#include "common/uEquipmentErrors.h"
#include "transport/uFrameCodec.h"

namespace korv {

namespace {

constexpr int kAttempts = 3;
constexpr int kProbes = 3;
constexpr int kNoAnswer = 1007;
constexpr int kProtocolError = 1014;

} // namespace

int TFrameDialogue::Fail(int ACode, std::u16string_view AReason) {
    LastReason = GetDriverErrorText(ACode, AReason);
    return ACode;
}

void TFrameDialogue::LogBytes(const char* APrefix, std::string_view ABytes, bool AOk) {
    WriteLog(FDialect.LogSource, std::string(APrefix) + BytesToHexText(ABytes),
             AOk ? TLogLevel::Info : TLogLevel::Error);
}

bool TFrameDialogue::WriteControl(std::uint8_t AByte) {
    const std::string Byte(1, static_cast<char>(AByte));
    const bool Ok = FStream.StreamWrite(Byte);
    LogBytes("-> ", Byte, Ok);
    return Ok;
}

bool TFrameDialogue::ReadControl(std::uint8_t& AByte, int ATimeout) {
    const bool Ok = FStream.StreamReadByte(AByte, ATimeout);
    LogBytes("<- ", Ok ? std::string(1, static_cast<char>(AByte)) : std::string(), Ok);
    return Ok;
}

int TFrameDialogue::SendFrame(std::string_view AMessage) {
    const std::string Frame = BuildFrame(AMessage);
    if (Frame.empty())
        return Fail(kProtocolError, u"Длина сообщения вне диапазона 1..255");
    const bool Ok = FStream.StreamWrite(Frame);
    LogBytes("-> ", Frame, Ok);
    if (!Ok)
        return Fail(kNoAnswer, FStream.StreamError());
    return 0;
}

int TFrameDialogue::SendWithHandshake(std::string_view AMessage, int AControlTimeout,
                                      std::optional<std::string>* AHeldAnswer) {
    const std::string_view OurCode = AMessage.substr(0, CommandCodeLength(AMessage));
    int Result = kNoAnswer;
    bool FrameSent = false;
    for (int Attempt = 0; Attempt < kAttempts; ++Attempt) {
        for (int Probe = 0; Probe < kProbes; ++Probe) {
            if (FDialect.PurgeBeforeEnquiry)
                FStream.StreamPurge();
            if (!WriteControl(ENQ))
                continue;
            std::uint8_t Reply;
            if (!ReadControl(Reply, AControlTimeout))
                continue;
            if (Reply == NAK) {
                // The register waits for a command.
                Result = 0;
                break;
            }
            if (Reply == ACK) {
                // The register still holds an answer: take it off its hands.
                std::string Held;
                const int Rc = ReadFrame(Held, AControlTimeout);
                if (Rc != 0)
                    return Rc;
                WriteControl(ACK);
                Result = 0;
                std::string Answer;
                // Once our frame went out, a held answer to our command code
                // is the answer to it: its acknowledgement was lost on the
                // way. Sending the command again would execute it twice.
                if (FrameSent && AHeldAnswer &&
                    ParseAnswerFrame(Held, Answer) == TFrameStatus::Ok &&
                    FrameCommandCode(Held) == OurCode) {
                    *AHeldAnswer = std::move(Answer);
                    LastReason.clear();
                    return 0;
                }
                continue;
            }
            if (FDialect.DropByteAfterUnknown) {
                std::uint8_t Dropped;
                ReadControl(Dropped, AControlTimeout);
            }
        }
        if (Result != 0)
            continue;
        const int Rc = SendFrame(AMessage);
        if (Rc != 0) {
            Result = Rc;
            continue;
        }
        FrameSent = true;
        std::uint8_t Reply;
        if (!ReadControl(Reply, AControlTimeout))
            continue; // no byte: perhaps the ACK was lost; the next enquiry tells
        if (Reply == ACK) {
            LastReason.clear();
            return 0;
        }
        Result = kProtocolError;
        if (FDialect.AcceptFFThenAck && Reply == 0xFF) {
            std::uint8_t Next;
            if (ReadControl(Next, AControlTimeout) && Next == ACK) {
                LastReason.clear();
                return 0;
            }
        }
    }
    if (Result == 0) {
        LastReason.clear();
        return 0;
    }
    return Fail(Result);
}

int TFrameDialogue::ReadFrame(std::string& AFrame, int ATimeout) {
    AFrame.clear();
    std::uint8_t Byte;
    if (!FStream.StreamReadByte(Byte, ATimeout)) {
        LogBytes("<- ", AFrame, false);
        return Fail(kNoAnswer, FStream.StreamError());
    }
    AFrame.push_back(static_cast<char>(Byte));
    if (Byte != STX) {
        LogBytes("<- ", AFrame, false);
        return Fail(kProtocolError);
    }
    if (!FStream.StreamReadByte(Byte, ATimeout)) {
        LogBytes("<- ", AFrame, false);
        return Fail(kNoAnswer, FStream.StreamError());
    }
    AFrame.push_back(static_cast<char>(Byte));
    std::string Body;
    const bool Ok = FStream.StreamReadBlock(std::size_t{Byte} + 1, Body, ATimeout);
    AFrame += Body;
    LogBytes("<- ", AFrame, Ok);
    if (!Ok)
        return Fail(kNoAnswer, FStream.StreamError());
    return 0;
}

int TFrameDialogue::ReceiveAnswer(std::string& AResponse, int ATimeout) {
    AResponse.clear();
    std::string Frame;
    if (ReadFrame(Frame, ATimeout) != 0)
        return Fail(kNoAnswer, LastReason);
    switch (ParseAnswerFrame(Frame, AResponse)) {
    case TFrameStatus::Ok:
        break;
    case TFrameStatus::BadLRC:
        // Refuse the frame; the command fails without asking for a repeat.
        WriteControl(NAK);
        return Fail(kProtocolError, u"Неверная контрольная сумма ответа");
    case TFrameStatus::BadStart:
    case TFrameStatus::BadLength:
        return Fail(kProtocolError, u"Неверная длина ответа");
    }
    WriteControl(ACK);
    LastReason.clear();
    return 0;
}

int TFrameDialogue::RunCommand(std::string& AResponse, std::string_view AMessage,
                               int AControlTimeout, int AAnswerTimeout, bool AWaitResponse) {
    AResponse.clear();
    // A message that no frame can carry is refused before the register is
    // disturbed at all.
    if (AMessage.empty() || AMessage.size() > MaxFrameMessage)
        return Fail(kProtocolError, u"Длина сообщения вне диапазона 1..255");
    std::optional<std::string> Held;
    int Rc = SendWithHandshake(AMessage, AControlTimeout, &Held);
    if (Rc != 0)
        return Rc;
    if (Held) {
        if (AWaitResponse)
            AResponse = std::move(*Held);
        return 0;
    }
    if (AWaitResponse)
        Rc = ReceiveAnswer(AResponse, AAnswerTimeout);
    return Rc;
}

} // namespace korv
