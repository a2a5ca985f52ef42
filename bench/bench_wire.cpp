// Driver operations on a register reached over a pseudo-terminal at 115200
// bit/s, the emulated register modelling the time of every byte it sends (and,
// for the text document, the speed of its printer). Every row is set beside:
//   floor  a bare client that sends the same command frames over the same
//          line (where the printer is modelled, it then waits for the printer
//          by asking the register's state back to back);
//   wire   the time the row's bytes, both ways, need on the line.
// Counters: the bytes each way, wall/floor, wall/wire, the driver's own
// processor time (its calling thread) as a share of the wire time, beside the
// bare client's (floor_cpu/wire_%), and how often per command that thread
// slept in the system (each sleep costs a wake-up); receipts also give their
// wall time per item.

#include "BenchTmp.h"

#include "EmuCore.h"
#include "Emulator.h"
#include "common/Common.Log.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "device/uDeviceLinks.h"
#include "driver/uDriver.h"
#include "driver/uDriverXml.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace korv;
using Clock = std::chrono::steady_clock;

const korvbench::TScratchCleanup Cleanup;

constexpr int KBaud = 115200;
constexpr int KPrintMsPerLine = 20; // a thermal printer of about 50 lines a second
constexpr int KPort = 9;
constexpr int KTextLines = 100;

enum class TOperation { Connect, Status, DataKKT, Receipt, ZReport, TextDocument };

pugi::xml_document Xml(const std::u16string& AText) {
    pugi::xml_document Doc;
    ParseXmlInput(AText, Doc);
    return Doc;
}

pugi::xml_document Input() {
    return Xml(u"<InputParameters><Parameters CashierName=\"Иванов\"/></InputParameters>");
}

/// 100 lines of 40 characters.
pugi::xml_document TextDocument() {
    std::u16string Text = u"<Document><Positions>";
    for (int I = 0; I < KTextLines; ++I) {
        std::u16string Line = u"Строка " + IntToU16(I + 1) + u" текстового документа";
        Line.resize(40, u'.');
        Text += u"<TextString Text=\"" + Line + u"\"/>";
    }
    return Xml(Text + u"</Positions></Document>");
}

/// A sale of AItems items of 1.50 each, paid in cash.
pugi::xml_document Receipt(int AItems) {
    std::u16string Text = u"<CheckPackage><Parameters CashierName=\"Иванов\" OperationType=\"1\" "
                          u"TaxationSystem=\"0\"/><Positions>";
    for (int I = 0; I < AItems; ++I)
        Text += u"<FiscalString Name=\"Товар " + IntToU16(I + 1) +
                u"\" Quantity=\"1\" PriceWithDiscount=\"1.5\" AmountWithDiscount=\"1.5\" "
                u"VATRate=\"20\" VATAmount=\"0.25\" CalculationSubject=\"1\" "
                u"PaymentMethod=\"4\" Department=\"1\"/>";
    const std::u16string Total = IntToU16(AItems * 3 / 2) + (AItems % 2 ? u".5" : u"");
    return Xml(Text + u"</Positions><Payments Cash=\"" + Total + u"\"/></CheckPackage>");
}

bool ShiftOpen(TDriver& ADriver) {
    pugi::xml_document Out;
    ADriver.GetCurrentStatus(Input(), Out);
    return std::string(
               Out.child("OutputParameters").child("Parameters").attribute("ShiftState").value()) ==
           "2";
}

/// Untimed, before every run and before the replay: the state the run needs.
void Prepare(TDriver& ADriver, TOperation AOperation) {
    if (AOperation != TOperation::Receipt && AOperation != TOperation::ZReport)
        return;
    if (!ShiftOpen(ADriver)) {
        pugi::xml_document Out;
        ADriver.OpenShift(Input(), Out);
    }
}

double Seconds(Clock::duration ADuration) {
    return std::chrono::duration<double>(ADuration).count();
}

