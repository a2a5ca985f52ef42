// A whole register command over the real TCP link: enquiry, frame, its
// acknowledgement, the answer frame and ours, against the emulated register
// served on 127.0.0.1 by a thread of this process. Measured at the frame
// protocol (TSocketProtocol) and through the command layer (TSocketDevice).

#include "BenchAlloc.h"
#include "BenchTmp.h"

#include "Emulator.h"
#include "common/Common.Log.h"
#include "device/uDeviceLinks.h"
#include "transport/uSocketProtocol.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using namespace korv;
using namespace std::string_literals;

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

// Short state query (0x10) with the connection password; the argument is the
// log mode (0 off, 3 every byte written to the log file).
void BM_SocketRoundTrip(benchmark::State& AState) {
    auto Em = StartRegister(AState);
    if (!Em)
        return;
    SetLogMode(static_cast<int>(AState.range(0)));
    TSocketProtocol Link;
    Link.SetReceiveTimeout(2000);
    if (Link.Connect("127.0.0.1", Em->TcpPort()) != 0) {
        AState.SkipWithError("no connection to the emulator");
        return;
    }
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
    korvbench::THeapMeter Heap;
    try {
        for (auto _ : AState) {
            if (FNStatus)
                Device.GetFNCurrentStatus(Status);
            else
                Device.GetECRState(Flags, Mode, Submode);
        }
    } catch (const std::exception& E) {
        AState.SkipWithError(E.what());
    }
    Heap.Report(AState);
    AState.SetLabel(FNStatus ? "FN status (FF 01)" : "short state (0x10)");
}
BENCHMARK(BM_DeviceCommand)->ArgName("fn")->Arg(0)->Arg(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
