// The soak: two registers, one on a pseudo-terminal and one on TCP, driven
// at once from two threads through two driver objects, mostly receipts and a
// cash-in every tenth operation. Afterwards every operation that succeeded
// is in the register exactly once (the FN's documents, the cash-in count),
// and the process holds no more file descriptors than before. The resident
// size at the start and the end is printed. The registers are emulator
// processes, so that the process's memory is the driver's alone.
//
// korv-soak [OPERATIONS [EMULATOR]]   operations per register (default 10000);
// the emulator's executable (default $KORVANDER_EMULATOR)

#include "common/Common.Log.h"
#include "common/uText.h"
#include "driver/uDriver.h"
#include "driver/uDriverXml.h"

#include <pugixml.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace korv;

pugi::xml_document Xml(std::u16string_view AText) {
    pugi::xml_document Doc;
    ParseXmlInput(AText, Doc);
    return Doc;
}

const char* const KReceipt =
    "<CheckPackage><Parameters CashierName=\"Иванов\" OperationType=\"1\" TaxationSystem=\"0\"/>"
    "<Positions><FiscalString Name=\"Хлеб\" Quantity=\"1\" PriceWithDiscount=\"10\" "
    "AmountWithDiscount=\"10\" VATRate=\"20\" VATAmount=\"1.67\" CalculationSubject=\"1\" "
    "PaymentMethod=\"4\" Department=\"1\"/></Positions><Payments Cash=\"10\"/></CheckPackage>";

long ResidentKb() {
    long Pages = 0, Resident = 0;
    if (FILE* F = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(F, "%ld %ld", &Pages, &Resident) != 2)
            Resident = 0;
        std::fclose(F);
    }
    return Resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int OpenFds() {
    int N = 0;
    for ([[maybe_unused]] const auto& E : std::filesystem::directory_iterator("/proc/self/fd"))
        ++N;
    return N;
}

/// An emulator process: started with its arguments, its link and control
/// port read from its first lines, stopped at the end.
class TEmulatorProcess {
public:
    TEmulatorProcess(const std::string& AExe, std::vector<std::string> AArgs) {
        int Pipe[2];
        if (::pipe(Pipe) != 0)
            throw std::runtime_error("pipe");
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(Pipe[1], 1);
            ::close(Pipe[0]);
            ::close(Pipe[1]);
            std::vector<char*> Argv{const_cast<char*>(AExe.c_str())};
            for (std::string& A : AArgs)
                Argv.push_back(A.data());
            Argv.push_back(nullptr);
            ::execv(AExe.c_str(), Argv.data());
            ::_exit(127);
        }
        ::close(Pipe[1]);
        FOut = ::fdopen(Pipe[0], "r");
        char Line[512];
        while (FControl == 0 && FOut && std::fgets(Line, sizeof Line, FOut)) {
            unsigned Port = 0;
            if (std::sscanf(Line, "tcp 127.0.0.1:%u", &Port) == 1)
                FTcpPort = static_cast<std::uint16_t>(Port);
            else if (std::sscanf(Line, "control 127.0.0.1:%u", &Port) == 1)
                FControl = static_cast<std::uint16_t>(Port);
        }
        if (FControl == 0)
            throw std::runtime_error("the emulator did not start: " + AExe);
    }
    ~TEmulatorProcess() {
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
        if (FOut)
            std::fclose(FOut);
    }
    std::uint16_t TcpPort() const { return FTcpPort; }

    /// One control line; the answer's last line.
    std::string Control(const std::string& ALine) {
        const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_port = htons(FControl);
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string Answer;
        if (::connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0) {
            const std::string Out = ALine + "\n";
            if (::write(Fd, Out.data(), Out.size()) == static_cast<ssize_t>(Out.size())) {
                char B[4096];
                for (ssize_t N; (N = ::read(Fd, B, sizeof B)) > 0;) {
                    Answer.append(B, static_cast<std::size_t>(N));
                    const std::size_t Last = Answer.rfind('\n', Answer.size() - 2);
                    const std::string Tail =
                        Answer.substr(Last == std::string::npos ? 0 : Last + 1);
                    if (Answer.back() == '\n' &&
                        (Tail.rfind("OK", 0) == 0 || Tail.rfind("ERR", 0) == 0)) {
                        Answer = Tail;
                        break;
                    }
                }
            }
        }
        ::close(Fd);
        return Answer;
    }
    /// A number after AKey in a control answer.
    long long Number(const std::string& ALine, const std::string& AKey) {
        const std::string A = Control(ALine);
        const std::size_t At = A.find(AKey);
        return At == std::string::npos ? -1 : std::atoll(A.c_str() + At + AKey.size());
    }

private:
    pid_t FPid = -1;
    FILE* FOut = nullptr;
    std::uint16_t FTcpPort = 0, FControl = 0;
};

struct TLane {
    const char* Name;
    std::unique_ptr<TEmulatorProcess> Emu;
    std::u16string Settings;
    int Receipts = 0, CashIns = 0, Failures = 0;
    long long DocsBefore = 0;
    long long CashInsBefore = 0;

