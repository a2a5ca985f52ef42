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

namespace {

// One register and its command table for the whole run: building them (the settings tables,
// every command and control word) cost far more than the commands of an input, and libFuzzer
// then had to account for all that code's coverage on every input. Each input starts from the
// register's first state image instead, and what the image does not hold (an open receipt, data
// output, the printing scratch) is put back by hand.
struct Rig {
    emu::Options opt;
    emu::Register reg;
    emu::Dispatcher dispatch;
    std::string pristine;

    Rig() : reg(Options()) {
        opt = Options();
        emu::RegisterCoreCommands(dispatch);
        emu::RegisterFiscalCommands(reg, dispatch, opt);
        pristine = reg.SerializeState();
    }
    static emu::Options Options() {
        emu::Options o;
        o.password = 30;
        return o;
    }
    void Reset() {
        std::string err;
        if (!reg.DeserializeState(pristine, &err)) {
            __builtin_trap();
        }
        reg.SetReceiptType(-1);
        reg.SetDataOutput(false);
        reg.Work() = emu::Register::Scratch{};
        reg.ClearFaults();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    rig.Reset();
    const emu::Options& opt = rig.opt;
    emu::Register& reg = rig.reg;
    const emu::Dispatcher& dispatch = rig.dispatch;
    const int errorsBefore = reg.InternalErrors();

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
    if (reg.InternalErrors() != errorsBefore) {
        __builtin_trap(); // a handler threw: a fault to fix, even though the link survives it
    }
    return 0;
}
