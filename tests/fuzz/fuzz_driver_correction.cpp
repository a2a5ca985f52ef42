// Correction packages through ProcessCorrectionCheck on a connected register: refused
// with an error or made, and a refused one leaves no receipt open.
#include "DirectRegister.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    korvfuzz::RunOnRig(Data, Size, true, [](korvfuzz::TRig& R, const pugi::xml_document& Doc) {
        pugi::xml_document Out;
        R.Driver.ProcessCorrectionCheck(false, Doc, Out);
    });
    return 0;
}
