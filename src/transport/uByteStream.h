#pragma once
// The narrow byte stream under the register's frame protocol. The serial
// port (TComm) and the TCP socket (TSocketStream) implement it, so the frame
// dialogue (uFrameDialogue) is written once for both links.
//
// No operation raises; a failure returns false and leaves a reason text.

#include "transport/uDeadline.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

class TByteStream {
public:
    virtual ~TByteStream() = default;

    /// True while the port or socket is open.
    virtual bool StreamOpened() const = 0;
    /// Writes every byte of AData; false when not all of them went out.
    virtual bool StreamWrite(std::string_view AData) = 0;
    /// Waits up to ATimeoutMs for one byte; false on time-out or failure.
    virtual bool StreamReadByte(std::uint8_t& AValue, int ATimeoutMs) = 0;
    /// As StreamReadByte, for a byte that at least AFollowing more follow
    /// without a pause (a frame's length byte): a stream may let them come
    /// as well before it returns, within ATimeoutMs, so that the next read
    /// finds them there. Only the one byte is read.
    virtual bool StreamReadByteBefore(std::uint8_t& AValue, int ATimeoutMs,
                                      std::size_t AFollowing) {
        static_cast<void>(AFollowing);
        return StreamReadByte(AValue, ATimeoutMs);
    }
    /// Reads up to ACount bytes of a frame body, ending at ADeadline whatever
    /// comes (the serial port may end sooner by its port time-outs). A short
    /// read is not a failure (AData holds what came); false means the stream
    /// itself failed (for a socket also: nothing came in time, or the peer
    /// closed the connection).
    virtual bool StreamReadBlock(std::size_t ACount, std::string& AData,
                                 const TDeadline& ADeadline) = 0;
    /// True when the last failure was the system's (port, socket), not a
    /// time-out.
    virtual bool StreamFailed() const = 0;
    /// Drops whatever is waiting to be read or written.
    virtual void StreamPurge() = 0;
    /// The reason of the last failure.
    virtual std::u16string StreamError() const = 0;
};

} // namespace korv
