// One whole trading day against the real kkt-emulator process over TCP, spoken byte by byte:
// registration, the shift, receipts of every kind with marked goods, cash in and out, the
// reports, the shift's end and the archive read back. The process is killed with SIGKILL in
// the middle of a receipt and started again on its state file; nothing committed is lost,
// and the day's tape is drawn as a PNG at the end.
#include "EmuTestClient.h"
#include "test_fiscal_helpers.h"

#include <climits>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace fiscaltest;

namespace {

std::string EmulatorProgram() {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    std::string p(self, size_t(n));
    p = p.substr(0, p.rfind('/'));
    p = p.substr(0, p.rfind('/')) + "/bin/kkt-emulator";
    return ::access(p.c_str(), X_OK) == 0 ? p : std::string();
}

// The emulator as a child process; its first output line names the TCP port.
class Child {
public:
    ~Child() { Stop(SIGKILL); }
    uint16_t Start(const std::vector<std::string>& args) {
        int out[2];
        if (::pipe(out) != 0)
            return 0;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        std::string line;
        char c = 0;
        while (rc == 0) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0 || ::read(out[0], &c, 1) != 1 || c == '\n')
                break;
            line.push_back(c);
        }
        ::close(out[0]);
        if (rc != 0) {
            pid_ = -1;
            return 0;
        }
        const size_t colon = line.rfind(':');
        return colon == std::string::npos ? 0 : uint16_t(std::stoi(line.substr(colon + 1)));
    }
    // Sends `sig` and waits for the end; true when the process ended normally with 0.
    bool Stop(int sig) {
        if (pid_ <= 0)
            return false;
        ::kill(pid_, sig);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t pid_ = -1;
};

class Day {
public:
    explicit Day(uint16_t port) : c_(port) {}
    Res operator()(uint16_t code, std::string_view data = {}) {
        const std::string a = c_.Command(emutest::Msg(code, data));
        const size_t cl = code > 0xFF ? 2 : 1;
        Res r;
        if (a.size() > cl) {
            r.rc = uint8_t(a[cl]);
            r.data = a.substr(cl + 1);
        }
        return r;
    }
    std::string ReadBack(uint32_t number, uint16_t& type) {
        std::string n;
        emu::PutLE(n, number, 4);
        const Res a = (*this)(0xFF3A, n);
        if (a.rc != 0)
            return {};
        type = uint16_t(a.Le(0, 2));
        std::string doc;
        for (int i = 0; i < 1000; ++i) {
            const Res r = (*this)(0xFF3B);
            if (r.rc != 0 || r.data.empty())
                break;
            doc += r.data;
        }
        return doc;
    }

private:
    emutest::RawClient c_;
};

std::string Field(uint8_t table, uint8_t field, std::string value, size_t size) {
    value.resize(size, '\0');
    return std::string{char(table), 1, 0, char(field)} + value;
}

std::string KmCheck(const std::string& code) {
    return std::string{1, 0, char(code.size()), 0} + code;
}

std::string KmBind(const std::string& code) {
    return std::string(1, char(code.size())) + code;
}

