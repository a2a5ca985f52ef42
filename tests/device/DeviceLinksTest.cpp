// The serial and TCP command objects against a register on a real
// pseudo-terminal and a real 127.0.0.1 socket.

#include "FramePeer.h"
#include "ScriptedDevice.h"
#include "support/LinkPeers.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDeviceLinks.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace korv::test {

namespace {

// Answers the line length query with 48 and everything else with success;
// a password other than the default one gets result 79.
std::string Register(const std::string& ACmd, const std::string& AData) {
    if (AData.substr(0, 4) != ConnectPasswordBytes(DefaultConnectPassword))
        return B({79});
    if (ACmd == "\x1F")
        return B({0, 48});
    if (ACmd == "\x11") {
        std::string r(47, '\0');
        r[24] = 5, r[25] = 3, r[26] = 26, r[27] = 10, r[28] = 7, r[29] = 9;
        return r;
    }
    return B({0});
}

} // namespace

TEST(SocketDevice, EnableReadsTheLineLengthWithThePassword) {
    korvtest::TTcpPeer listener;
    TSocketDevice dev;
    dev.SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword));
    std::unique_ptr<TFramePeer> peer;
    std::thread acceptor([&] {
        ASSERT_TRUE(listener.Accept());
        peer = std::make_unique<TFramePeer>(listener.Fd(), Register);
    });
    ASSERT_EQ(dev.Enable("127.0.0.1", listener.Port), 0);
    acceptor.join();
    EXPECT_EQ(dev.GetLineLen(), 48);
    EXPECT_EQ(dev.GetIPAddress(), "127.0.0.1");
    EXPECT_EQ(dev.GetTCPPort(), listener.Port);

    TDateTimeValue t = 0, want = 0;
    dev.GetDateTimeKKT(t);
    TryEncodeDateTime(2026, 3, 5, 10, 7, 9, want);
    EXPECT_EQ(t, want);

    // Too long for a frame: refused, and nothing reaches the register.
    EXPECT_THROW(dev.PrintNormalString(3, std::string(250, 'x')), EquException);
    dev.Disable();
    peer->Stop();
    const auto messages = peer->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], B({0x1F, 0x1E, 0, 0, 0, 9, 1, 0, 3}));
    EXPECT_EQ(messages[1], B({0x11, 0x1E, 0, 0, 0}));
}

TEST(SocketDevice, WrongPasswordAndBadAddress) {
    korvtest::TTcpPeer listener;
    TSocketDevice dev;
    dev.SetConnectPwd(ConnectPasswordBytes(1));
    std::unique_ptr<TFramePeer> peer;
    std::thread acceptor([&] {
        ASSERT_TRUE(listener.Accept());
        peer = std::make_unique<TFramePeer>(listener.Fd(), Register);
    });
    // A refused reading is a failed connection, as on a serial line.
    EXPECT_EQ(dev.Enable("127.0.0.1", listener.Port), 1011);
    EXPECT_EQ(dev.LinkReason(), u"адрес 127.0.0.1:" + IntToU16(listener.Port) +
                                    u": Ошибка команды чтения системной таблицы. Неверный пароль");
    EXPECT_EQ(dev.LinkOrigin(), TErrorOrigin::Register);
    acceptor.join();
    dev.Disable();
    peer->Stop();

    TSocketDevice other;
    EXPECT_EQ(other.Enable("300.0.0.1", 7778), 604);
}

TEST(ComDevice, EnableOverAPseudoTerminal) {
    korvtest::TPtyPeer pty(7, true);
    TFramePeer peer(pty.Fd(), Register);
    TComDevice dev;
    dev.SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword));
    ASSERT_EQ(dev.Enable(7, 115200), 0);
    EXPECT_EQ(dev.GetLineLen(), 48);
    EXPECT_EQ(dev.GetPortNumber(), 7);
    EXPECT_EQ(dev.GetBaudRate(), 115200);
    EXPECT_TRUE(dev.ComPort().Opened());
    dev.Disable();
    EXPECT_FALSE(dev.ComPort().Opened());
    peer.Stop();
}

TEST(ComDevice, FailedSettingsReadClosesThePort) {
    korvtest::TPtyPeer pty(8, true);
    TFramePeer peer(pty.Fd(), Register);
    TComDevice dev;
    dev.SetConnectPwd(ConnectPasswordBytes(2)); // the register refuses it
    EXPECT_EQ(dev.Enable(8, 115200), 1011);
    EXPECT_FALSE(dev.ComPort().Opened());
    peer.Stop();

    TComDevice missing;
    EXPECT_EQ(missing.Enable(9, 115200), 1011); // no COM9 in the folder
}

TEST(LinkFailures, ConnectReasonsNameThePortAndTheCause) {
    korvtest::TPtyPeer pty(8, true); // COM8 is a line nobody answers on
    const std::filesystem::path& Dir = pty.Ports.Dir();
    const std::filesystem::path Plain = Dir / "plain-file";
    { std::ofstream(Plain) << "x"; }
    std::filesystem::create_symlink(Plain, Dir / "COM10");

    struct TSerialCase {
        int Port;
        const char16_t* Reason;
        TErrorOrigin Origin;
    };
    for (const TSerialCase& C :
         {TSerialCase{9, u"порт COM9: нет такого устройства", TErrorOrigin::System},
          TSerialCase{10, u"порт COM10: не является последовательным портом", TErrorOrigin::System},
          TSerialCase{8, u"порт COM8: ККТ не отвечает", TErrorOrigin::Silent}}) {
        TComDevice dev;
        dev.SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword));
        dev.Protocol().SetControlTimeout(100); // the silent line ends in a fraction of a second
        EXPECT_EQ(dev.Enable(C.Port, 115200), 1011);
        EXPECT_EQ(dev.LinkReason(), C.Reason);
        EXPECT_EQ(dev.LinkOrigin(), C.Origin);
        EXPECT_FALSE(dev.ComPort().Opened());
    }

    int FreePort;
    {
        korvtest::TTcpPeer gone;
        FreePort = gone.Port;
    }
    TSocketDevice net;
    EXPECT_EQ(net.Enable("127.0.0.1", FreePort), 601);
    EXPECT_EQ(net.LinkReason(),
              u"адрес 127.0.0.1:" + IntToU16(FreePort) + u": соединение отклонено");
    EXPECT_EQ(net.LinkOrigin(), TErrorOrigin::System);
    EXPECT_EQ(net.Enable("kkt.local", 7778), 604);
    EXPECT_EQ(net.LinkReason(), u"адрес kkt.local: не является IPv4-адресом");
}

} // namespace korv::test
