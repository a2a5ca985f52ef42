#include "common/Common.LogPlatform.h"
#include "common/uText.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
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

bool AppendToFile(const std::u16string& AFileName, std::string_view ABytes,
                  std::u16string& AReason) {
    const int Fd =
        ::open(Path8(AFileName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (Fd < 0) {
        AReason = ErrnoText(errno);
        return false;
    }
    // Other processes with the driver loaded append to the same file.
    while (::flock(Fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    bool Ok = true;
    std::size_t Done = 0;
    while (Done < ABytes.size()) {
        const ssize_t w = ::write(Fd, ABytes.data() + Done, ABytes.size() - Done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            AReason = ErrnoText(w < 0 ? errno : EIO);
            Ok = false;
            break;
        }
        Done += static_cast<std::size_t>(w);
    }
    ::flock(Fd, LOCK_UN);
    ::close(Fd);
    return Ok;
}

} // namespace korv::logplatform
