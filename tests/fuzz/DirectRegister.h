#pragma once
// The driver's XML readers fuzzed as the host reaches them: through the
// driver's methods, on a driver connected to the register emulator. The
// register's commands go straight to the emulator's command table (no link),
// so one call costs microseconds. The register is built again every few
// hundred inputs and whenever the FN has left its fiscal phase, so that what
// the inputs made (documents, a closed FN) stays bounded.

#include "common/Common.Log.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverXml.h"

#include "EmuCore.h"
#include "FiscalStorage.h"

#include <pugixml.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace korvfuzz {

/// A register that runs each command on the emulator's table directly.
class TDirectRegister : public korv::TDevice {
public:
    TDirectRegister(emu::Register& AReg, const emu::Dispatcher& ACommands)
        : FReg(AReg), FCommands(ACommands) {}

    int Enable(int, int) override { return 0; }
    int Enable(const std::string&, int) override { return 0; }
    int RunCommand(std::string_view ACmd, std::string_view AData, int, bool ASendPwd,
                   bool) override {
        std::string Message(ACmd);
        if (ASendPwd)
            emu::PutLE(Message, 30, 4);
        Message += AData;
        if (Message.size() > 255) {
            FResponse.clear();
            return 1014; // no frame holds it
        }
        std::lock_guard Lock(FReg.Mutex());
        const std::string Answer = FCommands.Execute(FReg, Message);
        FResponse = Answer.size() > ACmd.size() ? Answer.substr(ACmd.size()) : std::string();
        return 0;
    }

protected:
    void Pause(int) override {}

private:
    emu::Register& FReg;
    const emu::Dispatcher& FCommands;
};

class TDirectDriver : public korv::TDriver {
public:
    TDirectDriver(emu::Register& AReg, const emu::Dispatcher& ACommands)
        : FReg(AReg), FCommands(ACommands) {}

protected:
    std::unique_ptr<korv::TDevice> CreateDevice(bool) override {
        return std::make_unique<TDirectRegister>(FReg, FCommands);
    }

private:
    emu::Register& FReg;
    const emu::Dispatcher& FCommands;
};

/// A registered register (FFD 1.2) with an open shift and a driver connected to it.
class TRig {
public:
    TRig() : FReg(Options()) {
        emu::RegisterCoreCommands(FCommands);
        emu::RegisterFiscalCommands(FReg, FCommands, Options());
        Driver.ConnectEquipment(Xml(u"<Parameters><Parameter Name=\"PortNumber\" Value=\"9999\"/>"
                                    u"<Parameter Name=\"IPAddress\" Value=\"127.0.0.1\"/>"
                                    u"<Parameter Name=\"IPPort\" Value=\"1\"/></Parameters>"));
        Driver.SelectDevice(Driver.DeviceID());
        pugi::xml_document Out;
        Driver.OpenShift(Xml(u"<InputParameters><Parameters CashierName=\"Fuzz\"/>"
                             u"</InputParameters>"),
                         Out);
    }

    static pugi::xml_document Xml(std::u16string_view AText) {
        pugi::xml_document Doc;
        korv::ParseXmlInput(AText, Doc);
        return Doc;
    }
    static emu::Options Options() {
        emu::Options O;
        O.registered = true;
        return O;
    }
    bool Spent() {
        std::lock_guard Lock(FReg.Mutex());
        return ++FUses > 500 || !FReg.Fn()->Fiscalized() || FReg.Fn()->Damaged();
    }

    emu::Register FReg;
    emu::Dispatcher FCommands;
    TDirectDriver Driver{FReg, FCommands};
    int FUses = 0;
};

/// The rig for the next input (a new one when the last is spent).
inline TRig& Rig() {
    static std::unique_ptr<TRig> R;
    if (!R || R->Spent()) {
        korv::SetLogMode(0);
        R.reset();
        R = std::make_unique<TRig>();
    }
    return *R;
}

/// The input as the host's text: UTF-8 bytes; false when it is not XML.
inline bool ReadInput(const std::uint8_t* AData, std::size_t ASize, pugi::xml_document& ADoc) {
    try {
        korv::ParseXmlInput(
            korv::Utf8ToU16(std::string_view(reinterpret_cast<const char*>(AData), ASize)), ADoc);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

/// Reads the input as XML and hands it to ACall(rig, document); the driver's
/// errors are its answers to bad input. With AReceiptClosed, a receipt left
/// open afterwards is a finding.
template <class TCall>
void RunOnRig(const std::uint8_t* AData, std::size_t ASize, bool AReceiptClosed, TCall&& ACall) {
    pugi::xml_document Doc;
    if (!ReadInput(AData, ASize, Doc))
        return;
    TRig& R = Rig();
    try {
        ACall(R, Doc);
    } catch (const std::exception&) {
    }
    if (AReceiptClosed && R.FReg.ReceiptType() >= 0)
        __builtin_trap();
}

} // namespace korvfuzz
