// The register's non-fiscal commands: state, tables, registers, clock and printing.
#include "emulator/EmuTestClient.h"

#include "Emulator.h"
#include "Tape.h"

#include <ctime>
#include <gtest/gtest.h>
#include <vector>

using emutest::At;
using emutest::Bytes;
using emutest::Msg;
using emutest::RawClient;

namespace {

class EmuCommands : public ::testing::Test {
protected:
    void Start(emu::Options opt = {}) {
        em = std::make_unique<emu::Emulator>(opt);
        std::string err;
        ASSERT_TRUE(em->StartTcp(0, &err)) << err;
        ASSERT_TRUE(client.Connect(em->TcpPort()));
    }
    void SetUp() override { Start(); }
    // Answer without the one-byte code echo: result first.
    std::string Ask(uint16_t code, std::string_view data = {}) {
        std::string a = client.Command(Msg(code, data));
        return a.substr(std::min(a.size(), emu::Dispatcher::CodeBytes(code).size()));
    }
    std::string TapeText() {
        std::lock_guard lock(em->Reg().Mutex());
        return em->Reg().Paper().ToText();
    }
    std::unique_ptr<emu::Emulator> em;
    RawClient client;
};

TEST_F(EmuCommands, ShortStateShowsModeSubmodeAndFlags) {
    std::string a = Ask(0x10);
    ASSERT_GE(a.size(), 15u);
    EXPECT_EQ(At(a, 0), 0);
    EXPECT_EQ(At(a, 4) & 0x0F, 4); // shift closed
    EXPECT_EQ(At(a, 5), 0);
    EXPECT_EQ(At(a, 2) & 0x82, 0x82); // roll present, paper at the sensor
    {
        std::lock_guard lock(em->Reg().Mutex());
        em->Reg().OpenShift(em->Reg().Now());
        em->Reg().SetCoverOpen(true);
    }
    a = Ask(0x10);
    EXPECT_EQ(At(a, 4) & 0x0F, 2);
    EXPECT_EQ(At(a, 3), 0x04); // cover open: bit 2 of the high flag byte
    {
        std::lock_guard lock(em->Reg().Mutex());
        em->Reg().SetReceiptType(2);
    }
    a = Ask(0x10);
    EXPECT_EQ(At(a, 4), 0x28); // receipt open (bit 3), a sale return
    {
        std::lock_guard lock(em->Reg().Mutex());
        em->Reg().SetReceiptType(-1);
        em->Reg().SetClockOffset(em->Reg().ClockOffset() + 25 * 3600);
    }
    EXPECT_EQ(At(Ask(0x10), 4) & 0x0F, 3); // shift over 24 hours
    {
        std::lock_guard lock(em->Reg().Mutex());
        em->Reg().SetDataOutput(true);
    }
    EXPECT_EQ(At(Ask(0x10), 4) & 0x0F, 1);
    // Printing is refused while a document is being read out.
    EXPECT_EQ(At(Ask(0x17, Bytes({3, 'x'})), 0), 115);
}

TEST_F(EmuCommands, ClockIsSetByTimeDateAndConfirmation) {
    ASSERT_EQ(At(Ask(0x21, Bytes({10, 7, 9})), 0), 0);
    ASSERT_EQ(At(Ask(0x22, Bytes({5, 3, 26})), 0), 0);
    EXPECT_EQ(At(Ask(0x23, Bytes({6, 3, 26})), 0), 124); // not the date programmed
    ASSERT_EQ(At(Ask(0x22, Bytes({5, 3, 26})), 0), 0);
    ASSERT_EQ(At(Ask(0x23, Bytes({5, 3, 26})), 0), 0);
    std::string a = Ask(0x11);
    ASSERT_GE(a.size(), 47u);
    EXPECT_EQ(a.substr(24, 3), Bytes({5, 3, 26}));
    EXPECT_EQ(At(a, 27), 10);
    EXPECT_EQ(At(a, 28), 7);
    EXPECT_LE(At(a, 29), 12); // seconds run on
    EXPECT_EQ(At(a, 14), 4);
    EXPECT_EQ(At(Ask(0x22, Bytes({31, 2, 24})), 0), 125);
    EXPECT_EQ(At(Ask(0x21, Bytes({24, 0, 0})), 0), 51);
}

// The clock control keeps the clock within what the register can show: a refused line
// changes nothing, and no sum of offsets wraps around.
TEST_F(EmuCommands, ClockControlRefusesAClockTheRegisterCannotShow) {
    const long long now = static_cast<long long>(time(nullptr));
    const long long last = 4102444799 - 60 - now; // a minute before the end of 2099
    EXPECT_EQ(em->Control("CLOCK OFFSET " + std::to_string(last)).substr(0, 18),
              "OK 2099-12-31T23:5");
    struct Case {
        std::string line;
        const char* answer;
    };
    for (const Case& c : std::vector<Case>{
             {"CLOCK ADD 9223372036854775807", "ERR the clock"}, // overflow of the sum
             {"CLOCK ADD 86400", "ERR the clock"},               // past 2099
             {"CLOCK OFFSET 9223372036854775807", "ERR the clock"},
             {"CLOCK OFFSET -9223372036854775808", "ERR the clock"},
             {"CLOCK OFFSET " + std::to_string(946684799 - now), "ERR the clock"}, // 1999
             {"CLOCK OFFSET 9223372036854775808", "ERR usage"}, // no 64-bit number
             {"CLOCK ADD 1 2", "ERR usage"}}) {
        EXPECT_EQ(em->Control(c.line).rfind(c.answer, 0), 0u) << c.line;
        EXPECT_EQ(em->Reg().ClockOffset(), last) << c.line;
    }
    EXPECT_EQ(em->Control("CLOCK ADD -" + std::to_string(last)).substr(0, 5), "OK 20");
    EXPECT_EQ(em->Reg().ClockOffset(), 0);
    const std::string a = Ask(0x11);
    ASSERT_GE(a.size(), 27u);
    EXPECT_GE(At(a, 26), 26); // the year byte: no wrapped date reaches the link
}

TEST_F(EmuCommands, TablesAreReadWrittenAndDescribed) {
    EXPECT_EQ(Ask(0x1F, Bytes({9, 1, 0, 3})), Bytes({0, 48})); // line length
    EXPECT_EQ(At(Ask(0x1E, Bytes({17, 1, 0, 7, 2})), 0), 0);
    EXPECT_EQ(Ask(0x1F, Bytes({17, 1, 0, 7})), Bytes({0, 2}));
    EXPECT_EQ(At(Ask(0x1E, Bytes({17, 1, 0, 7, 9})), 0), 51); // out of the field's range

    std::string s = Ask(0x2E, Bytes({18, 7}));
    ASSERT_GE(s.size(), 43u);
    EXPECT_EQ(At(s, 41), 1);   // a string
    EXPECT_EQ(At(s, 42), 128); // its size
    std::string name(128, '\0');
    name.replace(0, 4, "Shop");
    EXPECT_EQ(At(Ask(0x1E, Bytes({18, 1, 0, 7}) + name), 0), 0);
    EXPECT_EQ(Ask(0x1F, Bytes({18, 1, 0, 7})), std::string(1, '\0') + name);
    EXPECT_EQ(At(Ask(0x1E, Bytes({18, 1, 0, 7}) + name + "x"), 0), 1); // longer than the field

    std::string n = Ask(0x2E, Bytes({1, 7}));
    ASSERT_GE(n.size(), 45u);
    EXPECT_EQ(At(n, 41), 0);
    EXPECT_EQ(At(n, 42), 1);
    EXPECT_EQ(At(Ask(0x1F, Bytes({50, 1, 0, 1})), 0), 93);
    EXPECT_EQ(At(Ask(0x1F, Bytes({9, 2, 0, 1})), 0), 51);
    EXPECT_EQ(At(Ask(0x2E, Bytes({24, 2})), 0), 51);
    EXPECT_EQ(At(Ask(0x2E, Bytes({24, 1})), 42), 20);
    // The register's FFD setting follows the FN's version chosen at start.
    EXPECT_EQ(Ask(0x1F, Bytes({17, 1, 0, 17})), Bytes({0, 4}));
    emu::Options old;
    old.ffd = 110;
    Start(old);
    EXPECT_EQ(Ask(0x1F, Bytes({17, 1, 0, 17})), Bytes({0, 3}));
}

TEST_F(EmuCommands, CashAndOperationRegistersAreRead) {
    {
        std::lock_guard lock(em->Reg().Mutex());
        em->Reg().AddCashReg(241, 123456);
        em->Reg().AddCashReg(4180, 5);
        em->Reg().AddOperReg(153, 7);
        em->Reg().AddOperReg(4224, 300);
    }
    std::string a = Ask(0x1A, Bytes({241}));
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(emu::GetLE(a, 2, 6), 123456u);
    EXPECT_EQ(emu::GetLE(Ask(0x1A, Bytes({0x54, 0x10})), 2, 6), 5u);
    a = Ask(0x1B, Bytes({153}));
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(emu::GetLE(a, 2, 2), 7u);
    EXPECT_EQ(emu::GetLE(Ask(0x1B, Bytes({0x80, 0x10})), 2, 2), 300u);
    EXPECT_EQ(At(Ask(0x1A, Bytes({0xFF, 0xFF})), 0), 51);
}

TEST_F(EmuCommands, DeviceTypeAndExtendedQuery) {
    std::string t = client.Command(Bytes({0xFC}));
    ASSERT_GE(t.size(), 8u);
    EXPECT_EQ(t.substr(8), "KKT-EMULATOR");
    std::string q = client.Command(Bytes({0xF7, 0x01}));
    ASSERT_GE(q.size(), 33u);    // code echo + at least 32 bytes
    EXPECT_EQ(At(q, 1 + 11), 1); // first graphics line
    EXPECT_EQ(At(client.Command(Bytes({0xF7, 0x02})), 1), 51);
}

TEST_F(EmuCommands, TextAndLayoutCommandsReachTheTape) {
    EXPECT_EQ(At(Ask(0x17, Bytes({3}) + "Plain line"), 0), 0);
    EXPECT_EQ(At(Ask(0x17, Bytes({1}) + "control tape only"), 0), 0);
    EXPECT_EQ(At(Ask(0x12, Bytes({3}) + "Bold line"), 0), 0);
    EXPECT_EQ(At(Ask(0x2F, Bytes({3, 2}) + "Big line"), 0), 0);
    EXPECT_EQ(At(Ask(0x2F, Bytes({3, 9}) + "bad font"), 0), 51);
    std::string title = "RECEIPT";
    title.resize(30, '\0');
    EXPECT_EQ(At(Ask(0x18, title + Bytes({0x00, 0x01})), 0), 0);
    EXPECT_EQ(At(Ask(0x29, Bytes({2, 3})), 0), 0);
    EXPECT_EQ(At(Ask(0x25, Bytes({1})), 0), 0);
    EXPECT_EQ(At(Ask(0x25, Bytes({2})), 0), 51);
    EXPECT_EQ(At(Ask(0x28, Bytes({0})), 0), 0);
    EXPECT_EQ(At(Ask(0x13), 0), 0);
    std::string text = TapeText();
    EXPECT_NE(text.find("Plain line"), std::string::npos);
    EXPECT_EQ(text.find("control tape only"), std::string::npos);
    EXPECT_NE(text.find("Bold line"), std::string::npos);
    EXPECT_NE(text.find("Big line"), std::string::npos);
    EXPECT_NE(text.find("RECEIPT"), std::string::npos);
    EXPECT_NE(text.find("partial cut"), std::string::npos);
    EXPECT_NE(text.find("[drawer]"), std::string::npos);
    EXPECT_EQ(At(Ask(0x10), 3), 0x08); // drawer open: bit 3 of the high flag byte
}

TEST_F(EmuCommands, BarcodesQrAndGraphicsReachTheTape) {
    // EAN-13 from the first 12 digits: the register adds the check digit.
    std::string n;
    emu::PutLE(n, 460000000000ull, 5);
    EXPECT_EQ(At(Ask(0xC2, n), 0), 0);
    std::string big;
    emu::PutLE(big, 1000000000000ull, 5);
    EXPECT_EQ(At(Ask(0xC2, big), 0), 51);
    // QR: 130 characters in blocks of 64, 64 and 2, then the print command.
    std::string qr(130, 'q');
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(At(Ask(0xDD, Bytes({0, i}) + qr.substr(i * 64, 64)), 0), 0);
    }
    std::string params = Bytes({0x03, 0x82, 0x00, 0x00, 0, 0, 6, 0, 2, 1});
    EXPECT_EQ(At(Ask(0xDE, params), 0), 0);
    EXPECT_EQ(At(Ask(0xDE, params), 0), 51); // the blocks were used up
    // Graphics: two lines loaded, then printed.
    EXPECT_EQ(At(Ask(0xC0, Bytes({1}) + std::string(40, '\xFF')), 0), 0);
    EXPECT_EQ(At(Ask(0xC0, Bytes({2}) + std::string(40, '\x01')), 0), 0);
    EXPECT_EQ(At(Ask(0xC1, Bytes({1, 2})), 0), 0);
    EXPECT_EQ(At(Ask(0xC1, Bytes({2, 1})), 0), 51);
    std::string text = TapeText();
    EXPECT_NE(text.find("[EAN-13 4600000000008]"), std::string::npos) << text;
    EXPECT_NE(text.find("[QR " + qr), std::string::npos);
    EXPECT_NE(text.find("[graphic 320x2]"), std::string::npos);
}

