#include "common/Common.LogWin.h"
#include "common/Common.LogPlatform.h"
#include "common/uText.h"

#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

namespace korv::logplatform {

namespace {

// On Windows wchar_t is 16 bits wide: host text and the wide API share units.
const wchar_t* W(const std::u16string& s) {
    return reinterpret_cast<const wchar_t*>(s.c_str());
}

std::u16string U(const wchar_t* s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s));
}

std::u16string LastErrorText(DWORD Err) {
    wchar_t* Buf = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, Err, 0, reinterpret_cast<LPWSTR>(&Buf), 0, nullptr);
    std::u16string Text;
    if (n && Buf) {
        Text = U(Buf);
        while (!Text.empty() && Text.back() <= u' ')
            Text.pop_back();
    }
    if (Buf)
        ::LocalFree(Buf);
    if (Text.empty())
        Text = u"ошибка " + IntToU16(static_cast<long long>(Err));
    return Text;
}

const char16_t* const kOsNames[] = {
    u"Unknown",      u"Windows 95",   u"Windows 98",  u"Windows ME",   u"Windows NT 3",
    u"Windows NT 4", u"Windows 2000", u"Windows XP",  u"Windows 2003", u"Windows Vista",
    u"Windows 7",    u"Windows 8.0",  u"Windows 8.1", u"Windows 10"};

int OsIndex(DWORD Major, DWORD Minor, DWORD Platform) {
    switch (Major) {
    case 3:
        return 4;
    case 4:
        if (Minor == 0)
            return Platform == VER_PLATFORM_WIN32_NT ? 5 : 1;
        if (Minor == 10)
            return 2;
        if (Minor == 90)
            return 3;
        return 0;
    case 5:
        return Minor <= 2 ? 6 + static_cast<int>(Minor) : 0;
    case 6:
        return Minor <= 3 ? 9 + static_cast<int>(Minor) : 0;
    case 10:
        return Minor == 0 ? 13 : 0;
    default:
        return 0;
    }
}

// Adds the Users grant to the log folder's access list when it is missing. Best effort: a
// folder whose list this account may not change still takes this account's lines.
void GrantUsersAppend(const std::u16string& AFolder) {
    std::wstring Path(W(AFolder));
    while (!Path.empty() && (Path.back() == L'\\' || Path.back() == L'/'))
        Path.pop_back();
    PACL Dacl = nullptr;
    PSECURITY_DESCRIPTOR Sd = nullptr;
    if (::GetNamedSecurityInfoW(Path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &Dacl, nullptr, &Sd) != ERROR_SUCCESS)
        return;
    if (PACL NewDacl = LogFolderAclWithUsersGrant(Dacl)) {
        ::SetNamedSecurityInfoW(Path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, NewDacl, nullptr);
        ::LocalFree(NewDacl);
    }
    ::LocalFree(Sd);
}

// Appends lock one byte far past the end of any log, so that readers of the
// file are never refused; a process that locks the whole file holds it too.
constexpr DWORD KLockOffset = 0xFFFFFFFF, KLockOffsetHigh = 0x7FFFFFFF;

enum class TLockResult {
    Held,     // this handle holds the lock
    TimedOut, // another process holds it; nothing may be written
    Unlocked  // the file system refused locking: write without it
};

