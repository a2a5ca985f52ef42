// Receipts: reading a package of 1000 items, and ProcessCheck of 10 and of 500
// items against the emulated register over TCP on 127.0.0.1 (the cost per item
// of a long receipt against a short one).

#include "BenchTmp.h"

#include "Emulator.h"
#include "common/Common.Log.h"
#include "common/uText.h"
#include "driver/uDeviceDriver.h"
#include "driver/uDriver.h"
#include "driver/uDriverReceipt.h"
#include "driver/uDriverXml.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using namespace korv;

const korvbench::TScratchCleanup Cleanup;

std::u16string Package(int AItems) {
    std::u16string Text = u"<CheckPackage><Parameters CashierName=\"Кассир\" OperationType=\"1\" "
                          u"TaxationSystem=\"0\"/><Positions>";
    for (int I = 0; I < AItems; ++I)
        Text += u"<FiscalString Name=\"Товар " + IntToU16(I) +
                u"\" Quantity=\"1\" PriceWithDiscount=\"1.5\" AmountWithDiscount=\"1.5\" "
                u"VATRate=\"20\" VATAmount=\"0.25\" CalculationSubject=\"1\" PaymentMethod=\"4\"/>";
    const std::string Cash = std::to_string(AItems * 3 / 2) + (AItems % 2 ? ".5" : "");
    return Text + u"</Positions><Payments Cash=\"" + Utf8ToU16(Cash) + u"\"/></CheckPackage>";
}

void BM_ReadPackage1000(benchmark::State& S) {
    const std::u16string Text = Package(1000);
    const TTaxValues Taxes;
    for (auto _ : S) {
        pugi::xml_document Doc;
        ParseXmlInput(Text, Doc);
        benchmark::DoNotOptimize(rcpt::ReadReceipt(Doc, 3, false, Taxes, true));
    }
}
BENCHMARK(BM_ReadPackage1000)->Unit(benchmark::kMillisecond);

/// The emulator's registered register (its demonstration FN), served over TCP.
struct TRegister {
    std::unique_ptr<emu::Emulator> Emu = std::make_unique<emu::Emulator>([] {
        emu::Options O;
        O.registered = true;
        return O;
    }());
    TRegister() {
        std::string Err;
        Emu->Load(&Err);
        Emu->StartTcp(0, &Err);
    }
};

void ProcessCheckItems(benchmark::State& S) {
    SetLogMode(0);
    TRegister Reg;
    TDriver Driver;
    pugi::xml_document Settings;
    ParseXmlInput(u"<Parameters><Parameter Name=\"PortNumber\" Value=\"9999\"/><Parameter "
                  u"Name=\"IPAddress\" Value=\"127.0.0.1\"/><Parameter Name=\"IPPort\" Value=\"" +
                      IntToU16(Reg.Emu->TcpPort()) +
                      u"\"/><Parameter Name=\"ConnectPwd\" Value=\"30\"/></Parameters>",
                  Settings);
    Driver.ConnectEquipment(Settings);
    const std::u16string ID = Driver.DeviceID();
    {
        pugi::xml_document Input, Out;
        ParseXmlInput(u"<InputParameters><Parameters CashierName=\"Кассир\"/></InputParameters>",
                      Input);
        Driver.OpenShift(Input, Out);
    }
    pugi::xml_document Doc;
    ParseXmlInput(Package(static_cast<int>(S.range(0))), Doc);
    for (auto _ : S) {
        pugi::xml_document Out;
        Driver.SelectDevice(ID);
        Driver.ProcessCheck(false, Doc, Out, false);
    }
    // Seconds per item: the iteration's time over its items.
    S.counters["per_item"] = benchmark::Counter(static_cast<double>(S.range(0)),
                                                benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}
BENCHMARK(ProcessCheckItems)->Arg(10)->Arg(500)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
