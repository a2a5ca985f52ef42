// The emulator's threads: the TCP link, the pseudo-terminal link and the control channel.
#include "Emulator.h"

#include "FiscalStorage.h"
#include "Link.h"
#include "Tape.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace emu {

namespace {

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A listening socket on 127.0.0.1:port; fills the port actually bound.
int Listen(uint16_t port, uint16_t* bound, std::string* err) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = Errno("socket");
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        *err = Errno("cannot listen on 127.0.0.1:" + std::to_string(port));
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *bound = ntohs(a.sin_port);
    return fd;
}

// Waits for a connection on `listenFd` or the stop signal; -1 on stop or failure.
int AcceptOne(int listenFd, int stopFd) {
    for (;;) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || p[1].revents != 0) {
            return -1;
        }
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) {
                continue;
            }
            return -1;
        }
        return fd;
    }
}

std::string Hex(std::string_view bytes) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (char c : bytes) {
        auto b = static_cast<uint8_t>(c);
        s.push_back(d[b >> 4]);
        s.push_back(d[b & 15]);
    }
    return s;
}

std::string Upper(std::string s) {
    for (auto& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

bool ParseInt(const std::string& s, long long* out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

std::string TimeText(time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

const char* kControlHelp =
    "STATE | LOG [N] | CASHREG N | OPERREG N | SETCASHREG N V | SETOPERREG N V\n"
    "FAULT RESULT CODE RC [COUNT] | FAULT SILENCE [COUNT] [CODE] | FAULT DELAY MS [COUNT] [CODE]\n"
    "FAULT DROP [INDEX] [CODE] | FAULT LRC [CODE] | FAULT CLOSE BEFORE|AFTER [CODE]\n"
    "FAULT PAPEROUT | FAULT POWER BEFORE|AFTER | FAULT CLEAR\n"
    "PAPER OUT|IN | COVER OPEN|CLOSE | DRAWER OPEN|CLOSE | CLOCK OFFSET S | CLOCK ADD S\n"
    "MARK CODE|hex:HEX VALID|INVALID|NOANSWER [TRYAGAIN] | MARK DEFAULT VALID|INVALID|NOANSWER\n"
    "MARK CLEAR | TAPE TEXT FILE | TAPE PNG FILE | SAVE | HELP\n";

} // namespace

bool ParseCommandCode(std::string_view text, uint16_t* code) {
    std::string s(text);
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    unsigned long v = 0;
    if (s.back() == 'd' || s.back() == 'D') {
        s.pop_back();
        v = std::strtoul(s.c_str(), &end, 10);
    } else {
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            s = s.substr(2);
        }
        v = std::strtoul(s.c_str(), &end, 16);
    }
    if (s.empty() || end == nullptr || *end != '\0' || v > 0xFFFF || (v > 0xFF && v < 0xFF00)) {
        return false;
    }
    *code = static_cast<uint16_t>(v);
    return true;
}

Emulator::Emulator(Options opt) : opt_(std::move(opt)), reg_(std::make_unique<Register>(opt_)) {
    RegisterCoreCommands(dispatch_);
    RegisterFiscalCommands(*reg_, dispatch_, opt_);
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        stopPipe_[0] = stopPipe_[1] = -1;
    }
}

Emulator::~Emulator() {
    Stop();
    CloseFd(stopPipe_[0]);
    CloseFd(stopPipe_[1]);
}

bool Emulator::Load(std::string* err) {
    if (loaded_) {
        return loadOk_;
    }
    loaded_ = true;
    loadOk_ = reg_->Load(err);
    return loadOk_;
}

bool Emulator::StartTcp(uint16_t port, std::string* err) {
    if (!Load(err)) {
        return false;
    }
    tcpListen_ = Listen(port, &tcpPort_, err);
    if (tcpListen_ < 0) {
        return false;
    }
    threads_.emplace_back([this] { TcpLoop(); });
    return true;
}

bool Emulator::StartPty(const std::string& linkPath, std::string* err) {
    if (!Load(err)) {
        return false;
    }
    ptyMaster_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptyMaster_ < 0 || ::grantpt(ptyMaster_) != 0 || ::unlockpt(ptyMaster_) != 0) {
        *err = Errno("cannot create a pseudo-terminal");
        CloseFd(ptyMaster_);
        return false;
    }
    char name[128];
    if (::ptsname_r(ptyMaster_, name, sizeof name) != 0) {
        *err = Errno("ptsname");
        CloseFd(ptyMaster_);
        return false;
    }
    ptyPath_ = name;
    ::fcntl(ptyMaster_, F_SETFL, ::fcntl(ptyMaster_, F_GETFL) | O_NONBLOCK);
    // Keep the slave open ourselves: the master then never reports a hang-up between
    // clients, and the line is raw (8 bits, no echo, no line editing).
    ptySlave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptySlave_ < 0) {
        *err = Errno("cannot open " + ptyPath_);
        CloseFd(ptyMaster_);
        return false;
    }
    termios tio{};
    if (::tcgetattr(ptySlave_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B115200);
        ::tcsetattr(ptySlave_, TCSANOW, &tio);
    }
    if (!linkPath.empty()) {
        struct stat st {};
        if (::lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            ::unlink(linkPath.c_str());
        }
        if (::symlink(name, linkPath.c_str()) != 0) {
            *err = Errno("cannot make the link " + linkPath);
            CloseFd(ptySlave_);
            CloseFd(ptyMaster_);
            return false;
        }
        ptyLink_ = linkPath;
    }
    threads_.emplace_back([this] { PtyLoop(); });
    return true;
}