// A free lock is taken at once, without an event. Only a lock another process
// holds is requested overlapped, and the wait for it blocks on its event with
// the deadline; a request still pending then is cancelled.
TLockResult LockWithin(HANDLE File, HANDLE Event, std::chrono::milliseconds AWait) {
    OVERLAPPED Now{};
    Now.Offset = KLockOffset;
    Now.OffsetHigh = KLockOffsetHigh;
    if (::LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &Now))
        return TLockResult::Held;
    DWORD Unused = 0;
    if (::GetLastError() == ERROR_IO_PENDING && ::GetOverlappedResult(File, &Now, &Unused, TRUE))
        return TLockResult::Held;
    if (::GetLastError() != ERROR_LOCK_VIOLATION)
        return TLockResult::Unlocked;
    OVERLAPPED Ov{};
    Ov.hEvent = Event;
    Ov.Offset = KLockOffset;
    Ov.OffsetHigh = KLockOffsetHigh;
    ::ResetEvent(Event);
    if (!::LockFileEx(File, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &Ov)) {
        if (::GetLastError() != ERROR_IO_PENDING)
            return TLockResult::Unlocked;
        if (::WaitForSingleObject(Event, static_cast<DWORD>(AWait.count())) != WAIT_OBJECT_0)
            ::CancelIoEx(File, &Ov);
    }
    if (::GetOverlappedResult(File, &Ov, &Unused, TRUE))
        return TLockResult::Held; // granted, perhaps just as the wait ran out
    return ::GetLastError() == ERROR_OPERATION_ABORTED ? TLockResult::TimedOut
                                                       : TLockResult::Unlocked;
}

} // namespace

// Every cashier of the machine writes the same daily file, whoever created it: the local Users
// group may create files in the log folder and read and append to the files in it, but not
// overwrite or delete them. Two entries, since the same bits mean different rights on a folder
// (0x2 "add file") and on a file (0x2 "write data"). No entry for Everyone, nothing wider.
namespace {

struct TUsersEntries {
    bool Folder = false;
    bool Files = false;
};

// Which of the two grants the list holds already (given explicitly or inherited).
TUsersEntries FindUsersEntries(PACL ADacl, PSID AUsers) {
    TUsersEntries Found;
    ACL_SIZE_INFORMATION Info{};
    if (!::GetAclInformation(ADacl, &Info, sizeof Info, AclSizeInformation))
        return Found;
    for (DWORD i = 0; i < Info.AceCount; ++i) {
        void* Ace = nullptr;
        if (!::GetAce(ADacl, i, &Ace))
            continue;
        const auto* Allowed = static_cast<const ACCESS_ALLOWED_ACE*>(Ace);
        if (Allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !::EqualSid(AUsers, const_cast<DWORD*>(&Allowed->SidStart)))
            continue;
        const BYTE Flags = Allowed->Header.AceFlags;
        if (!(Flags & INHERIT_ONLY_ACE) &&
            (Allowed->Mask & KLogUsersFolderRights) == KLogUsersFolderRights)
            Found.Folder = true;
        if ((Flags & OBJECT_INHERIT_ACE) &&
            (Allowed->Mask & KLogUsersFileRights) == KLogUsersFileRights)
            Found.Files = true;
    }
    return Found;
}

} // namespace

PACL LogFolderAclWithUsersGrant(PACL ADacl) {
    // No list at all lets everyone in already; a list made of the two entries alone would
    // shut everyone else out.
    if (!ADacl)
        return nullptr;
    BYTE SidBuf[SECURITY_MAX_SID_SIZE];
    DWORD SidSize = sizeof SidBuf;
    if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, SidBuf, &SidSize))
        return nullptr;
    PSID Users = SidBuf;
    const TUsersEntries Found = FindUsersEntries(ADacl, Users);
    EXPLICIT_ACCESSW Grants[2]{};
    ULONG Count = 0;
    auto Add = [&](DWORD ARights, DWORD AInheritance) {
        EXPLICIT_ACCESSW& G = Grants[Count++];
        G.grfAccessPermissions = ARights;
        G.grfAccessMode = GRANT_ACCESS;
        G.grfInheritance = AInheritance;
        G.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        G.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        G.Trustee.ptstrName = static_cast<LPWSTR>(Users);
    };
    if (!Found.Folder)
        Add(KLogUsersFolderRights, NO_INHERITANCE);
    if (!Found.Files)
        Add(KLogUsersFileRights, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE);
    PACL NewDacl = nullptr;
    if (Count == 0 || ::SetEntriesInAclW(Count, Grants, ADacl, &NewDacl) != ERROR_SUCCESS)
        return nullptr;
    return NewDacl;
}

