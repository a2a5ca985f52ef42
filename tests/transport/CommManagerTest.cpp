#include "support/LinkPeers.h"

#include "transport/uCommManager.h"

#include <chrono>

using namespace korv;
using namespace korvtest;

TEST(CommManager, PortNumbersMapToDevices) {
    EXPECT_EQ(ComPortSystemName(1), "/dev/ttyS0");
    EXPECT_EQ(ComPortSystemName(32), "/dev/ttyS31");
    EXPECT_EQ(ComPortSystemName(33), "/dev/ttyUSB0");
    EXPECT_EQ(ComPortSystemName(96), "/dev/ttyACM31");
    EXPECT_EQ(ComPortSystemName(97), "/dev/ttyAMA0");
    EXPECT_EQ(ComPortSystemName(128), "/dev/ttyAMA31");
    EXPECT_EQ(ComPortSystemName(0), "");
    EXPECT_EQ(ComPortSystemName(129), "");
    ::setenv("KORVANDER_COM_DIR", "/tmp/ports", 1);
    EXPECT_EQ(ComPortDeviceName(12), "/tmp/ports/COM12");
    ::unsetenv("KORVANDER_COM_DIR");
    EXPECT_EQ(ComPortDeviceName(12), "/dev/ttyS11");
}

TEST(CommManager, DefaultsAndRates) {
    TComm Comm;
    EXPECT_EQ(Comm.BaudRateAsInt(), 9600);
    EXPECT_EQ(Comm.Timeouts().ReadIntervalTimeout, 100u);
    TComPort Port;
    EXPECT_EQ(Port.BaudRateAsInt(), 115200);
    EXPECT_EQ(Port.Timeouts().ReadTotalTimeoutMultiplier, 1000u);
    EXPECT_EQ(Port.Timeouts().WriteTotalTimeoutConstant, 500u);
    Port.SetBaudRateAsInt(57600);
    EXPECT_EQ(Port.BaudRate(), TBaudRate::br57600);
    Port.SetBaudRateAsInt(12345); // not a rate: unchanged
    EXPECT_EQ(Port.BaudRateAsInt(), 57600);
    TBaudRate R;
    EXPECT_FALSE(IntToBaudRate(0, R));
    EXPECT_TRUE(IntToBaudRate(110, R));
    EXPECT_EQ(R, TBaudRate::br110);
}

TEST(CommManager, ClosedPortBehaviour) {
    ::setenv("KORVANDER_COM_DIR", "/nonexistent-korvander", 1);
    TComPort Port;
    Port.SetPortNumber(4);
    EXPECT_TRUE(Port.Close());      // nothing to close
    EXPECT_TRUE(Port.WriteStr("")); // no data: the port is not even opened
    EXPECT_FALSE(Port.Opened());
    EXPECT_FALSE(Port.WriteStr("x")); // opens on demand, which fails
    EXPECT_EQ(Port.ExtResultDescription().rfind(u"Ошибка открытия порта. ", 0), 0u);
    std::uint8_t B;
    EXPECT_FALSE(Port.ReadByte(B, 10));
    EXPECT_EQ(Port.ExtResultDescription(), u"Порт не открыт");
    ::unsetenv("KORVANDER_COM_DIR");
}

TEST(CommManager, ReadsAndWritesOnALine) {
    TPtyPeer Peer(5);
    TComPort Port;
    Port.SetPortNumber(5);
    ASSERT_TRUE(Port.Open()) << U16ToAnsi(Port.ExtResultDescription());
    EXPECT_TRUE(Port.Open()); // already open

    // The port is not shared.
    TComPort Second;
    Second.SetPortNumber(5);
    EXPECT_FALSE(Second.Open());

    EXPECT_TRUE(Port.WriteStr("\x01\x02\xFF"s));
    EXPECT_EQ(Peer.Read(3), "\x01\x02\xFF"s);

    // A silent line: the byte read fails after its time-out.
    std::uint8_t B = 0;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Port.ReadByte(B, 60));
    EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(60));
    EXPECT_EQ(Port.ExtResultDescription(), u"Ошибка при чтении данных из порта");

    Peer.Write("\x7F");
    EXPECT_TRUE(Port.ReadByte(B, 1000));
    EXPECT_EQ(B, 0x7F);

    // A block read ends at the interval after the last byte: short, not failed.
    Peer.Write("abc");
    std::string Buf;
    EXPECT_TRUE(Port.ReadString(10, Buf));
    EXPECT_EQ(Buf, "abc");

    // Purge drops what waits unread.
    Peer.Write("zz");
    EXPECT_TRUE(Port.ReadByte(B, 1000)); // wait until it arrived
    EXPECT_TRUE(Port.Purge(true));
    EXPECT_FALSE(Port.ReadByte(B, 20));

    EXPECT_TRUE(Port.Close());
    EXPECT_FALSE(Port.Opened());
    EXPECT_TRUE(Second.Open()); // free again
}
