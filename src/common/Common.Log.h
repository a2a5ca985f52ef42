#pragma once
// The driver log: one file per day, "yyyy.mm.dd hh:nn:ss.zzz<TAB>LEVEL<TAB>Source: <TAB>message".
// Writing never raises: a line that cannot be written is dropped and the
// trouble is reported once through LogTrouble().

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace korv {

enum class TLogLevel : int { Info = 0, Debug = 1, Error = 2 };

/// Modes: 0 off, 1 errors, 2 info and errors, 3 everything,
/// 4 nothing written and no stop banner (the per-call "undetermined" mode).
void SetLogMode(int AMode);
int GetLogMode();

/// True when a line of ALevel would be written or a sink would receive it;
/// callers that build costly messages (hex dumps of bytes) ask first.
bool LogWanted(TLogLevel ALevel);

void WriteLog(std::u16string_view ASource, std::u16string_view AMessage, TLogLevel ALevel);
/// The same for ASCII/UTF-8 text (hex dumps, class names).
void WriteLog(std::string_view ASource, std::string_view AMessage, TLogLevel ALevel);

/// The registration name of the driver; names the log file.
void SetLogName(std::u16string_view AName);
/// Writes the start banner when the mode lets lines through and none was written.
void StartLog();

/// The log folder (with a trailing '/') when AFolderOnly, else today's file.
/// The folder is created when missing. The environment variable
/// KORVANDER_LOG_DIR overrides the folder.
std::u16string GetLogFileName(bool AFolderOnly);

/// Empty while the log works; else a one-line description of the first
/// failure to write it, with the count of lines dropped because another
/// process kept the file locked longer than an append waits (reported by
/// GetDescription as LogState).
std::u16string LogTrouble();

/// A file version, major.minor.patch.build.
struct TFileVersion {
    int Part[4] = {0, 0, 0, 0};
};
/// The version this build was made with (the one CMake writes into the
/// Windows version resource).
TFileVersion BuildFileVersion();
/// The library's own file version as "%d.%d.%d.%d" (read from its version
/// resource on Windows); the log banner and the driver description use it.
std::u16string LibraryFileVersion();

/// Optional sink that receives every message regardless of the mode.
using TLogSink =
    std::function<void(std::u16string_view Source, std::u16string_view Message, TLogLevel Level)>;
void SetLogSink(TLogSink ASink);

/// Local wall time as the log stamps it.
struct TLogTime {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};
/// Replaces the log's clock (tests); an empty function restores the real one.
using TLogClock = std::function<TLogTime()>;
void SetLogClock(TLogClock AClock);
/// How long an append waits at most for another process's lock on the file
/// before the line is dropped.
inline constexpr std::chrono::milliseconds DefaultLogLockWait{200};
/// Replaces that wait (tests).
void SetLogLockWait(std::chrono::milliseconds AWait);
/// Forgets the recorded trouble so that the next failure is reported again.
void ClearLogTrouble();

} // namespace korv
