// ParametersFiscal through OperationFN on a registered register: the first byte chooses
// the operation (registration, its change, closing the FN), the rest is the XML.
#include "DirectRegister.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1)
        return 0;
    const auto Operation = static_cast<std::uint8_t>(Data[0] % 4);
    korvfuzz::RunOnRig(Data + 1, Size - 1, false,
                       [Operation](korvfuzz::TRig& R, const pugi::xml_document& Doc) {
                           R.Driver.OperationFN(Operation, Doc);
                       });
    return 0;
}
