#include "transport/uSocketStream.h"

#include "common/Common.Log.h"
#include "common/uText.h"

#include <algorithm>

namespace korv {

TSocketStream::TSocketStream() = default;

TSocketStream::~TSocketStream() {
    Close();
    if (FLibraryStarted)
        sockos::Cleanup();
}

int TSocketStream::Failed(int ACode) {
    FFailed = true;
    return ACode;
}

int TSocketStream::Connect(std::uint32_t AAddress, std::uint16_t APort, int AConnectTimeoutMs) {
    Close();
    FError.clear();
    if (!FLibraryStarted && !sockos::Startup(FError))
        return Failed(607);
    FLibraryStarted = true;
    const sockos::THandle s = sockos::Open(FError);
    if (s == sockos::NoSocket) {
        Close();
        return Failed(600);
    }
    const int r = sockos::Connect(s, AAddress, APort, AConnectTimeoutMs, FError);
    if (r <= 0) {
        if (r == 0)
            FError = u"нет ответа за " + IntToU16(AConnectTimeoutMs) + u" мс";
        std::u16string Ignored;
        sockos::Close(s, Ignored);
        Close();
        return Failed(601);
    }
    FSocket = s;
    FLowWater = 1;
    ApplyOptions();
    return 0;
}

void TSocketStream::ApplyOptions() {
    // A refused option leaves a working, if slower, link: noted, not fatal.
    if (!sockos::SetNoDelay(FSocket, true))
        WriteLog("TSocketProtocol", "TCP_NODELAY refused", TLogLevel::Error);
    FSocketTimeout = FReceiveTimeout;
    if (!sockos::SetReceiveTimeout(FSocket, FReceiveTimeout)) {
        FSocketTimeout = -1;
        WriteLog("TSocketProtocol", "SO_RCVTIMEO refused", TLogLevel::Error);
    }
}

int TSocketStream::Close() {
    int Rc = 0;
    FInputAt = FInputEnd = 0;
    FSocketTimeout = -1;
    if (IsOpen()) {
        const sockos::THandle s = FSocket;
        FSocket = sockos::NoSocket;
        Rc = sockos::Close(s, FError);
    }
    return Rc;
}

int TSocketStream::Send(std::string_view AData) {
    FFailed = false;
    if (!IsOpen()) {
        FError = u"Соединение не установлено";
        return Failed(605);
    }
    std::size_t Done = 0;
    while (Done < AData.size()) {
        const long n = sockos::Send(FSocket, AData.data() + Done, AData.size() - Done, FError);
        if (n < 0)
            return Failed(605);
        Done += static_cast<std::size_t>(n);
    }
    return 0;
}

int TSocketStream::Receive(std::size_t ACount, std::string& AData, const TDeadline& ADeadline) {
    FFailed = false;
    AData.clear();
    if (!IsOpen()) {
        FError = u"Соединение не установлено";
        return Failed(606);
    }
    // TCP may deliver a frame in pieces (a serial adapter may pass on each
    // byte as it comes): collect until all of it came, or the deadline passed
    // (a trickle never stretches it). The wait ends only once all that is
    // missing is there, rather than at every piece; when the deadline passes,
    // a last look without the mark takes what came short of it.
    bool LastLook = false;
    while (AData.size() < ACount) {
        if (FInputAt == FInputEnd) {
            SetLowWater(LastLook ? 1 : ACount - AData.size());
            const long n =
                sockos::ReceiveWithin(FSocket, FInput.data(), FInput.size(),
                                      LastLook ? 0 : ADeadline.Wait(-1), FSocketTimeout, FError);
            if (n == sockos::TimedOut && !LastLook && FLowWater > 1) {
                LastLook = true;
                continue;
            }
            if (n == sockos::TimedOut) {
                if (!AData.empty())
                    return 0;
                FError = u"Истек таймаут ожидания";
                return 606;
            }
            if (n < 0)
                return Failed(606);
            if (n == 0) {
                FError = u"Соединение закрыто удалённой стороной";
                return Failed(606);
            }
            FInputAt = 0;
            FInputEnd = static_cast<std::size_t>(n);
        }
        const std::size_t Take = std::min(ACount - AData.size(), FInputEnd - FInputAt);
        AData.append(FInput.data() + FInputAt, Take);
        FInputAt += Take;
    }
    return 0;
}

void TSocketStream::SetLowWater(std::size_t ABytes) {
    // A frame is at most 258 bytes; the mark never needs to be higher.
    ABytes = std::clamp<std::size_t>(ABytes, 1, 4096);
    if (ABytes == FLowWater)
        return;
    if (sockos::SetReceiveLowWater(FSocket, static_cast<int>(ABytes)))
        FLowWater = ABytes;
}

bool TSocketStream::StreamReadByte(std::uint8_t& AValue, int ATimeoutMs) {
    std::string Byte;
    if (Receive(1, Byte, TDeadline::After(ATimeoutMs)) != 0 || Byte.empty())
        return false;
    AValue = static_cast<std::uint8_t>(Byte[0]);
    return true;
}

void TSocketStream::StreamPurge() {
    // Drops whatever already arrived, without waiting; any byte counts.
    FInputAt = FInputEnd = 0;
    SetLowWater(1);
    char Buf[256];
    std::u16string Ignored;
    while (IsOpen() && sockos::WaitReadable(FSocket, 0, Ignored) > 0 &&
           sockos::Receive(FSocket, Buf, sizeof Buf, Ignored) > 0) {
    }
}

} // namespace korv
