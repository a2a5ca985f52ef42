// A whole register command over the real TCP link: enquiry, frame, its
// acknowledgement, the answer frame and ours, against the emulated register
// served on 127.0.0.1 by a thread of this process. Measured at the frame
// protocol (TSocketProtocol), through the command layer (TSocketDevice), and
// from the host's side: a driver method called through the entry tables on a
// register connected with the host's settings.

#include "BenchAlloc.h"
#include "BenchHost.h"
#include "BenchXml.h"

#include "Emulator.h"
#include "common/Common.Log.h"
#include "common/uText.h"
#include "device/uDeviceLinks.h"
#include "transport/uSocketProtocol.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

using namespace korv;
using namespace std::string_literals;

const bool XmlCounted = korvbench::CountXmlAllocations();
const korvbench::TScratchCleanup Cleanup;

/// The register with its TCP link started, or null with the reason in AState.
std::unique_ptr<emu::Emulator> StartRegister(benchmark::State& AState) {
    korvbench::ScratchFolder();
    auto Em = std::make_unique<emu::Emulator>(emu::Options{});
    std::string Err;
    if (!Em->StartTcp(0, &Err)) {
        AState.SkipWithError(("the emulator did not start: " + Err).c_str());
        return nullptr;
    }
    return Em;
}

/// Runs AWork once and names the commands the register received meanwhile
/// ("10 FF01"), for the label of a benchmark.
template <class F> std::string CommandsOf(emu::Emulator& AEm, F&& AWork) {
    const std::size_t Before = AEm.Reg().Log().size();
    AWork();
    const auto Log = AEm.Reg().Log();
    std::string Codes;
    for (std::size_t I = Before; I < Log.size(); ++I) {
        const std::uint16_t C = Log[I].code;
        char Buf[8];
        std::snprintf(Buf, sizeof Buf, C > 0xFF ? "%04X" : "%02X", C);
        if (!Codes.empty())
            Codes += ' ';
        Codes += Buf;
    }
    return Codes;
}

// Short state query (0x10) with the connection password; the argument is the
// log mode (0 off, 3 every byte written to the log file).
void BM_SocketRoundTrip(benchmark::State& AState) {
    auto Em = StartRegister(AState);
    if (!Em)
        return;
    TSocketProtocol Link;
    Link.SetReceiveTimeout(2000);
    if (Link.Connect("127.0.0.1", Em->TcpPort()) != 0) {
        AState.SkipWithError("no connection to the emulator");
        return;
    }
    SetLogMode(static_cast<int>(AState.range(0)));
    const std::string Pwd = "\x1E\0\0\0"s;
    std::string Response;
    korvbench::THeapMeter Heap;
    for (auto _ : AState) {
        const int Rc = Link.RunCommand(Response, Pwd, "\x10", "", 0, true, true);
        if (Rc != 0 || Response.empty() || Response[0] != '\0') {
            AState.SkipWithError("the command failed");
            break;
        }
    }
    Heap.Report(AState);
    SetLogMode(0);
    Link.Disconnect();
}
BENCHMARK(BM_SocketRoundTrip)->ArgName("log_mode")->Arg(0)->Arg(3)->UseRealTime();

// One line of the log in the day's file (every level written), as the links
// write one for each frame.
void BM_LogLine(benchmark::State& AState) {
    korvbench::ScratchFolder();
    SetLogMode(3);
    for (auto _ : AState)
        WriteLog("TComProtocol", "-> 02 05 10 1E 00 00 00 0B", TLogLevel::Debug);
    SetLogMode(0);
}
BENCHMARK(BM_LogLine);

