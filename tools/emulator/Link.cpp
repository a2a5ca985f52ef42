// The frame protocol as the register speaks it.
#include "Link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace emu {

uint8_t Lrc(std::string_view bytes) {
    uint8_t x = 0;
    for (char c : bytes) {
        x ^= static_cast<uint8_t>(c);
    }
    return x;
}

std::string BuildFrame(std::string_view message) {
    std::string f;
    f.push_back(static_cast<char>(ctl::STX));
    f.push_back(static_cast<char>(message.size() & 0xFF));
    f += message;
    f.push_back(static_cast<char>(Lrc(f.substr(1))));
    return f;
}

FrameReader::Event FrameReader::Feed(uint8_t byte) {
    switch (state_) {
    case State::Idle:
        switch (byte) {
        case ctl::STX:
            state_ = State::Len;
            message_.clear();
            return Event::None;
        case ctl::ENQ:
            return Event::Enq;
        case ctl::ACK:
            return Event::Ack;
        case ctl::NAK:
            return Event::Nak;
        default:
            return Event::Stray;
        }
    case State::Len:
        len_ = byte;
        state_ = len_ == 0 ? State::Lrc : State::Body;
        return Event::None;
    case State::Body:
        message_.push_back(static_cast<char>(byte));
        if (message_.size() == len_) {
            state_ = State::Lrc;
        }
        return Event::None;
    case State::Lrc: {
        state_ = State::Idle;
        uint8_t expect = static_cast<uint8_t>(len_) ^ Lrc(message_);
        if (len_ == 0 || byte != expect) {
            return Event::BadLrc;
        }
        return Event::Frame;
    }
    }
    return Event::Stray;
}

namespace {

using Clock = std::chrono::steady_clock;

// Waits until `deadline` for the stop signal; true when it came. The wait is
// exact to the microsecond, so byte times well under a millisecond stay exact.
bool WaitStopUntil(int stopFd, Clock::time_point deadline) {
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return false;
        }
        // A descriptor that select cannot hold waits with poll, in whole milliseconds.
        const auto us = std::min<long long>(
            std::chrono::duration_cast<std::chrono::microseconds>(left).count() + 1, 60'000'000LL);
        int n = 0;
        if (stopFd >= 0 && stopFd < FD_SETSIZE) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(stopFd, &set);
            timeval tv{static_cast<time_t>(us / 1'000'000LL),
                       static_cast<suseconds_t>(us % 1'000'000LL)};
            n = ::select(stopFd + 1, &set, nullptr, nullptr, &tv);
        } else {
            pollfd p{stopFd, POLLIN, 0};
            n = ::poll(&p, 1, static_cast<int>((us + 999) / 1000));
        }
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool WaitStop(int stopFd, int ms) {
    return WaitStopUntil(stopFd, Clock::now() + std::chrono::milliseconds(ms));
}

class Conn {
public:
    Conn(int fd, int stopFd, int baud, bool socket)
        : fd_(fd), stopFd_(stopFd), baud_(baud), socket_(socket) {}

    // Writes all bytes; with a baud rate each byte takes its line time: byte i leaves
    // (i + 1) byte times after the start, and bytes whose time has come go out together.
    // False on failure or stop.
    bool Write(std::string_view data) {
        if (baud_ <= 0) {
            return WriteRaw(data);
        }
        const auto perByte = PerByte();
        const auto start = Clock::now();
        size_t sent = 0;
        while (sent < data.size()) {
            const auto due = std::min<size_t>(static_cast<size_t>((Clock::now() - start) / perByte),
                                              data.size());
            if (due > sent) {
                if (!WriteRaw(data.substr(sent, due - sent))) {
                    return false;
                }
                sent = due;
            } else if (WaitStopUntil(stopFd_, start + perByte * static_cast<long long>(sent + 1))) {
                return false;
            }
        }
        return true;
    }

