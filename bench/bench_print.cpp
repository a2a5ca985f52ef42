// A 100-line text document printed through the driver on a register reached
// over a pseudo-terminal at 115200 bit/s, the emulated register modelling the
// time of every byte on the line and the speed of its printer. Compared with
// a bare client that sends the same command frames over the same line and
// then waits for the printer by asking its state back to back:
//   wall/floor  the driver's time over the bare client's,
//   wall/wire   the driver's time over the time its bytes need on the line.

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

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace korv;
using Clock = std::chrono::steady_clock;

const korvbench::TScratchCleanup Cleanup;

constexpr int KBaud = 115200;
constexpr int KPrintMsPerLine = 20; // a thermal printer of about 50 lines a second
constexpr int KPort = 9;
constexpr int KLines = 100;

pugi::xml_document Xml(const std::u16string& AText) {
    pugi::xml_document Doc;
    ParseXmlInput(AText, Doc);
    return Doc;
}

/// The document: 100 lines of 40 characters.
pugi::xml_document Document() {
    std::u16string Text = u"<Document><Positions>";
    for (int I = 0; I < KLines; ++I) {
        std::u16string Line = u"Строка " + IntToU16(I + 1) + u" текстового документа";
        Line.resize(40, u'.');
        Text += u"<TextString Text=\"" + Line + u"\"/>";
    }
    return Xml(Text + u"</Positions></Document>");
}

double Seconds(Clock::duration ADuration) {
    return std::chrono::duration<double>(ADuration).count();
}

/// Sends each logged request as it was sent (password included) and then asks
/// the register's state until the printer is idle.
double Replay(const std::vector<emu::LogEntry>& ARequests) {
    TComDevice Device;
    Device.SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword));
    if (int Rc = Device.Enable(KPort, KBaud); Rc != 0) {
        std::fprintf(stderr, "enable %d\n", Rc);
        return -1;
    }
    const Clock::time_point Start = Clock::now();
    for (const emu::LogEntry& E : ARequests) {
        const std::size_t CodeLength = E.code > 0xFF ? 2 : 1;
        const std::string_view Request(E.request);
        if (int Rc = Device.RunCommand(Request.substr(0, CodeLength), Request.substr(CodeLength), 0,
                                       false, true);
            Rc != 0) {
            std::fprintf(stderr, "command %X: %d\n", E.code, Rc);
            return -1;
        }
    }
    std::string Flags;
    int Mode = 0, Submode = 0;
    do
        Device.GetECRState(Flags, Mode, Submode);
    while (Submode >= 4);
    const double Elapsed = Seconds(Clock::now() - Start);
    Device.Disable();
    return Elapsed;
}

void BM_TextDocumentOverPty(benchmark::State& AState) {
    const auto Ports = korvbench::ScratchFolder() / "no-ports";
    emu::Options Options;
    Options.baud = KBaud;
    Options.printMsPerLine = KPrintMsPerLine;
    emu::Emulator Em(Options);
    std::string Err;
    if (!Em.StartPty((Ports / ("COM" + std::to_string(KPort))).string(), &Err)) {
        AState.SkipWithError(("the emulator did not start: " + Err).c_str());
        return;
    }
    const pugi::xml_document Doc = Document();
    TDriver Driver;
    std::vector<emu::LogEntry> Sent;
    double Wall = 0, WireSeconds = 0;
    try {
        Driver.ConnectEquipment(
            Xml(u"<Parameters><Parameter Name=\"PortNumber\" Value=\"" + IntToU16(KPort) +
                u"\"/><Parameter Name=\"BaudRate\" Value=\"" + IntToU16(KBaud) +
                u"\"/><Parameter Name=\"ConnectPwd\" Value=\"30\"/></Parameters>"));
        const std::u16string ID = Driver.DeviceID();
        Driver.SelectDevice(ID);
        for (auto _ : AState) {
            const std::size_t Mark = Em.Reg().Log().size();
            const Clock::time_point Start = Clock::now();
            Driver.PrintTextDocument(Doc);
            Wall += Seconds(Clock::now() - Start);
            const auto Log = Em.Reg().Log();
            Sent.clear();
            std::size_t Bytes = 0;
            for (std::size_t I = Mark; I < Log.size(); ++I) {
                // Each exchange: ENQ, its answer, the frame (STX, LEN, LRC), ACK,
                // the answer frame and its ACK.
                Bytes += Log[I].request.size() + Log[I].answer.size() + 10;
                if (Log[I].code != 0x10)
                    Sent.push_back(Log[I]);
            }
            WireSeconds = static_cast<double>(Bytes) * 10 / KBaud;
        }
        Driver.DisconnectEquipment(ID);
    } catch (const std::exception& E) {
        AState.SkipWithError(E.what());
        return;
    }
    const double Floor = Replay(Sent);
    if (Floor <= 0) {
        AState.SkipWithError("the bare client failed");
        return;
    }
    const double PerDocument = Wall / static_cast<double>(AState.iterations());
    AState.counters["wall_s"] = PerDocument;
    AState.counters["floor_s"] = Floor;
    AState.counters["wire_s"] = WireSeconds;
    AState.counters["wall/floor"] = PerDocument / Floor;
    AState.counters["wall/wire"] = PerDocument / WireSeconds;
    AState.SetLabel(std::to_string(Sent.size()) + " commands besides the state queries");
}
BENCHMARK(BM_TextDocumentOverPty)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
