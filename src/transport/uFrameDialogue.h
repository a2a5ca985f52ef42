#pragma once
// The enquiry / frame / acknowledgement dialogue shared by the serial and the
// TCP link. The links differ only in the few points of TLinkDialect.
//
// Time: every command has one deadline, its answer time-out plus two control
// waits, fixed when it starts. No attempt, probe or partial read extends it:
// each wait takes the smaller of its own limit and what is left.

#include "common/uEquipmentErrors.h"
#include "transport/uByteStream.h"
#include "transport/uDeadline.h"

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

/// The shortest answer: a one-byte command code and the error byte.
inline constexpr std::size_t MinAnswerMessage = 2;

/// How many control waits a command's deadline allows beyond its answer time-out.
inline constexpr int DeadlineControlWaits = 2;

/// The deadline of a command that starts now.
inline TDeadline CommandDeadline(int AControlTimeout, int AAnswerTimeout) {
    return TDeadline::After(static_cast<long long>(AAnswerTimeout) +
                            static_cast<long long>(DeadlineControlWaits) * AControlTimeout);
}

/// "answer to command XX, expected YY" (codes in hexadecimal).
std::u16string ForeignAnswerText(std::string_view AGot, std::string_view AExpected);

class TFrameDialogue {
public:
    TFrameDialogue(TByteStream& AStream, const TLinkDialect& ADialect)
        : FStream(AStream), FDialect(ADialect) {}

    /// The whole command: handshake and frame, then the answer when
    /// AWaitResponse. AControlTimeout limits every control byte and the reads
    /// of a held answer; AAnswerTimeout the wait for the answer's first byte.
    /// The whole command ends by CommandDeadline(AControlTimeout, AAnswerTimeout).
    int RunCommand(std::string& AResponse, std::string_view AMessage, int AControlTimeout,
                   int AAnswerTimeout, bool AWaitResponse);
    int SendFrame(std::string_view AMessage);
    /// AHeldAnswer receives our own answer when the register already held it
    /// (our frame went through but its ACK was lost): the command is then done.
    int SendWithHandshake(std::string_view AMessage, int AControlTimeout,
                          const TDeadline& ADeadline, std::optional<std::string>* AHeldAnswer);
    /// STX and LEN each within ATimeout, the rest by ADeadline. AMinMessage:
    /// the shortest message the frame can carry (an answer: its command's
    /// code and the error byte); the wait for LEN lets that much come too.
    int ReadFrame(std::string& AFrame, int ATimeout, const TDeadline& ADeadline,
                  std::size_t AMinMessage = MinAnswerMessage);
    /// Reads and checks the answer to the command ACommand (its code bytes):
    /// an intact answer to another command is acknowledged and refused with
    /// 1014, never taken as data.
    int ReceiveAnswer(std::string& AResponse, std::string_view ACommand, int ATimeout,
                      const TDeadline& ADeadline);

    /// The reason of the last failure; empty after a success.
    std::u16string LastReason;
    /// Where the last failure came from (None after a success).
    TErrorOrigin LastOrigin = TErrorOrigin::None;

private:
    bool WriteControl(std::uint8_t AByte);
    bool ReadControl(std::uint8_t& AByte, int ATimeout);
    void LogBytes(const char* APrefix, std::string_view ABytes, bool AOk);
    int Fail(int ACode, TErrorOrigin AOrigin, std::u16string_view AReason = {});
    /// 1007 after a failed read or write: silence, or the stream's own failure.
    int FailStream();
    int Succeed();

    TByteStream& FStream;
    TLinkDialect FDialect;
};

} // namespace korv