const char16_t PathDelimiter = u'\\';

TLogTime LocalNow() {
    SYSTEMTIME St;
    ::GetLocalTime(&St);
    TLogTime T;
    T.Year = St.wYear;
    T.Month = St.wMonth;
    T.Day = St.wDay;
    T.Hour = St.wHour;
    T.Minute = St.wMinute;
    T.Second = St.wSecond;
    T.Millisecond = St.wMilliseconds;
    return T;
}

std::u16string OsText() {
    // GetVersionEx reports what the manifest allows; ntdll tells the truth.
    using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW Info{};
    Info.dwOSVersionInfoSize = sizeof Info;
    HMODULE Ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto Get = Ntdll ? reinterpret_cast<TRtlGetVersion>(
                           reinterpret_cast<void*>(::GetProcAddress(Ntdll, "RtlGetVersion")))
                     : nullptr;
    if (!Get || Get(&Info) != 0)
        return kOsNames[0];
    std::u16string Text =
        kOsNames[OsIndex(Info.dwMajorVersion, Info.dwMinorVersion, Info.dwPlatformId)];
    Text += u" ";
    const std::u16string Sp = U(Info.szCSDVersion);
    if (!Sp.empty())
        Text += Sp + u" ";
    Text += u"(" + IntToU16(Info.dwMajorVersion) + u"." + IntToU16(Info.dwMinorVersion) + u"." +
            IntToU16(Info.dwBuildNumber) + u")";
    return Text;
}

std::u16string ModuleFileName() {
    HMODULE Module = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ModuleFileName)), &Module))
        return u"Korvander";
    wchar_t Buf[MAX_PATH * 2];
    const DWORD n = ::GetModuleFileNameW(Module, Buf, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2)
        return u"Korvander";
    return std::u16string(reinterpret_cast<const char16_t*>(Buf), n);
}

TFileVersion ModuleFileVersion() {
    // The fixed part of the version resource (VS_FIXEDFILEINFO) follows the
    // "VS_VERSION_INFO" key at the next 32-bit boundary; it is found by its
    // signature, which is all GetFileVersionInfo does either.
    HMODULE Module = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ModuleFileVersion)), &Module))
        return BuildFileVersion();
    HRSRC Res = ::FindResourceW(Module, MAKEINTRESOURCEW(VS_VERSION_INFO),
                                reinterpret_cast<LPCWSTR>(RT_VERSION));
    HGLOBAL Loaded = Res ? ::LoadResource(Module, Res) : nullptr;
    const auto* Data = static_cast<const unsigned char*>(Loaded ? ::LockResource(Loaded) : nullptr);
    const DWORD Size = Res ? ::SizeofResource(Module, Res) : 0;
    if (!Data)
        return BuildFileVersion();
    for (DWORD At = 0; At + sizeof(VS_FIXEDFILEINFO) <= Size; At += 4) {
        VS_FIXEDFILEINFO Fixed;
        std::memcpy(&Fixed, Data + At, sizeof Fixed);
        if (Fixed.dwSignature != VS_FFI_SIGNATURE)
            continue;
        TFileVersion V;
        V.Part[0] = HIWORD(Fixed.dwFileVersionMS);
        V.Part[1] = LOWORD(Fixed.dwFileVersionMS);
        V.Part[2] = HIWORD(Fixed.dwFileVersionLS);
        V.Part[3] = LOWORD(Fixed.dwFileVersionLS);
        return V;
    }
    return BuildFileVersion();
}

