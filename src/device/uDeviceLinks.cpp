#include "device/uDeviceLinks.h"

#include "common/Common.Log.h"
#include "common/uEquipmentErrors.h"

namespace korv {

// ---- TComDevice ----------------------------------------------------------

TComDevice::TComDevice()
    : FComPort(std::make_unique<TComPort>()),
      FCOMProtocolImpl(std::make_unique<TCOMProtocol>(FComPort.get())) {}

TComDevice::~TComDevice() {
    TComDevice::Disable();
}

int TDevice::RunOnLink(TCustomLinkProtocol& ALink, std::string_view ACmd, std::string_view AData,
                       int ATimeout, bool ASendPwd, bool AWaitResponse) {
    CheckMessageSize(ACmd, AData, ASendPwd);
    FResponse.clear();
    FLastCommand = std::string(ACmd);
    const int Rc =
        ALink.RunCommand(FResponse, FConnectPwd, ACmd, AData, ATimeout, ASendPwd, AWaitResponse);
    FLastLinkCode = Rc;
    FLinkReason = Rc == 0 ? std::u16string() : ALink.LastReason();
    FLinkOrigin = Rc == 0 ? TErrorOrigin::None : ALink.LastOrigin();
    return Rc;
}

int TComDevice::RunCommand(std::string_view ACmd, std::string_view AData, int ATimeout,
                           bool ASendPwd, bool AWaitResponse) {
    return RunOnLink(*FCOMProtocolImpl, ACmd, AData, ATimeout, ASendPwd, AWaitResponse);
}

int TComDevice::Enable(int APort, int ABaud) {
    FComPort->Close();
    SetPortNumber(APort);
    SetBaudRate(ABaud);
    if (!FComPort->Open())
        return 1011;
    try {
        SetParams();
    } catch (const std::exception& E) {
        WriteLog(u"TComDevice", ExceptionMessage(E), TLogLevel::Error);
        FComPort->Close();
        return 1011;
    }
    return 0;
}

void TComDevice::Disable() {
    if (FComPort && FComPort->Opened())
        FComPort->Close();
}

int TComDevice::GetPortNumber() const {
    return FComPort->PortNumber();
}

void TComDevice::SetPortNumber(int AValue) {
    FPortNumber = AValue;
    FComPort->SetPortNumber(AValue);
}

int TComDevice::GetBaudRate() const {
    return FComPort->BaudRateAsInt();
}

void TComDevice::SetBaudRate(int AValue) {
    FBaudRate = AValue;
    FComPort->SetBaudRateAsInt(AValue);
}

// ---- TSocketDevice -------------------------------------------------------

TSocketDevice::TSocketDevice() : FSocketProtocolImpl(std::make_unique<TSocketProtocol>()) {}

TSocketDevice::~TSocketDevice() {
    TSocketDevice::Disable();
}

int TSocketDevice::RunCommand(std::string_view ACmd, std::string_view AData, int ATimeout,
                              bool ASendPwd, bool AWaitResponse) {
    return RunOnLink(*FSocketProtocolImpl, ACmd, AData, ATimeout, ASendPwd, AWaitResponse);
}

int TSocketDevice::Enable(const std::string& AIPAddress, int ATCPPort) {
    SetIPAddress(AIPAddress);
    SetTCPPort(ATCPPort);
    const int rc = FSocketProtocolImpl->Connect(AIPAddress, ATCPPort);
    if (rc == 0)
        SetParams();
    return rc;
}

void TSocketDevice::Disable() {
    if (FSocketProtocolImpl && FSocketProtocolImpl->Connected())
        FSocketProtocolImpl->Disconnect();
}

std::string TSocketDevice::GetIPAddress() const {
    return FIPAddress;
}
void TSocketDevice::SetIPAddress(const std::string& AValue) {
    FIPAddress = AValue;
}
int TSocketDevice::GetTCPPort() const {
    return FTCPPort;
}
void TSocketDevice::SetTCPPort(int AValue) {
    FTCPPort = AValue;
}

} // namespace korv
