// The frame codec: building a frame (with its check byte), and checking and
// cutting a received answer frame, for messages from a short query up to the
// longest a frame carries.

#include "BenchAlloc.h"

#include "transport/uFrameCodec.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace korv;

/// An answer message of ALength bytes: a two-byte command code, result 0, data.
std::string AnswerMessage(std::size_t ALength) {
    std::string M = "\xFF\x46";
    M.push_back('\0');
    for (std::size_t I = M.size(); I < ALength; ++I)
        M.push_back(static_cast<char>(I * 37 + 11));
    return M;
}

void BM_FrameRoundTrip(benchmark::State& AState) {
    const std::string Message = AnswerMessage(static_cast<std::size_t>(AState.range(0)));
    std::string Response;
    korvbench::THeapMeter Heap;
    for (auto _ : AState) {
        const std::string Frame = BuildFrame(Message);
        if (ParseAnswerFrame(Frame, Response) != TFrameStatus::Ok) {
            AState.SkipWithError("frame refused");
            break;
        }
        benchmark::DoNotOptimize(Response.data());
    }
    Heap.Report(AState);
    AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations()) *
                             static_cast<std::int64_t>(Message.size()));
}
BENCHMARK(BM_FrameRoundTrip)->Arg(6)->Arg(64)->Arg(255);

void BM_FrameRejectsBadLRC(benchmark::State& AState) {
    std::string Frame = BuildFrame(AnswerMessage(255));
    Frame.back() = static_cast<char>(Frame.back() ^ 0x5A);
    std::string Response;
    for (auto _ : AState) {
        benchmark::DoNotOptimize(ParseAnswerFrame(Frame, Response));
    }
    AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations()) *
                             static_cast<std::int64_t>(Frame.size()));
}
BENCHMARK(BM_FrameRejectsBadLRC);

void BM_CalcLRC(benchmark::State& AState) {
    const std::string Message = AnswerMessage(static_cast<std::size_t>(AState.range(0)));
    for (auto _ : AState) {
        benchmark::DoNotOptimize(CalcLRC(Message));
    }
    AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations()) *
                             static_cast<std::int64_t>(Message.size()));
}
BENCHMARK(BM_CalcLRC)->Arg(255);

} // namespace

BENCHMARK_MAIN();
