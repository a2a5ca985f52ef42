// Host text on its way to the register: the XML input rule and the parse of
// a large receipt package (ParseXmlInput: FilterText, UTF-8, pugixml), the
// walk over its positions, and the code-page conversions of receipt text.

#include "BenchAlloc.h"
#include "BenchXml.h"

#include "common/uCodePages.h"
#include "common/uText.h"
#include "driver/uDriverXml.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace korv;

const bool XmlCounted = korvbench::CountXmlAllocations();

/// A receipt package of APositions items as the host hands it over (UTF-16),
/// with a stray control character in every name, which the input rule drops.
std::u16string ReceiptPackage(int APositions) {
    std::u16string X =
        u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CheckPackage>\n"
        u"<Parameters CashierName=\"Старший кассир Иванова А. П.\" CashierINN=\"771234567890\" "
        u"OperationType=\"1\" TaxationSystem=\"0\" CustomerEmail=\"buyer@example.org\" "
        u"SenderEmail=\"shop@example.org\" SaleAddress=\"г. Москва, ул. Садовая-Кудринская, д. "
        u"25\" "
        u"SaleLocation=\"Магазин №12, касса 3\">\n"
        u"<CustomerDetail Info=\"Петров Пётр Петрович\" INN=\"500100732259\"/>\n"
        u"</Parameters>\n<Positions>\n";
    for (int I = 0; I < APositions; ++I) {
        const std::u16string N = IntToU16(100000 + I);
        X += u"<FiscalString Name=\"Молоко пастеризованное 3,2% 930 мл \u0001«Домик» арт. " + N +
             u"\" Quantity=\"2\" PriceWithDiscount=\"129.90\" AmountWithDiscount=\"259.80\" "
             u"DiscountAmount=\"0\" Department=\"1\" VATRate=\"20\" VATAmount=\"43.30\" "
             u"PaymentMethod=\"4\" CalculationSubject=\"1\" MeasureOfQuantity=\"0\" "
             u"CountryOfOrigin=\"643\" AdditionalAttribute=\"партия " +
             N + u"\">\n<GoodCodeData EAN13=\"NDYwMDA1MTAwMDAwMQ==\"/>\n</FiscalString>\n";
        if (I % 10 == 9)
            X += u"<TextString Text=\"Скидка по карте покупателя: 5%\"/>\n";
    }
    X += u"</Positions>\n<Payments Cash=\"1000.00\" ElectronicPayment=\"0\" "
         u"PrePayment=\"0\" PostPayment=\"0\" Barter=\"0\"/>\n</CheckPackage>\n";
    return X;
}

void BM_FilterText(benchmark::State& AState) {
    const std::u16string Text = ReceiptPackage(static_cast<int>(AState.range(0)));
    korvbench::THeapMeter Heap;
    for (auto _ : AState) {
        std::u16string Clean = FilterText(Text);
        benchmark::DoNotOptimize(Clean.data());
    }
    Heap.Report(AState);
    AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations()) *
                             static_cast<std::int64_t>(Text.size() * sizeof(char16_t)));
}
BENCHMARK(BM_FilterText)->ArgName("positions")->Arg(100);

// The whole input step of a receipt operation: filter, convert, parse.
void BM_ParseReceiptXml(benchmark::State& AState) {
    const std::u16string Text = ReceiptPackage(static_cast<int>(AState.range(0)));
    korvbench::THeapMeter Heap;
    try {
        for (auto _ : AState) {
            pugi::xml_document Doc;
            ParseXmlInput(Text, Doc);
            benchmark::DoNotOptimize(Doc.first_child());
        }
    } catch (const std::exception& E) {
        AState.SkipWithError(E.what());
    }
    Heap.Report(AState);
    AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations()) *
                             static_cast<std::int64_t>(Text.size() * sizeof(char16_t)));
}
BENCHMARK(BM_ParseReceiptXml)->ArgName("positions")->Arg(10)->Arg(100)->Arg(1000);

// Reading the positions of a parsed package as a receipt operation does:
// each name back to host text and into the register's code page.
void BM_ReceiptPositionsToOem(benchmark::State& AState) {
    pugi::xml_document Doc;
    ParseXmlInput(ReceiptPackage(static_cast<int>(AState.range(0))), Doc);
    const pugi::xml_node Positions = Doc.document_element().child("Positions");
    korvbench::THeapMeter Heap;
    std::size_t Bytes = 0;
    for (auto _ : AState) {
        Bytes = 0;
        for (pugi::xml_node P : Positions.children("FiscalString")) {
            const std::string Name = U16ToOem(XmlToU16(P.attribute("Name").value()));
            const std::string Extra =
                U16ToOem(XmlToU16(P.attribute("AdditionalAttribute").value()));
            Bytes += Name.size() + Extra.size();
        }
        benchmark::DoNotOptimize(Bytes);
    }
    Heap.Report(AState);
    AState.counters["oem_bytes"] = static_cast<double>(Bytes);
}
BENCHMARK(BM_ReceiptPositionsToOem)->ArgName("positions")->Arg(100);

// The code pages on their own, over the text of a large receipt.
enum TConversion { cvU16ToOem, cvOemToU16, cvU16ToAnsi, cvAnsiToU16, cvU16ToUtf8 };

void BM_CodePage(benchmark::State& AState) {
    const auto Kind = static_cast<TConversion>(AState.range(0));
    const std::u16string Text = FilterText(ReceiptPackage(100));
    const std::string Oem = U16ToOem(Text);
    const std::string Ansi = U16ToAnsi(Text);
    korvbench::THeapMeter Heap;
    for (auto _ : AState) {
        switch (Kind) {
        case cvU16ToOem:
            benchmark::DoNotOptimize(U16ToOem(Text).data());
            break;
        case cvOemToU16:
            benchmark::DoNotOptimize(OemToU16(Oem).data());
            break;
        case cvU16ToAnsi:
            benchmark::DoNotOptimize(U16ToAnsi(Text).data());
            break;
        case cvAnsiToU16:
            benchmark::DoNotOptimize(AnsiToU16(Ansi).data());
            break;
        case cvU16ToUtf8:
            benchmark::DoNotOptimize(U16ToUtf8(Text).data());
            break;
        }
    }
    Heap.Report(AState);
    static const char* const Names[] = {"U16ToOem", "OemToU16", "U16ToAnsi", "AnsiToU16",
                                        "U16ToUtf8"};
    AState.SetLabel(Names[Kind]);
    // Characters converted per second.
    AState.SetItemsProcessed(static_cast<std::int64_t>(AState.iterations()) *
                             static_cast<std::int64_t>(Text.size()));
}
BENCHMARK(BM_CodePage)->DenseRange(cvU16ToOem, cvU16ToUtf8);

} // namespace

BENCHMARK_MAIN();