bool Emulator::StartControl(uint16_t port, std::string* err) {
    if (!Load(err)) {
        return false;
    }
    controlListen_ = Listen(port, &controlPort_, err);
    if (controlListen_ < 0) {
        return false;
    }
    threads_.emplace_back([this] { ControlLoop(); });
    return true;
}

void Emulator::Stop() {
    if (stopped_.exchange(true)) {
        return;
    }
    if (stopPipe_[1] >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], &c, 1);
    }
    for (auto& t : threads_) {
        if (t.joinable()) {
            t.join();
        }
    }
    threads_.clear();
    CloseFd(tcpListen_);
    CloseFd(controlListen_);
    CloseFd(ptySlave_);
    CloseFd(ptyMaster_);
    if (!ptyLink_.empty()) {
        ::unlink(ptyLink_.c_str());
        ptyLink_.clear();
    }
    // A state file that could not be read is never overwritten.
    if (!poweredOff_ && loadOk_) {
        reg_->SaveState(nullptr);
    }
}

void Emulator::PowerLost() {
    poweredOff_ = true;
    if (onPowerLoss_) {
        onPowerLoss_();
    }
}

void Emulator::TcpLoop() {
    while (!poweredOff_) {
        int fd = AcceptOne(tcpListen_, stopPipe_[0]);
        if (fd < 0) {
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Non-blocking: a client that never reads cannot hold the link thread (or Stop).
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        LinkEnd end = ServeLink(*reg_, dispatch_, fd, stopPipe_[0], true, held_);
        if (end == LinkEnd::PowerLoss) {
            // The register is off: nobody can connect any more.
            PowerLost();
            ::shutdown(tcpListen_, SHUT_RDWR);
            ::close(fd);
            return;
        }
        ::close(fd);
        if (end == LinkEnd::Stopped) {
            return;
        }
    }
}

void Emulator::PtyLoop() {
    for (;;) {
        LinkEnd end = ServeLink(*reg_, dispatch_, ptyMaster_, stopPipe_[0], false, ptyHeld_);
        if (end == LinkEnd::PowerLoss) {
            PowerLost();
            return;
        }
        if (end == LinkEnd::Stopped) {
            return;
        }
        // A failure on the master: wait for the stop rather than spin.
        pollfd p{stopPipe_[0], POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            return;
        }
    }
}

void Emulator::ControlLoop() {
    for (;;) {
        int fd = AcceptOne(controlListen_, stopPipe_[0]);
        if (fd < 0) {
            return;
        }
        std::string in;
        char buf[512];
        bool open = true;
        while (open) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            int n = ::poll(p, 2, -1);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 || p[1].revents != 0) {
                ::close(fd);
                return;
            }
            ssize_t r = ::read(fd, buf, sizeof buf);
            if (r <= 0) {
                break;
            }
            in.append(buf, static_cast<size_t>(r));
            if (in.size() > 65536) {
                break; // no line is that long
            }
            size_t eol;
            while ((eol = in.find('\n')) != std::string::npos) {
                std::string line = in.substr(0, eol);
                in.erase(0, eol + 1);
                std::string answer = Control(line);
                std::string_view rest = answer;
                while (!rest.empty()) {
                    ssize_t w = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
                    if (w <= 0) {
                        open = false;
                        break;
                    }
                    rest.remove_prefix(static_cast<size_t>(w));
                }
            }
        }
        ::close(fd);
    }
}

