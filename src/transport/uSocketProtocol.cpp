#include "transport/uSocketProtocol.h"

#include "common/Common.Log.h"
#include "transport/uFrameCodec.h"
#include "transport/uFrameDialogue.h"
#include "transport/uSocketStream.h"

namespace korv {

namespace {

const TLinkDialect kTcpDialect{"TSocketProtocol", /*PurgeBeforeEnquiry*/ false,
                               /*DropByteAfterUnknown*/ true, /*AcceptFFThenAck*/ true};

} // namespace

bool ParseDottedIPv4(std::string_view AText, std::uint32_t& AAddress) {
    while (!AText.empty() && static_cast<unsigned char>(AText.front()) <= ' ')
        AText.remove_prefix(1);
    while (!AText.empty() && static_cast<unsigned char>(AText.back()) <= ' ')
        AText.remove_suffix(1);
    std::uint32_t Address = 0;
    int Octets = 0;
    std::size_t i = 0;
    while (true) {
        if (i >= AText.size() || AText[i] < '0' || AText[i] > '9')
            return false;
        unsigned Value = 0;
        int Digits = 0;
        while (i < AText.size() && AText[i] >= '0' && AText[i] <= '9') {
            Value = Value * 10 + static_cast<unsigned>(AText[i] - '0');
            if (++Digits > 3 || Value > 255)
                return false;
            ++i;
        }
        Address = (Address << 8) | Value;
        ++Octets;
        if (Octets == 4)
            break;
        if (i >= AText.size() || AText[i] != '.')
            return false;
        ++i;
    }
    if (i != AText.size())
        return false;
    AAddress = Address;
    return true;
}

TCustomSocketProtocol::TCustomSocketProtocol()
    : TCustomLinkProtocol(kTcpDialect), FSocket(std::make_unique<TSocketStream>()) {}

TCustomSocketProtocol::~TCustomSocketProtocol() = default;

bool TCustomSocketProtocol::Connected() const {
    return FSocket && FSocket->IsOpen();
}

int TCustomSocketProtocol::AnswerTimeout(int ATimeout) const {
    return ATimeout > FReceiveTimeout ? ATimeout : FReceiveTimeout;
}

void TCustomSocketProtocol::SetReceiveTimeout(int AMs) {
    FReceiveTimeout = AMs;
    FSocket->SetReceiveTimeout(AMs);
}

TByteStream* TCustomSocketProtocol::LinkStream() {
    return FSocket.get();
}

TSocketProtocol::TSocketProtocol() = default;

TSocketProtocol::~TSocketProtocol() {
    Disconnect();
}

int TSocketProtocol::Connect(const std::string& AIPAddress, int ATCPPort) {
    Disconnect();
    FIPAddress = AIPAddress;
    FTCPPort = ATCPPort;
    std::uint32_t Address;
    if (!ParseDottedIPv4(AIPAddress, Address))
        return LinkFailure(604, u"Адрес не является IPv4-адресом вида a.b.c.d");
    if (ATCPPort < 1 || ATCPPort > 65535)
        return LinkFailure(603, u"Номер порта вне диапазона 1..65535");
    FSocket->SetReceiveTimeout(FReceiveTimeout);
    const int Rc = FSocket->Connect(Address, static_cast<std::uint16_t>(ATCPPort), FConnectTimeout);
    if (Rc == 0) {
        FLastReason.clear();
        FLastOrigin = TErrorOrigin::None;
        return 0;
    }
    WriteLog("TSocketProtocol",
             "Connect " + AIPAddress + ":" + std::to_string(ATCPPort) + " failed, code " +
                 std::to_string(Rc),
             TLogLevel::Error);
    return LinkFailure(Rc, FSocket->LastError());
}

int TSocketProtocol::Disconnect() {
    const int Rc = FSocket->Close();
    if (Rc != 0)
        return LinkFailure(Rc, FSocket->LastError());
    return Rc;
}

int TSocketProtocol::SendBytes(std::string_view AData) {
    const int Rc = FSocket->Send(AData);
    if (Rc != 0)
        return LinkFailure(Rc, FSocket->LastError());
    FLastReason.clear();
    return 0;
}

int TSocketProtocol::ReceiveByte(std::uint8_t& AValue) {
    std::string Byte;
    const int Rc = ReceiveBytes(1, Byte);
    if (Rc == 0)
        AValue = static_cast<std::uint8_t>(Byte[0]);
    return Rc;
}

int TSocketProtocol::ReceiveBytes(std::size_t ACount, std::string& AData) {
    const int Rc = FSocket->Receive(ACount, AData, TDeadline::After(FReceiveTimeout));
    if (Rc != 0)
        return LinkFailure(Rc, FSocket->LastError());
    FLastReason.clear();
    return 0;
}

} // namespace korv
