#pragma once
// A scratch folder for what the benchmarks make the driver write (its log),
// in the system's temporary folder, never the machine's own log folder; and
// an empty folder of serial ports, so that no real port is ever looked at.

#include "support/TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace korvbench {

/// A fresh folder of this process; KORVANDER_LOG_DIR points into it.
inline std::filesystem::path ScratchFolder() {
    static const std::filesystem::path Dir = [] {
        const std::filesystem::path D =
            korvtest::TestTempRoot() / ("korvander-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(D / "log");
        std::filesystem::create_directories(D / "no-ports");
        ::setenv("KORVANDER_LOG_DIR", (D / "log").c_str(), 1);
        ::setenv("KORVANDER_COM_DIR", (D / "no-ports").c_str(), 1);
        return D;
    }();
    return Dir;
}

/// Removes the scratch folder when the program ends. It makes the folder
/// first, so that the folder's own static outlives it.
struct TScratchCleanup {
    TScratchCleanup() { ScratchFolder(); }
    ~TScratchCleanup() {
        std::error_code Ec;
        std::filesystem::remove_all(ScratchFolder(), Ec);
    }
};

} // namespace korvbench
