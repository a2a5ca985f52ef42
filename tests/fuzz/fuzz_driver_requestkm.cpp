// RequestKM input through RequestKM on a connected FFD 1.2 register.
#include "DirectRegister.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    korvfuzz::RunOnRig(Data, Size, false, [](korvfuzz::TRig& R, const pugi::xml_document& Doc) {
        pugi::xml_document Out;
        R.Driver.RequestKM(Doc, Out);
    });
    return 0;
}