TEST(FiscalDay, WholeTradingDaySurvivesAKillAndIsReadBack) {
    const std::string bin = EmulatorProgram();
    if (bin.empty())
        GTEST_SKIP() << "kkt-emulator is not built";
    const std::string dir = emutest::TestDir();
    const std::string tag = std::to_string(::getpid());
    const std::string state = dir + "/fiscal-day-" + tag + ".state";
    // The day's tape stays in the test folder for people to look at.
    const std::string png = dir + "/fiscal-day.png";
    const std::string text = dir + "/fiscal-day.txt";
    ::unlink(state.c_str());
    ::unlink(png.c_str());
    const std::vector<std::string> args = {bin,          "--tcp", "0",           "--state", state,
                                           "--tape-png", png,     "--tape-text", text};
    const std::string milk = "0104600439931256215milkmilk0001\x1d"
                             "91EE06\x1d"
                             "92c2FtcGxl";
    const std::string shoes = "0104650117240408215shoesshoes01\x1d"
                              "91EE06\x1d"
                              "92bW9yZXNp";
    const std::string socks = "0104601234567893215socks000001";
    std::vector<uint32_t> signs; // the fiscal signs the closing commands answered

    {
        Child p;
        const uint16_t port = p.Start(args);
        ASSERT_NE(port, 0);
        Day cmd(port);
        // Registration for format 1.2 with marked goods.
        ASSERT_EQ(cmd(0x1E, Field(18, 7, "Corner shop", 128)).rc, 0);
        ASSERT_EQ(cmd(0x1E, Field(17, 17, "\x04", 1)).rc, 0);
        ASSERT_EQ(cmd(0x1E, Field(18, 21, "\x10", 1)).rc, 0);
        ASSERT_EQ(cmd(0xFF05, std::string(1, '\0')).rc, 0);
        ASSERT_EQ(cmd(0xFF0C, Tag(1203, "500100732259")).rc, 0);
        const Res reg = cmd(0xFF06, std::string("7701234567  0000000001012345    \x01\x00", 34));
        ASSERT_EQ(reg.rc, 0);
        signs.push_back(uint32_t(reg.Le(4, 4)));
        // The shift opens with its cashier.
        ASSERT_EQ(cmd(0xFF41).rc, 0);
        ASSERT_EQ(cmd(0xFF0C, Tag(1021, "Ivanova")).rc, 0);
        ASSERT_EQ(cmd(0xE0).rc, 0);
        ASSERT_EQ(cmd(0x50, Money5(100000)).rc, 0);
        // A sale paid in cash and by card.
        ASSERT_EQ(cmd(0x8D, std::string(1, '\0')).rc, 0);
        ASSERT_EQ(cmd(0xFF46, Item(1, 2000000, 5500, 0x01, "Bread")).rc, 0);
        ASSERT_EQ(cmd(0xFF46, Item(1, 1000000, 15000, 0x02, "Cheese")).rc, 0);
        ASSERT_EQ(cmd(0xFF0C, Tag(1021, "Ivanova")).rc, 0);
        Res r = cmd(0xFF45, Close({{0, 20000}, {1, 6000}}));
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.Le(0, 5), 0u); // 260.00 paid exactly
        signs.push_back(uint32_t(r.Le(9, 4)));
        // Marked goods: each code checked with the FN first, then bound to its item.
        ASSERT_EQ(cmd(0xFF69, std::string(1, '\x02')).rc, 0);
        ASSERT_EQ(cmd(0xFF61, KmCheck(milk)).rc, 0);
        ASSERT_EQ(cmd(0xFF61, KmCheck(shoes)).rc, 0);
        ASSERT_EQ(cmd(0xFF69, std::string(1, '\x01')).rc, 0);
        ASSERT_EQ(cmd(0x8D, std::string(1, '\0')).rc, 0);
        ASSERT_EQ(cmd(0xFF46, Item(1, 1000000, 8900, 0x02, "Milk")).rc, 0);
        ASSERT_EQ(cmd(0xFF67, KmBind(milk)).rc, 0);
        ASSERT_EQ(cmd(0xFF46, Item(1, 1000000, 350000, 0x01, "Shoes")).rc, 0);
        ASSERT_EQ(cmd(0xFF67, KmBind(shoes)).rc, 0);
        r = cmd(0xFF45, Close({{0, 400000}}));
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.Le(0, 5), 400000u - 358900u);
        signs.push_back(uint32_t(r.Le(9, 4)));
        // A code checked for the next receipt, then a receipt half made when the power goes.
        ASSERT_EQ(cmd(0xFF61, KmCheck(socks)).rc, 0);
        ASSERT_EQ(cmd(0x8D, std::string(1, '\0')).rc, 0);
        ASSERT_EQ(cmd(0xFF46, Item(1, 1000000, 100, 0x01, "Unfinished")).rc, 0);
        p.Stop(SIGKILL);
    }

    Child p;
    const uint16_t port = p.Start(args);
    ASSERT_NE(port, 0);
    Day cmd(port);
    // Everything committed is there; the open receipt was register memory and is gone.
    Res st = cmd(0xFF01);
    ASSERT_EQ(st.rc, 0);
    EXPECT_EQ(st.data[0], 0x03);
    EXPECT_EQ(st.data[3], 1);    // the shift is open
    EXPECT_EQ(st.Le(26, 4), 4u); // registration, shift, two receipts
    const Res shortState = cmd(0x10);
    ASSERT_GE(shortState.data.size(), 4u);
    EXPECT_EQ(uint8_t(shortState.data[3]) & 0x0F, 2); // shift open, no receipt
    Res sp = cmd(0xFF40);
    EXPECT_EQ(sp.Le(1, 2), 1u);
    EXPECT_EQ(sp.Le(3, 2), 2u);
    const Res drawer = cmd(0x1A, std::string(1, char(241)));
    ASSERT_EQ(drawer.rc, 0);
    EXPECT_EQ(drawer.Le(1, 6), 100000u + 20000u + 358900u);

    // The code checked before the power went is still known to the FN.
    Res r = cmd(0x8D, std::string(1, '\0'));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(cmd(0xFF46, Item(1, 1000000, 39000, 0x01, "Socks")).rc, 0);
    ASSERT_EQ(cmd(0xFF67, KmBind(socks)).rc, 0);
    r = cmd(0xFF45, Close({{1, 39000}}));
    ASSERT_EQ(r.rc, 0);
    signs.push_back(uint32_t(r.Le(9, 4)));

    // The rest of the day: a return, a purchase and its return, a correction, cash out.
    r = cmd(0x8D, std::string(1, '\x02'));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(cmd(0xFF46, Item(2, 1000000, 5500, 0x01, "Bread")).rc, 0);
    r = cmd(0xFF45, Close({{0, 5500}}));
    ASSERT_EQ(r.rc, 0);
    signs.push_back(uint32_t(r.Le(9, 4)));
    for (uint8_t type : {1, 3}) {
        ASSERT_EQ(cmd(0x8D, std::string(1, char(type))).rc, 0);
        ASSERT_EQ(cmd(0xFF46, Item(type == 1 ? 3 : 4, 3000000, 2000, 0x08, "Boxes")).rc, 0);
        r = cmd(0xFF45, Close({{0, 6000}}));
        ASSERT_EQ(r.rc, 0);
        signs.push_back(uint32_t(r.Le(9, 4)));
    }
    ASSERT_EQ(cmd(0x8D, std::string(1, char(128))).rc, 0);
    ASSERT_EQ(cmd(0xFF0C, Tag(1173, std::string(1, '\0'))).rc, 0);
    ASSERT_EQ(cmd(0xFF0C, Tag(1178, std::string("\x00\x10\x5e\x65", 4))).rc, 0);
    ASSERT_EQ(cmd(0xFF46, Item(1, 1000000, 1000, 0x01, "Unrecorded sale")).rc, 0);
    r = cmd(0xFF45, Close({{1, 1000}}));
    ASSERT_EQ(r.rc, 0);
    signs.push_back(uint32_t(r.Le(9, 4)));
    ASSERT_EQ(cmd(0x51, Money5(50000)).rc, 0);
    ASSERT_EQ(cmd(0x40).rc, 0);
    ASSERT_EQ(cmd(0xFF37).rc, 0);
    r = cmd(0xFF38);
    ASSERT_EQ(r.rc, 0);
    signs.push_back(uint32_t(r.Le(4, 4)));
    ASSERT_EQ(cmd(0xFF42).rc, 0);
    ASSERT_EQ(cmd(0xFF0C, Tag(1021, "Ivanova")).rc, 0);
    ASSERT_EQ(cmd(0x41).rc, 0);

    // The day in the registers.
    auto oper = [&](uint8_t n) { return cmd(0x1B, std::string(1, char(n))).Le(1, 2); };
    EXPECT_EQ(oper(144), 3u);
    EXPECT_EQ(oper(145), 1u);
    EXPECT_EQ(oper(146), 1u);
    EXPECT_EQ(oper(147), 1u);
    EXPECT_EQ(oper(153), 1u);
    EXPECT_EQ(oper(154), 1u);
    EXPECT_EQ(oper(202), 1u);

    // The whole archive read back: types in order, numbers and signs as answered.
    st = cmd(0xFF01);
    ASSERT_EQ(st.Le(26, 4), 11u);
    EXPECT_EQ(st.data[3], 0);
    const uint16_t types[] = {1, 2, 3, 3, 3, 3, 3, 3, 31, 21, 5};
    const uint32_t signed_[] = {1, 3, 4, 5, 6, 7, 8, 9, 10};
    size_t nextSign = 0;
    std::string marked;
    for (uint32_t n = 1; n <= 11; ++n) {
        uint16_t type = 0;
        const std::string doc = cmd.ReadBack(n, type);
        ASSERT_FALSE(doc.empty()) << n;
        EXPECT_TRUE(emu::TlvValidate(doc)) << n;
        EXPECT_EQ(type, types[n - 1]) << n;
        const auto top = Items(doc);
        EXPECT_EQ(emu::TlvUint(top.at(1040)), n);
        const std::string& fpd = top.at(1077);
        const uint32_t fp = uint32_t(uint8_t(fpd[2])) << 24 | uint32_t(uint8_t(fpd[3])) << 16 |
                            uint32_t(uint8_t(fpd[4])) << 8 | uint32_t(uint8_t(fpd[5]));
        if (nextSign < std::size(signed_) && signed_[nextSign] == n) {
            EXPECT_EQ(fp, signs[nextSign]) << n;
            ++nextSign;
        }
        if (n == 4)
            for (const auto& it : List(doc))
                if (it.tag == 1059)
                    marked += Items(Items(it.value).at(1163)).at(1305) + "|";
    }
    EXPECT_EQ(marked, milk + "|" + shoes + "|");

    p.Stop(SIGTERM); // writes the tape files on its way out
    std::ifstream in(png, std::ios::binary);
    std::string sig(8, '\0');
    in.read(sig.data(), 8);
    EXPECT_EQ(sig, "\x89PNG\r\n\x1a\n");
    std::ifstream t(text);
    const std::string tape((std::istreambuf_iterator<char>(t)), std::istreambuf_iterator<char>());
    // Both halves of the day are on the tape: before the kill and after it.
    EXPECT_NE(tape.find("Cheese"), std::string::npos);
    EXPECT_NE(tape.find("Boxes"), std::string::npos);
    EXPECT_EQ(tape.find("Unfinished"), std::string::npos);
    ::unlink(state.c_str());
}

} // namespace
