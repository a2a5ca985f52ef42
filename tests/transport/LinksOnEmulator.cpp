// Both links against the register emulator, with the faults it can make:
// a command slower than the socket's receive time-out, and silence.

#include "support/LinkPeers.h"

#include "Emulator.h"
#include "transport/uComProtocol.h"
#include "transport/uSocketProtocol.h"

#include <chrono>

using namespace korv;
using namespace korvtest;

namespace {

const std::string kPwd = "\x1E\0\0\0"s;

long long MsSince(std::chrono::steady_clock::time_point AStart) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 AStart)
        .count();
}

} // namespace

TEST(EmulatorLink, SlowCommandOverTcpIsNotCutShort) {
    // The register needs 11 s for the command, more than the socket's 10 s
    // receive time-out and less than the command's own 20 s: the answer is
    // waited for (it used to fail after 10 s while the register completed it).
    emu::Emulator Em{emu::Options{}};
    std::string Err;
    ASSERT_TRUE(Em.StartTcp(0, &Err)) << Err;
    ASSERT_EQ(Em.Control("FAULT DELAY 11000 1 10"), "OK\n");
    TSocketProtocol Link;
    ASSERT_EQ(Link.Connect("127.0.0.1", Em.TcpPort()), 0);
    std::string Response;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(Link.RunCommand(Response, kPwd, "\x10", "", 20000, true, true), 0)
        << U16ToAnsi(Link.LastReason());
    EXPECT_GE(MsSince(Start), 10000);
    ASSERT_FALSE(Response.empty());
    EXPECT_EQ(Response[0], 0);
}

TEST(EmulatorLink, SilentRegisterEndsByTheDeadlineOnBothLinks) {
    emu::Emulator Em{emu::Options{}};
    std::string Err;
    ASSERT_TRUE(Em.StartTcp(0, &Err)) << Err;
    ASSERT_TRUE(Em.StartPty("", &Err)) << Err;
    TComDir Ports;
    Ports.Link(9, Em.PtyPath());
    TComPort Port;
    Port.SetPortNumber(9);
    ASSERT_TRUE(Port.Open()) << U16ToAnsi(Port.ExtResultDescription());
    TCOMProtocol Serial(&Port);
    TSocketProtocol Tcp;
    ASSERT_EQ(Tcp.Connect("127.0.0.1", Em.TcpPort()), 0);
    for (TCustomLinkProtocol* Link :
         {static_cast<TCustomLinkProtocol*>(&Serial), static_cast<TCustomLinkProtocol*>(&Tcp)}) {
        // 100 ms per control byte, 300 ms for the answer: a 500 ms deadline.
        Link->SetControlTimeout(100);
        Tcp.SetReceiveTimeout(300);
        ASSERT_EQ(Em.Control("FAULT SILENCE 100"), "OK\n");
        std::string Response;
        const auto Start = std::chrono::steady_clock::now();
        EXPECT_EQ(Link->RunCommand(Response, kPwd, "\x10", "", 300, true, true), 1007);
        const long long Spent = MsSince(Start);
        EXPECT_LT(Spent, 500 + 2000);
        EXPECT_EQ(Link->LastOrigin(), TErrorOrigin::Silent);
        ASSERT_EQ(Em.Control("FAULT CLEAR"), "OK\n");
        // The register speaks again: the next command goes through.
        EXPECT_EQ(Link->RunCommand(Response, kPwd, "\x10", "", 300, true, true), 0)
            << U16ToAnsi(Link->LastReason());
    }
}
