#pragma once
// Register peers for the link tests: the far end of a real pseudo-terminal
// reachable as a COM port, and a real TCP listener on 127.0.0.1, played by a
// script or by a frame peer. Every wait is a poll with a deadline.

#include "support/TempFolder.h"

#include "common/Common.Log.h"
#include "common/uCodePages.h"
#include "transport/uFrameCodec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace korvtest {

using namespace std::string_literals;

/// A file descriptor with byte reads under deadlines.
class TPeerFd {
public:
    explicit TPeerFd(int AFd = -1) : FFd(AFd) {}
    ~TPeerFd() { Close(); }
    TPeerFd(const TPeerFd&) = delete;
    TPeerFd& operator=(const TPeerFd&) = delete;

    int Fd() const { return FFd; }
    void Reset(int AFd) {
        Close();
        FFd = AFd;
    }
    void Close() {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }

    /// Up to ACount bytes; stops at ATimeoutMs without a byte.
    std::string Read(std::size_t ACount, int ATimeoutMs = 2000) {
        std::string Out;
        while (Out.size() < ACount) {
            pollfd P{FFd, POLLIN, 0};
            if (::poll(&P, 1, ATimeoutMs) <= 0 || !(P.revents & POLLIN))
                break;
            char Buf[512];
            const ssize_t n = ::read(FFd, Buf, std::min(sizeof Buf, ACount - Out.size()));
            if (n <= 0)
                break;
            Out.append(Buf, static_cast<std::size_t>(n));
        }
        return Out;
    }
    /// One byte, or -1 after ATimeoutMs.
    int ReadByte(int ATimeoutMs = 2000) {
        const std::string B = Read(1, ATimeoutMs);
        return B.empty() ? -1 : static_cast<unsigned char>(B[0]);
    }
    /// A whole frame (STX, LEN, message, LRC) or what came of it.
    std::string ReadFrame(int ATimeoutMs = 2000) {
        std::string Head = Read(2, ATimeoutMs);
        if (Head.size() < 2)
            return Head;
        return Head + Read(static_cast<unsigned char>(Head[1]) + 1u, ATimeoutMs);
    }
    void Write(std::string_view ABytes) {
        std::size_t Done = 0;
        while (Done < ABytes.size()) {
            const ssize_t n = ::write(FFd, ABytes.data() + Done, ABytes.size() - Done);
            if (n <= 0)
                return;
            Done += static_cast<std::size_t>(n);
        }
    }
    void WriteByte(std::uint8_t B) { Write(std::string(1, static_cast<char>(B))); }

private:
    int FFd;
};

/// A KORVANDER_COM_DIR folder for the life of the object: COM<n> in it is a
/// link to any device file.
class TComDir {
public:
    TComDir() : Folder("com") { ::setenv("KORVANDER_COM_DIR", Folder.Path().c_str(), 1); }
    ~TComDir() { ::unsetenv("KORVANDER_COM_DIR"); }
    void Link(int APortNumber, const std::string& ATarget) {
        std::filesystem::create_symlink(ATarget, Dir() / ("COM" + std::to_string(APortNumber)));
    }
    const std::filesystem::path& Dir() const { return Folder.Path(); }
    TTempFolder Folder;
};

/// The far end of a pseudo-terminal, reachable by the driver as COM<n>
/// through a link in a KORVANDER_COM_DIR folder. With AHoldLine the line's
/// own end is kept open too, so the far end sees no hang-up while the
/// driver closes and opens the port again.
class TPtyPeer : public TPeerFd {
public:
    explicit TPtyPeer(int APortNumber, bool AHoldLine = false) {
        const int M = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(M, 0);
        EXPECT_EQ(::grantpt(M), 0);
        EXPECT_EQ(::unlockpt(M), 0);
        termios Tio{};
        ::tcgetattr(M, &Tio);
        ::cfmakeraw(&Tio);
        ::tcsetattr(M, TCSANOW, &Tio);
        Reset(M);
        Ports.Link(APortNumber, ::ptsname(M));
        if (AHoldLine)
            FLine.Reset(::open(::ptsname(M), O_RDWR | O_NOCTTY | O_CLOEXEC));
    }
    TComDir Ports;

private:
    TPeerFd FLine;
};

/// A listener on 127.0.0.1 (any free port) that accepts one connection.
class TTcpPeer : public TPeerFd {
public:
    TTcpPeer() {
        Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(Listener, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
        EXPECT_EQ(::listen(Listener, 4), 0);
        socklen_t L = sizeof A;
        ::getsockname(Listener, reinterpret_cast<sockaddr*>(&A), &L);
        Port = ntohs(A.sin_port);
    }
    ~TTcpPeer() {
        if (Listener >= 0)
            ::close(Listener);
    }
    bool Accept(int ATimeoutMs = 5000) {
        pollfd P{Listener, POLLIN, 0};
        if (::poll(&P, 1, ATimeoutMs) <= 0)
            return false;
        const int c = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
        Reset(c);
        return c >= 0;
    }
    int Listener = -1;
    int Port = 0;
};

/// Frame of a message given as text bytes.
inline std::string Frame(const std::string& AMessage) {
    return korv::BuildFrame(AMessage);
}

/// Runs the scripted register in a thread for the life of the object.
class TScript {
public:
    explicit TScript(std::function<void()> ABody) : FThread(std::move(ABody)) {}
    ~TScript() { Join(); }
    void Join() {
        if (FThread.joinable())
            FThread.join();
    }

private:
    std::thread FThread;
};

/// Collects the log lines of one source through the log's sink.
class TLogCapture {
public:
    TLogCapture() {
        korv::SetLogSink([this](std::u16string_view S, std::u16string_view M, korv::TLogLevel L) {
            std::lock_guard<std::mutex> G(FLock);
            std::string Line(S.begin(), S.end());
            Line += (L == korv::TLogLevel::Error ? " E " : " I ");
            for (char16_t c : M)
                Line.push_back(static_cast<char>(c));
            FLines.push_back(Line);
        });
    }
    ~TLogCapture() { korv::SetLogSink({}); }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> G(FLock);
        return FLines;
    }

private:
    std::mutex FLock;
    std::vector<std::string> FLines;
};

} // namespace korvtest

namespace korvtest {

/// Answers that never finish: the faults every link must bound by the
/// command's deadline.
enum class TStall {
    Silent,    // nothing at all, not even to ENQ
    Trickle,   // the frame is taken, then the answer comes a byte at a time
    HalfFrame, // the frame is taken, then STX, LEN = 255 and nothing more
};

/// Plays the register with AStall on APeer until ADone.
inline void PlayStall(TPeerFd& APeer, TStall AStall, const std::atomic<bool>& ADone,
                      int ATrickleMs) {
    if (AStall != TStall::Silent) {
        if (APeer.ReadByte() != korv::ENQ)
            return;
        APeer.WriteByte(korv::NAK);
        APeer.ReadFrame();
        APeer.WriteByte(korv::ACK);
        APeer.Write("\x02\xFF"s);
    }
    for (int i = 0; !ADone; ++i) {
        // The pause is a read with a time-out: it also takes what the driver sends.
        APeer.Read(64, AStall == TStall::Trickle ? ATrickleMs : 20);
        if (AStall == TStall::Trickle && i < 256)
            APeer.WriteByte(0x10);
    }
}

inline const char* StallName(TStall AStall) {
    switch (AStall) {
    case TStall::Silent:
        return "silent register";
    case TStall::Trickle:
        return "trickling answer";
    case TStall::HalfFrame:
        return "half frame";
    }
    return "";
}

} // namespace korvtest
