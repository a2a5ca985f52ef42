// Control of the fiscal part for tests and demos (RegisterFiscalCommands itself is declared in
// EmuCore.h).
#pragma once

#include "EmuCore.h"

#include <string>
#include <string_view>

namespace emu {

// Runs one control line of the fiscal part and returns its answer ("ok\n", a status line, or
// "error <reason>\n"). Takes the register's lock. Lines:
//   km valid|invalid|noanswer [retry=N] <code>   the OFD's verdict on a marking code; its
//                                                first N checks are answered "try again"
//                                                (a code written "hex:..." is given in hex)
//   km default valid|invalid|noanswer            the verdict on codes not set one by one
//   km clear                                     forget every setting
//   ofd ack <N|all>                              the OFD took the oldest N unsent documents
//   fn                                           phase, counters and the queue in one line
std::string FiscalControl(Register& reg, std::string_view line);

} // namespace emu
