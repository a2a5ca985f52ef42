// InputParameters of the shift, report, cash and status operations on a connected
// register: the first byte chooses the operation, the rest is the XML.
#include "DirectRegister.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1)
        return 0;
    const int Operation = Data[0] % 6;
    // None of these leaves a receipt open.
    korvfuzz::RunOnRig(Data + 1, Size - 1, true,
                       [Operation](korvfuzz::TRig& R, const pugi::xml_document& Doc) {
                           pugi::xml_document Out;
                           switch (Operation) {
                           case 0:
                               R.Driver.OpenShift(Doc, Out);
                               break;
                           case 1:
                               R.Driver.CloseShift(Doc, Out);
                               break;
                           case 2:
                               R.Driver.PrintXReport(Doc);
                               break;
                           case 3:
                               R.Driver.CashInOutcome(Doc, 10000);
                               break;
                           case 4:
                               R.Driver.GetCurrentStatus(Doc, Out);
                               break;
                           default:
                               R.Driver.ReportCurrentStatusOfSettlements(Doc, Out);
                               break;
                           }
                       });
    return 0;
}
