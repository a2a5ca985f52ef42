#include "common/Common.LogPlatform.h"
#include "common/uText.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace korv::logplatform {

namespace {

std::string Path8(const std::u16string& Path) {
    return U16ToUtf8(Path);
}

std::u16string ErrnoText(int Err) {
    return Utf8ToU16(std::strerror(Err));
}

bool Writable(const std::u16string& Folder) {
    return ::access(Path8(Folder).c_str(), W_OK | X_OK) == 0;
}

// Waiting for the file lock with a deadline. flock has no timed form, so a
// helper thread makes the blocking call on a duplicate of the caller's
// descriptor (the lock belongs to the open file both share) while the caller
// waits on a condition variable until its deadline. A caller that gives up
// leaves the helper behind: when the lock finally comes it is released at
// once. While such a helper is still blocked, later appends only try the lock
// and do not wait again, so a file locked for good costs one wait in all.

enum class TLockResult {
    Held,     // the caller's descriptor holds the lock
    TimedOut, // another process holds it; nothing may be written
    Unlocked  // the file system refused locking: write without it, as before
};

struct TLockWaiter {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Busy = false;      // a helper is blocked in flock
    bool Abandoned = false; // its caller gave up: release the lock when it comes
    bool Granted = false;   // the lock came while the caller still waited
};

TLockWaiter& Waiter() {
    // Never destroyed: an abandoned helper may outlive every static object.
    static TLockWaiter* const W = new TLockWaiter;
    return *W;
}

// A helper may still be blocked when the host unloads the library; the code
// it returns to must stay mapped, so the library is never unloaded once a
// helper has been started.
void KeepModuleLoaded() {
    static std::once_flag Once;
    std::call_once(Once, [] {
        Dl_info Info{};
        if (::dladdr(reinterpret_cast<void*>(&KeepModuleLoaded), &Info) != 0 && Info.dli_fname)
            ::dlopen(Info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    });
}

void WaitForLock(int Dup) {
    int Rc;
    while ((Rc = ::flock(Dup, LOCK_EX)) != 0 && errno == EINTR) {
    }
    TLockWaiter& W = Waiter();
    {
        std::lock_guard<std::mutex> G(W.Mutex);
        if (Rc == 0 && W.Abandoned)
            ::flock(Dup, LOCK_UN);
        W.Granted = Rc == 0 && !W.Abandoned;
        W.Busy = false;
    }
    // The caller's descriptor keeps the open file, and with it a granted lock.
    ::close(Dup);
    W.Done.notify_all();
}

TLockResult LockWithin(int Fd, std::chrono::milliseconds AWait) {
    const auto Deadline = std::chrono::steady_clock::now() + AWait;
    int Rc;
    while ((Rc = ::flock(Fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (Rc == 0)
        return TLockResult::Held;
    if (errno != EWOULDBLOCK)
        return TLockResult::Unlocked;
    TLockWaiter& W = Waiter();
    std::unique_lock<std::mutex> L(W.Mutex);
    if (W.Busy)
        return TLockResult::TimedOut; // an earlier wait ran out and the lock is still taken
    const int Dup = ::fcntl(Fd, F_DUPFD_CLOEXEC, 0);
    if (Dup < 0)
        return TLockResult::TimedOut;
    KeepModuleLoaded();
    try {
        std::thread(WaitForLock, Dup).detach();
    } catch (...) {
        ::close(Dup);
        return TLockResult::TimedOut;
    }
    W.Busy = true;
    W.Abandoned = false;
    W.Granted = false;
    if (W.Done.wait_until(L, Deadline, [&W] { return !W.Busy; })) {
        if (W.Granted) {
            W.Granted = false;
            return TLockResult::Held;
        }
        return TLockResult::Unlocked;
    }
    W.Abandoned = true;
    return TLockResult::TimedOut;
}

} // namespace

const char16_t PathDelimiter = u'/';

TLogTime LocalNow() {
    const auto Now = std::chrono::system_clock::now();
    const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch());
    const std::time_t Secs = static_cast<std::time_t>(Ms.count() / 1000);
    std::tm Tm{};
    ::localtime_r(&Secs, &Tm);
    TLogTime T;
    T.Year = Tm.tm_year + 1900;
    T.Month = Tm.tm_mon + 1;
    T.Day = Tm.tm_mday;
    T.Hour = Tm.tm_hour;
    T.Minute = Tm.tm_min;
    T.Second = Tm.tm_sec;
    T.Millisecond = static_cast<int>(Ms.count() % 1000);
    return T;
}

std::u16string OsText() {
    struct utsname U {};
    if (::uname(&U) != 0)
        return u"Linux";
    return u"Linux " + Utf8ToU16(U.release);
}

std::u16string ModuleFileName() {
    Dl_info Info{};
    if (::dladdr(reinterpret_cast<void*>(&ModuleFileName), &Info) != 0 && Info.dli_fname)
        return Utf8ToU16(Info.dli_fname);
    return u"Korvander";
}

TFileVersion ModuleFileVersion() {
    return BuildFileVersion();
}

std::optional<std::u16string> GetEnv(const char* AName) {
    const char* Value = std::getenv(AName);
    if (!Value)
        return std::nullopt;
    return Utf8ToU16(Value);
}

bool IsRootedPath(std::u16string_view APath) {
    return !APath.empty() && APath.front() == u'/';
}

bool IsPathDelimiter(char16_t C) {
    return C == u'/';
}

bool MakeFolders(const std::u16string& AFolder, std::u16string& AReason) {
    const std::string Path = Path8(AFolder);
    for (std::size_t i = 1; i <= Path.size(); ++i) {
        if (i != Path.size() && Path[i] != '/')
            continue;
        const std::string Part = Path.substr(0, i);
        if (::mkdir(Part.c_str(), 0755) != 0 && errno != EEXIST) {
            AReason = ErrnoText(errno);
            return false;
        }
    }
    struct stat St {};
    if (::stat(Path.c_str(), &St) != 0 || !S_ISDIR(St.st_mode)) {
        AReason = u"не папка";
        return false;
    }
    return true;
}

std::vector<std::u16string> LogFolderCandidates(std::u16string_view ABaseName) {
    const std::u16string Tail = u"Velmora/" + std::u16string(ABaseName) + u"/";
    std::vector<std::u16string> Out{u"/var/log/" + Tail};
    auto State = GetEnv("XDG_STATE_HOME");
    if (State && IsRootedPath(*State))
        Out.push_back(*State + u"/" + Tail);
    auto Home = GetEnv("HOME");
    if (Home && IsRootedPath(*Home))
        Out.push_back(*Home + u"/.local/state/" + Tail);
    return Out;
}

std::u16string DefaultLogFolder(std::u16string_view ABaseName) {
    const auto Candidates = LogFolderCandidates(ABaseName);
    for (const auto& Folder : Candidates) {
        std::u16string Reason;
        if (MakeFolders(Folder, Reason) && Writable(Folder))
            return Folder;
    }
    return Candidates.front();
}

namespace {

// The day's file, kept open between appends. Other processes open the same
// file themselves; every append takes the file's lock, as with a fresh open.
struct TOpenLog {
    std::string Name;
    int Fd = -1;
    pid_t Pid = 0; // a forked child opens the file again: a shared open file would share its lock
};

TOpenLog& OpenLog() {
    // Never destroyed: the stop banner is written while static objects go. Built in the
    // library's own storage, not the heap, so an unloaded library leaves nothing behind.
    alignas(TOpenLog) static unsigned char Storage[sizeof(TOpenLog)];
    static TOpenLog* const L = new (Storage) TOpenLog;
    return *L;
}

// The descriptor for the file, opened again when the name changed or the file
// was removed (by hand, or with its folder) since it was opened.
int LogFd(const std::u16string& AFileName, std::u16string& AReason) {
    TOpenLog& L = OpenLog();
    const std::string Name = Path8(AFileName);
    if (L.Fd >= 0) {
        struct stat St {};
        if (L.Name == Name && L.Pid == ::getpid() && ::fstat(L.Fd, &St) == 0 && St.st_nlink > 0)
            return L.Fd;
        CloseLogFile();
    }
    const int Fd = ::open(Name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (Fd < 0) {
        AReason = ErrnoText(errno);
        return -1;
    }
    L.Name = Name;
    L.Fd = Fd;
    L.Pid = ::getpid();
    return Fd;
}

} // namespace

void CloseLogFile() {
    TOpenLog& L = OpenLog();
    if (L.Fd >= 0)
        ::close(L.Fd);
    L.Fd = -1;
    std::string().swap(L.Name); // its heap too: the last close comes as the library unloads
}

TAppendResult AppendToFile(const std::u16string& AFileName, std::string_view ABytes,
                           std::chrono::milliseconds ALockWait, std::u16string& AReason) {
    const int Fd = LogFd(AFileName, AReason);
    if (Fd < 0)
        return TAppendResult::Failed;
    // Other processes with the driver loaded append to the same file.
    const TLockResult Lock = LockWithin(Fd, ALockWait);
    if (Lock == TLockResult::TimedOut) {
        // A helper left waiting holds the open file; the next append opens its own.
        CloseLogFile();
        return TAppendResult::Busy;
    }
    TAppendResult Result = TAppendResult::Written;
    std::size_t Done = 0;
    while (Done < ABytes.size()) {
        const ssize_t w = ::write(Fd, ABytes.data() + Done, ABytes.size() - Done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            AReason = ErrnoText(w < 0 ? errno : EIO);
            Result = TAppendResult::Failed;
            break;
        }
        Done += static_cast<std::size_t>(w);
    }
    if (Lock == TLockResult::Held)
        ::flock(Fd, LOCK_UN);
    if (Result == TAppendResult::Failed)
        CloseLogFile();
    return Result;
}

} // namespace korv::logplatform
