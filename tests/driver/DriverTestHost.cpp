#include "DriverTestHost.h"

namespace korvtest {

namespace {

// Every test of this program logs into its own folder, never the machine's,
// and its serial ports are links in an empty folder, never the machine's.
const bool LogFolderSet = [] {
    setenv("KORVANDER_LOG_DIR", TestLogFolder().string().c_str(), 1);
    std::filesystem::path Ports = TestLogFolder() / "no-ports";
    std::filesystem::create_directories(Ports);
    setenv("KORVANDER_COM_DIR", Ports.string().c_str(), 1);
    return true;
}();

} // namespace

bool CallExport(korv::TCustomDriver& ADriver, std::u16string_view AName, THostCall& ACall) {
    const korv::TExportMethod* Found = nullptr;
    korv::ForEachExportTable(ADriver.ClassExports(), [&](const korv::TExportTable& T) {
        for (const auto& M : T.Methods)
            if (!Found && M.Name == AName)
                Found = &M;
    });
    if (!Found) {
        ADD_FAILURE() << "no exported method of that name";
        return false;
    }
    if (ACall.Count() < Found->ParamCount) {
        ADD_FAILURE() << "fewer parameters than the method takes";
        return false;
    }
    return korv::RunExported(*Found, ADriver, &ACall.Ret, ACall.Params.data(), ACall.Count());
}

} // namespace korvtest
