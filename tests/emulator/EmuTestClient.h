// A raw byte client for the emulator's tests: it speaks the frame protocol by hand over a real
// 127.0.0.1 socket or a pseudo-terminal, so every byte on the wire can be checked.
#pragma once

#include "EmuCore.h"
#include "Link.h"
#include "support/TempFolder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace emutest {

// Command message: code, the 4-byte password (when given) and the data.
inline std::string Msg(uint16_t code, std::string_view data = {}, int64_t password = 30) {
    std::string m = emu::Dispatcher::CodeBytes(code);
    if (password >= 0) {
        emu::PutLE(m, static_cast<uint64_t>(password), 4);
    }
    m += data;
    return m;
}

inline std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

inline uint8_t At(std::string_view s, size_t i) {
    return i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

inline std::string TestDir() {
    return korvtest::TestTempRoot().string();
}

class RawClient {
public:
    RawClient() = default;
    explicit RawClient(uint16_t port) { Connect(port); }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connect(uint16_t port) {
        Close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            Close();
            return false;
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    // Opens a pseudo-terminal's slave in raw mode.
    bool OpenTty(const std::string& path) {
        Close();
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            return false;
        }
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
        return true;
    }

    void Close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    int Fd() const { return fd_; }

    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) {
                n = ::write(fd_, bytes.data(), bytes.size());
            }
            if (n <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }
    bool SendByte(uint8_t b) { return Send(std::string(1, static_cast<char>(b))); }

    // One byte, or -1 on a time-out, -2 when the peer closed.
    int ReadByte(int timeoutMs = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) {
            return -1;
        }
        unsigned char c = 0;
        ssize_t n = ::read(fd_, &c, 1);
        return n == 1 ? c : -2;
    }

    // Reads STX, LEN, message and LRC; returns the message, or empty on any failure. `lrcOk`
    // tells whether the LRC matched.
    std::string ReadFrame(bool* lrcOk = nullptr, int timeoutMs = 2000) {
        if (ReadByte(timeoutMs) != emu::ctl::STX) {
            return {};
        }
        int len = ReadByte(timeoutMs);
        if (len < 0) {
            return {};
        }
        std::string m;
        for (int i = 0; i < len; ++i) {
            int b = ReadByte(timeoutMs);
            if (b < 0) {
                return {};
            }
            m.push_back(static_cast<char>(b));
        }
        int lrc = ReadByte(timeoutMs);
        if (lrc < 0) {
            return {};
        }
        if (lrcOk != nullptr) {
            *lrcOk = lrc == (static_cast<uint8_t>(len) ^ emu::Lrc(m));
        }
        return m;
    }

    // A whole exchange as the driver does it: ENQ (NAK expected), the frame (ACK expected),
    // the answer, and our ACK. Returns the answer message (code echo, result, data), or empty.
    std::string Command(std::string_view message) {
        if (!SendByte(emu::ctl::ENQ) || ReadByte() != emu::ctl::NAK) {
            return {};
        }
        if (!Send(emu::BuildFrame(message)) || ReadByte() != emu::ctl::ACK) {
            return {};
        }
        bool ok = false;
        std::string answer = ReadFrame(&ok);
        if (!ok) {
            return {};
        }
        SendByte(emu::ctl::ACK);
        return answer;
    }

    // The result code of an answer to `message` with a one-byte command code (-1: no answer).
    int Result(std::string_view message) {
        std::string a = Command(message);
        size_t codeLen = emu::Dispatcher::CodeLength(message);
        return a.size() > codeLen ? At(a, codeLen) : -1;
    }

private:
    int fd_ = -1;
};

} // namespace emutest
