// The Windows log file: the day's file is held open between lines and shared with other
// processes, which append to it under the same lock; lines of two writers land whole; another
// process's lock past the end holds a line back for the lock wait only; a new day goes to a new
// file and lets the old one go; stopping the log lets the file go; the file held open may
// still be deleted. Prints the cost of a logged line.
//
// usage: log_file_test.exe                    every check; exit status 0 when all passed
//        log_file_test.exe writer FOLDER N    the second writer the test starts itself
#include "checks.h"

#include "common/Common.Log.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace korv;

using wintest::Check;
using wintest::gChecks;
using wintest::gFailures;

// The appends' lock: one byte far past the end of any log.
constexpr DWORD KLockOffset = 0xFFFFFFFF, KLockOffsetHigh = 0x7FFFFFFF;
constexpr int KLines = 300;
const std::string KPayload(200, 'x');

std::u16string U16(const std::wstring& AText) {
    return std::u16string(AText.begin(), AText.end());
}

TLogTime Day(int ADay) {
    TLogTime T;
    T.Year = 2031;
    T.Month = 5;
    T.Day = ADay;
    T.Hour = 12;
    return T;
}

void UseFolder(const std::wstring& AFolder, int ADay) {
    SetEnvironmentVariableW(L"KORVANDER_LOG_DIR", AFolder.c_str());
    SetLogName(u"LogTest");
    SetLogClock([ADay] { return Day(ADay); });
    SetLogMode(3);
}

std::wstring DayFile(const std::wstring& AFolder, int ADay) {
    wchar_t Name[64];
    swprintf(Name, 64, L"LogTest_2031.05.%02d.log", ADay);
    return AFolder + Name;
}

