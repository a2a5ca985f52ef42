// The frame protocol as the emulated register speaks it, over real sockets and a real pty.
#include "emulator/EmuTestClient.h"

#include "Emulator.h"

#include <gtest/gtest.h>
#include <stdexcept>

using emutest::At;
using emutest::Bytes;
using emutest::Msg;
using emutest::RawClient;

namespace {

class EmuLink : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(em.StartTcp(0, &err)) << err;
        ASSERT_TRUE(client.Connect(em.TcpPort()));
    }
    emu::Emulator em{emu::Options{}};
    RawClient client;
};

TEST(EmuFrame, BuildsFramesWithLenAndLrc) {
    EXPECT_EQ(emu::BuildFrame(Bytes({0x10, 0x1E, 0, 0, 0})),
              Bytes({0x02, 0x05, 0x10, 0x1E, 0, 0, 0, 0x05 ^ 0x10 ^ 0x1E}));
    EXPECT_EQ(emu::Lrc(""), 0);
}

TEST(EmuFrame, ReaderSeparatesControlBytesFramesAndBadChecks) {
    emu::FrameReader r;
    using E = emu::FrameReader::Event;
    EXPECT_EQ(r.Feed(0x05), E::Enq);
    EXPECT_EQ(r.Feed(0x06), E::Ack);
    EXPECT_EQ(r.Feed(0x15), E::Nak);
    EXPECT_EQ(r.Feed(0x41), E::Stray);
    // Control bytes inside a frame are data.
    std::string f = emu::BuildFrame(Bytes({0x05, 0x06, 0x15}));
    for (size_t i = 0; i + 1 < f.size(); ++i) {
        EXPECT_EQ(r.Feed(static_cast<uint8_t>(f[i])), E::None);
        EXPECT_TRUE(r.InFrame());
    }
    EXPECT_EQ(r.Feed(static_cast<uint8_t>(f.back())), E::Frame);
    EXPECT_EQ(r.Message(), Bytes({0x05, 0x06, 0x15}));
    // A wrong check byte, and an empty frame, are both refused.
    for (uint8_t b : {0x02, 0x01, 0x10, 0x00}) {
        r.Feed(b);
    }
    EXPECT_FALSE(r.InFrame());
    r.Feed(0x02);
    r.Feed(0x00);
    EXPECT_EQ(r.Feed(0x00), E::BadLrc);
}

TEST_F(EmuLink, EnqWhenIdleIsAnsweredWithNak) {
    ASSERT_TRUE(client.SendByte(0x05));
    EXPECT_EQ(client.ReadByte(), 0x15);
}

TEST_F(EmuLink, AnswerEchoesTheCommandAndCarriesTheResult) {
    std::string a = client.Command(Msg(0x10));
    ASSERT_GE(a.size(), 16u);
    EXPECT_EQ(At(a, 0), 0x10);
    EXPECT_EQ(At(a, 1), 0);
    // Two-byte codes are echoed whole: an unknown one is refused with result 1.
    a = client.Command(Msg(0xFF7E));
    EXPECT_EQ(a, Bytes({0xFF, 0x7E, 0x01}));
}

TEST_F(EmuLink, UnacknowledgedAnswerIsHeldForTheNextEnquiry) {
    ASSERT_TRUE(client.SendByte(0x05));
    ASSERT_EQ(client.ReadByte(), 0x15);
    ASSERT_TRUE(client.Send(emu::BuildFrame(Msg(0x11))));
    ASSERT_EQ(client.ReadByte(), 0x06);
    std::string first = client.ReadFrame();
    ASSERT_FALSE(first.empty());
    // No ACK from us: the register keeps the answer and offers it again.
    ASSERT_TRUE(client.SendByte(0x05));
    EXPECT_EQ(client.ReadByte(), 0x06);
    EXPECT_EQ(client.ReadFrame(), first);
    ASSERT_TRUE(client.SendByte(0x06));
    ASSERT_TRUE(client.SendByte(0x05));
    EXPECT_EQ(client.ReadByte(), 0x15);
    // The command ran once.
    EXPECT_EQ(em.Reg().Log().size(), 1u);
}

TEST_F(EmuLink, HeldAnswerSurvivesANakAndANewConnection) {
    ASSERT_TRUE(client.SendByte(0x05));
    ASSERT_EQ(client.ReadByte(), 0x15);
    ASSERT_TRUE(client.Send(emu::BuildFrame(Msg(0x10))));
    ASSERT_EQ(client.ReadByte(), 0x06);
    std::string first = client.ReadFrame();
    ASSERT_TRUE(client.SendByte(0x15)); // "bad LRC" from our side: no resend follows
    EXPECT_EQ(client.ReadByte(200), -1);
    ASSERT_TRUE(client.Connect(em.TcpPort()));
    ASSERT_TRUE(client.SendByte(0x05));
    EXPECT_EQ(client.ReadByte(), 0x06);
    EXPECT_EQ(client.ReadFrame(), first);
}

TEST_F(EmuLink, BadLrcIsAnsweredWithNakAndNotExecuted) {
    std::string f = emu::BuildFrame(Msg(0x13));
    f.back() = static_cast<char>(f.back() ^ 1);
    ASSERT_TRUE(client.Send(f));
    EXPECT_EQ(client.ReadByte(), 0x15);
    EXPECT_TRUE(em.Reg().Log().empty());
    // The link is still in step.
    EXPECT_EQ(client.Result(Msg(0x13)), 0);
}