// The same query through the command layer, answer decoded; and the FN status
// (FF 01), a two-byte command with a longer answer.
void BM_DeviceCommand(benchmark::State& AState) {
    auto Em = StartRegister(AState);
    if (!Em)
        return;
    TSocketDevice Device;
    Device.SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword));
    if (Device.Enable("127.0.0.1", Em->TcpPort()) != 0) {
        AState.SkipWithError("no connection to the emulator");
        return;
    }
    const bool FNStatus = AState.range(0) == 1;
    std::string Flags;
    int Mode = 0, Submode = 0;
    TFNCurrentStatus Status;
    const auto Run = [&] {
        if (FNStatus)
            Device.GetFNCurrentStatus(Status);
        else
            Device.GetECRState(Flags, Mode, Submode);
    };
    try {
        AState.SetLabel("sends " + CommandsOf(*Em, Run));
        korvbench::THeapMeter Heap;
        for (auto _ : AState)
            Run();
        Heap.Report(AState);
    } catch (const std::exception& E) {
        AState.SkipWithError(E.what());
    }
}
BENCHMARK(BM_DeviceCommand)->ArgName("fn")->Arg(0)->Arg(1)->UseRealTime();

// Host calls on a connected register: GetDateTime (one clock query, a short
// text back) and GetCurrentStatus (several queries, an XML document back).
void BM_HostCall(benchmark::State& AState) {
    auto Em = StartRegister(AState);
    if (!Em)
        return;
    korvbench::THostObject Host;
    if (!Host.Record) {
        AState.SkipWithError("no driver object");
        return;
    }
    const std::u16string Settings =
        u"<Parameters><Parameter Name=\"PortNumber\" Value=\"9999\"/>"
        u"<Parameter Name=\"IPAddress\" Value=\"127.0.0.1\"/>"
        u"<Parameter Name=\"IPPort\" Value=\"" +
        Utf8ToU16(std::to_string(Em->TcpPort())) +
        u"\"/><Parameter Name=\"ConnectPwd\" Value=\"30\"/>"
        u"<Parameter Name=\"LogEnabled\" Value=\"false\"/></Parameters>";
    V8Variant Ret{};
    V8Variant Connect[3] = {V8Variant{}, Host.Text(u""), Host.Text(Settings)};
    if (!Host.CallAsFunc(Host.FindMethod(u"ConnectEquipment"), &Ret, Connect, 3) ||
        Ret.vt != VTYPE_BOOL || !Ret.bVal) {
        AState.SkipWithError("ConnectEquipment failed");
        return;
    }
    const std::u16string DeviceID = V8AsWideString(&Connect[0]);
    for (auto& V : Connect)
        korvbench::ReleaseValue(Host.Memory, V);

    const bool Status = AState.range(0) == 1;
    const long Method = Host.FindMethod(Status ? u"GetCurrentStatus" : u"GetDateTime");
    const long Count = Status ? 3 : 2;
    const auto Call = [&] {
        V8Variant Params[3] = {Host.Text(DeviceID), V8Variant{}, V8Variant{}};
        const bool Ok = Host.CallAsFunc(Method, &Ret, Params, Count) && Ret.vt == VTYPE_BOOL &&
                        Ret.bVal && Params[Count - 1].vt == VTYPE_PWSTR;
        for (auto& V : Params)
            korvbench::ReleaseValue(Host.Memory, V);
        return Ok;
    };
    bool Ok = true;
    const std::string Sent = CommandsOf(*Em, [&] { Ok = Call(); });
    AState.SetLabel((Status ? "GetCurrentStatus sends " : "GetDateTime sends ") + Sent);
    korvbench::THeapMeter Heap;
    korvbench::THostMeter HostHeap(Host.Memory);
    for (auto _ : AState) {
        if (!Ok || !Call()) {
            AState.SkipWithError("the call failed");
            break;
        }
    }
    Heap.Report(AState);
    HostHeap.Report(AState);

    V8Variant Disconnect[1] = {Host.Text(DeviceID)};
    Host.CallAsFunc(Host.FindMethod(u"DisconnectEquipment"), &Ret, Disconnect, 1);
    korvbench::ReleaseValue(Host.Memory, Disconnect[0]);
}
BENCHMARK(BM_HostCall)->ArgName("status")->Arg(0)->Arg(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
