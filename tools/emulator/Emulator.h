// A whole emulated register: its state, its links (TCP, pseudo-terminal) served by background
// threads, and the control interface (in-process and a line protocol on 127.0.0.1).
#pragma once

#include "EmuCore.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace emu {

class Emulator {
public:
    explicit Emulator(Options opt);
    ~Emulator(); // stops every thread and saves the state
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Reads the state file (when one is set). Called by the Start functions when not yet done.
    // False with a reason when the file is damaged (the register is then left as new).
    bool Load(std::string* err);

    // Serves the frame protocol on 127.0.0.1:port (0: a free port, see TcpPort), one client
    // at a time, clients one after another.
    bool StartTcp(uint16_t port, std::string* err);
    uint16_t TcpPort() const { return tcpPort_; }
    // Serves it on a new pseudo-terminal; `linkPath` (optional) becomes a symlink to its slave.
    bool StartPty(const std::string& linkPath, std::string* err);
    const std::string& PtyPath() const { return ptyPath_; }
    // The control line protocol on 127.0.0.1:port (0: a free port).
    bool StartControl(uint16_t port, std::string* err);
    uint16_t ControlPort() const { return controlPort_; }

    // Stops the threads (idempotent) and writes the state file unless the power was lost.
    void Stop();

    // Called (from a link thread) when a power-loss fault fires. The links stop either way.
    void OnPowerLoss(std::function<void()> handler) { onPowerLoss_ = std::move(handler); }
    bool PoweredOff() const { return poweredOff_; }

    Register& Reg() { return *reg_; }
    // The command table; tests may add commands before the links start.
    Dispatcher& Commands() { return dispatch_; }

    // Runs one line of the control protocol; returns the answer, each line ending in "\n".
    std::string Control(std::string_view line);

private:
    void TcpLoop();
    void PtyLoop();
    void ControlLoop();
    void PowerLost();
    void AddControls(); // STATE, COMMAND and HELP

    Options opt_;
    std::unique_ptr<Register> reg_;
    Dispatcher dispatch_;
    bool loaded_ = false;
    bool loadOk_ = false;
    int stopPipe_[2] = {-1, -1};
    int tcpListen_ = -1;
    uint16_t tcpPort_ = 0;
    int ptyMaster_ = -1;
    int ptySlave_ = -1;
    std::string ptyPath_;
    std::string ptyLink_;
    int controlListen_ = -1;
    uint16_t controlPort_ = 0;
    std::vector<std::thread> threads_;
    std::atomic<bool> poweredOff_{false};
    std::atomic<bool> stopped_{false};
    std::function<void()> onPowerLoss_;
    std::string held_;    // the answer the driver has not acknowledged (TCP)
    std::string ptyHeld_; // the same on the pseudo-terminal
};

} // namespace emu
