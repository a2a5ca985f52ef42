#include "TransportPeers.h"

#include "transport/uComProtocol.h"

#include <algorithm>

using namespace korv;
using namespace korvtest;

namespace {

const std::string kPwd = "\x1E\0\0\0"s;

class ComProtocolTest : public ::testing::Test {
protected:
    ComProtocolTest() : Peer(7), Protocol(&Port) {
        Port.SetPortNumber(7);
        Protocol.SetControlTimeout(500);
    }
    void SetUp() override { ASSERT_TRUE(Port.Open()) << U16ToAnsi(Port.ExtResultDescription()); }

    /// The register's side of a clean exchange: NAK to ENQ, ACK to the frame,
    /// then the answer frame; returns the frame it received.
    std::string ServeOne(const std::string& AAnswerMessage) {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        const std::string Got = Peer.ReadFrame();
        Peer.WriteByte(ACK);
        Peer.Write(Frame(AAnswerMessage));
        EXPECT_EQ(Peer.ReadByte(), ACK);
        return Got;
    }

    TPtyPeer Peer;
    TComPort Port;
    TCOMProtocol Protocol;
};

} // namespace

TEST_F(ComProtocolTest, ByteExactFrameAndAnswer) {
    TLogCapture Log;
    std::string Received;
    TScript Register([&] { Received = ServeOne("\x10\x00\x1E\x07\x08"s); });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 0);
    Register.Join();
    // STX, LEN 5, command, password, LRC = 05 ^ 10 ^ 1E.
    EXPECT_EQ(Received, "\x02\x05\x10\x1E\x00\x00\x00\x0B"s);
    EXPECT_EQ(Response, "\x00\x1E\x07\x08"s);
    EXPECT_EQ(Protocol.Response(), Response);
    const auto Lines = Log.Lines();
    const std::vector<std::string> Want = {"TCOMProtocol I -> 05 ",
                                           "TCOMProtocol I <- 15 ",
                                           "TCOMProtocol I -> 02 05 10 1E 00 00 00 0B ",
                                           "TCOMProtocol I <- 06 ",
                                           "TCOMProtocol I <- 02 05 10 00 1E 07 08 04 ",
                                           "TCOMProtocol I -> 06 "};
    EXPECT_EQ(Lines, Want);
}

TEST_F(ComProtocolTest, TwoByteCommandCodeIsCutFromTheAnswer) {
    std::string Received;
    TScript Register([&] { Received = ServeOne("\xFF\x01\x00\xAA\xBB"s); });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\xFF\x01", "\x05"s, 0, true, true), 0);
    Register.Join();
    EXPECT_EQ(Received, Frame("\xFF\x01\x1E\x00\x00\x00\x05"s));
    EXPECT_EQ(Response, "\x00\xAA\xBB"s);
}

TEST_F(ComProtocolTest, HeldAnswerIsCollectedAndDropped) {
    std::vector<int> Seen;
    TScript Register([&] {
        Seen.push_back(Peer.ReadByte());
        Peer.WriteByte(ACK);                // an answer is still waiting
        Peer.Write(Frame("\x11\x00\x99"s)); // the stale answer
        Seen.push_back(Peer.ReadByte());    // its ACK
        Seen.push_back(Peer.ReadByte());    // a new enquiry
        Peer.WriteByte(NAK);
        const std::string F = Peer.ReadFrame();
        Seen.push_back(static_cast<unsigned char>(F.size() > 2 ? F[2] : 0));
        Peer.WriteByte(ACK);
        Peer.Write(Frame("\x10\x00\x01"s));
        Seen.push_back(Peer.ReadByte());
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 0);
    Register.Join();
    EXPECT_EQ(Seen, (std::vector<int>{ENQ, ACK, ENQ, 0x10, ACK}));
    EXPECT_EQ(Response, "\x00\x01"s);
}

TEST_F(ComProtocolTest, LostAckTakesTheHeldAnswerWithoutResending) {
    int FramesSeen = 0;
    int AfterwardsByte = 0;
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        if (Peer.ReadFrame().size() == 8)
            ++FramesSeen;
        // The ACK of the frame is lost: the driver asks again, and finds the
        // answer to its command waiting.
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(ACK);
        Peer.Write(Frame("\x10\x00\x42"s));
        EXPECT_EQ(Peer.ReadByte(), ACK);
        AfterwardsByte = Peer.ReadByte(300);
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 0);
    Register.Join();
    EXPECT_EQ(FramesSeen, 1);
    EXPECT_EQ(AfterwardsByte, -1); // the command was not sent a second time
    EXPECT_EQ(Response, "\x00\x42"s);
}

