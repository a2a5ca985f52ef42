#pragma once
// The enquiry / frame / acknowledgement dialogue shared by the serial and the
// TCP link. The links differ only in the few points of TLinkDialect.

#include "transport/uByteStream.h"

#include <optional>
#include <string>
#include <string_view>

namespace korv {

struct TLinkDialect {
    /// The log source ("TCOMProtocol", "TSocketProtocol").
    const char* LogSource;
    /// The serial line drops stale bytes before each enquiry.
    bool PurgeBeforeEnquiry;
    /// TCP: an unexpected reply to ENQ is followed by one more byte, dropped.
    bool DropByteAfterUnknown;
    /// TCP: 0xFF followed by ACK after a frame also acknowledges it.
    bool AcceptFFThenAck;
};

class TFrameDialogue {
public:
    TFrameDialogue(TByteStream& AStream, const TLinkDialect& ADialect)
        : FStream(AStream), FDialect(ADialect) {}

    /// The whole command: handshake and frame, then the answer when
    /// AWaitResponse. AControlTimeout limits every control byte and the reads
    /// of a held answer; AAnswerTimeout the start of the answer.
    int RunCommand(std::string& AResponse, std::string_view AMessage, int AControlTimeout,
                   int AAnswerTimeout, bool AWaitResponse);
    int SendFrame(std::string_view AMessage);
    /// AHeldAnswer receives our own answer when the register already held it
    /// (our frame went through but its ACK was lost): the command is then done.
    int SendWithHandshake(std::string_view AMessage, int AControlTimeout,
                          std::optional<std::string>* AHeldAnswer);
    int ReadFrame(std::string& AFrame, int ATimeout);
    int ReceiveAnswer(std::string& AResponse, int ATimeout);

    /// The reason of the last failure; empty after a success.
    std::u16string LastReason;

private:
    bool WriteControl(std::uint8_t AByte);
    bool ReadControl(std::uint8_t& AByte, int ATimeout);
    void LogBytes(const char* APrefix, std::string_view ABytes, bool AOk);
    int Fail(int ACode, std::u16string_view AReason = {});

    TByteStream& FStream;
    TLinkDialect FDialect;
};

} // namespace korv
