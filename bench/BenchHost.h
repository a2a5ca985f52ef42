#pragma once
// The host's side of the add-in interface for the benchmarks: the tests'
// fake host (memory manager and connection, laid out as a Linux host
// declares them), and calls through the raw slots of the entry tables, as
// the host makes them.

#include "BenchTmp.h"

#include "addin/v8napi.h"
#include "driver/uRegisterDrivers.h"
#include "support/FakeHost.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace korvbench {

/// The host's memory manager, counting what the add-in takes from it.
using TCountingMemory = korvtest::TFakeMemoryManager;

enum TIface { ifInitDone = 0, ifLangExt = 1 };
enum TInitDoneSlot { sInit, sSetMemManager };
enum TLangExtSlot {
    sFindMethod = 9,
    sGetNParams = 11,
    sHasRetVal = 13,
    sCallAsFunc = 15,
};

/// Calls method ASlot of interface AIface of the object record.
template <class R, class... A> R Slot(void* ARecord, TIface AIface, int ASlot, A... AArgs) {
    void* Interface = static_cast<void**>(ARecord) + AIface;
    auto* Table = *static_cast<korv::TV8Slot* const*>(Interface);
    return reinterpret_cast<R (*)(void*, A...)>(Table[korv::V8DestructorSlots + ASlot])(Interface,
                                                                                        AArgs...);
}

/// The library as the host loads it: once for the process, classes
/// registered, unloaded at exit.
struct TLoadedLibrary {
    TLoadedLibrary() {
        ScratchFolder();
        korv::V8NapiLoad();
        korv::RegisterDrivers();
    }
    ~TLoadedLibrary() { korv::V8NapiUnload(); }
    TLoadedLibrary(const TLoadedLibrary&) = delete;
    TLoadedLibrary& operator=(const TLoadedLibrary&) = delete;
};

/// The host frees what the add-in wrote into a value.
inline void ReleaseValue(TCountingMemory& AMemory, korv::V8Variant& AValue) {
    if (AValue.vt == korv::VTYPE_PWSTR && AValue.pwstrVal) {
        void* P = AValue.pwstrVal;
        AMemory.FreeMemory(&P);
    }
    AValue = korv::V8Variant{};
}

/// One driver object made through the exports and initialised by the host.
class THostObject {
public:
    THostObject() {
        static TLoadedLibrary Library;
        Memory.TrackLive = false;
        const std::u16string Names = korv::V8GetClassNames();
        const std::u16string First = Names.substr(0, Names.find(u'|'));
        if (korv::V8GetClassObject(First.c_str(), &Record) != 1) {
            Record = nullptr;
            return;
        }
        Slot<bool>(Record, ifInitDone, sSetMemManager, static_cast<void*>(&Memory));
        Slot<bool>(Record, ifInitDone, sInit, static_cast<void*>(&Connection));
    }
    ~THostObject() {
        if (Record)
            korv::V8DestroyObject(&Record);
    }
    THostObject(const THostObject&) = delete;
    THostObject& operator=(const THostObject&) = delete;

    long FindMethod(const char16_t* AName) {
        return Slot<long>(Record, ifLangExt, sFindMethod, static_cast<const korv::WCHAR_T*>(AName));
    }
    bool CallAsFunc(long AMethod, korv::V8Variant* ARet, korv::V8Variant* AParams, long ACount) {
        return Slot<bool>(Record, ifLangExt, sCallAsFunc, AMethod, ARet, AParams, ACount);
    }
    /// A host text value (its copy in host memory).
    korv::V8Variant Text(std::u16string_view AText) {
        korv::V8Variant V{};
        korv::V8SetWString(Memory.Host(), &V, AText);
        return V;
    }

    void* Record = nullptr;
    TCountingMemory Memory;
    korvtest::TFakeConnection Connection;
};

/// Counts what the measured loop takes from the host's memory; Report() adds
/// the averages per iteration ("host_allocs", "host_bytes") and the blocks
/// not given back ("host_live").
class THostMeter {
public:
    explicit THostMeter(const TCountingMemory& AMemory)
        : FMemory(AMemory), FAllocs(AMemory.Allocs), FFrees(AMemory.Frees), FBytes(AMemory.Bytes) {}
    void Report(benchmark::State& AState) const {
        const auto Avg = [](std::uint64_t AValue) {
            return benchmark::Counter(static_cast<double>(AValue),
                                      benchmark::Counter::kAvgIterations);
        };
        AState.counters["host_allocs"] = Avg(FMemory.Allocs - FAllocs);
        AState.counters["host_bytes"] = Avg(FMemory.Bytes - FBytes);
        AState.counters["host_live"] =
            static_cast<double>((FMemory.Allocs - FAllocs) - (FMemory.Frees - FFrees));
    }

private:
    const TCountingMemory& FMemory;
    std::uint64_t FAllocs, FFrees, FBytes;
};

} // namespace korvbench
