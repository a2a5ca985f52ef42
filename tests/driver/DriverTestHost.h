#pragma once
// What the driver tests share besides tests/support: a log folder of their
// own, and calls of exported methods through the driver's own tables.

#include "support/ErrorCode.h"
#include "support/FakeHost.h"
#include "support/TempFolder.h"

#include "addin/v8napi.h"
#include "driver/uCustomDriver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string_view>

namespace korvtest {

/// The host's memory manager as the driver tests name it.
using THostMemory = TFakeMemoryManager;

/// A folder of the test's own for the log and the help page.
inline std::filesystem::path TestLogFolder() {
    return TestTempFolder("driver-log");
}

/// Calls an exported method of the driver by its English name, through the
/// driver class's own export tables (the first entry of that name) and the
/// barrier, as the registry calls it.
bool CallExport(korv::TCustomDriver& ADriver, std::u16string_view AName, THostCall& ACall);

} // namespace korvtest
