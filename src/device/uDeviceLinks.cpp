#include "device/uDeviceLinks.h"

#include "common/Common.Log.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"

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

int TDevice::SettingsReadFailed(const std::exception& AFailure, std::u16string_view AWhere) {
    WriteLog(u"TDevice", ExceptionMessage(AFailure), TLogLevel::Error);
    const auto* Equ = dynamic_cast<const EquException*>(&AFailure);
    if (Equ && Equ->Fault.Origin == TErrorOrigin::Silent) {
        FLinkReason = std::u16string(AWhere) + u"ККТ не отвечает";
        FLinkOrigin = TErrorOrigin::Silent;
    } else {
        FLinkReason = std::u16string(AWhere) + ExceptionMessage(AFailure);
        FLinkOrigin = Equ ? Equ->Fault.Origin : TErrorOrigin::None;
    }
    return 1011;
}

int TComDevice::RunCommand(std::string_view ACmd, std::string_view AData, int ATimeout,
                           bool ASendPwd, bool AWaitResponse) {
    return RunOnLink(*FCOMProtocolImpl, ACmd, AData, ATimeout, ASendPwd, AWaitResponse);
}

int TComDevice::Enable(int APort, int ABaud) {
    FComPort->Close();
    SetPortNumber(APort);
    SetBaudRate(ABaud);
    FLinkReason.clear();
    FLinkOrigin = TErrorOrigin::None;
    const std::u16string Port = u"порт COM" + IntToU16(APort) + u": ";
    if (!FComPort->Open()) {
        const std::u16string& Why = FComPort->SystemReason();
        FLinkReason = Port + (Why.empty() ? FComPort->ExtResultDescription() : Why);
        FLinkOrigin = TErrorOrigin::System;
        return 1011;
    }
    try {
        SetParams();
    } catch (const std::exception& E) {
        FComPort->Close();
        return SettingsReadFailed(E, Port);
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
    FLinkReason.clear();
    FLinkOrigin = TErrorOrigin::None;
    const int rc = FSocketProtocolImpl->Connect(AIPAddress, ATCPPort);
    const std::u16string Address = u"адрес " + Utf8ToU16(AIPAddress);
    if (rc == 0) {
        try {
            SetParams();
        } catch (const std::exception& E) {
            // The connection stays up: a caller that goes on meets the
            // register's answer, or its silence, again at its next command.
            return SettingsReadFailed(E, Address + u":" + IntToU16(ATCPPort) + u": ");
        }
        return 0;
    }
    switch (rc) {
    case 604:
        FLinkReason = Address + u": не является IPv4-адресом";
        break;
    case 603:
        FLinkReason = u"порт TCP " + IntToU16(ATCPPort) + u": вне диапазона 1..65535";
        break;
    default:
        FLinkReason =
            Address + u":" + IntToU16(ATCPPort) + u": " + FSocketProtocolImpl->LastReason();
        break;
    }
    FLinkOrigin = FSocketProtocolImpl->LastOrigin();
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
