#pragma once
// Heap accounting for the benchmarks: the process's operator new and delete
// are replaced (BenchAlloc.cpp) by versions that count what the calling
// thread allocates. Threads of an in-process register do not disturb the
// counts of the thread being measured.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>

namespace korvbench {

struct TAllocCount {
    std::uint64_t Blocks = 0;
    std::uint64_t Bytes = 0;
};

/// What this thread has allocated since it started.
TAllocCount ThreadAllocs();

/// malloc and free that count as operator new does (null on failure), for
/// libraries with allocation hooks of their own.
void* CountedMalloc(std::size_t ASize);
void CountedFree(void* P);

/// Counts the heap use of the measured loop; Report() adds the averages per
/// iteration as the counters "allocs" and "alloc_bytes".
class THeapMeter {
public:
    THeapMeter() : FStart(ThreadAllocs()) {}
    void Report(benchmark::State& AState) const {
        const TAllocCount Now = ThreadAllocs();
        AState.counters["allocs"] = benchmark::Counter(
            static_cast<double>(Now.Blocks - FStart.Blocks), benchmark::Counter::kAvgIterations);
        AState.counters["alloc_bytes"] = benchmark::Counter(
            static_cast<double>(Now.Bytes - FStart.Bytes), benchmark::Counter::kAvgIterations);
    }

private:
    TAllocCount FStart;
};

} // namespace korvbench
