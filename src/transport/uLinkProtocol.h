#pragma once
// The one protocol interface under both register links. A command is
// assembled here once (command code, the connection password when asked,
// the data) and carried by the frame dialogue over the link's byte stream;
// the serial (TCustomCOMProtocol) and TCP (TCustomSocketProtocol) families
// only say which stream, how long the answer may take, and how the link is
// made ready.
//
// Codes: 0 success, 1007 no answer, 1011 port unavailable, 1014 protocol
// error (including an answer to another command), 600..607 TCP. Nothing is
// raised; the reason and origin of the last failure are kept.

#include "common/uEquipmentErrors.h"
#include "transport/uByteStream.h"
#include "transport/uFrameDialogue.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

/// The time-out of each control byte on either link, and the serial answer
/// time-out when a command gives none (ms).
inline constexpr int DefaultAnswerTimeout = 2000;

class TCustomLinkProtocol {
public:
    virtual ~TCustomLinkProtocol();
    TCustomLinkProtocol(const TCustomLinkProtocol&) = delete;
    TCustomLinkProtocol& operator=(const TCustomLinkProtocol&) = delete;

    /// Runs one command. The message is ACmd (1 or 2 bytes), AConnectPwd when
    /// ASendPwd, then AData. AResponse receives the answer message without
    /// its command code (result code first); an answer to another command is
    /// refused (1014). ATimeout is the command's answer time-out in ms, 0 for
    /// the link's default (AnswerTimeout). Without AWaitResponse the call
    /// ends when the register has acknowledged the frame and AResponse stays
    /// empty. The whole call ends by the command's deadline (see uFrameDialogue.h).
    virtual int RunCommand(std::string& AResponse, std::string_view AConnectPwd,
                           std::string_view ACmd, std::string_view AData, int ATimeout,
                           bool ASendPwd, bool AWaitResponse);

    /// The message of a command: ACmd, then AConnectPwd when ASendPwd, then AData.
    static std::string BuildMessage(std::string_view AConnectPwd, std::string_view ACmd,
                                    std::string_view AData, bool ASendPwd);
    /// XOR of all bytes; 0 for none.
    static std::uint8_t CalcLRC(std::string_view ABytes);

    // The steps of a command, each on its own (see TFrameDialogue).
    /// Writes the frame of AMessage: 0, 1007 when the write failed, 1014 for
    /// a message that does not fit a frame.
    int SendFrame(std::string_view AMessage);
    /// Enquiries and the frame: 0 when the frame was sent, else the code.
    int SendWithHandshake(std::string_view AMessage);
    /// Reads a frame: 1007 when nothing came, 1014 for a wrong start byte.
    int ReadFrame(std::string& AFrame, int ATimeout);
    /// Reads and checks the answer to ACmd, acknowledges it and cuts out the
    /// answer (result code first).
    int ReceiveAnswer(std::string& AResponse, std::string_view ACmd, int ATimeout);

    /// How long the answer to a command with time-out ATimeout (0: none of
    /// its own) may take to begin.
    virtual int AnswerTimeout(int ATimeout) const = 0;

    /// The answer of the last command (as RunCommand returned it).
    const std::string& Response() const { return FResponse; }
    /// The reason of the last failure ("" after a success).
    const std::u16string& LastReason() const { return FLastReason; }
    /// Where the last failure came from (None after a success).
    TErrorOrigin LastOrigin() const { return FLastOrigin; }
    /// Shortens or lengthens the control-byte time-out (tests; the register
    /// needs DefaultAnswerTimeout).
    void SetControlTimeout(int AMs) { FControlTimeout = AMs; }
    int ControlTimeout() const { return FControlTimeout; }

protected:
    explicit TCustomLinkProtocol(const TLinkDialect& ADialect) : FDialect(ADialect) {}

    /// The byte stream of the link; null when there is none.
    virtual TByteStream* LinkStream() = 0;
    /// Makes the link ready for a command: 0, or a code with the reason set.
    virtual int PrepareLink() { return 0; }
    /// Records a failure of the link itself (no dialogue ran).
    int LinkFailure(int ACode, std::u16string AReason);

    std::string FResponse;
    std::u16string FLastReason;
    TErrorOrigin FLastOrigin = TErrorOrigin::None;
    int FControlTimeout = DefaultAnswerTimeout;

private:
    template <class FStep> int Step(FStep&& AStep);
    TLinkDialect FDialect;
};

} // namespace korv
