// The document reader of the command layer: a fiscal receipt read back from
// the FN item by item (FF 3A, then FF 3B until the document is done) and
// decoded into the element list, item structures included. The register's
// answers come from memory, so only the reading and decoding are measured.

#include "BenchAlloc.h"

#include "common/uBytes.h"
#include "common/uCodePages.h"
#include "common/uText.h"
#include "device/uDevice.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace korv;

std::string Item(int ATag, std::string_view AValue) {
    return IntToLEBytesN(2, static_cast<std::uint64_t>(ATag)) + IntToLEBytesN(2, AValue.size()) +
           std::string(AValue);
}
std::string UIntItem(int ATag, std::uint64_t AValue, int ABytes) {
    return Item(ATag, IntToLEBytesN(ABytes, AValue));
}
std::string TextItem(int ATag, std::u16string_view AText) {
    return Item(ATag, U16ToOem(AText));
}

/// A sale receipt as the FN keeps it: the document's own items, then one
/// item structure (1059) per position. Each entry is one FF 3B block.
std::vector<std::string> ReceiptBlocks(int APositions) {
    std::vector<std::string> B;
    B.push_back(UIntItem(1012, 1765200000, 4));
    B.push_back(TextItem(1048, u"ООО \"Ромашка и партнёры\""));
    B.push_back(TextItem(1018, u"7701234567  "));
    B.push_back(TextItem(1037, u"0001234567012345    "));
    B.push_back(TextItem(1041, u"9999078900012345"));
    B.push_back(UIntItem(1040, 48213, 4));
    B.push_back(UIntItem(1042, 117, 4));
    B.push_back(UIntItem(1038, 342, 4));
    B.push_back(UIntItem(1054, 1, 1));
    B.push_back(UIntItem(1055, 1, 1));
    B.push_back(TextItem(1009, u"г. Москва, ул. Садовая-Кудринская, д. 25, стр. 1"));
    B.push_back(TextItem(1187, u"Магазин №12, касса 3"));
    B.push_back(TextItem(1021, u"Старший кассир Иванова А. П."));
    B.push_back(TextItem(1203, u"771234567890"));
    B.push_back(TextItem(1008, u"buyer@example.org"));
    B.push_back(UIntItem(1209, 4, 1));
    std::uint64_t Total = 0;
    for (int I = 0; I < APositions; ++I) {
        const std::uint64_t Price = 12990 + static_cast<std::uint64_t>(I) * 371;
        const std::uint64_t Sum = Price * 2;
        Total += Sum;
        std::string P;
        P += TextItem(1030, u"Молоко пастеризованное 3,2% 930 мл, бутылка ПЭТ, арт. " +
                                Utf8ToU16(std::to_string(100000 + I)));
        P += UIntItem(1079, Price, 3);
        P += Item(1023, std::string(1, '\x03') + IntToLEBytesN(2, 2000));
        P += UIntItem(1043, Sum, 3);
        P += UIntItem(1199, 1, 1);
        P += UIntItem(1200, Sum / 6, 3);
        P += UIntItem(1212, 1, 1);
        P += UIntItem(1214, 4, 1);
        P += TextItem(1197, u"шт");
        B.push_back(Item(1059, P));
    }
    B.push_back(UIntItem(1020, Total, 4));
    B.push_back(UIntItem(1031, Total / 2, 4));
    B.push_back(UIntItem(1081, Total - Total / 2, 4));
    B.push_back(UIntItem(1102, Total / 6, 4));
    B.push_back(Item(1077, std::string("\x31\x04\x9A\x12\x7C\x55", 6)));
    return B;
}

/// The command layer with the FN's answers replayed from memory.
class TReplayDevice : public TDevice {
public:
    explicit TReplayDevice(std::vector<std::string> ABlocks) : FBlocks(std::move(ABlocks)) {
        SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword));
    }
    int RunCommand(std::string_view ACmd, std::string_view, int, bool, bool) override {
        FResponse.assign(1, '\0');
        if (ACmd == "\xFF\x3A") {
            // Document type 3 (receipt) and its length.
            std::size_t Length = 0;
            for (const auto& B : FBlocks)
                Length += B.size();
            FResponse += IntToLEBytesN(2, 3) + IntToLEBytesN(2, Length);
            FNext = 0;
        } else if (ACmd == "\xFF\x3B") {
            if (FNext < FBlocks.size())
                FResponse += FBlocks[FNext++];
        }
        return 0;
    }
    std::size_t Bytes() const {
        std::size_t N = 0;
        for (const auto& B : FBlocks)
            N += B.size();
        return N;
    }

private:
    std::vector<std::string> FBlocks;
    std::size_t FNext = 0;
};

void BM_ReadFiscalDocument(benchmark::State& AState) {
    TReplayDevice Device(ReceiptBlocks(static_cast<int>(AState.range(0))));
    int DocType = 0;
    korvbench::THeapMeter Heap;
    try {
        for (auto _ : AState) {
            if (Device.GetFiscalTagList(48213, DocType) != 0) {
                AState.SkipWithError("the document was not read");
                break;
            }
            benchmark::DoNotOptimize(Device.DocElementList().data());
        }
    } catch (const std::exception& E) {
        AState.SkipWithError(E.what());
    }
    Heap.Report(AState);
    AState.counters["elements"] = static_cast<double>(Device.DocElementList().size());
    AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations()) *
                             static_cast<std::int64_t>(Device.Bytes()));
}
BENCHMARK(BM_ReadFiscalDocument)->ArgName("positions")->Arg(1)->Arg(10)->Arg(100);

// A flat item list (the answers that carry several items at once) decoded
// into the tag map.
void BM_ReadTLVList(benchmark::State& AState) {
    std::string Flat;
    for (const auto& B : ReceiptBlocks(0))
        Flat += B;
    std::map<int, std::u16string> Tags;
    korvbench::THeapMeter Heap;
    for (auto _ : AState) {
        ReadTLVList(Flat, Tags);
        benchmark::DoNotOptimize(Tags.size());
    }
    Heap.Report(AState);
    AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations()) *
                             static_cast<std::int64_t>(Flat.size()));
}
BENCHMARK(BM_ReadTLVList);

} // namespace

BENCHMARK_MAIN();
