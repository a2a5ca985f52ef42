// The host's call path: a function call (GetDescription) made the way the
// host makes it, through the raw slots of the add-in's entry tables, with a
// host memory manager that counts what the add-in allocates from it.

#include "BenchAlloc.h"
#include "BenchTmp.h"
#include "BenchXml.h"

#include "addin/v8napi.h"
#include "driver/uRegisterDrivers.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace korv;

const bool XmlCounted = korvbench::CountXmlAllocations();

const korvbench::TScratchCleanup Cleanup;

// The host's objects as a Linux host declares them: C++ classes whose
// vtables start with the two destructor slots.
class IMemoryManager {
public:
    virtual ~IMemoryManager() = default;
    virtual bool AllocMemory(void** pMemory, unsigned long ulCountByte) = 0;
    virtual void FreeMemory(void** pMemory) = 0;
};

class IAddInDefBase {
public:
    virtual ~IAddInDefBase() = default;
    virtual bool AddError(unsigned short, const char16_t*, const char16_t*, long) {
        ++Errors;
        return true;
    }
    virtual bool Read(char16_t*, void*, long*, char16_t**) { return false; }
    virtual bool Write(char16_t*, void*) { return false; }
    int Errors = 0;
};

class TCountingMemory : public IMemoryManager {
public:
    bool AllocMemory(void** pMemory, unsigned long ulCountByte) override {
        ++Allocs;
        Bytes += ulCountByte;
        *pMemory = std::malloc(ulCountByte ? ulCountByte : 1);
        return *pMemory != nullptr;
    }
    void FreeMemory(void** pMemory) override {
        ++Frees;
        std::free(*pMemory);
        *pMemory = nullptr;
    }
    std::uint64_t Allocs = 0;
    std::uint64_t Frees = 0;
    std::uint64_t Bytes = 0;
};

enum TIface { ifInitDone = 0, ifLangExt = 1 };
enum TInitDoneSlot { sInit, sSetMemManager };
enum TLangExtSlot {
    sFindMethod = 9,
    sGetNParams = 11,
    sHasRetVal = 13,
    sCallAsFunc = 15,
};

/// Calls method ASlot of interface AIface of the object record, as the host does.
template <class R, class... A> R Slot(void* ARecord, TIface AIface, int ASlot, A... AArgs) {
    void* Interface = static_cast<void**>(ARecord) + AIface;
    auto* Table = *static_cast<TV8Slot* const*>(Interface);
    return reinterpret_cast<R (*)(void*, A...)>(Table[V8DestructorSlots + ASlot])(Interface,
                                                                                  AArgs...);
}

/// The library as the host loads it: once for the process, classes
/// registered, unloaded at exit.
struct TLoadedLibrary {
    TLoadedLibrary() {
        korvbench::ScratchFolder();
        V8NapiLoad();
        RegisterDrivers();
    }
    ~TLoadedLibrary() { V8NapiUnload(); }
    TLoadedLibrary(const TLoadedLibrary&) = delete;
    TLoadedLibrary& operator=(const TLoadedLibrary&) = delete;
};

/// One driver object made through the exports, initialised by the host.
class THostObject {
public:
    THostObject() {
        static TLoadedLibrary Library;
        const std::u16string Names = V8GetClassNames();
        const std::u16string First = Names.substr(0, Names.find(u'|'));
        if (V8GetClassObject(First.c_str(), &Record) != 1) {
            Record = nullptr;
            return;
        }
        Slot<bool>(Record, ifInitDone, sSetMemManager, static_cast<void*>(&Memory));
        Slot<bool>(Record, ifInitDone, sInit, static_cast<void*>(&Connection));
    }
    ~THostObject() {
        if (Record)
            V8DestroyObject(&Record);
    }
    THostObject(const THostObject&) = delete;
    THostObject& operator=(const THostObject&) = delete;

    void* Record = nullptr;
    TCountingMemory Memory;
    IAddInDefBase Connection;
};

/// The host frees what the add-in wrote into a parameter.
void ReleaseParam(TCountingMemory& AMemory, V8Variant& AValue) {
    if (AValue.vt == VTYPE_PWSTR && AValue.pwstrVal) {
        void* P = AValue.pwstrVal;
        AMemory.FreeMemory(&P);
    }
    AValue = V8Variant{};
}

// AState.range(0): 0 the call alone (method number known); 1 the host's whole
// sequence for a call by name (FindMethod, GetNParams, HasRetVal, CallAsFunc).
void BM_CallGetDescription(benchmark::State& AState) {
    THostObject Host;
    if (!Host.Record) {
        AState.SkipWithError("no driver object");
        return;
    }
    const bool ByName = AState.range(0) == 1;
    const long Method = Slot<long>(Host.Record, ifLangExt, sFindMethod,
                                   static_cast<const WCHAR_T*>(u"ПолучитьОписание"));
    if (Method < 0) {
        AState.SkipWithError("GetDescription is not exported");
        return;
    }
    V8Variant Ret{};
    V8Variant Params[1]{};
    std::size_t TextLength = 0;
    korvbench::THeapMeter Heap;
    const TCountingMemory Before = Host.Memory;
    for (auto _ : AState) {
        long M = Method;
        if (ByName) {
            M = Slot<long>(Host.Record, ifLangExt, sFindMethod,
                           static_cast<const WCHAR_T*>(u"ПолучитьОписание"));
            benchmark::DoNotOptimize(Slot<long>(Host.Record, ifLangExt, sGetNParams, M));
            benchmark::DoNotOptimize(Slot<bool>(Host.Record, ifLangExt, sHasRetVal, M));
        }
        if (!Slot<bool>(Host.Record, ifLangExt, sCallAsFunc, M, &Ret, &Params[0], 1L) ||
            Params[0].vt != VTYPE_PWSTR) {
            AState.SkipWithError("GetDescription failed");
            break;
        }
        TextLength = Params[0].wstrLen;
        ReleaseParam(Host.Memory, Params[0]);
        ReleaseParam(Host.Memory, Ret);
    }
    Heap.Report(AState);
    const double N = static_cast<double>(AState.iterations());
    AState.counters["host_allocs"] =
        benchmark::Counter(static_cast<double>(Host.Memory.Allocs - Before.Allocs) / N);
    AState.counters["host_bytes"] =
        benchmark::Counter(static_cast<double>(Host.Memory.Bytes - Before.Bytes) / N);
    AState.counters["host_leaked"] = static_cast<double>((Host.Memory.Allocs - Before.Allocs) -
                                                         (Host.Memory.Frees - Before.Frees));
    AState.counters["text_chars"] = static_cast<double>(TextLength);
    AState.SetLabel(ByName ? "by name" : "by number");
}
BENCHMARK(BM_CallGetDescription)->ArgName("by_name")->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