std::optional<std::u16string> GetEnv(const char* AName) {
    std::wstring Name;
    for (const char* p = AName; *p; ++p)
        Name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    const DWORD n = ::GetEnvironmentVariableW(Name.c_str(), nullptr, 0);
    if (n == 0)
        return std::nullopt;
    std::wstring Value(n, L'\0');
    const DWORD Got = ::GetEnvironmentVariableW(Name.c_str(), Value.data(), n);
    Value.resize(Got);
    return std::u16string(reinterpret_cast<const char16_t*>(Value.c_str()), Value.size());
}

bool IsRootedPath(std::u16string_view APath) {
    if (APath.size() >= 2 && APath[1] == u':')
        return true;
    return !APath.empty() && (APath.front() == u'\\' || APath.front() == u'/');
}

bool IsPathDelimiter(char16_t C) {
    return C == u'\\' || C == u'/';
}

bool MakeFolders(const std::u16string& AFolder, std::u16string& AReason) {
    for (std::size_t i = 1; i <= AFolder.size(); ++i) {
        if (i != AFolder.size() && !IsPathDelimiter(AFolder[i]))
            continue;
        const std::u16string Part = AFolder.substr(0, i);
        if (Part.size() == 2 && Part[1] == u':')
            continue; // the drive itself
        if (!::CreateDirectoryW(W(Part), nullptr)) {
            const DWORD Err = ::GetLastError();
            if (Err != ERROR_ALREADY_EXISTS && Err != ERROR_ACCESS_DENIED) {
                AReason = LastErrorText(Err);
                return false;
            }
        }
    }
    const DWORD Attr = ::GetFileAttributesW(W(AFolder));
    if (Attr == INVALID_FILE_ATTRIBUTES || !(Attr & FILE_ATTRIBUTE_DIRECTORY)) {
        AReason = u"не папка";
        return false;
    }
    return true;
}

std::vector<std::u16string> LogFolderCandidates(std::u16string_view ABaseName) {
    std::u16string Root = GetEnv("ProgramData").value_or(u"C:\\ProgramData");
    if (Root.empty() || !IsPathDelimiter(Root.back()))
        Root += u"\\";
    return {Root + u"Velmora\\" + std::u16string(ABaseName) + u"\\"};
}

std::u16string DefaultLogFolder(std::u16string_view ABaseName) {
    std::u16string Folder = LogFolderCandidates(ABaseName).front();
    std::u16string Reason;
    if (!MakeFolders(Folder, Reason))
        return Folder; // the failure shows when the file is written
    // Once per folder and process (every line comes here); a plain number, so that it is
    // still there for the stop banner while the library unloads.
    static std::size_t GrantedFolder = 0;
    const std::size_t Key = std::hash<std::u16string>{}(Folder);
    if (GrantedFolder != Key) {
        GrantUsersAppend(Folder);
        GrantedFolder = Key;
    }
    return Folder;
}

