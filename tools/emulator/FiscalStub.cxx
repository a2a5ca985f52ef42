// Used only while the fiscal part is absent from the tree: a register without an FN.
#include "EmuCore.h"

namespace emu {
void RegisterFiscalCommands(Register&, Dispatcher&, const Options&) {}
} // namespace emu
