// The frame dialogue of both links against an in-memory register: what the
// register sends is a script, what the driver sends is recorded. Every case
// runs with the serial and with the TCP dialect unless it names one.

#include "transport/uFrameCodec.h"
#include "transport/uFrameDialogue.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

using namespace korv;
using namespace std::string_literals;

namespace {

/// One piece of what the register sends: bytes, or a silence that makes
/// exactly one read run out of time.
struct TPiece {
    std::string Bytes;
    bool Silence = false;
};

TPiece Silence() {
    return {{}, true};
}

class TScriptedStream : public TByteStream {
public:
    explicit TScriptedStream(std::vector<TPiece> AScript) {
        for (TPiece& P : AScript) {
            if (P.Silence)
                FIn.push_back(std::nullopt);
            for (char c : P.Bytes)
                FIn.push_back(c);
        }
    }
    bool StreamOpened() const override { return true; }
    bool StreamWrite(std::string_view AData) override {
        Written.append(AData);
        return true;
    }
    bool StreamReadByte(std::uint8_t& AValue, int) override {
        if (FIn.empty() || !FIn.front()) {
            TakeSilence();
            return false;
        }
        AValue = static_cast<std::uint8_t>(*FIn.front());
        FIn.pop_front();
        return true;
    }
    bool StreamReadBlock(std::size_t ACount, std::string& AData, const TDeadline&) override {
        AData.clear();
        while (AData.size() < ACount && !FIn.empty() && FIn.front()) {
            AData.push_back(*FIn.front());
            FIn.pop_front();
        }
        if (AData.size() < ACount)
            TakeSilence();
        return true;
    }
    void StreamPurge() override { ++Purges; }
    std::u16string StreamError() const override { return u"Ошибка при чтении данных из порта"; }
    bool StreamFailed() const override { return false; }

    /// Bytes the register has not been asked for.
    std::size_t Unread() const { return FIn.size(); }

    std::string Written;
    int Purges = 0;

private:
    void TakeSilence() {
        if (!FIn.empty() && !FIn.front())
            FIn.pop_front();
    }
    std::deque<std::optional<char>> FIn;
};

const TLinkDialect kSerial{"TCOMProtocol", true, false, false};
const TLinkDialect kTcp{"TSocketProtocol", false, true, true};

std::string Frame(const std::string& AMessage) {
    return BuildFrame(AMessage);
}
const std::string Enq(1, ENQ), Ack(1, ACK), Nak(1, NAK);
const std::string kMsg = "\x10\x1E\x00\x00\x00"s;       // 0x10 with the password
const std::string kFnMsg = "\xFF\x01\x1E\x00\x00\x00"s; // FF 01 with the password

struct TCase {
    const char* Name;
    std::string Message;
    std::vector<TPiece> Register;
    int Code;
    std::string Response;
    std::string Sent; // everything the driver wrote
    bool SerialOnly = false;
    bool TcpOnly = false;
    bool Wait = true;
};

} // namespace

