// Graphic text: one line drawn across the whole 576-dot print width (72 mm)
// and turned into the register's graphics line format, as a text document's
// [gtN] line is. The target is under 2 ms a line.

#include "BenchAlloc.h"

#include "graphics/uGraphicText.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace korv;

void BM_GraphicTextLine(benchmark::State& AState) {
    const int size = static_cast<int>(AState.range(0));
    std::string data;
    int width = 0, height = 0;
    // The first picture reads the font configuration; a driver does that once.
    TPrintGraphicText::GetGraphicText(u"Ромашка", 72, 0, size, u"Arial", u"bold", u"center",
                                      u"center", true, data, width, height);
    korvbench::THeapMeter heap;
    for (auto _ : AState) {
        TPrintGraphicText::GetGraphicText(u"Магазин «Ромашка»", 72, 0, size, u"Arial", u"bold",
                                          u"center", u"center", true, data, width, height);
        benchmark::DoNotOptimize(data);
    }
    heap.Report(AState);
    AState.counters["dots_wide"] = width;
    AState.counters["rows"] = height;
}
BENCHMARK(BM_GraphicTextLine)->ArgName("points")->Arg(12)->Arg(24)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
