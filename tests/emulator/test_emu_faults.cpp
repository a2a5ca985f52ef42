// Faults injected into the emulated register, through the C++ API and the control channel.
#include "emulator/EmuTestClient.h"

#include "Emulator.h"

#include <chrono>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

using emutest::At;
using emutest::Bytes;
using emutest::Msg;
using emutest::RawClient;

namespace {

class EmuFaults : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(em.StartTcp(0, &err)) << err;
        ASSERT_TRUE(client.Connect(em.TcpPort()));
    }
    void Arm(const std::string& line) { ASSERT_EQ(em.Control(line), "OK\n") << line; }
    // Sends ENQ and the frame; returns with the register's ACK read.
    void SendFrame(const std::string& message) {
        ASSERT_TRUE(client.SendByte(0x05));
        ASSERT_EQ(client.ReadByte(), 0x15);
        ASSERT_TRUE(client.Send(emu::BuildFrame(message)));
        ASSERT_EQ(client.ReadByte(), 0x06);
    }
    emu::Emulator em{emu::Options{}};
    RawClient client;
};

TEST_F(EmuFaults, ResultCodeForTheNextCommandsOfOneCode) {
    Arm("FAULT RESULT 0x10 80 2");
    EXPECT_EQ(client.Result(Msg(0x13)), 0); // other commands are not touched
    EXPECT_EQ(client.Command(Msg(0x10)), Bytes({0x10, 80}));
    EXPECT_EQ(client.Result(Msg(0x10)), 80);
    EXPECT_EQ(client.Result(Msg(0x10)), 0);
    // Two-byte codes too.
    Arm("FAULT RESULT FF01 3");
    EXPECT_EQ(client.Command(Msg(0xFF01)), Bytes({0xFF, 0x01, 3}));
}

TEST_F(EmuFaults, SilenceIgnoresEnquiriesAndFrames) {
    Arm("FAULT SILENCE 2");
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(client.SendByte(0x05));
        EXPECT_EQ(client.ReadByte(100), -1);
    }
    ASSERT_TRUE(client.SendByte(0x05));
    EXPECT_EQ(client.ReadByte(), 0x15);
    // Silence for one command: the frame is lost, not executed, and the resend works.
    Arm("FAULT SILENCE 1 0x13");
    ASSERT_TRUE(client.Send(emu::BuildFrame(Msg(0x13))));
    EXPECT_EQ(client.ReadByte(100), -1);
    EXPECT_EQ(client.Result(Msg(0x13)), 0);
    auto log = em.Reg().Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].answer.empty());
}

TEST_F(EmuFaults, DelayedAnswer) {
    Arm("FAULT DELAY 150");
    SendFrame(Msg(0x10));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ReadByte(50), -1); // nothing yet
    EXPECT_FALSE(client.ReadFrame().empty());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));
}

TEST_F(EmuFaults, DroppedOrCorruptedBytesLeaveTheAnswerHeld) {
    Arm("FAULT LRC");
    SendFrame(Msg(0x10));
    bool lrcOk = true;
    std::string bad = client.ReadFrame(&lrcOk);
    ASSERT_FALSE(bad.empty());
    EXPECT_FALSE(lrcOk);
    ASSERT_TRUE(client.SendByte(0x15));
    ASSERT_TRUE(client.SendByte(0x05));
    ASSERT_EQ(client.ReadByte(), 0x06);
    EXPECT_EQ(client.ReadFrame(&lrcOk), bad);
    EXPECT_TRUE(lrcOk);
    ASSERT_TRUE(client.SendByte(0x06));

    Arm("FAULT DROP 1"); // the LEN byte goes missing
    SendFrame(Msg(0x13));
    EXPECT_EQ(client.ReadByte(), 0x02);
    EXPECT_EQ(client.ReadByte(), 0x13); // the code where LEN should be
    while (client.ReadByte(100) >= 0) {
    }
    ASSERT_TRUE(client.SendByte(0x05));
    ASSERT_EQ(client.ReadByte(), 0x06);
    EXPECT_EQ(client.ReadFrame(), Bytes({0x13, 0, 30}));
    ASSERT_TRUE(client.SendByte(0x06));
    EXPECT_EQ(client.Command(Msg(0x10)).substr(0, 2), Bytes({0x10, 0}));
}

