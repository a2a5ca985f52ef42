#pragma once
// A register at the far end of a real pseudo-terminal or 127.0.0.1 socket:
// answers ENQ with NAK, takes each command frame with ACK, and sends the
// answer its handler builds (result code first) in a frame of its own.
// Runs on a thread of its own until the descriptor closes or Stop().

#include "transport/uFrameCodec.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korv::test {

class TFramePeer {
public:
    /// (command code, data after the code) -> answer, result code first.
    using THandler = std::function<std::string(const std::string& ACmd, const std::string& AData)>;

    TFramePeer(int AFd, THandler AHandler) : FFd(AFd), FHandler(std::move(AHandler)) {
        FThread = std::thread([this] { Run(); });
    }
    ~TFramePeer() { Stop(); }

    void Stop() {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
    }

    /// The messages received so far (command code, password, data).
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(FLock);
        return FMessages;
    }

private:
    // One byte within 100 ms slices until stopped; false when the descriptor closed.
    bool ReadByte(unsigned char& AByte) {
        while (!FStop) {
            pollfd p{FFd, POLLIN, 0};
            const int n = ::poll(&p, 1, 100);
            if (n < 0)
                return false;
            if (n == 0)
                continue;
            const ssize_t r = ::read(FFd, &AByte, 1);
            if (r == 1)
                return true;
            return false;
        }
        return false;
    }

    void Write(const std::string& ABytes) {
        std::size_t done = 0;
        while (done < ABytes.size()) {
            const ssize_t w = ::write(FFd, ABytes.data() + done, ABytes.size() - done);
            if (w <= 0)
                return;
            done += static_cast<std::size_t>(w);
        }
    }

    void Run() {
        unsigned char b = 0;
        while (ReadByte(b)) {
            if (b == ENQ) {
                Write(std::string(1, static_cast<char>(NAK)));
                continue;
            }
            if (b != STX)
                continue; // ACK of our answer, or noise
            unsigned char len = 0;
            if (!ReadByte(len))
                return;
            std::string message;
            for (int i = 0; i <= len; ++i) {
                unsigned char c = 0;
                if (!ReadByte(c))
                    return;
                message += static_cast<char>(c);
            }
            message.pop_back(); // the check byte
            Write(std::string(1, static_cast<char>(ACK)));
            const std::size_t codeLen = CommandCodeLength(message);
            const std::string cmd = message.substr(0, codeLen);
            {
                std::lock_guard<std::mutex> lock(FLock);
                FMessages.push_back(message);
            }
            Write(BuildFrame(cmd + FHandler(cmd, message.substr(codeLen))));
        }
    }

    int FFd;
    THandler FHandler;
    std::atomic<bool> FStop{false};
    std::mutex FLock;
    std::vector<std::string> FMessages;
    std::thread FThread;
};

} // namespace korv::test
