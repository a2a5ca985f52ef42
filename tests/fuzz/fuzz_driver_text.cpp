// Text documents through PrintTextDocument on a connected register.
#include "DirectRegister.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    korvfuzz::RunOnRig(Data, Size, false, [](korvfuzz::TRig& R, const pugi::xml_document& Doc) {
        R.Driver.PrintTextDocument(Doc);
    });
    return 0;
}
