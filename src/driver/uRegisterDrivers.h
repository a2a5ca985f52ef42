#pragma once
// Registration of the driver classes; the add-in's exports call it once when
// the library is loaded.

namespace korv {

/// Registers TDriver with the host registry as "Korvander" and names the log.
void RegisterDrivers();

} // namespace korv
