// Loads arbitrary bytes as the emulator's state file: a damaged file is refused, never a crash.
#include "EmuCore.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    emu::Options opt;
    emu::Register reg(opt);
    emu::Dispatcher dispatch;
    emu::RegisterFiscalCommands(reg, dispatch, opt);
    std::string err;
    std::string_view image(reinterpret_cast<const char*>(data), size);
    reg.DeserializeState(image, &err);
    // Whatever was loaded must save again.
    reg.SerializeState();
    return 0;
}