TEST_F(EmuLink, PasswordAndLengthAreCheckedStrictly) {
    EXPECT_EQ(client.Result(Msg(0x10, {}, 31)), 79);
    EXPECT_EQ(client.Result(Bytes({0x10, 0x1E, 0x00})), 1);   // password cut short
    EXPECT_EQ(client.Result(Msg(0x10, Bytes({0}))), 1);       // 0x10 takes no data
    EXPECT_EQ(client.Result(Msg(0x1F, Bytes({9, 1, 0}))), 1); // table address cut short
    EXPECT_EQ(client.Result(Msg(0x18, std::string(31, 'A'))), 1);
    EXPECT_EQ(client.Result(Msg(0x0A)), 1);                        // no such command
    EXPECT_EQ(client.Command(Bytes({0xFF})), Bytes({0xFF, 0x01})); // a lone prefix byte
    // 0xFC and 0xF7 carry no password.
    EXPECT_EQ(client.Result(Bytes({0xFC})), 0);
    EXPECT_EQ(client.Result(Bytes({0xF7, 0x01})), 0);
    EXPECT_EQ(client.Result(Msg(0xFC)), 1);
}

TEST(EmuDispatch, AFailingHandlerIsAnsweredAsAnInternalError) {
    emu::Register reg;
    emu::Dispatcher d;
    d.RegisterCommand(0x70, 0, [](emu::Register&, std::string_view) -> emu::Answer {
        throw std::runtime_error("bug");
    });
    EXPECT_EQ(d.Execute(reg, Msg(0x70)), Bytes({0x70, 57}));
    EXPECT_EQ(reg.InternalErrors(), 1);
}

TEST_F(EmuLink, ClientsAreServedOneAfterAnother) {
    EXPECT_EQ(client.Result(Msg(0x10)), 0);
    client.Close();
    RawClient second(em.TcpPort());
    EXPECT_EQ(second.Result(Msg(0x10)), 0);
}

TEST_F(EmuLink, GarbageAndCutFramesDoNotStopTheRegister) {
    std::string junk;
    for (int i = 0; i < 2000; ++i) {
        junk.push_back(static_cast<char>((i * 73 + 11) % 251));
    }
    ASSERT_TRUE(client.Send(junk));
    ASSERT_TRUE(client.Send(Bytes({0x02, 0xFF, 0x10}))); // a frame that never ends
    client.Close();
    RawClient next(em.TcpPort());
    EXPECT_EQ(next.Result(Msg(0x10)), 0);
}

TEST(EmuStop, AClientThatNeverReadsDoesNotHoldTheRegister) {
    emu::Emulator em{emu::Options{}};
    std::string err;
    ASSERT_TRUE(em.StartTcp(0, &err)) << err;
    RawClient c(em.TcpPort());
    ::fcntl(c.Fd(), F_SETFL, ::fcntl(c.Fd(), F_GETFL) | O_NONBLOCK);
    // Enquiries by the hundred thousand, none of the NAKs read: the send buffers fill up.
    std::string enq(64 * 1024, '\x05');
    for (int i = 0; i < 64; ++i) {
        if (::send(c.Fd(), enq.data(), enq.size(), MSG_NOSIGNAL) <= 0) {
            break;
        }
    }
    em.Stop(); // returns although the link thread was stuck writing
    SUCCEED();
}

TEST(EmuTcpAdapter, AcknowledgesFramesWithFFThenAck) {
    emu::Options opt;
    opt.tcpAckPrefixFF = true;
    emu::Emulator em(opt);
    std::string err;
    ASSERT_TRUE(em.StartTcp(0, &err)) << err;
    RawClient c(em.TcpPort());
    ASSERT_TRUE(c.SendByte(0x05));
    ASSERT_EQ(c.ReadByte(), 0x15);
    ASSERT_TRUE(c.Send(emu::BuildFrame(Msg(0x10))));
    EXPECT_EQ(c.ReadByte(), 0xFF);
    EXPECT_EQ(c.ReadByte(), 0x06);
    EXPECT_EQ(At(c.ReadFrame(), 0), 0x10);
}

TEST(EmuPty, ServesTheFrameProtocolOnAPseudoTerminal) {
    emu::Emulator em{emu::Options{}};
    std::string link = emutest::TestDir() + "/emu-link-pty";
    std::string err;
    ASSERT_TRUE(em.StartPty(link, &err)) << err;
    ASSERT_EQ(em.PtyPath().rfind("/dev/pts/", 0), 0u);
    RawClient tty;
    ASSERT_TRUE(tty.OpenTty(link));
    EXPECT_EQ(tty.Result(Msg(0x10)), 0);
    tty.Close();
    // The next program to open the line is served as well.
    ASSERT_TRUE(tty.OpenTty(em.PtyPath()));
    std::string a = tty.Command(Bytes({0xFC}));
    EXPECT_NE(a.find("KKT-EMULATOR"), std::string::npos);
    em.Stop();
    EXPECT_NE(::access(link.c_str(), F_OK), 0); // the link is removed at stop
}

} // namespace
