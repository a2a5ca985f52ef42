// ParametersFiscal through OperationFN on a registered register: the first byte chooses
// the operation (registration, its change, closing the FN), the rest is the XML.
#include "DirectRegister.h"

#include <cstddef>
#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1)
        return 0;
    pugi::xml_document Doc;
    if (!korvfuzz::ReadInput(Data + 1, Size - 1, Doc))
        return 0;
    korvfuzz::TRig& R = korvfuzz::Rig();
    try {
        R.Driver.OperationFN(static_cast<std::uint8_t>(Data[0] % 4), Doc);
    } catch (const std::exception&) {
    }
    return 0;
}
