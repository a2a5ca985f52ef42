#pragma once
// The platform half of the log (Common.LogPosix.cpp / Common.LogWin.cpp).
// None of these raise; failures come back as false with a reason text.

#include "common/Common.Log.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace korv::logplatform {

TLogTime LocalNow();
/// The OS line of the start banner.
std::u16string OsText();
/// The full file name of the module that holds this code.
std::u16string ModuleFileName();
/// The module's file version: its version resource on Windows, the build's
/// version where there is none (Linux, or code linked into a program).
TFileVersion ModuleFileVersion();
/// The value of an environment variable, or nothing when it is unset.
std::optional<std::u16string> GetEnv(const char* AName);
bool IsRootedPath(std::u16string_view APath);
bool IsPathDelimiter(char16_t C);
extern const char16_t PathDelimiter;
/// Creates the folder with its parents (owner-writable, others read only).
bool MakeFolders(const std::u16string& AFolder, std::u16string& AReason);
/// The folders the log may use by default, best first, each with a trailing
/// delimiter.
std::vector<std::u16string> LogFolderCandidates(std::u16string_view ABaseName);
/// The first candidate that can be created and written (created); the first
/// candidate when none can, so that writing there reports the trouble.
std::u16string DefaultLogFolder(std::u16string_view ABaseName);
/// What became of an append.
enum class TAppendResult {
    Written,
    Busy,  // another process kept the file locked for the whole wait: nothing written
    Failed // the file could not be opened or written (AReason says why)
};
/// Appends the bytes to the file, creating it when missing. Appends of all
/// processes are serialised by an exclusive lock on the file, waited for at
/// most ALockWait (blocked in the OS, never polled). Where the platform lets
/// other processes append to a file held open, the file stays open for the
/// next append to the same name until CloseLogFile; each append still takes
/// the lock.
TAppendResult AppendToFile(const std::u16string& AFileName, std::string_view ABytes,
                           std::chrono::milliseconds ALockWait, std::u16string& AReason);
/// Closes the file kept open by AppendToFile, if any.
void CloseLogFile();

} // namespace korv::logplatform