    // Reads what is there; waits up to `timeoutMs` (-1: no limit). Returns the byte count,
    // 0 on a time-out, -1 when the peer closed or a failure happened, -2 on stop. With a
    // baud rate the bytes are handed over only once their line time has passed: the
    // peer's bytes arrive at once, but on a serial line they come one after another.
    ssize_t Read(char* buf, size_t size, int timeoutMs) {
        const ssize_t r = ReadRaw(buf, size, timeoutMs);
        if (r <= 0 || baud_ <= 0) {
            return r;
        }
        received_ = std::max(received_, Clock::now()) + PerByte() * static_cast<long long>(r);
        return WaitStopUntil(stopFd_, received_) ? -2 : r;
    }

private:
    std::chrono::nanoseconds PerByte() const {
        return std::chrono::nanoseconds(10'000'000'000LL / baud_);
    }

    ssize_t ReadRaw(char* buf, size_t size, int timeoutMs) {
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            int n = ::poll(p, 2, timeoutMs);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return -1;
            }
            if (p[1].revents != 0) {
                return -2;
            }
            if (n == 0) {
                return 0;
            }
            ssize_t r = ::read(fd_, buf, size);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            return r <= 0 ? -1 : r;
        }
    }

    bool WriteRaw(std::string_view data) {
        while (!data.empty()) {
            // A socket whose peer has gone must not raise SIGPIPE in the whole process.
            ssize_t n = socket_ ? ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL)
                                : ::write(fd_, data.data(), data.size());
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN) {
                    // The peer does not read: wait a while, then give the connection up.
                    pollfd p[2] = {{fd_, POLLOUT, 0}, {stopFd_, POLLIN, 0}};
                    if (::poll(p, 2, kWriteTimeoutMs) <= 0 || p[1].revents != 0) {
                        return false;
                    }
                    continue;
                }
                return false;
            }
            data.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }

    int fd_;
    int stopFd_;
    int baud_;
    bool socket_;
    Clock::time_point received_{}; // when the last byte read has come over the line
};

} // namespace

LinkEnd ServeLink(Register& reg, const Dispatcher& dispatch, int fd, int stopFd, bool tcp,
                  std::string& held) {
    Conn conn(fd, stopFd, reg.Opts().baud, tcp);
    FrameReader reader;
    char buf[512];
    const std::string ackBytes =
        reg.Opts().tcpAckPrefixFF && tcp ? std::string("\xFF\x06", 2) : std::string(1, ctl::ACK);
    for (;;) {
        ssize_t n = conn.Read(buf, sizeof buf, reader.InFrame() ? kInterByteMs : -1);
        if (n == -2) {
            return LinkEnd::Stopped;
        }
        if (n < 0) {
            return LinkEnd::PeerClosed;
        }
        if (n == 0) {
            reader.Reset(); // the rest of the frame never came
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            switch (reader.Feed(static_cast<uint8_t>(buf[i]))) {
            case FrameReader::Event::None:
            case FrameReader::Event::Stray:
            case FrameReader::Event::Nak: // the answer stays held; the next ENQ gets it again
                break;
            case FrameReader::Event::Ack:
                held.clear();
                break;
            case FrameReader::Event::BadLrc:
                if (!conn.Write(std::string(1, ctl::NAK))) {
                    return LinkEnd::IoError;
                }
                break;
            case FrameReader::Event::Enq: {
                if (reg.TakeFault(Fault::Silence, 0)) {
                    break;
                }
                std::string reply =
                    held.empty() ? std::string(1, ctl::NAK) : std::string(1, ctl::ACK) + held;
                if (!conn.Write(reply)) {
                    return LinkEnd::IoError;
                }
                break;
            }
            case FrameReader::Event::Frame: {
                const std::string message = reader.Message();
                uint16_t code = Dispatcher::CodeOf(message);
                if (reg.TakeFault(Fault::Silence, code)) {
                    reg.AddLog(LogEntry{code, 0, message, {}});
                    break;
                }
                if (!conn.Write(ackBytes)) {
                    return LinkEnd::IoError;
                }
                held.clear();
                std::string answer;
                try {
                    answer = dispatch.Execute(reg, message);
                } catch (const PowerLoss&) {
                    return LinkEnd::PowerLoss;
                }
                if (tcp && reg.TakeFault(Fault::CloseBefore, code)) {
                    held = BuildFrame(answer);
                    return LinkEnd::ClosedByFault;
                }
                Fault f;
                if (reg.TakeFault(Fault::Delay, code, &f) && WaitStop(stopFd, f.value)) {
                    return LinkEnd::Stopped;
                }
                held = BuildFrame(answer);
                std::string wire = held;
                if (reg.TakeFault(Fault::CorruptLrc, code)) {
                    wire.back() = static_cast<char>(wire.back() ^ 0x5A);
                }
                if (reg.TakeFault(Fault::DropByte, code, &f)) {
                    size_t at = f.value >= 0 && static_cast<size_t>(f.value) < wire.size()
                                    ? static_cast<size_t>(f.value)
                                    : wire.size() - 1;
                    wire.erase(at, 1);
                }
                if (!conn.Write(wire)) {
                    return LinkEnd::IoError;
                }
                if (tcp && reg.TakeFault(Fault::CloseAfter, code)) {
                    return LinkEnd::ClosedByFault;
                }
                break;
            }
            }
        }
    }
}

} // namespace emu
