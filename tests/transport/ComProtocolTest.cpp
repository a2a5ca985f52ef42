#include "support/LinkPeers.h"

#include "transport/uComProtocol.h"

#include <algorithm>
#include <chrono>
#include <thread>

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

TEST_F(ComProtocolTest, StaleAnswerIsRefusedNotDecoded) {
    int Reply = 0;
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        Peer.ReadFrame();
        Peer.WriteByte(ACK);
        Peer.Write(Frame("\x11\x00\x01\x02"s)); // the answer to an earlier command
        Reply = Peer.ReadByte();
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 1014);
    Register.Join();
    EXPECT_EQ(Reply, ACK); // taken off the register's hands all the same
    EXPECT_TRUE(Response.empty());
    EXPECT_EQ(Protocol.LastReason(), u"answer to command 11, expected 10");
    EXPECT_EQ(Protocol.LastOrigin(), TErrorOrigin::BadFrame);
}

TEST_F(ComProtocolTest, StalledAnswersEndByTheCommandsDeadline) {
    // Short limits, so the bound shows quickly: 100 ms per control byte,
    // 300 ms for the answer; the deadline is 500 ms. Before it, a silent
    // line took nine control waits, a trickle as long as the register kept
    // it up, and a half frame 1000 ms per missing byte (256 s).
    Protocol.SetControlTimeout(100);
    const int Answer = 300;
    const int Budget = Answer + DeadlineControlWaits * 100;
    for (TStall Stall : {TStall::Silent, TStall::Trickle, TStall::HalfFrame}) {
        SCOPED_TRACE(StallName(Stall));
        std::atomic<bool> Done{false};
        TScript Register([&] { PlayStall(Peer, Stall, Done, 30); });
        std::string Response;
        const auto Start = std::chrono::steady_clock::now();
        const int Rc = Protocol.RunCommand(Response, kPwd, "\x10", "", Answer, true, true);
        const auto Spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - Start)
                               .count();
        Done = true;
        Register.Join();
        EXPECT_NE(Rc, 0);
        RecordProperty(std::string("ms_") + StallName(Stall)[0], static_cast<int>(Spent));
        // A generous margin: the machine is shared.
        EXPECT_LT(Spent, Budget + 2000) << "the deadline is " << Budget << " ms";
        Port.Purge(true);
    }
}

TEST_F(ComProtocolTest, AnswerInPiecesWithPausesIsReadWhole) {
    // A reader that waits out the line time of the rest must still gather
    // every piece: pauses between them, well inside the port's interval
    // limit, neither cut the frame short nor lose its tail. The shortest
    // answer (code and error byte only) and one shorter than the command
    // makes likely are read whole too, and nothing after them is taken.
    TCommTimeouts Timeouts = Port.Timeouts();
    Timeouts.ReadIntervalTimeout = 1000; // the pauses stay far below it on a loaded machine
    ASSERT_TRUE(Port.SetTimeouts(Timeouts));
    struct TAnswer {
        std::string Command;
        std::string Message;
    };
    for (const TAnswer& A : {TAnswer{"\x10", "\x10\x00\x1E"s + std::string(40, '\x55')},
                             TAnswer{"\x10", "\x10\x00"s}, TAnswer{"\xFF\x01", "\xFF\x01\x00"s}}) {
        const std::string Whole = Frame(A.Message);
        // Where the frame is cut: STX alone, STX with LEN, inside the message, before the LRC.
        for (const std::vector<std::size_t>& Cuts :
             std::vector<std::vector<std::size_t>>{{1}, {2}, {1, 2, 3}, {Whole.size() - 1}}) {
            SCOPED_TRACE(testing::PrintToString(Cuts) + " of " + std::to_string(Whole.size()));
            TScript Register([&] {
                EXPECT_EQ(Peer.ReadByte(), ENQ);
                Peer.WriteByte(NAK);
                Peer.ReadFrame();
                Peer.WriteByte(ACK);
                std::size_t From = 0;
                for (std::size_t Cut : Cuts) {
                    Peer.Write(std::string_view(Whole).substr(From, Cut - From));
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    From = Cut;
                }
                Peer.Write(std::string_view(Whole).substr(From));
                EXPECT_EQ(Peer.ReadByte(), ACK);
                Peer.Write("\x7F"); // not part of the answer
            });
            std::string Response;
            EXPECT_EQ(Protocol.RunCommand(Response, kPwd, A.Command, "", 5000, true, true), 0)
                << U16ToAnsi(Protocol.LastReason());
            Register.Join();
            EXPECT_EQ(Response, A.Message.substr(A.Command.size()));
            std::uint8_t After = 0;
            EXPECT_TRUE(Port.ReadByte(After, 2000));
            EXPECT_EQ(After, 0x7F);
        }
    }
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
