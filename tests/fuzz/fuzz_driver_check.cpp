// Receipt packages through ProcessCheck on a connected register: any text is refused
// with an error or makes a receipt, and a refused one leaves no receipt open.
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
        R.Driver.ProcessCheck(false, Doc, Out, false);
    } catch (const std::exception&) {
    }
    if (R.FReg.ReceiptType() >= 0)
        __builtin_trap(); // a receipt left open
    return 0;
}