TEST(FrameDialogue, BothLinksTable) {
    const std::vector<TCase> Cases = {
        {"clean exchange",
         kMsg,
         {{Nak + Ack + Frame("\x10\x00\x1E\x07"s)}},
         0,
         "\x00\x1E\x07"s,
         Enq + Frame(kMsg) + Ack},
        {"two-byte command code is cut",
         kFnMsg,
         {{Nak + Ack + Frame("\xFF\x01\x00\xAA"s)}},
         0,
         "\x00\xAA"s,
         Enq + Frame(kFnMsg) + Ack},
        {"held answer is taken and dropped before the frame",
         kMsg,
         {{Ack + Frame("\x11\x00\x99"s) + Nak + Ack + Frame("\x10\x00\x01"s)}},
         0,
         "\x00\x01"s,
         Enq + Ack + Enq + Frame(kMsg) + Ack},
        {"lost ACK: the held answer to our command is ours, nothing sent twice",
         kMsg,
         {{Nak}, Silence(), {Ack + Frame("\x10\x00\x42"s)}},
         0,
         "\x00\x42"s,
         Enq + Frame(kMsg) + Enq + Ack},
        {"wrong check byte is refused with NAK",
         kMsg,
         {{Nak + Ack + "\x02\x03\x10\x00\x01\x50"s}},
         1014,
         "",
         Enq + Frame(kMsg) + Nak},
        {"wrong start byte of the answer: no answer",
         kMsg,
         {{Nak + Ack + "\x03\x03\x10\x00\x01"s}},
         1007,
         "",
         Enq + Frame(kMsg)},
        {"answer cut short",
         kMsg,
         {{Nak + Ack + "\x02\x05\x10\x00\x01"s}, Silence()},
         1014,
         "",
         Enq + Frame(kMsg)},
        {"broken held answer fails the command", kMsg, {{Ack + "\x04"s}}, 1014, "", Enq},
        {"silent register: nine enquiries", kMsg, {}, 1007, "", std::string(9, ENQ)},
        {"without waiting the call ends at the ACK",
         "\x25\x1E\x00\x00\x00\x01"s,
         {{Nak + Ack}},
         0,
         "",
         Enq + Frame("\x25\x1E\x00\x00\x00\x01"s),
         false,
         false,
         false},
        {"wrong byte after the frame starts a new attempt",
         kMsg,
         {{Nak + Nak + Nak + Ack + Frame("\x10\x00"s)}},
         0,
         "\x00"s,
         Enq + Frame(kMsg) + Enq + Frame(kMsg) + Ack,
         true},
        {"stale answer to an earlier command is refused",
         kMsg,
         {{Nak + Ack + Frame("\x11\x00\x05\x06"s)}},
         1014,
         "",
         Enq + Frame(kMsg) + Ack},
        {"foreign answer with the same first code byte is refused",
         kFnMsg,
         {{Nak + Ack + Frame("\xFF\x02\x00\x01"s)}},
         1014,
         "",
         Enq + Frame(kFnMsg) + Ack},
        {"stray reply to ENQ and the byte after it are dropped",
         kMsg,
         {{"\x33\x34"s + Nak + Ack + Frame("\x10\x00\x05"s)}},
         0,
         "\x00\x05"s,
         Enq + Enq + Frame(kMsg) + Ack,
         false,
         true},
        {"0xFF then ACK accepts the frame",
         kMsg,
         {{Nak + "\xFF"s + Ack + Frame("\x10\x00"s)}},
         0,
         "\x00"s,
         Enq + Frame(kMsg) + Ack,
         false,
         true},
        {"a message no frame can carry is refused unsent", std::string(256, 'x'), {}, 1014, "", ""},
    };
    for (const TCase& C : Cases) {
        for (const TLinkDialect* Dialect : {&kSerial, &kTcp}) {
            if ((C.SerialOnly && Dialect != &kSerial) || (C.TcpOnly && Dialect != &kTcp))
                continue;
            SCOPED_TRACE(std::string(C.Name) + " / " + Dialect->LogSource);
            TScriptedStream Stream(C.Register);
            TFrameDialogue Dialogue(Stream, *Dialect);
            std::string Response = "stale";
            EXPECT_EQ(Dialogue.RunCommand(Response, C.Message, 2000, 2000, C.Wait), C.Code);
            EXPECT_EQ(Response, C.Response);
            EXPECT_EQ(Stream.Written, C.Sent);
            if (C.Code == 0) {
                EXPECT_EQ(Dialogue.LastOrigin, TErrorOrigin::None);
                EXPECT_EQ(Stream.Unread(), 0u) << "the register said more than was read";
            } else {
                EXPECT_NE(Dialogue.LastOrigin, TErrorOrigin::None);
                EXPECT_FALSE(Dialogue.LastReason.empty());
            }
        }
    }
}

TEST(FrameDialogue, ForeignAnswerNamesBothCommands) {
    for (const TLinkDialect* Dialect : {&kSerial, &kTcp}) {
        TScriptedStream Stream({{Nak + Ack + Frame("\x11\x00\x05"s)}});
        TFrameDialogue Dialogue(Stream, *Dialect);
        std::string Response;
        EXPECT_EQ(Dialogue.RunCommand(Response, kMsg, 2000, 2000, true), 1014);
        EXPECT_EQ(Dialogue.LastReason, u"answer to command 11, expected 10");
        EXPECT_EQ(Dialogue.LastOrigin, TErrorOrigin::BadFrame);

        TScriptedStream Fn({{Nak + Ack + Frame("\xFF\x02\x00"s)}});
        TFrameDialogue FnDialogue(Fn, *Dialect);
        EXPECT_EQ(FnDialogue.RunCommand(Response, kFnMsg, 2000, 2000, true), 1014);
        EXPECT_EQ(FnDialogue.LastReason, u"answer to command FF02, expected FF01");
    }
}

TEST(FrameDialogue, SerialPurgesBeforeEveryEnquiryOnly) {
    for (const TLinkDialect* Dialect : {&kSerial, &kTcp}) {
        TScriptedStream Stream({{Ack + Frame("\x11\x00"s) + Nak + Ack + Frame("\x10\x00"s)}});
        TFrameDialogue Dialogue(Stream, *Dialect);
        std::string Response;
        EXPECT_EQ(Dialogue.RunCommand(Response, kMsg, 2000, 2000, true), 0);
        EXPECT_EQ(Stream.Purges, Dialect == &kSerial ? 2 : 0);
    }
}

TEST(FrameDialogue, SilenceIsTheLinkNotTheRegister) {
    TScriptedStream Stream({});
    TFrameDialogue Dialogue(Stream, kSerial);
    std::string Response;
    EXPECT_EQ(Dialogue.RunCommand(Response, kMsg, 2000, 2000, true), 1007);
    EXPECT_EQ(Dialogue.LastOrigin, TErrorOrigin::Silent);
}