double ThreadCpuSeconds() {
    rusage Usage{};
    ::getrusage(RUSAGE_THREAD, &Usage);
    const auto Secs = [](const timeval& T) {
        return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_usec) * 1e-6;
    };
    return Secs(Usage.ru_utime) + Secs(Usage.ru_stime);
}

/// How often the calling thread went to sleep in the system so far: each
/// wait for the line that blocks is one, and each costs a wake-up.
double ThreadSleeps() {
    rusage Usage{};
    ::getrusage(RUSAGE_THREAD, &Usage);
    return static_cast<double>(Usage.ru_nvcsw);
}

/// Sends each logged request as it was sent (password included); with the
/// printer modelled, the driver's state queries are left out and the client
/// asks the state back to back until the printer is idle instead.
double Replay(const std::vector<emu::LogEntry>& ARequests, bool APrinterModelled, double& ACpu) {
    TComDevice Device;
    Device.SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword));
    if (int Rc = Device.Enable(KPort, KBaud); Rc != 0) {
        std::fprintf(stderr, "enable %d\n", Rc);
        return -1;
    }
    const double CpuStart = ThreadCpuSeconds();
    const Clock::time_point Start = Clock::now();
    for (const emu::LogEntry& E : ARequests) {
        if (APrinterModelled && E.code == 0x10)
            continue;
        const std::size_t CodeLength = E.code > 0xFF ? 2 : 1;
        const std::string_view Request(E.request);
        if (int Rc = Device.RunCommand(Request.substr(0, CodeLength), Request.substr(CodeLength), 0,
                                       false, true);
            Rc != 0) {
            std::fprintf(stderr, "command %X: %d\n", E.code, Rc);
            return -1;
        }
    }
    if (APrinterModelled) {
        std::string Flags;
        int Mode = 0, Submode = 0;
        do
            Device.GetECRState(Flags, Mode, Submode);
        while (Submode >= 4);
    }
    const double Elapsed = Seconds(Clock::now() - Start);
    ACpu = ThreadCpuSeconds() - CpuStart;
    Device.Disable();
    return Elapsed;
}

