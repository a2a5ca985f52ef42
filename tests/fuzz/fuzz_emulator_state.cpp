// Loads arbitrary bytes as the body of the emulator's state file, with a right check sum, so
// every section reader (core, tape, FN) sees them: a bad image is refused, never a crash.
#include "EmuCore.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// One register for the whole run, put back to its first image before each input: building a
// register (its settings tables and command table) cost several times the load itself.
struct Rig {
    emu::Options opt;
    emu::Register reg{opt};
    emu::Dispatcher dispatch;
    std::string pristine;

    Rig() {
        emu::RegisterFiscalCommands(reg, dispatch, opt);
        pristine = reg.SerializeState();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    std::string err;
    if (!rig.reg.DeserializeState(rig.pristine, &err))
        __builtin_trap(); // the register's own image must load
    std::string_view body(reinterpret_cast<const char*>(data), size);
    std::string image = "KORVEMU1";
    emu::PutLE(image, body.size(), 4);
    image += body;
    emu::PutLE(image, emu::StateChecksum(body), 4);
    rig.reg.DeserializeState(image, &err);
    // Whatever was loaded must save again.
    rig.reg.SerializeState();
    return 0;
}
