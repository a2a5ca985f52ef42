// The host's call path: a function call (GetDescription) made the way the
// host makes it, through the raw slots of the add-in's entry tables, with a
// host memory manager that counts what the add-in allocates from it.

#include "BenchAlloc.h"
#include "BenchHost.h"
#include "BenchXml.h"

#include <benchmark/benchmark.h>

namespace {

using namespace korv;
using namespace korvbench;

const bool XmlCounted = korvbench::CountXmlAllocations();

const korvbench::TScratchCleanup Cleanup;

// AState.range(0): 0 the call alone (method number known); 1 the host's whole
// sequence for a call by name (FindMethod, GetNParams, HasRetVal, CallAsFunc).
void BM_CallGetDescription(benchmark::State& AState) {
    THostObject Host;
    if (!Host.Record) {
        AState.SkipWithError("no driver object");
        return;
    }
    const bool ByName = AState.range(0) == 1;
    const long Method = Host.FindMethod(u"ПолучитьОписание");
    if (Method < 0) {
        AState.SkipWithError("GetDescription is not exported");
        return;
    }
    V8Variant Ret{};
    V8Variant Params[1]{};
    std::size_t TextLength = 0;
    korvbench::THeapMeter Heap;
    THostMeter HostHeap(Host.Memory);
    for (auto _ : AState) {
        long M = Method;
        if (ByName) {
            M = Host.FindMethod(u"ПолучитьОписание");
            benchmark::DoNotOptimize(Slot<long>(Host.Record, ifLangExt, sGetNParams, M));
            benchmark::DoNotOptimize(Slot<bool>(Host.Record, ifLangExt, sHasRetVal, M));
        }
        if (!Host.CallAsFunc(M, &Ret, &Params[0], 1) || Params[0].vt != VTYPE_PWSTR) {
            AState.SkipWithError("GetDescription failed");
            break;
        }
        TextLength = Params[0].wstrLen;
        ReleaseValue(Host.Memory, Params[0]);
        ReleaseValue(Host.Memory, Ret);
    }
    Heap.Report(AState);
    HostHeap.Report(AState);
    AState.counters["text_chars"] = static_cast<double>(TextLength);
    AState.SetLabel(ByName ? "by name" : "by number");
}
BENCHMARK(BM_CallGetDescription)->ArgName("by_name")->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