void BM_OverPty(benchmark::State& AState, TOperation AOperation, int AItems) {
    const bool Printer = AOperation == TOperation::TextDocument;
    const auto Ports = korvbench::ScratchFolder() / "no-ports";
    emu::Options Options;
    Options.baud = KBaud;
    Options.registered = true;
    Options.printMsPerLine = Printer ? KPrintMsPerLine : 0;
    emu::Emulator Em(Options);
    std::string Err;
    if (!Em.StartPty((Ports / ("COM" + std::to_string(KPort))).string(), &Err)) {
        AState.SkipWithError(("the emulator did not start: " + Err).c_str());
        return;
    }
    const pugi::xml_document Doc = Printer                             ? TextDocument()
                                   : AOperation == TOperation::Receipt ? Receipt(AItems)
                                                                       : pugi::xml_document();
    TDriver Driver;
    std::vector<emu::LogEntry> Sent;
    double Wall = 0, Cpu = 0, Sleeps = 0;
    std::size_t BytesOut = 0, BytesIn = 0;
    try {
        const pugi::xml_document Settings =
            Xml(u"<Parameters><Parameter Name=\"PortNumber\" Value=\"" + IntToU16(KPort) +
                u"\"/><Parameter Name=\"BaudRate\" Value=\"" + IntToU16(KBaud) +
                u"\"/><Parameter Name=\"ConnectPwd\" Value=\"30\"/></Parameters>");
        Driver.ConnectEquipment(Settings);
        std::u16string ID = Driver.DeviceID();
        Driver.SelectDevice(ID);
        for (auto _ : AState) {
            AState.PauseTiming();
            Prepare(Driver, AOperation);
            // The connection made before the loop (or by the last run) goes first.
            if (AOperation == TOperation::Connect)
                Driver.DisconnectEquipment(ID);
            AState.ResumeTiming();
            const std::size_t Mark = Em.Reg().Log().size();
            const double CpuStart = ThreadCpuSeconds();
            const double SleepsStart = ThreadSleeps();
            const Clock::time_point Start = Clock::now();
            pugi::xml_document Out;
            switch (AOperation) {
            case TOperation::Connect:
                Driver.ConnectEquipment(Settings);
                ID = Driver.DeviceID();
                Driver.SelectDevice(ID);
                break;
            case TOperation::Status:
                Driver.GetCurrentStatus(Input(), Out);
                break;
            case TOperation::DataKKT:
                Driver.GetDataKKT(Out);
                break;
            case TOperation::Receipt:
                Driver.ProcessCheck(false, Doc, Out, false);
                break;
            case TOperation::ZReport:
                Driver.CloseShift(Input(), Out);
                break;
            case TOperation::TextDocument:
                Driver.PrintTextDocument(Doc);
                break;
            }
            Wall += Seconds(Clock::now() - Start);
            Cpu += ThreadCpuSeconds() - CpuStart;
            Sleeps += ThreadSleeps() - SleepsStart;
            const auto Log = Em.Reg().Log();
            Sent.assign(Log.begin() + static_cast<std::ptrdiff_t>(Mark), Log.end());
            // Each exchange: ENQ, the frame (STX, LEN, LRC) and the ACK of the answer
            // one way; the answer to the ENQ, the ACK of the frame and the answer frame
            // the other.
            BytesOut = BytesIn = 0;
            for (const emu::LogEntry& E : Sent) {
                BytesOut += E.request.size() + 5;
                BytesIn += E.answer.size() + 5;
            }
        }
        Prepare(Driver, AOperation);
        Driver.DisconnectEquipment(ID);
    } catch (const std::exception& E) {
        AState.SkipWithError(E.what());
        return;
    }
    double FloorCpu = 0;
    const double Floor = Replay(Sent, Printer, FloorCpu);
    if (Floor <= 0) {
        AState.SkipWithError("the bare client failed");
        return;
    }
    const double Runs = static_cast<double>(AState.iterations());
    const double PerRun = Wall / Runs;
    const double Wire = static_cast<double>(BytesOut + BytesIn) * 10 / KBaud;
    AState.counters["bytes_out"] = static_cast<double>(BytesOut);
    AState.counters["bytes_in"] = static_cast<double>(BytesIn);
    AState.counters["wire_s"] = Wire;
    AState.counters["wall_s"] = PerRun;
    AState.counters["floor_s"] = Floor;
    AState.counters["wall/floor"] = PerRun / Floor;
    AState.counters["wall/wire"] = PerRun / Wire;
    AState.counters["cpu/wire_%"] = 100 * Cpu / Runs / Wire;
    // The bare client's share: what the link's own waits cost without the driver.
    AState.counters["floor_cpu/wire_%"] = 100 * FloorCpu / Wire;
    if (!Sent.empty())
        AState.counters["sleeps/cmd"] = Sleeps / Runs / static_cast<double>(Sent.size());
    if (AItems > 0)
        AState.counters["ms/item"] = 1000 * PerRun / AItems;
    AState.SetLabel(std::to_string(Sent.size()) + " commands");
}

// The rows, each run as many times as its wire time allows.
const bool KRegistered = [] {
    struct {
        const char* Name;
        TOperation Operation;
        int Items;
        int Runs;
    } const Rows[] = {
        {"ConnectEquipment", TOperation::Connect, 0, 2},
        {"GetCurrentStatus", TOperation::Status, 0, 5},
        {"GetDataKKT", TOperation::DataKKT, 0, 3},
        {"Receipt10", TOperation::Receipt, 10, 3},
        {"Receipt100", TOperation::Receipt, 100, 2},
        {"Receipt500", TOperation::Receipt, 500, 1},
        {"ZReport", TOperation::ZReport, 0, 3},
        {"TextDocument", TOperation::TextDocument, 0, 3},
    };
    for (const auto& R : Rows)
        benchmark::RegisterBenchmark((std::string("BM_OverPty/") + R.Name).c_str(), BM_OverPty,
                                     R.Operation, R.Items)
            ->Iterations(R.Runs)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace

BENCHMARK_MAIN();