std::string Emulator::Control(std::string_view line) {
    std::istringstream in{std::string(line)};
    std::vector<std::string> w;
    for (std::string s; in >> s;) {
        w.push_back(s);
    }
    if (w.empty()) {
        return "ERR empty command\n";
    }
    std::string cmd = Upper(w[0]);
    auto arg = [&](size_t i) { return i < w.size() ? Upper(w[i]) : std::string(); };
    auto num = [&](size_t i, long long dflt, long long* out) {
        if (i >= w.size()) {
            *out = dflt;
            return true;
        }
        return ParseInt(w[i], out);
    };
    Register& reg = *reg_;
    std::lock_guard lock(reg.Mutex());

    if (cmd == "HELP") {
        return std::string(kControlHelp) + "OK\n";
    }
    if (cmd == "STATE") {
        std::ostringstream o;
        char flags[8];
        std::snprintf(flags, sizeof flags, "0x%04X", reg.Flags());
        o << "OK mode=" << int(reg.Mode()) << " submode=" << int(reg.Submode())
          << " flags=" << flags << " shift=" << (reg.ShiftIsOpen() ? 1 : 0)
          << " expired=" << (reg.ShiftExpired() ? 1 : 0) << " receipt=" << reg.ReceiptType()
          << " paper=" << (reg.PaperPresent() ? 1 : 0) << " cover=" << (reg.CoverOpen() ? 1 : 0)
          << " drawer=" << (reg.DrawerOpen() ? 1 : 0) << " clock=" << TimeText(reg.Now())
          << " offset=" << reg.ClockOffset() << " power=" << (poweredOff_ ? 0 : 1) << "\n";
        return o.str();
    }
    if (cmd == "LOG") {
        long long n = 0;
        if (!num(1, 20, &n) || n < 0) {
            return "ERR bad count\n";
        }
        auto log = reg.Log();
        size_t from = log.size() > static_cast<size_t>(n) ? log.size() - static_cast<size_t>(n) : 0;
        std::ostringstream o;
        for (size_t i = from; i < log.size(); ++i) {
            char code[8];
            std::snprintf(code, sizeof code, "%X", log[i].code);
            o << "LOG code=" << code << " result=" << int(log[i].result)
              << " request=" << Hex(log[i].request) << " answer=" << Hex(log[i].answer) << "\n";
        }
        o << "OK " << (log.size() - from) << "\n";
        return o.str();
    }
    if (cmd == "CASHREG" || cmd == "OPERREG" || cmd == "SETCASHREG" || cmd == "SETOPERREG") {
        long long n = 0, v = 0;
        bool set = cmd.rfind("SET", 0) == 0;
        if (w.size() != (set ? 3u : 2u) || !num(1, 0, &n) || n < 0 || n > 0xFFFF ||
            (set && !num(2, 0, &v))) {
            return "ERR usage: " + cmd + " N" + (set ? " VALUE" : "") + "\n";
        }
        auto r = static_cast<uint16_t>(n);
        bool cash = cmd.find("CASH") != std::string::npos;
        if (set) {
            cash ? reg.SetCashReg(r, v) : reg.SetOperReg(r, v);
            return "OK\n";
        }
        return "OK " + std::to_string(cash ? reg.CashReg(r) : reg.OperReg(r)) + "\n";
    }
    if (cmd == "FAULT") {
        Fault f;
        std::string kind = arg(1);
        long long count = 1, value = 0;
        uint16_t code = 0;
        auto codeAt = [&](size_t i) { return i >= w.size() || ParseCommandCode(w[i], &code); };
        if (kind == "CLEAR") {
            reg.ClearFaults();
            return "OK\n";
        }
        if (kind == "RESULT") {
            if (w.size() < 4 || !ParseCommandCode(w[2], &code) || !ParseInt(w[3], &value) ||
                value < 0 || value > 255 || !num(4, 1, &count)) {
                return "ERR usage: FAULT RESULT CODE RC [COUNT]\n";
            }
            f.kind = Fault::ResultCode;
        } else if (kind == "SILENCE") {
            if (!num(2, 1, &count) || !codeAt(3)) {
                return "ERR usage: FAULT SILENCE [COUNT] [CODE]\n";
            }
            f.kind = Fault::Silence;
        } else if (kind == "DELAY") {
            if (w.size() < 3 || !num(2, 0, &value) || value < 0 || !num(3, 1, &count) ||
                !codeAt(4)) {
                return "ERR usage: FAULT DELAY MS [COUNT] [CODE]\n";
            }
            f.kind = Fault::Delay;
        } else if (kind == "DROP") {
            if (!num(2, -1, &value) || !codeAt(3)) {
                return "ERR usage: FAULT DROP [INDEX] [CODE]\n";
            }
            f.kind = Fault::DropByte;
        } else if (kind == "LRC") {
            if (!codeAt(2)) {
                return "ERR usage: FAULT LRC [CODE]\n";
            }
            f.kind = Fault::CorruptLrc;
        } else if (kind == "CLOSE") {
            if ((arg(2) != "BEFORE" && arg(2) != "AFTER") || !codeAt(3)) {
                return "ERR usage: FAULT CLOSE BEFORE|AFTER [CODE]\n";
            }
            f.kind = arg(2) == "BEFORE" ? Fault::CloseBefore : Fault::CloseAfter;
        } else if (kind == "PAPEROUT") {
            f.kind = Fault::PaperOut;
        } else if (kind == "POWER") {
            if (arg(2) != "BEFORE" && arg(2) != "AFTER") {
                return "ERR usage: FAULT POWER BEFORE|AFTER\n";
            }
            f.kind = arg(2) == "BEFORE" ? Fault::PowerBeforeCommit : Fault::PowerAfterCommit;
        } else {
            return "ERR unknown fault\n";
        }
        if (count < 1 || count > 1000000000) {
            return "ERR bad count\n";
        }
        f.code = code;
        f.count = static_cast<int>(count);
        f.value = static_cast<int>(std::min<long long>(value, 600000));
        reg.ArmFault(f);
        return "OK\n";
    }
    if (cmd == "PAPER" || cmd == "COVER" || cmd == "DRAWER") {
        std::string a = arg(1);
        bool on = a == "IN" || a == "OPEN";
        bool off = a == "OUT" || a == "CLOSE";
        if (!on && !off) {
            return "ERR usage: " + cmd + (cmd == "PAPER" ? " OUT|IN\n" : " OPEN|CLOSE\n");
        }
        if (cmd == "PAPER") {
            reg.SetPaper(on);
        } else if (cmd == "COVER") {
            reg.SetCoverOpen(on);
        } else {
            reg.SetDrawerOpen(on);
        }
        return "OK\n";
    }
    if (cmd == "CLOCK") {
        long long s = 0;
        if ((arg(1) != "OFFSET" && arg(1) != "ADD") || w.size() != 3 || !num(2, 0, &s)) {
            return "ERR usage: CLOCK OFFSET S | CLOCK ADD S\n";
        }
        reg.SetClockOffset(arg(1) == "ADD" ? reg.ClockOffset() + s : s);
        return "OK " + TimeText(reg.Now()) + "\n";
    }
    if (cmd == "TAPE") {
        if ((arg(1) != "TEXT" && arg(1) != "PNG") || w.size() != 3) {
            return "ERR usage: TAPE TEXT|PNG FILE\n";
        }
        std::string err;
        bool ok =
            arg(1) == "TEXT" ? reg.Paper().SaveText(w[2], &err) : reg.Paper().SavePng(w[2], &err);
        return ok ? "OK\n" : "ERR " + err + "\n";
    }
    if (cmd == "MARK") {
        FiscalStorage* fn = reg.Fn();
        if (fn == nullptr) {
            return "ERR no fiscal storage\n";
        }
        if (arg(1) == "CLEAR" && w.size() == 2) {
            fn->Km().ClearSettings();
            return "OK\n";
        }
        std::string verdict = arg(2);
        KmOutcome outcome = KmOutcome::Valid;
        if (verdict == "INVALID") {
            outcome = KmOutcome::Invalid;
        } else if (verdict == "NOANSWER") {
            outcome = KmOutcome::NoAnswer;
        } else if (verdict != "VALID") {
            verdict.clear();
        }
        long long tries = 0;
        if (w.size() < 3 || w.size() > 4 || verdict.empty() || !num(3, 0, &tries) || tries < 0 ||
            tries > 1000) {
            return "ERR usage: MARK CODE|hex:HEX VALID|INVALID|NOANSWER [TRYAGAIN]\n";
        }
        if (arg(1) == "DEFAULT" && w.size() == 3) {
            fn->Km().SetDefaultOutcome(outcome);
            return "OK\n";
        }
        std::string code = w[1];
        if (code.rfind("hex:", 0) == 0 || code.rfind("HEX:", 0) == 0) {
            std::string hex = code.substr(4);
            code.clear();
            for (size_t i = 0; i + 1 < hex.size() + 1; i += 2) {
                unsigned v = 0;
                if (i + 2 > hex.size() || std::sscanf(hex.c_str() + i, "%2x", &v) != 1) {
                    return "ERR bad hexadecimal code\n";
                }
                code.push_back(static_cast<char>(v));
            }
        }
        fn->Km().SetOutcome(code, outcome, static_cast<int>(tries));
        return "OK\n";
    }
    if (cmd == "SAVE") {
        std::string err;
        return reg.SaveState(&err) ? "OK\n" : "ERR " + err + "\n";
    }
    if (const auto* h = reg.FindControlCommand(cmd)) {
        size_t at = line.find_first_not_of(" \t");
        at = line.find_first_of(" \t", at);
        std::string_view rest = at == std::string_view::npos ? std::string_view() : line.substr(at);
        std::string answer = (*h)(rest);
        if (answer.empty() || answer.back() != '\n') {
            answer.push_back('\n');
        }
        return answer;
    }
    return "ERR unknown command (HELP lists them)\n";
}

} // namespace emu
