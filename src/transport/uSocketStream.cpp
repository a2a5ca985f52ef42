#include "transport/uSocketStream.h"

#include "common/Common.Log.h"
#include "common/uText.h"

#include <algorithm>

namespace korv {

TSocketStream::TSocketStream() = default;

TSocketStream::~TSocketStream() {
    Close();
}

int TSocketStream::Failed(int ACode) {
    FFailed = true;
    return ACode;
}

int TSocketStream::Connect(std::uint32_t AAddress, std::uint16_t APort, int AConnectTimeoutMs) {
    Close();
    FError.clear();
    if (!sockos::Startup(FError))
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
    if (!sockos::SetReceiveTimeout(FSocket, FReceiveTimeout))
        WriteLog("TSocketProtocol", "SO_RCVTIMEO refused", TLogLevel::Error);
}

int TSocketStream::Close() {
    int Rc = 0;
    if (IsOpen()) {
        const sockos::THandle s = FSocket;
        FSocket = sockos::NoSocket;
        Rc = sockos::Close(s, FError);
    }
    if (FLibraryStarted) {
        sockos::Cleanup();
        FLibraryStarted = false;
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
    AData.resize(ACount);
    std::size_t Got = 0;
    // TCP may deliver a frame in pieces (a serial adapter may pass on each
    // byte as it comes): collect until all of it came, or the deadline passed
    // (a trickle never stretches it). The wait ends only once all that is
    // missing is there, rather than at every piece; when the deadline passes,
    // a last look without the mark takes what came short of it.
    bool LastLook = false;
    while (Got < ACount) {
        SetLowWater(LastLook ? 1 : ACount - Got);
        const int Ready = sockos::WaitReadable(FSocket, LastLook ? 0 : ADeadline.Wait(-1), FError);
        if (Ready < 0) {
            AData.resize(Got);
            return Failed(606);
        }
        if (Ready == 0 && !LastLook && FLowWater > 1) {
            LastLook = true;
            continue;
        }
        if (Ready == 0) {
            AData.resize(Got);
            if (Got > 0)
                return 0;
            FError = u"Истек таймаут ожидания";
            return 606;
        }
        const long n = sockos::Receive(FSocket, AData.data() + Got, ACount - Got, FError);
        if (n < 0) {
            AData.resize(Got);
            return Failed(606);
        }
        if (n == 0) {
            AData.resize(Got);
            FError = u"Соединение закрыто удалённой стороной";
            return Failed(606);
        }
        Got += static_cast<std::size_t>(n);
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
    SetLowWater(1);
    char Buf[256];
    std::u16string Ignored;
    while (IsOpen() && sockos::WaitReadable(FSocket, 0, Ignored) > 0 &&
           sockos::Receive(FSocket, Buf, sizeof Buf, Ignored) > 0) {
    }
}

} // namespace korv
