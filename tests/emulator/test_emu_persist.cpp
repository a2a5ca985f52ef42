// The state file: a restart, a damaged file, and a kill -9 of the real emulator process.
#include "emulator/EmuTestClient.h"

#include "Emulator.h"

#include <climits>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

extern char** environ;

using emutest::At;
using emutest::Bytes;
using emutest::Msg;
using emutest::RawClient;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

emu::Options WithState(const std::string& name) {
    emu::Options opt;
    opt.stateFile = emutest::TestDir() + "/" + name;
    ::unlink(opt.stateFile.c_str());
    return opt;
}

TEST(EmuPersist, StateSurvivesARestart) {
    emu::Options opt = WithState("emu-restart.state");
    std::string name(128, '\0');
    name.replace(0, 4, "Shop");
    {
        emu::Emulator em(opt);
        std::string err;
        ASSERT_TRUE(em.StartTcp(0, &err)) << err;
        RawClient c(em.TcpPort());
        ASSERT_EQ(c.Result(Msg(0x1E, Bytes({18, 1, 0, 7}) + name)), 0);
        ASSERT_EQ(c.Result(Msg(0x22, Bytes({5, 3, 26}))), 0);
        ASSERT_EQ(c.Result(Msg(0x23, Bytes({5, 3, 26}))), 0);
        ASSERT_EQ(c.Result(Msg(0x17, Bytes({3}) + "kept line")), 0);
        ASSERT_EQ(em.Control("SETCASHREG 241 777"), "OK\n");
        ASSERT_EQ(em.Control("PAPER OUT"), "OK\n");
    } // a clean stop writes the state
    emu::Emulator em(opt);
    std::string err;
    ASSERT_TRUE(em.StartTcp(0, &err)) << err;
    RawClient c(em.TcpPort());
    EXPECT_EQ(c.Command(Msg(0x1F, Bytes({18, 1, 0, 7}))), Bytes({0x1F, 0}) + name);
    EXPECT_EQ(c.Command(Msg(0x11)).substr(25, 3), Bytes({5, 3, 26}));
    EXPECT_EQ(em.Control("CASHREG 241"), "OK 777\n");
    EXPECT_EQ(At(c.Command(Msg(0x10)), 6), 1); // still no paper
    std::lock_guard lock(em.Reg().Mutex());
    EXPECT_NE(em.Reg().Paper().ToText().find("kept line"), std::string::npos);
}

TEST(EmuPersist, DamagedStateFileIsRefusedAndKept) {
    emu::Options opt = WithState("emu-damaged.state");
    {
        emu::Emulator em(opt);
        std::string err;
        ASSERT_TRUE(em.Load(&err));
        em.Reg().SetCashReg(241, 5);
        ASSERT_TRUE(em.Reg().SaveState(&err)) << err;
    }
    std::string good = ReadFile(opt.stateFile);
    ASSERT_GT(good.size(), 20u);
    for (std::string bad : {good.substr(0, good.size() - 1), std::string("junk"),
                            std::string(good).replace(20, 1, 1, good[20] ^ 0x40)}) {
        WriteFile(opt.stateFile, bad);
        {
            emu::Emulator em(opt);
            std::string err;
            EXPECT_FALSE(em.StartTcp(0, &err));
            EXPECT_FALSE(err.empty());
        }
        EXPECT_EQ(ReadFile(opt.stateFile), bad); // left for inspection, not overwritten
    }
    // No temporary file is left behind by the writes either.
    EXPECT_NE(::access((opt.stateFile + ".tmp").c_str(), F_OK), 0);
}

// The real kkt-emulator next to this test program (build/bin), or "" when absent.
std::string EmulatorBinary() {
    char self[PATH_MAX] = {};
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return {};
    }
    std::string p(self, static_cast<size_t>(n));
    p = p.substr(0, p.rfind('/'));
    p = p.substr(0, p.rfind('/')) + "/bin/kkt-emulator";
    return ::access(p.c_str(), X_OK) == 0 ? p : std::string();
}

class Process {
public:
    // Starts the program and reads its first line ("tcp 127.0.0.1:PORT").
    bool Start(const std::vector<std::string>& args, std::string* firstLine) {
        int out[2];
        if (::pipe(out) != 0) {
            return false;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            pid_ = -1;
            return false;
        }
        firstLine->clear();
        char c = 0;
        for (;;) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0 || ::read(out[0], &c, 1) != 1 || c == '\n') {
                break;
            }
            firstLine->push_back(c);
        }
        ::close(out[0]);
        return !firstLine->empty();
    }
    void Kill(int sig) {
        if (pid_ > 0) {
            ::kill(pid_, sig);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    ~Process() { Kill(SIGKILL); }

private:
    pid_t pid_ = -1;
};

uint16_t PortOf(const std::string& line) {
    auto colon = line.rfind(':');
    return colon == std::string::npos ? 0
                                      : static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
}

TEST(EmuPersist, KilledEmulatorResumesWhereItWas) {
    std::string bin = EmulatorBinary();
    if (bin.empty()) {
        GTEST_SKIP() << "kkt-emulator is not built";
    }
    std::string state = emutest::TestDir() + "/emu-kill9.state";
    ::unlink(state.c_str());
    std::vector<std::string> args = {bin, "--tcp", "0", "--state", state, "--registered"};
    std::string name(128, '\0');
    name.replace(0, 5, "Kiosk");
    {
        Process p;
        std::string line;
        ASSERT_TRUE(p.Start(args, &line));
        RawClient c(PortOf(line));
        ASSERT_EQ(c.Result(Msg(0xE0)), 0); // the shift opens: a fiscal document
        ASSERT_EQ(c.Result(Msg(0x1E, Bytes({18, 1, 0, 7}) + name)), 0);
        p.Kill(SIGKILL);
    }
    Process p;
    std::string line;
    ASSERT_TRUE(p.Start(args, &line));
    RawClient c(PortOf(line));
    std::string st = c.Command(Msg(0x10));
    ASSERT_GE(st.size(), 6u);
    EXPECT_EQ(At(st, 5) & 0x0F, 2); // the shift is still open
    EXPECT_EQ(c.Command(Msg(0x1F, Bytes({18, 1, 0, 7}))), Bytes({0x1F, 0}) + name);
    EXPECT_NE(c.Result(Msg(0xE0)), 0); // and cannot be opened twice
    p.Kill(SIGTERM);
}

} // namespace
