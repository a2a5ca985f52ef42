// Feeds arbitrary bytes to the emulator's frame reader and runs every complete frame through
// the register's whole command table, as a client on the link would.
#include "EmuCore.h"
#include "Link.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    emu::Options opt;
    opt.password = 30;
    emu::Register reg(opt);
    emu::Dispatcher dispatch;
    emu::RegisterCoreCommands(dispatch);
    emu::RegisterFiscalCommands(reg, dispatch, opt);
    emu::FrameReader reader;
    for (size_t i = 0; i < size; ++i) {
        if (reader.Feed(data[i]) != emu::FrameReader::Event::Frame) {
            continue;
        }
        std::string answer = dispatch.Execute(reg, reader.Message());
        if (answer.empty() || answer.size() > 255) {
            __builtin_trap(); // every command is answered, and the answer fits a frame
        }
        emu::BuildFrame(answer);
    }
    if (reg.InternalErrors() != 0) {
        __builtin_trap(); // a handler threw: a fault to fix, even though the link survives it
    }
    return 0;
}