namespace {

// The day's file, kept open between appends with the event its overlapped
// requests wait on. Other processes open the same file themselves; every
// append takes the file's lock, as with a fresh open.
struct TOpenLog {
    std::u16string Name;
    HANDLE File = INVALID_HANDLE_VALUE;
    HANDLE Event = nullptr;
};

TOpenLog& OpenLog() {
    // Never destroyed: the stop banner is written while static objects go. Built in the
    // library's own storage, not the heap, so an unloaded library leaves nothing behind.
    alignas(TOpenLog) static unsigned char Storage[sizeof(TOpenLog)];
    static TOpenLog* const L = new (Storage) TOpenLog;
    return *L;
}

// True while the open file still has its name: one deleted meanwhile (allowed
// to others, as with a file opened only for each line) waits for its last
// handle to go, and lines written to it would be lost.
bool StillNamed(HANDLE AFile) {
    FILE_STANDARD_INFO Info{};
    if (!::GetFileInformationByHandleEx(AFile, FileStandardInfo, &Info, sizeof Info))
        return true; // the system cannot tell: keep writing
    return !Info.DeletePending && Info.NumberOfLinks > 0;
}

// The open file for the name, opened again when the name changed (a new day)
// or the file was deleted since it was opened.
TOpenLog* LogFile(const std::u16string& AFileName, std::u16string& AReason) {
    TOpenLog& L = OpenLog();
    if (L.File != INVALID_HANDLE_VALUE) {
        if (L.Name == AFileName && StillNamed(L.File))
            return &L;
        CloseLogFile();
    }
    // Shared for writing: other processes with the driver loaded append to the
    // same file, serialised by the lock below instead of failing to open it;
    // and for deleting, so that the file kept open can still be cleared away.
    // Locking takes read or write-data access; a file this account may only
    // append to is still written, without the lock.
    HANDLE File = INVALID_HANDLE_VALUE;
    for (const DWORD Access : {DWORD(FILE_APPEND_DATA | FILE_READ_DATA), DWORD(FILE_APPEND_DATA)}) {
        File = ::CreateFileW(W(AFileName), Access,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (File != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_ACCESS_DENIED)
            break;
    }
    if (File == INVALID_HANDLE_VALUE) {
        AReason = LastErrorText(::GetLastError());
        return nullptr;
    }
    HANDLE Event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!Event) {
        AReason = LastErrorText(::GetLastError());
        ::CloseHandle(File);
        return nullptr;
    }
    try {
        L.Name = AFileName;
    } catch (...) {
        ::CloseHandle(Event);
        ::CloseHandle(File);
        AReason = u"нет памяти";
        return nullptr;
    }
    L.File = File;
    L.Event = Event;
    return &L;
}

} // namespace

void CloseLogFile() {
    TOpenLog& L = OpenLog();
    if (L.File != INVALID_HANDLE_VALUE)
        ::CloseHandle(L.File);
    if (L.Event)
        ::CloseHandle(L.Event);
    L.File = INVALID_HANDLE_VALUE;
    L.Event = nullptr;
    std::u16string().swap(L.Name); // its heap too: the last close comes as the library unloads
}

TAppendResult AppendToFile(const std::u16string& AFileName, std::string_view ABytes,
                           std::chrono::milliseconds ALockWait, std::u16string& AReason) {
    TOpenLog* L = LogFile(AFileName, AReason);
    if (!L)
        return TAppendResult::Failed;
    const HANDLE File = L->File;
    // A wait that runs out cancels the lock request before it returns, so the
    // file stays open for the next line.
    const TLockResult Lock = LockWithin(File, L->Event, ALockWait);
    TAppendResult Result =
        Lock == TLockResult::TimedOut ? TAppendResult::Busy : TAppendResult::Written;
    std::size_t Done = 0;
    while (Result == TAppendResult::Written && Done < ABytes.size()) {
        // No event: a write still pending is waited for on the file itself,
        // which nothing else uses meanwhile (the caller holds the log's lock).
        OVERLAPPED Ov{};
        Ov.Offset = Ov.OffsetHigh = 0xFFFFFFFF; // at the end of the file
        DWORD Written = 0;
        const DWORD Want =
            static_cast<DWORD>(std::min<std::size_t>(ABytes.size() - Done, 1u << 30));
        if ((!::WriteFile(File, ABytes.data() + Done, Want, nullptr, &Ov) &&
             ::GetLastError() != ERROR_IO_PENDING) ||
            !::GetOverlappedResult(File, &Ov, &Written, TRUE) || Written == 0) {
            AReason = LastErrorText(Written == 0 ? ERROR_WRITE_FAULT : ::GetLastError());
            Result = TAppendResult::Failed;
            break;
        }
        Done += Written;
    }
    if (Lock == TLockResult::Held) {
        OVERLAPPED Ov{};
        Ov.Offset = KLockOffset;
        Ov.OffsetHigh = KLockOffsetHigh;
        ::UnlockFileEx(File, 0, 1, 0, &Ov);
    }
    if (Result == TAppendResult::Failed)
        CloseLogFile(); // the next line opens the file afresh
    return Result;
}

} // namespace korv::logplatform
