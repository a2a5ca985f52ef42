#pragma once
// The two link variants of the register command object: TComDevice on a
// serial port, TSocketDevice over TCP. Each owns its port or socket and its
// frame protocol object.

#include "device/uDevice.h"
#include "transport/uComProtocol.h"
#include "transport/uCommManager.h"
#include "transport/uSocketProtocol.h"

#include <memory>

namespace korv {

class TComDevice : public TDevice {
public:
    TComDevice();
    /// Closes the port.
    ~TComDevice() override;

    /// Refuses (EquException 1004) a message too long for a frame; else the
    /// link's code.
    int RunCommand(std::string_view ACmd, std::string_view AData, int ATimeout, bool ASendPwd,
                   bool AWaitResponse) override;
    /// Opens COM APort at ABaud and reads the line length: 0, or 1011 when the
    /// port cannot be opened or the register does not answer (the port is
    /// closed again then).
    int Enable(int APort, int ABaud) override;
    using TDevice::Enable;
    void Disable() override;
    int GetPortNumber() const override;
    void SetPortNumber(int AValue) override;
    int GetBaudRate() const override;
    void SetBaudRate(int AValue) override;

    TComPort& ComPort() { return *FComPort; }
    TCustomCOMProtocol& Protocol() { return *FCOMProtocolImpl; }

private:
    // The protocol refers to the port: declared after it, destroyed before it.
    std::unique_ptr<TComPort> FComPort;
    std::unique_ptr<TCustomCOMProtocol> FCOMProtocolImpl;
};

class TSocketDevice : public TDevice {
public:
    TSocketDevice();
    /// Closes the connection.
    ~TSocketDevice() override;

    int RunCommand(std::string_view ACmd, std::string_view AData, int ATimeout, bool ASendPwd,
                   bool AWaitResponse) override;
    /// Connects and reads the line length; returns the link's code, or 1011
    /// when the register does not answer the reading or refuses it (as on a
    /// serial line; the connection is left up then).
    int Enable(const std::string& AIPAddress, int ATCPPort) override;
    using TDevice::Enable;
    void Disable() override;
    std::string GetIPAddress() const override;
    void SetIPAddress(const std::string& AValue) override;
    int GetTCPPort() const override;
    void SetTCPPort(int AValue) override;

    TCustomSocketProtocol& Protocol() { return *FSocketProtocolImpl; }

private:
    std::unique_ptr<TCustomSocketProtocol> FSocketProtocolImpl;
};

} // namespace korv
