// Text documents through PrintTextDocument on a connected register.
#include "DirectRegister.h"

#include <cstddef>
#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    pugi::xml_document Doc;
    if (!korvfuzz::ReadInput(Data, Size, Doc))
        return 0;
    korvfuzz::TRig& R = korvfuzz::Rig();
    try {
        R.Driver.PrintTextDocument(Doc);
    } catch (const std::exception&) {
    }
    return 0;
}
