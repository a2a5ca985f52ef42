// The floor under the Windows TCP rows of ./run bench: a bare WinSock client doing what a host
// call does on the wire (connect, N commands, close) with the fewest WinSock calls there are:
// per command one send of ENQ, one blocking receive of NAK, one send of the frame, blocking
// receives of the ACK and the answer (mostly one: they come together), one send of the ACK.
// Each command is the register's state request, so the answers are as long as real ones.
// Under Wine every WinSock call is a round trip to the Wine server, and this program shows
// what that alone costs per host call. First it times one WinSock call that does nothing but
// that round trip (setting an option), then for each NAME=N it times N commands on one
// connection. It prints:
//   WinSockCall <median us> <fastest us> <rounds>
//   <NAME> <median ms> <fastest ms> <rounds>
//
// usage: tcp_floor_win.exe PORT ROUNDS NAME=N...
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class TBareLink {
public:
    explicit TBareLink(int APort) {
        FSocket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in Addr{};
        Addr.sin_family = AF_INET;
        Addr.sin_port = htons(static_cast<u_short>(APort));
        Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FOk = FSocket != INVALID_SOCKET &&
              ::connect(FSocket, reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr) == 0;
        const BOOL On = TRUE;
        const DWORD Ms = 2000;
        FOk = FOk &&
              ::setsockopt(FSocket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&On),
                           sizeof On) == 0 &&
              ::setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&Ms),
                           sizeof Ms) == 0;
    }
    ~TBareLink() {
        if (FSocket != INVALID_SOCKET) {
            ::shutdown(FSocket, SD_BOTH);
            ::closesocket(FSocket);
        }
    }
    TBareLink(const TBareLink&) = delete;
    TBareLink& operator=(const TBareLink&) = delete;

    bool Command(const std::string& AMessage) {
        std::string Frame = "\x02";
        Frame += static_cast<char>(AMessage.size());
        Frame += AMessage;
        char Lrc = static_cast<char>(AMessage.size());
        for (char C : AMessage)
            Lrc ^= C;
        Frame += Lrc;
        std::string Got;
        if (!Send("\x05") || !Read(1, Got) || Got != "\x15" || !Send(Frame) || !Read(3, Got) ||
            Got[0] != '\x06' || Got[1] != '\x02')
            return false;
        const std::size_t Rest = static_cast<unsigned char>(Got[2]) + 1;
        return Read(Rest, Got) && Send("\x06");
    }
    bool Ok() const { return FOk; }

private:
    bool Send(const std::string& AData) {
        return ::send(FSocket, AData.data(), static_cast<int>(AData.size()), 0) ==
               static_cast<int>(AData.size());
    }
    // ACount bytes, served from what one receive brought where it brought more.
    bool Read(std::size_t ACount, std::string& AOut) {
        AOut.clear();
        while (AOut.size() < ACount) {
            if (FAt == FEnd) {
                const int n = ::recv(FSocket, FBuf, sizeof FBuf, 0);
                if (n <= 0)
                    return false;
                FAt = 0;
                FEnd = static_cast<std::size_t>(n);
            }
            const std::size_t Take = std::min(ACount - AOut.size(), FEnd - FAt);
            AOut.append(FBuf + FAt, Take);
            FAt += Take;
        }
        return true;
    }

    SOCKET FSocket = INVALID_SOCKET;
    bool FOk = false;
    char FBuf[1024];
    std::size_t FAt = 0;
    std::size_t FEnd = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::printf("usage: tcp_floor_win.exe PORT ROUNDS NAME=N...\n");
        return 2;
    }
    WSADATA Data;
    if (::WSAStartup(MAKEWORD(1, 1), &Data) != 0)
        return 1;
    const int Port = std::atoi(argv[1]);
    const int Rounds = std::max(1, std::atoi(argv[2]));
    // The register's state request with the password 30.
    const std::string State("\x11\x1E\x00\x00\x00", 5);
    {
        // Batches of option settings on an unconnected socket, alternating two values.
        const SOCKET S = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        constexpr int KBatch = 2000;
        std::vector<double> Us;
        for (int i = 0; i < Rounds; ++i) {
            const auto Start = std::chrono::steady_clock::now();
            for (int k = 0; k < KBatch; ++k) {
                const DWORD Ms = 1000 + (k & 1);
                ::setsockopt(S, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&Ms),
                             sizeof Ms);
            }
            const auto End = std::chrono::steady_clock::now();
            Us.push_back(std::chrono::duration<double, std::micro>(End - Start).count() / KBatch);
        }
        ::closesocket(S);
        std::sort(Us.begin(), Us.end());
        std::printf("WinSockCall %.2f %.2f %d\n", Us[Us.size() / 2], Us.front(), Rounds);
    }
    for (int a = 3; a < argc; ++a) {
        const std::string Row = argv[a];
        const std::size_t Eq = Row.find('=');
        const int Commands = Eq == std::string::npos ? 0 : std::atoi(Row.c_str() + Eq + 1);
        const std::string Name = Row.substr(0, Eq);
        std::vector<double> Ms;
        for (int i = 0; i < Rounds; ++i) {
            const auto Start = std::chrono::steady_clock::now();
            bool Ok;
            {
                TBareLink Link(Port);
                Ok = Link.Ok();
                for (int c = 0; c < Commands && Ok; ++c)
                    Ok = Link.Command(State);
            }
            const auto End = std::chrono::steady_clock::now();
            if (!Ok) {
                std::printf("%s failed\n", Name.c_str());
                return 1;
            }
            Ms.push_back(std::chrono::duration<double, std::milli>(End - Start).count());
        }
        std::sort(Ms.begin(), Ms.end());
        std::printf("%s %.3f %.3f %d\n", Name.c_str(), Ms[Ms.size() / 2], Ms.front(), Rounds);
        std::fflush(stdout);
    }
    ::WSACleanup();
    return 0;
}
