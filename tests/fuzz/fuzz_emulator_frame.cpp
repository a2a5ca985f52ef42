// Feeds arbitrary bytes to the emulator's frame reader and runs every complete frame through
// the register's whole command table, as a client on the link would. The same bytes are also
// read as a list of messages (a length byte, then the message; the password is put in after
// the command code), so that the fuzzer reaches the commands without having to find LRCs.
#include "EmuCore.h"
#include "Link.h"

#include <cstddef>
#include <cstdint>

namespace {

void Check(const std::string& answer) {
    if (answer.empty() || answer.size() > 255) {
        __builtin_trap(); // every command is answered, and the answer fits a frame
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    emu::Options opt;
    opt.password = 30;
    emu::Register reg(opt);
    emu::Dispatcher dispatch;
    emu::RegisterCoreCommands(dispatch);
    emu::RegisterFiscalCommands(reg, dispatch, opt);

    emu::FrameReader reader;
    for (size_t i = 0; i < size; ++i) {
        if (reader.Feed(data[i]) == emu::FrameReader::Event::Frame) {
            Check(dispatch.Execute(reg, reader.Message()));
        }
    }

    for (size_t i = 0; i < size;) {
        size_t len = data[i++];
        std::string raw(reinterpret_cast<const char*>(data + i), std::min(len, size - i));
        i += raw.size();
        size_t codeLen = emu::Dispatcher::CodeLength(raw);
        std::string message = raw;
        if (codeLen != 0) {
            std::string password;
            emu::PutLE(password, opt.password, 4);
            message.insert(codeLen, password);
        }
        if (!message.empty() && message.size() <= 255) {
            Check(dispatch.Execute(reg, message));
        }
    }
    if (reg.InternalErrors() != 0) {
        __builtin_trap(); // a handler threw: a fault to fix, even though the link survives it
    }
    return 0;
}
