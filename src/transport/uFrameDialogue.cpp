#include "transport/uFrameDialogue.h"

#include "common/Common.Log.h"
#include "common/uBytes.h"
#include "transport/uFrameCodec.h"

namespace korv {

namespace {

constexpr int kAttempts = 3;
constexpr int kProbes = 3;
constexpr int kNoAnswer = 1007;
constexpr int kProtocolError = 1014;

std::string HexCode(std::string_view ACode) {
    static const char Digits[] = "0123456789ABCDEF";
    std::string Text;
    for (char c : ACode) {
        const auto b = static_cast<unsigned char>(c);
        Text.push_back(Digits[b >> 4]);
        Text.push_back(Digits[b & 15]);
    }
    return Text;
}

} // namespace

std::u16string ForeignAnswerText(std::string_view AGot, std::string_view AExpected) {
    const std::string Text =
        "answer to command " + HexCode(AGot) + ", expected " + HexCode(AExpected);
    return std::u16string(Text.begin(), Text.end());
}

int TFrameDialogue::Fail(int ACode, TErrorOrigin AOrigin, std::u16string_view AReason) {
    LastReason = GetDriverErrorText(ACode, AReason);
    LastOrigin = AOrigin;
    return ACode;
}

int TFrameDialogue::FailStream() {
    return Fail(kNoAnswer, FStream.StreamFailed() ? TErrorOrigin::System : TErrorOrigin::Silent,
                FStream.StreamError());
}

int TFrameDialogue::Succeed() {
    LastReason.clear();
    LastOrigin = TErrorOrigin::None;
    return 0;
}

void TFrameDialogue::LogBytes(const char* APrefix, std::string_view ABytes, bool AOk) {
    // Every byte of every exchange passes here: no text is made for a log that is off.
    const TLogLevel Level = AOk ? TLogLevel::Info : TLogLevel::Error;
    if (LogWanted(Level))
        WriteLog(FDialect.LogSource, std::string(APrefix) + BytesToHexText(ABytes), Level);
}

bool TFrameDialogue::WriteControl(std::uint8_t AByte) {
    const char Value = static_cast<char>(AByte);
    const std::string_view Byte(&Value, 1);
    const bool Ok = FStream.StreamWrite(Byte);
    LogBytes("-> ", Byte, Ok);
    return Ok;
}

bool TFrameDialogue::ReadControl(std::uint8_t& AByte, int ATimeout) {
    const bool Ok = FStream.StreamReadByte(AByte, ATimeout);
    const char Byte = static_cast<char>(AByte);
    LogBytes("<- ", Ok ? std::string_view(&Byte, 1) : std::string_view(), Ok);
    return Ok;
}

int TFrameDialogue::SendFrame(std::string_view AMessage) {
    const std::string Frame = BuildFrame(AMessage);
    if (Frame.empty())
        return Fail(kProtocolError, TErrorOrigin::BadFrame,
                    u"Длина сообщения вне диапазона 1..255");
    const bool Ok = FStream.StreamWrite(Frame);
    LogBytes("-> ", Frame, Ok);
    if (!Ok)
        return Fail(kNoAnswer, TErrorOrigin::System, FStream.StreamError());
    return 0;
}

int TFrameDialogue::SendWithHandshake(std::string_view AMessage, int AControlTimeout,
                                      const TDeadline& ADeadline,
                                      std::optional<std::string>* AHeldAnswer) {
    const std::string_view OurCode = AMessage.substr(0, CommandCodeLength(AMessage));
    int Result = kNoAnswer;
    TErrorOrigin Origin = TErrorOrigin::Silent;
    std::u16string Reason;
    bool FrameSent = false;
    for (int Attempt = 0; Attempt < kAttempts && !ADeadline.Passed(); ++Attempt) {
        for (int Probe = 0; Probe < kProbes && !ADeadline.Passed(); ++Probe) {
            if (FDialect.PurgeBeforeEnquiry)
                FStream.StreamPurge();
            if (!WriteControl(ENQ)) {
                Origin = TErrorOrigin::System;
                Reason = FStream.StreamError();
                continue;
            }
            std::uint8_t Reply;
            if (!ReadControl(Reply, ADeadline.Wait(AControlTimeout))) {
                // Silence is told by the code's own text; a failing port by its own.
                const bool Failed = FStream.StreamFailed();
                Origin = Failed ? TErrorOrigin::System : TErrorOrigin::Silent;
                Reason = Failed ? FStream.StreamError() : std::u16string();
                continue;
            }
            if (Reply == NAK) {
                // The register waits for a command.
                Result = 0;
                break;
            }
            if (Reply == ACK) {
                // The register still holds an answer: take it off its hands.
                std::string Held;
                const int Rc = ReadFrame(Held, AControlTimeout, ADeadline);
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
                    return Succeed();
                }
                continue;
            }
            if (FDialect.DropByteAfterUnknown) {
                std::uint8_t Dropped;
                ReadControl(Dropped, ADeadline.Wait(AControlTimeout));
            }
        }
        if (Result != 0)
            continue;
        const int Rc = SendFrame(AMessage);
        if (Rc != 0) {
            Result = Rc;
            Origin = LastOrigin;
            Reason = LastReason;
            continue;
        }
        FrameSent = true;
        std::uint8_t Reply;
        if (!ReadControl(Reply, ADeadline.Wait(AControlTimeout)))
            continue; // no byte: perhaps the ACK was lost; the next enquiry tells
        if (Reply == ACK)
            return Succeed();
        Result = kProtocolError;
        Origin = TErrorOrigin::BadFrame;
        Reason.clear();
        if (FDialect.AcceptFFThenAck && Reply == 0xFF) {
            std::uint8_t Next;
            if (ReadControl(Next, ADeadline.Wait(AControlTimeout)) && Next == ACK)
                return Succeed();
        }
    }
    if (Result == 0)
        return Succeed();
    return Fail(Result, Origin, Reason);
}

