#include "support/LinkPeers.h"

#include "transport/uSocketProtocol.h"
#include "transport/uSocketStream.h"

#include <netinet/tcp.h>

#include <chrono>
#include <thread>

using namespace korv;
using namespace korvtest;

namespace {

const std::string kPwd = "\x1E\0\0\0"s;

class SocketProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        Protocol.SetReceiveTimeout(500);
        Protocol.SetConnectTimeout(2000);
        ASSERT_EQ(Protocol.Connect(" 127.0.0.1 ", Peer.Port), 0);
        ASSERT_TRUE(Peer.Accept());
    }
    TTcpPeer Peer;
    TSocketProtocol Protocol;
};

} // namespace

TEST(SocketAddress, DottedIPv4Only) {
    std::uint32_t A = 0;
    EXPECT_TRUE(ParseDottedIPv4("127.0.0.1", A));
    EXPECT_EQ(A, 0x7F000001u);
    EXPECT_TRUE(ParseDottedIPv4(" 10.20.30.255\t", A));
    EXPECT_EQ(A, 0x0A141EFFu);
    for (const char* Bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "localhost", "", "1..2.3",
                            "0x7f.0.0.1", "1.2.3.4x", "1.2.3.0001", "-1.2.3.4"})
        EXPECT_FALSE(ParseDottedIPv4(Bad, A)) << Bad;
}

TEST(SocketConnect, RefusedAddressesAndPorts) {
    TSocketProtocol P;
    EXPECT_EQ(P.Connect("300.0.0.1", 5555), 604);
    EXPECT_EQ(P.Connect("kkt.local", 5555), 604);
    EXPECT_EQ(P.Connect("127.0.0.1", 0), 603);
    EXPECT_EQ(P.Connect("127.0.0.1", 65536), 603);
    EXPECT_FALSE(P.Connected());
    // A port nobody listens on.
    int Free;
    {
        TTcpPeer Gone;
        Free = Gone.Port;
    }
    EXPECT_EQ(P.Connect("127.0.0.1", Free), 601);
    EXPECT_FALSE(P.Connected());
    EXPECT_EQ(P.Disconnect(), 0);
}

TEST(SocketConnect, ListenerThatNeverAcceptsTimesOut) {
    // A listener whose queue is full lets connections hang.
    const int L = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(L, reinterpret_cast<sockaddr*>(&A), sizeof A), 0);
    ASSERT_EQ(::listen(L, 0), 0);
    socklen_t Len = sizeof A;
    ::getsockname(L, reinterpret_cast<sockaddr*>(&A), &Len);
    const int Port = ntohs(A.sin_port);
    std::vector<std::unique_ptr<TSocketProtocol>> Fill;
    int Rc = 0;
    for (int i = 0; i < 8 && Rc == 0; ++i) {
        auto P = std::make_unique<TSocketProtocol>();
        P->SetConnectTimeout(150);
        Rc = P->Connect("127.0.0.1", Port);
        Fill.push_back(std::move(P));
    }
    EXPECT_EQ(Rc, 601);
    EXPECT_FALSE(Fill.back()->Connected());
    ::close(L);
}

TEST_F(SocketProtocolTest, ByteExactFrameAndAnswer) {
    TLogCapture Log;
    std::string Received;
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        Received = Peer.ReadFrame();
        Peer.WriteByte(ACK);
        // The answer arrives in two pieces.
        const std::string F = Frame("\xFF\x01\x00\x10\x20"s);
        Peer.Write(F.substr(0, 3));
        std::this_thread::yield();
        Peer.Write(F.substr(3));
        EXPECT_EQ(Peer.ReadByte(), ACK);
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\xFF\x01", "", 0, true, true), 0);
    Register.Join();
    EXPECT_EQ(Received, "\x02\x06\xFF\x01\x1E\x00\x00\x00\xE6"s);
    EXPECT_EQ(Response, "\x00\x10\x20"s);
    const auto Lines = Log.Lines();
    ASSERT_GE(Lines.size(), 3u);
    EXPECT_EQ(Lines[0], "TSocketProtocol I -> 05 ");
    EXPECT_EQ(Lines[2], "TSocketProtocol I -> 02 06 FF 01 1E 00 00 00 E6 ");
}