TEST_F(ComProtocolTest, WrongLrcIsRefusedWithNak) {
    int Reply = 0;
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        Peer.ReadFrame();
        Peer.WriteByte(ACK);
        std::string F = Frame("\x10\x00\x01"s);
        F.back() = static_cast<char>(F.back() ^ 0x40);
        Peer.Write(F);
        Reply = Peer.ReadByte();
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 1014);
    Register.Join();
    EXPECT_EQ(Reply, NAK);
    EXPECT_TRUE(Response.empty());
}

TEST_F(ComProtocolTest, WrongStartOrLengthOfTheAnswer) {
    struct Case {
        std::string Answer;
        int Code;
    };
    // A wrong start byte means no answer came; a frame cut short is a protocol error.
    for (const Case& C :
         {Case{"\x03\x03\x10\x00\x01\x12"s, 1007}, Case{"\x02\x05\x10\x00\x01"s, 1014}}) {
        int After = 0;
        TScript Register([&] {
            EXPECT_EQ(Peer.ReadByte(), ENQ);
            Peer.WriteByte(NAK);
            Peer.ReadFrame();
            Peer.WriteByte(ACK);
            Peer.Write(C.Answer);
            After = Peer.ReadByte(200);
        });
        std::string Response;
        EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 300, true, true), C.Code);
        Register.Join();
        EXPECT_EQ(After, -1) << "nothing is sent for a malformed answer";
    }
}

TEST_F(ComProtocolTest, BrokenHeldAnswerFailsTheCommand) {
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(ACK);
        Peer.WriteByte(0x04); // not STX
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 1014);
}

TEST_F(ComProtocolTest, SilentRegisterGivesNoAnswerAfterNineEnquiries) {
    TLogCapture Log;
    Protocol.SetControlTimeout(30);
    std::atomic<bool> Done{false};
    std::string Heard;
    TScript Register([&] {
        while (!Done)
            Heard += Peer.Read(64, 20);
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 1007);
    Done = true;
    Register.Join();
    EXPECT_EQ(Heard, std::string(9, '\x05'));
    EXPECT_EQ(Protocol.LastReason(), u"Устройство не отвечает");
    const auto Lines = Log.Lines();
    EXPECT_EQ(std::count(Lines.begin(), Lines.end(), "TCOMProtocol E <- "), 9);
}

TEST_F(ComProtocolTest, WithoutWaitingTheCallEndsAtTheAck) {
    int After = 0;
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        Peer.ReadFrame();
        Peer.WriteByte(ACK);
        After = Peer.ReadByte(200);
    });
    std::string Response = "stale";
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x25", "\x01", 0, true, false), 0);
    Register.Join();
    EXPECT_TRUE(Response.empty());
    EXPECT_EQ(After, -1);
}

TEST_F(ComProtocolTest, WrongByteAfterTheFrameStartsANewAttempt) {
    int Frames = 0;
    TScript Register([&] {
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(Peer.ReadByte(), ENQ);
            Peer.WriteByte(NAK);
            if (!Peer.ReadFrame().empty())
                ++Frames;
            Peer.WriteByte(i == 0 ? NAK : ACK); // the first frame was damaged
        }
        Peer.Write(Frame("\x10\x00"s));
        Peer.ReadByte();
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 0);
    Register.Join();
    EXPECT_EQ(Frames, 2);
    EXPECT_EQ(Response, "\x00"s);
}

TEST(ComProtocolLimits, MessagesThatDoNotFitAFrame) {
    TPtyPeer Peer(8);
    TComPort Port;
    Port.SetPortNumber(8);
    ASSERT_TRUE(Port.Open());
    TCOMProtocol Protocol(&Port);
    EXPECT_EQ(Protocol.SendFrame(std::string(256, 'x')), 1014);
    EXPECT_EQ(Protocol.SendFrame(""), 1014);
    EXPECT_EQ(Peer.Read(1, 50), "");
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", std::string(251, 'x'), 0, true, true),
              1014);
    EXPECT_EQ(Peer.Read(1, 50), ""); // not even an enquiry
    EXPECT_EQ(Protocol.SendFrame(std::string(255, 'x')), 0);
    EXPECT_EQ(Peer.ReadFrame().size(), 258u);
}

TEST(ComProtocolLimits, PortThatCannotOpenGives1011) {
    ::setenv("KORVANDER_COM_DIR", "/nonexistent-korvander", 1);
    TComPort Port;
    Port.SetPortNumber(3);
    TCOMProtocol Protocol(&Port);
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 1011);
    EXPECT_EQ(Protocol.LastReason().rfind(u"Ошибка открытия порта. ", 0), 0u);
    ::unsetenv("KORVANDER_COM_DIR");
}
