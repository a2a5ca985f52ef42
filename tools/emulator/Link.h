// The register's end of the link: frames, the ENQ dialogue and one connection's service.
#pragma once

#include "EmuCore.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace emu {

namespace ctl {
constexpr uint8_t STX = 0x02;
constexpr uint8_t ENQ = 0x05;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
} // namespace ctl

// XOR of all bytes (0 for none).
uint8_t Lrc(std::string_view bytes);
// STX, LEN, message, LRC of LEN and message. The message must be 1..255 bytes.
std::string BuildFrame(std::string_view message);

// Reads what the driver sends, one byte at a time: control bytes and whole frames.
class FrameReader {
public:
    enum class Event {
        None,   // byte taken, nothing complete yet
        Enq,    // enquiry
        Ack,    // the driver took our answer
        Nak,    // the driver rejected our answer
        Frame,  // a frame with a right LRC: Message() holds it
        BadLrc, // a complete frame with a wrong LRC (or LEN 0): answer NAK
        Stray,  // a byte outside a frame that means nothing
    };
    Event Feed(uint8_t byte);
    // True between STX and the LRC byte.
    bool InFrame() const { return state_ != State::Idle; }
    void Reset() { state_ = State::Idle; }
    const std::string& Message() const { return message_; }

private:
    enum class State { Idle, Len, Body, Lrc };
    State state_ = State::Idle;
    size_t len_ = 0;
    std::string message_;
};

// How a connection's service ended.
enum class LinkEnd { PeerClosed, Stopped, ClosedByFault, PowerLoss, IoError };

// Serves one connection on `fd` (a connected socket or a pty master) until the peer closes,
// `stopFd` becomes readable, a fault closes it or a power loss happens. `held` is the answer
// not yet acknowledged by the driver; it outlives one connection, as in the register.
// `tcp` enables the faults that close the connection and the 0xFF before ACK option.
LinkEnd ServeLink(Register& reg, const Dispatcher& dispatch, int fd, int stopFd, bool tcp,
                  std::string& held);

// Milliseconds a half-received frame may stand still before the register drops it.
constexpr int kInterByteMs = 500;
// Milliseconds the register waits for a peer that does not read before it gives up writing.
constexpr int kWriteTimeoutMs = 2000;

} // namespace emu