int TFrameDialogue::ReadFrame(std::string& AFrame, int ATimeout, const TDeadline& ADeadline,
                              std::size_t AMinMessage) {
    AFrame.clear();
    std::uint8_t Byte;
    if (!FStream.StreamReadByte(Byte, ADeadline.Wait(ATimeout))) {
        LogBytes("<- ", AFrame, false);
        return FailStream();
    }
    AFrame.push_back(static_cast<char>(Byte));
    if (Byte != STX) {
        LogBytes("<- ", AFrame, false);
        return Fail(kProtocolError, TErrorOrigin::BadFrame);
    }
    // The length is followed by at least the shortest message and the check
    // byte: a short frame then comes whole with it, and a longer one needs a
    // single wait for the rest.
    if (!FStream.StreamReadByteBefore(Byte, ADeadline.Wait(ATimeout), AMinMessage + 1)) {
        LogBytes("<- ", AFrame, false);
        return FailStream();
    }
    AFrame.push_back(static_cast<char>(Byte));
    std::string Body;
    const bool Ok = FStream.StreamReadBlock(std::size_t{Byte} + 1, Body, ADeadline);
    AFrame += Body;
    LogBytes("<- ", AFrame, Ok);
    if (!Ok)
        return FailStream();
    return 0;
}

int TFrameDialogue::ReceiveAnswer(std::string& AResponse, std::string_view ACommand, int ATimeout,
                                  const TDeadline& ADeadline) {
    AResponse.clear();
    std::string Frame;
    const std::size_t MinMessage = ACommand.empty() ? MinAnswerMessage : ACommand.size() + 1;
    if (ReadFrame(Frame, ATimeout, ADeadline, MinMessage) != 0)
        return Fail(kNoAnswer, LastOrigin, LastReason);
    switch (ParseAnswerFrame(Frame, AResponse)) {
    case TFrameStatus::Ok:
        break;
    case TFrameStatus::BadLRC:
        // Refuse the frame; the command fails without asking for a repeat.
        WriteControl(NAK);
        return Fail(kProtocolError, TErrorOrigin::BadFrame, u"Неверная контрольная сумма ответа");
    case TFrameStatus::BadStart:
    case TFrameStatus::BadLength:
        return Fail(kProtocolError, TErrorOrigin::BadFrame, u"Неверная длина ответа");
    }
    // The frame is intact, so the register may let it go.
    WriteControl(ACK);
    const std::string_view Got = FrameCommandCode(Frame);
    if (!ACommand.empty() && Got != ACommand) {
        // A stale answer (to a command given up on) or a foreign one: its
        // bytes mean something else, and decoding them as ours would turn
        // them into wrong counters or document numbers.
        AResponse.clear();
        return Fail(kProtocolError, TErrorOrigin::BadFrame, ForeignAnswerText(Got, ACommand));
    }
    return Succeed();
}

int TFrameDialogue::RunCommand(std::string& AResponse, std::string_view AMessage,
                               int AControlTimeout, int AAnswerTimeout, bool AWaitResponse) {
    AResponse.clear();
    // A message that no frame can carry is refused before the register is
    // disturbed at all.
    if (AMessage.empty() || AMessage.size() > MaxFrameMessage)
        return Fail(kProtocolError, TErrorOrigin::BadFrame,
                    u"Длина сообщения вне диапазона 1..255");
    const TDeadline Deadline = CommandDeadline(AControlTimeout, AAnswerTimeout);
    std::optional<std::string> Held;
    int Rc = SendWithHandshake(AMessage, AControlTimeout, Deadline, &Held);
    if (Rc != 0)
        return Rc;
    if (Held) {
        if (AWaitResponse)
            AResponse = std::move(*Held);
        return 0;
    }
    if (AWaitResponse)
        Rc = ReceiveAnswer(AResponse, AMessage.substr(0, CommandCodeLength(AMessage)),
                           AAnswerTimeout, Deadline);
    return Rc;
}

} // namespace korv