TEST_F(EmuFaults, ConnectionClosedBeforeOrAfterTheAnswer) {
    Arm("FAULT CLOSE BEFORE 0x13");
    SendFrame(Msg(0x13));
    EXPECT_EQ(client.ReadByte(), -2);
    ASSERT_EQ(em.Reg().Log().size(), 1u); // it was executed all the same
    // The answer is waiting for the next connection's enquiry.
    ASSERT_TRUE(client.Connect(em.TcpPort()));
    ASSERT_TRUE(client.SendByte(0x05));
    EXPECT_EQ(client.ReadByte(), 0x06);
    EXPECT_EQ(client.ReadFrame(), Bytes({0x13, 0, 30}));
    ASSERT_TRUE(client.SendByte(0x06));

    Arm("FAULT CLOSE AFTER");
    SendFrame(Msg(0x10));
    EXPECT_FALSE(client.ReadFrame().empty());
    EXPECT_EQ(client.ReadByte(), -2);
}

TEST(EmuPower, PowerLossBeforeOrAfterACommitDecidesWhatTheStateFileHolds) {
    for (bool after : {false, true}) {
        std::string file = emutest::TestDir() + "/emu-power.state";
        ::unlink(file.c_str());
        emu::Options opt;
        opt.stateFile = file;
        opt.registered = true;
        {
            emu::Emulator em(opt);
            bool called = false;
            em.OnPowerLoss([&] { called = true; });
            std::string err;
            ASSERT_TRUE(em.StartTcp(0, &err)) << err;
            ASSERT_TRUE(em.Reg().SaveState(&err)) << err;
            ASSERT_EQ(em.Control(after ? "FAULT POWER AFTER" : "FAULT POWER BEFORE"), "OK\n");
            RawClient c(em.TcpPort());
            ASSERT_TRUE(c.SendByte(0x05));
            ASSERT_EQ(c.ReadByte(), 0x15);
            ASSERT_TRUE(c.Send(emu::BuildFrame(Msg(0xE0)))); // open the shift
            EXPECT_EQ(c.ReadByte(), 0x06);
            EXPECT_EQ(c.ReadByte(), -2); // no answer: the register went dark
            EXPECT_TRUE(em.PoweredOff());
            EXPECT_TRUE(called);
        }
        emu::Emulator again(opt);
        std::string err;
        ASSERT_TRUE(again.StartTcp(0, &err)) << err;
        RawClient c(again.TcpPort());
        std::string st = c.Command(Msg(0x10));
        ASSERT_GE(st.size(), 6u);
        EXPECT_EQ(At(st, 5) & 0x0F, after ? 2 : 4) << (after ? "after" : "before");
    }
}