    long long Docs() { return Emu->Number("FN", "docs="); }
    long long CashInCount() { return Emu->Number("OPERREG 153", "OK "); }

    void Run(int AOperations) {
        TDriver Driver;
        Driver.ConnectEquipment(Xml(Settings));
        Driver.SelectDevice(Driver.DeviceID());
        const pugi::xml_document Input =
            Xml(u"<InputParameters><Parameters CashierName=\"Иванов\"/></InputParameters>");
        if (Driver.GetShiftState() == 0) {
            pugi::xml_document Out;
            Driver.OpenShift(Input, Out);
        }
        DocsBefore = Docs();
        CashInsBefore = CashInCount();
        const pugi::xml_document Receipt = Xml(Utf8ToU16(KReceipt));
        for (int I = 0; I < AOperations; ++I) {
            try {
                if (I % 10 == 9) {
                    Driver.CashInOutcome(Input, 100000);
                    ++CashIns;
                } else {
                    pugi::xml_document Out;
                    Driver.ProcessCheck(false, Receipt, Out, false);
                    ++Receipts;
                }
            } catch (const std::exception& E) {
                ++Failures;
                std::fprintf(stderr, "%s: operation %d failed: %s\n", Name, I,
                             U16ToUtf8(ExceptionMessage(E)).c_str());
            }
        }
        Driver.DisconnectEquipment(Driver.DeviceID());
    }
};

} // namespace

int main(int argc, char** argv) {
    const int Operations = argc > 1 ? std::atoi(argv[1]) : 10000;
    SetLogMode(0);
    const char* Tmp = std::getenv("KORVANDER_TEST_TMP");
    const std::filesystem::path Dir =
        std::filesystem::path(Tmp ? Tmp : "/tmp") / ("soak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir / "com");
    ::setenv("KORVANDER_COM_DIR", (Dir / "com").c_str(), 1);

    const char* Env = std::getenv("KORVANDER_EMULATOR");
    const std::string Exe = argc > 2 ? argv[2] : Env ? Env : "";
    if (Exe.empty()) {
        std::fprintf(stderr, "usage: %s [OPERATIONS [EMULATOR]]\n", argv[0]);
        return 2;
    }
    TLane Serial{"pty"}, Network{"tcp"};
    try {
        Serial.Emu = std::make_unique<TEmulatorProcess>(
            Exe, std::vector<std::string>{"--registered", "--control", "0", "--pty", "--link",
                                          (Dir / "com" / "COM5").string()});
        Network.Emu = std::make_unique<TEmulatorProcess>(
            Exe, std::vector<std::string>{"--registered", "--control", "0", "--tcp", "0"});
    } catch (const std::exception& E) {
        std::fprintf(stderr, "%s\n", E.what());
        return 2;
    }
    Serial.Settings = u"<Parameters><Parameter Name=\"PortNumber\" Value=\"5\"/>"
                      u"<Parameter Name=\"BaudRate\" Value=\"115200\"/>"
                      u"<Parameter Name=\"ConnectPwd\" Value=\"30\"/></Parameters>";
    Network.Settings = u"<Parameters><Parameter Name=\"PortNumber\" Value=\"9999\"/>"
                       u"<Parameter Name=\"IPAddress\" Value=\"127.0.0.1\"/>"
                       u"<Parameter Name=\"IPPort\" Value=\"" +
                       Utf8ToU16(std::to_string(Network.Emu->TcpPort())) +
                       u"\"/><Parameter Name=\"ConnectPwd\" Value=\"30\"/></Parameters>";

    // One round first, so that what the process keeps for good (the log's
    // and the libraries' own state) is counted in the start's figures.
    Serial.Run(1);
    Network.Run(1);
    const long RssStart = ResidentKb();
    const int FdsStart = OpenFds();
    Serial.Receipts = Serial.CashIns = Network.Receipts = Network.CashIns = 0;

    std::thread A([&] { Serial.Run(Operations); });
    std::thread B([&] { Network.Run(Operations); });
    A.join();
    B.join();

    const long RssEnd = ResidentKb();
    const int FdsEnd = OpenFds();
    int Bad = 0;
    for (TLane* L : {&Serial, &Network}) {
        const long long Docs = L->Docs() - L->DocsBefore;
        const long long CashIns = L->CashInCount() - L->CashInsBefore;
        // Each cash-in made no FN document; each receipt one.
        const bool Once = Docs == L->Receipts && CashIns == L->CashIns;
        std::printf(
            "%s: %d receipts, %d cash-ins, %d failures; FN documents %lld, cash-ins counted "
            "%lld: %s\n",
            L->Name, L->Receipts, L->CashIns, L->Failures, Docs, CashIns,
            Once ? "each once" : "MISMATCH");
        Bad += !Once || L->Failures != 0;
    }
    std::printf("resident size: %ld kB at the start, %ld kB at the end\n", RssStart, RssEnd);
    std::printf("file descriptors: %d at the start, %d at the end\n", FdsStart, FdsEnd);
    Bad += FdsEnd > FdsStart;
    Serial.Emu.reset();
    Network.Emu.reset();
    std::filesystem::remove_all(Dir);
    return Bad == 0 ? 0 : 1;
}