std::string ReadAll(const std::wstring& AFile) {
    HANDLE F = CreateFileW(AFile.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (F == INVALID_HANDLE_VALUE)
        return {};
    std::string Bytes;
    char Buf[65536];
    DWORD Got = 0;
    while (ReadFile(F, Buf, sizeof Buf, &Got, nullptr) && Got > 0)
        Bytes.append(Buf, Got);
    CloseHandle(F);
    return Bytes;
}

// True while some handle keeps the file open: opening it without sharing fails.
bool HeldOpen(const std::wstring& AFile) {
    HANDLE F = CreateFileW(AFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (F == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(F);
    return false;
}

std::vector<std::string> Lines(const std::string& ABytes) {
    std::vector<std::string> Out;
    std::size_t At = 0;
    while (At < ABytes.size()) {
        const std::size_t End = ABytes.find("\r\n", At);
        if (End == std::string::npos) {
            Out.push_back(ABytes.substr(At));
            break;
        }
        Out.push_back(ABytes.substr(At, End - At));
        At = End + 2;
    }
    return Out;
}

void WriteLines(const char* ATag, int ACount) {
    for (int i = 0; i < ACount; ++i)
        WriteLog("Writer", std::string(ATag) + " " + std::to_string(i) + " " + KPayload,
                 TLogLevel::Info);
}

// The lines of writer ATag, each whole and in order: "<stamp>\tINFO\tWriter: \t<tag> <i> <x...>".
bool WholeAndInOrder(const std::vector<std::string>& ALines, const std::string& ATag, int ACount) {
    int Next = 0;
    for (const auto& L : ALines) {
        const std::size_t At = L.find("\tINFO\tWriter: \t" + ATag + " ");
        if (At == std::string::npos)
            continue;
        const std::string Expected = ATag + " " + std::to_string(Next) + " " + KPayload;
        if (At != 23 || L.substr(At + 15) != Expected)
            return false;
        ++Next;
    }
    return Next == ACount;
}

int Writer(const std::wstring& AFolder, int ACount) {
    UseFolder(AFolder + L"\\", 1);
    WriteLines("B", ACount);
    SetLogMode(0);
    return 0;
}

bool UnderWine() {
    HMODULE Ntdll = GetModuleHandleW(L"ntdll.dll");
    return Ntdll && GetProcAddress(Ntdll, "wine_get_version");
}

void HeldBack(const std::wstring& AFile) {
    HANDLE Other = CreateFileW(AFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    OVERLAPPED Ov{};
    Ov.Offset = KLockOffset;
    Ov.OffsetHigh = KLockOffsetHigh;
    const bool Locked =
        Other != INVALID_HANDLE_VALUE &&
        LockFileEx(Other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &Ov);
    Check(Locked, "another handle takes the appends' lock");
    SetLogLockWait(std::chrono::milliseconds(100));
    const auto Start = std::chrono::steady_clock::now();
    WriteLog("Check", "held back", TLogLevel::Info);
    const auto Waited = std::chrono::steady_clock::now() - Start;
    Check(Waited >= std::chrono::milliseconds(90) && Waited < std::chrono::seconds(10),
          "the line waits the lock wait, blocked");
    Check(ReadAll(AFile).find("held back") == std::string::npos, "a locked file takes no line");
    Check(LogTrouble().find(u"занят") != std::u16string::npos, "the dropped line is told");
    if (Locked)
        UnlockFileEx(Other, 0, 1, 0, &Ov);
    if (Other != INVALID_HANDLE_VALUE)
        CloseHandle(Other);
}

void Run(const std::wstring& AFolder, const wchar_t* ASelf) {
    UseFolder(AFolder, 1);
    const std::wstring File1 = DayFile(AFolder, 1);
    Check(GetLogFileName(false) == U16(File1), "the day's file name");
    WriteLog("Check", "first line", TLogLevel::Info);
    Check(ReadAll(File1).find("first line\r\n") != std::string::npos, "a line lands");
    Check(HeldOpen(File1), "the day's file is held open between lines");

    // Two processes append at once: every line of each lands whole and in its order.
    // The folder without its closing backslash, which would escape the quote.
    std::wstring Command = std::wstring(L"\"") + ASelf + L"\" writer \"" +
                           AFolder.substr(0, AFolder.size() - 1) + L"\" " + std::to_wstring(KLines);
    STARTUPINFOW Si{};
    Si.cb = sizeof Si;
    PROCESS_INFORMATION Pi{};
    const bool Started = CreateProcessW(nullptr, Command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &Si, &Pi);
    Check(Started, "the second writer starts");
    WriteLines("A", KLines);
    if (Started) {
        WaitForSingleObject(Pi.hProcess, 60000);
        DWORD Exit = 1;
        GetExitCodeProcess(Pi.hProcess, &Exit);
        Check(Exit == 0, "the second writer ends well");
        CloseHandle(Pi.hThread);
        CloseHandle(Pi.hProcess);
    }
    auto All = Lines(ReadAll(File1));
    Check(WholeAndInOrder(All, "A", KLines), "this process's lines are all there, whole");
    Check(WholeAndInOrder(All, "B", KLines), "the other process's lines are all there, whole");
    Check(LogTrouble().empty(), "no trouble while two processes write");

    // Another process holding the lock: the line waits the lock wait, is dropped and told;
    // once the lock goes, lines land again through the same open file. Wine never grants an
    // overlapped lock request that has to wait (it leaves it pending, unsignalled, and the
    // cancel finds nothing), so there the line is written unlocked after the wait.
    if (UnderWine())
        std::printf("skipped under Wine: a line held back by another process's lock\n");
    else
        HeldBack(File1);
    ClearLogTrouble();
    SetLogLockWait(DefaultLogLockWait);
    WriteLog("Check", "after the lock", TLogLevel::Info);
    Check(ReadAll(File1).find("after the lock\r\n") != std::string::npos,
          "lines land again once the lock is gone");

    // A new day: its lines go to its own file, and the last day's file is let go.
    SetLogClock([] { return Day(2); });
    const std::wstring File2 = DayFile(AFolder, 2);
    WriteLog("Check", "second day", TLogLevel::Info);
    Check(ReadAll(File2).find("second day\r\n") != std::string::npos,
          "a new day's line goes to the new day's file");
    Check(ReadAll(File1).find("second day") == std::string::npos, "and not to the last one");
    Check(!HeldOpen(File1), "the last day's file is closed");
    Check(HeldOpen(File2), "the new day's file is held");

    // The cost of a line with the file held open.
    constexpr int KTimed = 2000;
    const auto T0 = std::chrono::steady_clock::now();
    for (int i = 0; i < KTimed; ++i)
        WriteLog("Cost", "a line of about the length of a command's bytes 02 05 11 1E 00 00 00 0A",
                 TLogLevel::Info);
    const double Us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - T0).count() /
        KTimed;
    std::printf("a logged line costs %.1f us\n", Us);

    // The file held open may still be deleted, as one written line by line could be.
    Check(DeleteFileW(File2.c_str()) != FALSE, "the held file can be deleted");

    // Stopping the log writes the stop banner and lets the file go.
    SetLogClock([] { return Day(3); });
    const std::wstring File3 = DayFile(AFolder, 3);
    WriteLog("Check", "third day", TLogLevel::Info);
    SetLogMode(0);
    Check(ReadAll(File3).find("Stop log") != std::string::npos, "the stop banner is written");
    Check(!HeldOpen(File3), "a stopped log holds no file");
    Check(LogTrouble().empty(), "no trouble at the end");
}

// Removes the test's folder and its files.
void RemoveFolder(const std::wstring& AFolder) {
    WIN32_FIND_DATAW Found{};
    HANDLE Find = FindFirstFileW((AFolder + L"*").c_str(), &Found);
    if (Find != INVALID_HANDLE_VALUE) {
        do {
            if (!(Found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((AFolder + Found.cFileName).c_str());
        } while (FindNextFileW(Find, &Found));
        FindClose(Find);
    }
    RemoveDirectoryW(AFolder.c_str());
}

} // namespace

int main() {
    int Argc = 0;
    wchar_t** Argv = CommandLineToArgvW(GetCommandLineW(), &Argc);
    if (!Argv)
        return 2;
    if (Argc >= 2 && std::wstring(Argv[1]) == L"writer")
        return Argc == 4 ? Writer(Argv[2], _wtoi(Argv[3])) : 2;
    wchar_t Temp[MAX_PATH];
    GetTempPathW(MAX_PATH, Temp);
    const std::wstring Folder = std::wstring(Temp) + L"korvander-log-test-" +
                                std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(Folder.c_str(), nullptr);
    wchar_t Self[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, Self, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2)
        return 2;
    Run(Folder, Self);
    RemoveFolder(Folder);
    LocalFree(Argv);
    std::printf("%s: log file, %d checks, %d failed\n", gFailures ? "FAILED" : "ok", gChecks,
                gFailures);
    return gFailures ? 1 : 0;
}