TEST_F(SocketProtocolTest, PeerClosingMidFrame) {
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        Peer.ReadFrame();
        Peer.WriteByte(ACK);
        Peer.Write("\x02\x10\x10\x00"s); // 16 bytes announced, 2 sent
        Peer.Close();
    });
    std::string Response;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 1007);
    Register.Join();
    // The close is seen at once, not after the receive time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(450));
    // A connection that is gone: sends fail without a signal.
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true), 1007);
    std::uint8_t B;
    EXPECT_EQ(Protocol.ReceiveByte(B), 606);
    EXPECT_EQ(Protocol.SendBytes("\x05"), 605);
    EXPECT_EQ(Protocol.Disconnect(), 0);
    EXPECT_FALSE(Protocol.Connected());
}

TEST_F(SocketProtocolTest, ForeignAnswerIsRefusedNotDecoded) {
    int Reply = 0;
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        Peer.ReadFrame();
        Peer.WriteByte(ACK);
        Peer.Write(Frame("\xFF\x02\x00\x07"s)); // same first byte, another command
        Reply = Peer.ReadByte();
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\xFF\x01", "", 0, true, true), 1014);
    Register.Join();
    EXPECT_EQ(Reply, ACK);
    EXPECT_TRUE(Response.empty());
    EXPECT_EQ(Protocol.LastReason(), u"answer to command FF02, expected FF01");
}

TEST_F(SocketProtocolTest, StalledAnswersEndByTheCommandsDeadline) {
    // As on the serial line, with short limits: 100 ms per control byte and
    // a 300 ms receive time-out give a 500 ms deadline. Before, every receive
    // waited the whole receive time-out anew (90 s for a silent register at
    // the real limits) and a trickle restarted it with every byte.
    Protocol.SetControlTimeout(100);
    Protocol.SetReceiveTimeout(300);
    const int Budget = 300 + DeadlineControlWaits * 100;
    for (TStall Stall : {TStall::Silent, TStall::Trickle, TStall::HalfFrame}) {
        SCOPED_TRACE(StallName(Stall));
        std::atomic<bool> Done{false};
        TScript Register([&] { PlayStall(Peer, Stall, Done, 100); });
        std::string Response;
        const auto Start = std::chrono::steady_clock::now();
        const int Rc = Protocol.RunCommand(Response, kPwd, "\x10", "", 0, true, true);
        const auto Spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - Start)
                               .count();
        Done = true;
        Register.Join();
        EXPECT_NE(Rc, 0);
        EXPECT_LT(Spent, Budget + 2000) << "the deadline is " << Budget << " ms";
        // What is left of the stalled answer must not reach the next case.
        Protocol.Disconnect();
        ASSERT_EQ(Protocol.Connect("127.0.0.1", Peer.Port), 0);
        ASSERT_TRUE(Peer.Accept());
    }
}

TEST_F(SocketProtocolTest, SlowCommandIsWaitedForBeyondTheReceiveTimeOut) {
    // The command's own time-out wins when it is the longer: 400 ms of work
    // against a 150 ms receive time-out.
    Protocol.SetReceiveTimeout(150);
    TScript Register([&] {
        EXPECT_EQ(Peer.ReadByte(), ENQ);
        Peer.WriteByte(NAK);
        Peer.ReadFrame();
        Peer.WriteByte(ACK);
        Peer.Read(1, 400); // working
        Peer.Write(Frame("\x41\x00"s));
        Peer.ReadByte();
    });
    std::string Response;
    EXPECT_EQ(Protocol.RunCommand(Response, kPwd, "\x41", "", 2000, true, true), 0);
    EXPECT_EQ(Response, "\x00"s);
}

