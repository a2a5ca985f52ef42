// Loads arbitrary bytes as the body of the emulator's state file, with a right check sum, so
// every section reader (core, tape, FN) sees them: a bad image is refused, never a crash.
#include "EmuCore.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    emu::Options opt;
    emu::Register reg(opt);
    emu::Dispatcher dispatch;
    emu::RegisterFiscalCommands(reg, dispatch, opt);
    std::string_view body(reinterpret_cast<const char*>(data), size);
    std::string image = "KORVEMU1";
    emu::PutLE(image, body.size(), 4);
    image += body;
    emu::PutLE(image, emu::StateChecksum(body), 4);
    std::string err;
    reg.DeserializeState(image, &err);
    // Whatever was loaded must save again.
    reg.SerializeState();
    return 0;
}