TEST_F(EmuCommands, CopyWithoutADocumentIsRefused) {
    EXPECT_EQ(At(Ask(0x8C), 0), 86);
    {
        std::lock_guard lock(em->Reg().Mutex());
        em->Reg().Paper().BeginDocument();
        em->Reg().Paper().Text("CHECK 1");
        em->Reg().Paper().EndDocument();
    }
    EXPECT_EQ(At(Ask(0x8C), 0), 0);
    {
        std::lock_guard lock(em->Reg().Mutex());
        em->Reg().SetReceiptType(0);
    }
    EXPECT_EQ(At(Ask(0x8C), 0), 74);
}

TEST_F(EmuCommands, PrinterSubmodesFollowPrintingAndPaper) {
    emu::Options opt;
    opt.printMsPerLine = 60000; // one line keeps the printer busy for the whole test
    Start(opt);
    EXPECT_EQ(At(Ask(0x10), 5), 0);
    ASSERT_EQ(At(Ask(0x17, Bytes({3}) + "slow"), 0), 0);
    EXPECT_EQ(At(Ask(0x10), 5), 5); // printing

    Start(); // printing takes no time
    em->Reg().ArmFault(emu::Fault{emu::Fault::PaperOut});
    ASSERT_EQ(At(Ask(0x17, Bytes({3}) + "line 1"), 0), 0);
    std::string st = Ask(0x10);
    EXPECT_EQ(At(st, 5), 2);        // stopped, no paper
    EXPECT_EQ(At(st, 2) & 0x82, 0); // the sensors say so
    EXPECT_EQ(At(Ask(0x17, Bytes({3}) + "line 2"), 0), 107);
    EXPECT_EQ(At(Ask(0xB0), 0), 107);
    EXPECT_EQ(em->Control("PAPER IN"), "OK\n");
    EXPECT_EQ(At(Ask(0x10), 5), 3); // paper back, waiting for the continue command
    EXPECT_EQ(At(Ask(0x17, Bytes({3}) + "line 2"), 0), 88);
    EXPECT_EQ(At(Ask(0xB0), 0), 0);
    EXPECT_EQ(At(Ask(0x10), 5), 0);
    // Paper out while idle: submode 1 and printing refused.
    EXPECT_EQ(em->Control("PAPER OUT"), "OK\n");
    EXPECT_EQ(At(Ask(0x10), 5), 1);
    EXPECT_EQ(At(Ask(0x29, Bytes({2, 1})), 0), 107);
}

} // namespace