TEST_F(SocketProtocolTest, ReceiveBytesCollectsPieces) {
    // Pieces with pauses between them are gathered whole (the wait is for
    // all that is missing); when the time-out passes, what came of the block
    // is the result, and only nothing at all fails.
    Protocol.SetReceiveTimeout(5000);
    TScript Register([&] {
        for (const char* Piece : {"ab", "cd", "ef"}) {
            Peer.Write(Piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::string Data;
    EXPECT_EQ(Protocol.ReceiveBytes(6, Data), 0);
    EXPECT_EQ(Data, "abcdef");
    Register.Join();
    Protocol.SetReceiveTimeout(200);
    Peer.Write("gh");
    EXPECT_EQ(Protocol.ReceiveBytes(6, Data), 0);
    EXPECT_EQ(Data, "gh");
    Protocol.SetReceiveTimeout(20);
    std::uint8_t B;
    EXPECT_EQ(Protocol.ReceiveByte(B), 606); // nothing within the time-out
}

TEST(SocketOptions, EveryConnectedSocketHasThemAll) {
    // The options are applied in one place for every platform: no Nagle
    // delay (a one-byte ENQ would otherwise wait for the peer's delayed
    // acknowledgement of the last ACK) and the receive time-out.
    TTcpPeer Peer;
    TSocketStream Stream;
    Stream.SetReceiveTimeout(1500);
    ASSERT_EQ(Stream.Connect(0x7F000001u, static_cast<std::uint16_t>(Peer.Port), 2000), 0);
    const int Fd = static_cast<int>(Stream.Handle());
    int NoDelay = 0;
    socklen_t Len = sizeof NoDelay;
    ASSERT_EQ(::getsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &NoDelay, &Len), 0);
    EXPECT_NE(NoDelay, 0);
    timeval Tv{};
    Len = sizeof Tv;
    ASSERT_EQ(::getsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Tv, &Len), 0);
    EXPECT_EQ(Tv.tv_sec * 1000 + Tv.tv_usec / 1000, 1500);
    EXPECT_EQ(::fcntl(Fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(SocketStream, BytesReadAheadAreServedInOrderAndDroppedOnlyByPurgeOrReconnect) {
    // One receive takes whatever has come; the reads after it are served from it.
    TTcpPeer Peer;
    TSocketStream Stream;
    ASSERT_EQ(Stream.Connect(0x7F000001u, static_cast<std::uint16_t>(Peer.Port), 2000), 0);
    ASSERT_TRUE(Peer.Accept());
    std::uint8_t B = 0;
    std::string Block;
    Peer.Write("\x06\x02\x03"
               "abc"s);
    ASSERT_TRUE(Stream.StreamReadByte(B, 2000));
    EXPECT_EQ(B, ACK);
    ASSERT_TRUE(Stream.StreamReadByte(B, 2000));
    EXPECT_EQ(B, STX);
    // A block asks for more than came: the rest is waited for.
    TScript Late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Peer.Write("de");
    });
    ASSERT_TRUE(Stream.StreamReadBlock(6, Block, TDeadline::After(2000)));
    Late.Join();
    EXPECT_EQ(Block, "\x03"
                     "abcde"s);

    // A purge drops what was read ahead as well as what waits in the socket.
    Peer.Write("xyz");
    ASSERT_TRUE(Stream.StreamReadByte(B, 2000));
    EXPECT_EQ(B, 'x');
    Stream.StreamPurge();
    EXPECT_FALSE(Stream.StreamReadByte(B, 50));
    EXPECT_FALSE(Stream.StreamFailed()); // silence, not a failure

    // A new connection never serves what the last one read ahead.
    Peer.Write("old");
    ASSERT_TRUE(Stream.StreamReadByte(B, 2000));
    EXPECT_EQ(B, 'o');
    TTcpPeer Next;
    ASSERT_EQ(Stream.Connect(0x7F000001u, static_cast<std::uint16_t>(Next.Port), 2000), 0);
    ASSERT_TRUE(Next.Accept());
    Next.Write("n");
    ASSERT_TRUE(Stream.StreamReadByte(B, 2000));
    EXPECT_EQ(B, 'n');

    // Bytes that came before the peer closed are all served before the close is told.
    Next.Write("tail");
    Next.Close();
    ASSERT_TRUE(Stream.StreamReadBlock(4, Block, TDeadline::After(2000)));
    EXPECT_EQ(Block, "tail");
    EXPECT_FALSE(Stream.StreamReadByte(B, 2000));
    EXPECT_TRUE(Stream.StreamFailed());
}
