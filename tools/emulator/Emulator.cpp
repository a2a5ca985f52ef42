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

} // namespace

Emulator::Emulator(Options opt) : opt_(std::move(opt)), reg_(std::make_unique<Register>(opt_)) {
    RegisterCoreCommands(dispatch_);
    RegisterFiscalCommands(*reg_, dispatch_, opt_);
    AddControls();
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
    return reg_->RunControl(line);
}

void Emulator::AddControls() {
    Register& reg = *reg_;
    reg.AddControlCommand("STATE", "STATE", [this, &reg](const ControlLine& l) {
        if (l.Size() != 1) {
            return std::string();
        }
        std::ostringstream o;
        char flags[8];
        std::snprintf(flags, sizeof flags, "0x%04X", reg.Flags());
        o << "OK mode=" << int(reg.Mode()) << " submode=" << int(reg.Submode())
          << " flags=" << flags << " shift=" << (reg.ShiftIsOpen() ? 1 : 0)
          << " expired=" << (reg.ShiftExpired() ? 1 : 0) << " receipt=" << reg.ReceiptType()
          << " paper=" << (reg.PaperPresent() ? 1 : 0) << " cover=" << (reg.CoverOpen() ? 1 : 0)
          << " drawer=" << (reg.DrawerOpen() ? 1 : 0) << " clock=" << ClockText(reg.Now())
          << " offset=" << reg.ClockOffset() << " power=" << (poweredOff_ ? 0 : 1);
        return o.str();
    });
    // A register command run as if it came over a link: its message in hexadecimal (code,
    // password, data); the answer message likewise. Lets a script make documents the driver
    // cannot make yet.
    reg.AddControlCommand("COMMAND", "COMMAND HEX", [this, &reg](const ControlLine& l) {
        std::string message;
        if (l.Size() != 2 || !HexToBytes(l.words[1], &message) || message.empty()) {
            return std::string();
        }
        try {
            return "OK " + HexText(dispatch_.Execute(reg, message));
        } catch (const PowerLoss&) {
            PowerLost();
            return std::string("ERR power lost");
        }
    });
    reg.AddControlCommand("HELP", "HELP",
                          [&reg](const ControlLine&) { return reg.ControlHelp() + "OK"; });
}

} // namespace emu
