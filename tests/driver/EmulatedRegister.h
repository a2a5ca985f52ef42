#pragma once
// A registered emulated register with an open shift, served on 127.0.0.1 by
// TCP, and a driver connected to it: the driver's operations run against the
// register exactly as against a real one, and the test reads the FN's
// archive and the register's state directly.

#include "common/uText.h"
#include "device/uDevice.h"
#include "device/uDeviceLinks.h"
#include "driver/uDriver.h"
#include "driver/uDriverXml.h"

#include "Emulator.h"
#include "FiscalStorage.h"
#include "Tlv.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvtest {

/// A TCP register whose pauses (printer polls, retries) are short, so that
/// a paper-out that never ends gives up at once.
class TQuickSocketDevice : public korv::TSocketDevice {
protected:
    void Pause(int) override {}
};

/// The same on a serial line.
class TQuickComDevice : public korv::TComDevice {
protected:
    void Pause(int) override {}
};

class TEmuDriver : public korv::TDriver {
protected:
    std::unique_ptr<korv::TDevice> CreateDevice(bool ATcp) override {
        if (ATcp)
            return std::make_unique<TQuickSocketDevice>();
        return std::make_unique<TQuickComDevice>();
    }
};

class TEmulatedRegister {
public:
    /// AFfd: 105, 110 or 120; AStateFile: where the register keeps its state
    /// (needed to power it up again), empty for none; ARegistered false leaves
    /// the FN as it comes from the factory (and no shift open).
    explicit TEmulatedRegister(int AFfd, std::string AStateFile = {}, bool ARegistered = true)
        : FFfd(AFfd) {
        FOptions.ffd = AFfd;
        FOptions.stateFile = std::move(AStateFile);
        Emu = std::make_unique<emu::Emulator>(FOptions);
        std::string Err;
        EXPECT_TRUE(Emu->Load(&Err)) << Err;
        if (ARegistered) {
            Register();
            OpenShift();
        }
        if (!FOptions.stateFile.empty()) {
            std::lock_guard Lock(Emu->Reg().Mutex());
            EXPECT_TRUE(Emu->Reg().SaveState(&Err)) << Err;
        }
        EXPECT_TRUE(Emu->StartTcp(0, &Err)) << Err;
        FPort = Emu->TcpPort();
    }
    ~TEmulatedRegister() { AwaitPowerCycle(); }

    /// When the power fails, the register comes back on the same port from
    /// its state file, as a real one that is switched on again.
    void PowerCycleOnLoss() {
        AwaitPowerCycle();
        auto Lost = std::make_shared<std::promise<void>>();
        Emu->OnPowerLoss([Lost] { Lost->set_value(); });
        FCycle = std::thread([this, Lost] {
            Lost->get_future().wait();
            PowerUp();
        });
    }
    /// Switches a register that lost its power on again, from its state
    /// file and on the same port; until then nobody can reach it.
    void PowerUp() {
        Emu.reset();
        Emu = std::make_unique<emu::Emulator>(FOptions);
        std::string Err;
        EXPECT_TRUE(Emu->StartTcp(FPort, &Err)) << Err;
    }
    /// Waits until a power cycle that began has ended.
    void AwaitPowerCycle() {
        if (FCycle.joinable())
            FCycle.join();
    }

    /// One command through the register's own dispatch: the result code and
    /// the answer data.
    std::pair<int, std::string> Cmd(std::uint16_t ACode, std::string_view AData = {}) {
        std::string Msg = emu::Dispatcher::CodeBytes(ACode);
        emu::PutLE(Msg, 30, 4);
        Msg += AData;
        std::lock_guard Lock(Emu->Reg().Mutex());
        const std::string A = Emu->Commands().Execute(Emu->Reg(), Msg);
        const std::size_t Cl = ACode > 0xFF ? 2 : 1;
        if (A.size() <= Cl)
            return {-1, {}};
        return {static_cast<std::uint8_t>(A[Cl]), A.substr(Cl + 1)};
    }

    std::string Control(std::string_view ALine) { return Emu->Control(ALine); }

    std::uint32_t LastDoc() {
        std::lock_guard Lock(Emu->Reg().Mutex());
        return Emu->Reg().Fn()->LastDocNumber();
    }
    bool ReceiptOpen() {
        std::lock_guard Lock(Emu->Reg().Mutex());
        return Emu->Reg().ReceiptType() >= 0;
    }
    /// A copy of an archived document.
    emu::FnDocument Document(std::uint32_t ANumber) {
        std::lock_guard Lock(Emu->Reg().Mutex());
        const emu::FnDocument* D = Emu->Reg().Fn()->Document(ANumber);
        return D ? *D : emu::FnDocument{};
    }
    std::string TapeText() {
        std::lock_guard Lock(Emu->Reg().Mutex());
        return Emu->Reg().Paper().ToText();
    }

    /// Connection settings of a driver for this register.
    std::u16string Settings(std::u16string_view AExtra = {}) const {
        return u"<Parameters><Parameter Name=\"PortNumber\" Value=\"9999\"/>"
               u"<Parameter Name=\"IPAddress\" Value=\"127.0.0.1\"/>"
               u"<Parameter Name=\"IPPort\" Value=\"" +
               korv::Utf8ToU16(std::to_string(Emu->TcpPort())) +
               u"\"/><Parameter Name=\"ConnectPwd\" Value=\"30\"/>" + std::u16string(AExtra) +
               u"</Parameters>";
    }

    std::unique_ptr<emu::Emulator> Emu;

private:
    void Register() {
        auto& T = Emu->Reg().Tables();
        T.SetStr(18, 1, 7, "Shop Ltd");
        T.SetStr(18, 1, 9, "1 Main street");
        T.SetStr(18, 1, 10, "OFD Ltd");
        T.SetStr(18, 1, 12, "7704211201  ");
        T.SetStr(18, 1, 13, "www.nalog.gov.ru");
        T.SetInt(17, 1, 17, FFfd == 105 ? 2 : FFfd == 110 ? 3 : 4);
        T.SetInt(18, 1, 21, FFfd == 120 ? 0x10 : 0);
        EXPECT_EQ(Cmd(0xFF05, std::string(1, '\0')).first, 0);
        EXPECT_EQ(Cmd(0xFF0C, emu::TlvEncode(1203, "500100732259")).first, 0);
        std::string D = "7701234567  ";
        D += "0000000001012345    ";
        D.push_back(char(0x3F)); // every taxation system
        D.push_back(0);
        EXPECT_EQ(Cmd(0xFF06, D).first, 0);
    }
    void OpenShift() {
        EXPECT_EQ(Cmd(0xFF41).first, 0);
        EXPECT_EQ(Cmd(0xFF0C, emu::TlvEncode(1021, "Cashier")).first, 0);
        EXPECT_EQ(Cmd(0xE0).first, 0);
    }

    int FFfd;
    emu::Options FOptions;
    std::uint16_t FPort = 0;
    std::thread FCycle;
};

/// Items of a TLV list by tag, in order.
inline std::vector<emu::TlvItem> TlvList(std::string_view ATlv) {
    std::vector<emu::TlvItem> Items;
    emu::TlvSplit(ATlv, Items);
    return Items;
}

/// Every value of ATag in the list (not descending into structures).
inline std::vector<std::string> TlvValues(std::string_view ATlv, std::uint16_t ATag) {
    std::vector<std::string> Values;
    for (const auto& I : TlvList(ATlv))
        if (I.tag == ATag)
            Values.push_back(I.value);
    return Values;
}

} // namespace korvtest