TEST_F(EmuFaults, ControlChannelSpeaksTheLineProtocol) {
    std::string err;
    ASSERT_TRUE(em.StartControl(0, &err)) << err;
    RawClient ctl(em.ControlPort());
    auto ask = [&](const std::string& line) {
        ctl.Send(line + "\n");
        std::string out;
        for (;;) {
            int b = ctl.ReadByte();
            if (b < 0) {
                return out;
            }
            out.push_back(static_cast<char>(b));
            size_t last = out.rfind('\n', out.size() - 2);
            last = last == std::string::npos ? 0 : last + 1;
            if (out.back() == '\n' &&
                (out.compare(last, 2, "OK") == 0 || out.compare(last, 3, "ERR") == 0)) {
                return out;
            }
        }
    };
    EXPECT_EQ(ask("fault result 10 55"), "OK\n");
    EXPECT_EQ(client.Result(Msg(0x10)), 55);
    std::string log = ask("LOG 1");
    EXPECT_NE(log.find("LOG code=10 result=55 request=101E000000 answer=1037"), std::string::npos)
        << log;
    EXPECT_EQ(ask("SETCASHREG 241 1500"), "OK\n");
    EXPECT_EQ(ask("CASHREG 241"), "OK 1500\n");
    EXPECT_EQ(ask("COVER OPEN"), "OK\n");
    EXPECT_NE(ask("STATE").find("cover=1"), std::string::npos);
    EXPECT_EQ(ask("FAULT RESULT 0x1234 1").rfind("ERR", 0), 0u);
    EXPECT_EQ(ask("FAULT BOGUS").rfind("ERR", 0), 0u);
    EXPECT_EQ(ask("NOPE").rfind("ERR", 0), 0u);
    // The fiscal part's words reach the socket through the same table.
    EXPECT_EQ(ask("MARK hex:30313034 INVALID 2"), "OK\n");
    EXPECT_EQ(ask("FN").rfind("OK phase=1 ffd=120 docs=0 ", 0), 0u);
    EXPECT_EQ(ask("OFD ACK ALL"), "OK 0\n");
    EXPECT_EQ(ask("CLOCK"), "ERR usage: CLOCK OFFSET S | CLOCK ADD S\n");
    // A register command by its bytes, answered and logged as over the link.
    EXPECT_EQ(ask("COMMAND 101E000000").rfind("OK 1000", 0), 0u);
    EXPECT_EQ(ask("COMMAND 1").rfind("ERR usage", 0), 0u);
    EXPECT_NE(ask("LOG 1").find("LOG code=10 result=0 request=101E000000"), std::string::npos);
    EXPECT_EQ(ask("PRINTER BUSY 10"), "OK\n");
    EXPECT_EQ(ask("PRINTER PAPEROUT 3 BACK 0"),
              "ERR usage: PRINTER BUSY MS | PRINTER PAPEROUT LINES [BACK POLLS]\n");
    // HELP lists every word of the table, one a line, each with its usage.
    std::istringstream help(ask("HELP"));
    std::set<std::string> words;
    for (std::string line; std::getline(help, line) && line != "OK";) {
        words.insert(line.substr(0, line.find(' ')));
        EXPECT_EQ(ask(line.substr(0, line.find(' '))).find("unknown"), std::string::npos);
    }
    EXPECT_EQ(words, (std::set<std::string>{"CASHREG", "CLOCK", "COMMAND", "COVER", "DRAWER",
                                            "FAULT", "FN", "HELP", "LOG", "MARK", "OFD", "OPERREG",
                                            "PAPER", "PRINTER", "SAVE", "SETCASHREG", "SETOPERREG",
                                            "STATE", "TAPE"}));
    std::string png = emutest::TestDir() + "/emu-control-tape.png";
    EXPECT_EQ(ask("TAPE PNG " + png), "OK\n");
    EXPECT_EQ(::access(png.c_str(), F_OK), 0);
}

TEST(EmuTiming, BaudRateModelsTheByteTimeOfTheLine) {
    emu::Options opt;
    opt.baud = 2400; // 4.17 ms a byte
    emu::Emulator em(opt);
    std::string err;
    ASSERT_TRUE(em.StartTcp(0, &err)) << err;
    RawClient c(em.TcpPort());
    auto t0 = std::chrono::steady_clock::now();
    std::string a = c.Command(Msg(0x10)); // NAK, ACK and a 21-byte answer frame
    auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(a.size(), 17u);
    EXPECT_GE(took, std::chrono::milliseconds(90));
}

} // namespace

TEST(EmuControlWords, CommandCodesReadHexFirstThenDecimalWithItsSuffix) {
    const struct {
        const char* word;
        int code; // -1: refused
    } cases[] = {
        {"8D", 0x8D},  {"0x8D", 0x8D},     {"ff4d", 0xFF4D}, {"FF4D", 0xFF4D},
        {"141d", 141}, {"65357d", 0xFF4D}, {"10", 0x10},     {"0xFF01", 0xFF01},
        {"100", -1},   {"FEFF", -1},       {"", -1},         {"d", 0x0D},
        {"-1", -1},    {"0x", -1},         {"8G", -1},       {"70000d", -1},
    };
    for (const auto& c : cases) {
        uint16_t code = 0;
        const bool ok = emu::ParseCommandCode(c.word, &code);
        EXPECT_EQ(ok, c.code >= 0) << c.word;
        if (ok && c.code >= 0) {
            EXPECT_EQ(code, c.code) << c.word;
        }
    }
}
