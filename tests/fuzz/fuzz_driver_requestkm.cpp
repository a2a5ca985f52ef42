// RequestKM input through RequestKM on a connected FFD 1.2 register.
#include "DirectRegister.h"

#include <cstddef>
#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    pugi::xml_document Doc;
    if (!korvfuzz::ReadInput(Data, Size, Doc))
        return 0;
    korvfuzz::TRig& R = korvfuzz::Rig();
    pugi::xml_document Out;
    try {
        R.Driver.RequestKM(Doc, Out);
    } catch (const std::exception&) {
    }
    return 0;
}
