#include "transport/uSocketStream.h"

#include <chrono>

namespace korv {

int TSocketStream::Receive(std::size_t ACount, std::string& AData, int ATimeoutMs) {
    AData.clear();
    if (!IsOpen()) {
        FError = u"Соединение не установлено";
        return 606;
    }
    AData.resize(ACount);
    std::size_t Got = 0;
    // TCP may deliver a frame in pieces: collect until all of it came.
    while (Got < ACount) {
        const int Ready = WaitReadable(ATimeoutMs);
        if (Ready < 0) {
            AData.resize(Got);
            return 606;
        }
        if (Ready == 0) {
            AData.resize(Got);
            if (Got > 0)
                return 0;
            FError = u"Истек таймаут ожидания";
            return 606;
        }
        const long n = ReceiveSome(AData.data() + Got, ACount - Got);
        if (n < 0) {
            AData.resize(Got);
            return 606;
        }
        if (n == 0) {
            AData.resize(Got);
            FError = u"Соединение закрыто удалённой стороной";
            return 606;
        }
        Got += static_cast<std::size_t>(n);
    }
    return 0;
}

bool TSocketStream::StreamReadByte(std::uint8_t& AValue, int ATimeoutMs) {
    std::string Byte;
    if (Receive(1, Byte, ATimeoutMs) != 0 || Byte.empty())
        return false;
    AValue = static_cast<std::uint8_t>(Byte[0]);
    return true;
}

void TSocketStream::StreamPurge() {
    // Drops whatever already arrived, without waiting.
    char Buf[256];
    while (IsOpen() && WaitReadable(0) > 0 && ReceiveSome(Buf, sizeof Buf) > 0) {
    }
}

} // namespace korv
