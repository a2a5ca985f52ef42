#include "common/Common.Log.h"

#include "common/Common.LogPlatform.h"
#include "common/uText.h"

#include <chrono>
#include <cstdio>
#include <mutex>

namespace korv {

namespace {

struct TLogState {
    std::mutex Lock;
    int Mode = 0;
    bool Started = false;
    std::u16string Name;
    std::u16string Trouble;
    // Lines dropped because another process kept the file locked.
    unsigned long long Dropped = 0;
    TLogSink Sink;
    TLogClock Clock;
    // How long an append waits for another process's lock on the file. The
    // log is written under the process-wide lock in the middle of host calls,
    // so a line is dropped rather than holding them up.
    std::chrono::milliseconds LockWait = DefaultLogLockWait;
    // The folder the lines go to, found once for the name and the folder
    // setting in FolderKey: finding it makes the folders and tests candidates,
    // which costs more than writing a line. Emptied when an append fails.
    std::u16string FolderKey;
    std::u16string Folder;
};

// The state outlives every other static object: destructors elsewhere (the
// add-in's registry at unload, say) may still log. It is never destroyed;
// TLogFinaliser below writes the stop banner at unload instead.
union TImmortalState {
    TLogState S;
    TImmortalState() : S() {}
    ~TImmortalState() {}
};

TLogState& State() {
    static TImmortalState Holder;
    return Holder.S;
}

TLogTime Now(const TLogState& S) {
    return S.Clock ? S.Clock() : logplatform::LocalNow();
}

bool ModeLets(int Mode, TLogLevel Level) {
    switch (Mode) {
    case 1:
        return Level == TLogLevel::Error;
    case 2:
        return Level == TLogLevel::Info || Level == TLogLevel::Error;
    case 3:
        return true;
    default:
        return false;
    }
}

const char* LevelWord(TLogLevel Level) {
    switch (Level) {
    case TLogLevel::Info:
        return "INFO";
    case TLogLevel::Debug:
        return "DEBUG";
    case TLogLevel::Error:
        return "ERROR";
    }
    return "";
}

std::u16string BaseNameOf(std::u16string_view Path) {
    std::size_t Start = 0;
    for (std::size_t i = 0; i < Path.size(); ++i)
        if (logplatform::IsPathDelimiter(Path[i]))
            Start = i + 1;
    return std::u16string(Path.substr(Start));
}

std::u16string WithoutExtension(std::u16string Name) {
    const std::size_t Dot = Name.rfind(u'.');
    if (Dot != std::u16string::npos && Dot > 0)
        Name.resize(Dot);
    return Name;
}

std::u16string Ascii(const char* s) {
    std::u16string Out;
    while (*s)
        Out.push_back(static_cast<unsigned char>(*s++));
    return Out;
}

// The file name rules; the caller holds the lock. With ACached the folder
// found for the same name and folder setting last time is used again.
std::u16string FileNameLocked(TLogState& S, bool AFolderOnly, bool ACached = false) {
    const std::u16string LogName = S.Name.empty() ? logplatform::ModuleFileName() : S.Name;
    if (!AFolderOnly && logplatform::IsRootedPath(S.Name))
        return S.Name;
    std::u16string Base = WithoutExtension(BaseNameOf(LogName));
    if (Base.empty())
        Base = u"Korvander";
    auto Override = logplatform::GetEnv("KORVANDER_LOG_DIR");
    const bool Overridden = Override && !Override->empty();
    const std::u16string Key = Base + u'\n' + (Overridden ? *Override : std::u16string());
    std::u16string Folder;
    if (ACached && !S.Folder.empty() && S.FolderKey == Key) {
        Folder = S.Folder;
    } else if (Overridden) {
        Folder = *Override;
        if (!logplatform::IsPathDelimiter(Folder.back()))
            Folder.push_back(logplatform::PathDelimiter);
        std::u16string Reason;
        if (logplatform::MakeFolders(Folder, Reason)) {
            S.FolderKey = Key;
            S.Folder = Folder;
        } else if (S.Trouble.empty()) {
            S.Trouble = u"Не удалось создать папку лога " + Folder + u": " + Reason;
        }
    } else {
        Folder = logplatform::DefaultLogFolder(Base);
        S.FolderKey = Key;
        S.Folder = Folder;
    }
    if (AFolderOnly)
        return Folder;
    const TLogTime T = Now(S);
    char Day[32];
    std::snprintf(Day, sizeof Day, "_%04d.%02d.%02d.log", T.Year, T.Month, T.Day);
    return Folder + Base + Ascii(Day);
}

void AppendLocked(TLogState& S, std::string_view Bytes) {
    std::u16string File = FileNameLocked(S, false, true);
    std::u16string Reason;
    auto Result = logplatform::AppendToFile(File, Bytes, S.LockWait, Reason);
    // The folder may have gone since it was found: find (make) it again once.
    if (Result == logplatform::TAppendResult::Failed && !S.Folder.empty()) {
        S.Folder.clear();
        File = FileNameLocked(S, false, true);
        Reason.clear();
        Result = logplatform::AppendToFile(File, Bytes, S.LockWait, Reason);
        if (Result == logplatform::TAppendResult::Failed)
            S.Folder.clear();
    }
    switch (Result) {
    case logplatform::TAppendResult::Written:
        break;
    case logplatform::TAppendResult::Busy:
        ++S.Dropped;
        if (S.Trouble.empty())
            S.Trouble = u"Файл лога " + File + u" был занят другим процессом";
        break;
    case logplatform::TAppendResult::Failed:
        if (S.Trouble.empty())
            S.Trouble = u"Не удалось записать лог " + File + u": " + Reason;
        break;
    }
}

void StartBannerLocked(TLogState& S) {
    if (S.Mode == 0 || S.Mode == 4 || S.Started)
        return;
    S.Started = true;
    std::string Text;
    const std::string Blanks(40, ' ');
    Text += Blanks + "\r\n";
    Text += "============Start log=============\r\n";
    Text += "OS version:\t" + U16ToUtf8(logplatform::OsText()) + "\r\n";
    Text += "Application:\t" + U16ToUtf8(BaseNameOf(logplatform::ModuleFileName())) + "\r\n";
    Text += "App. version:\t" + U16ToUtf8(LibraryFileVersion()) + "\r\n";
    Text += Blanks + "\r\n";
    AppendLocked(S, Text);
}

void StopBannerLocked(TLogState& S) {
    if (S.Mode != 0 && S.Mode != 4 && S.Started)
        AppendLocked(S, "============Stop log===============\r\n\r\n");
    S.Started = false;
    logplatform::CloseLogFile();
}

struct TLogFinaliser {
    ~TLogFinaliser() {
        try {
            TLogState& S = State();
            std::lock_guard<std::mutex> G(S.Lock);
            StopBannerLocked(S);
            // The state itself is never destroyed, but what it holds on the heap
            // is handed back: after the library is unloaded nothing could reach it.
            std::u16string().swap(S.Name);
            std::u16string().swap(S.Trouble);
            std::u16string().swap(S.Folder);
            std::u16string().swap(S.FolderKey);
            S.Sink = nullptr;
            S.Clock = nullptr;
        } catch (...) {
        }
    }
} LogFinaliser;

} // namespace

void SetLogMode(int AMode) {
    try {
        TLogState& S = State();
        std::lock_guard<std::mutex> G(S.Lock);
        if (AMode == 4) {
            S.Mode = 4;
            return;
        }
        if (AMode == 0 && S.Mode != 0)
            StopBannerLocked(S);
        S.Mode = AMode;
    } catch (...) {
    }
}

int GetLogMode() {
    TLogState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    return S.Mode;
}

bool LogWanted(TLogLevel ALevel) {
    try {
        TLogState& S = State();
        std::lock_guard<std::mutex> G(S.Lock);
        return S.Sink || ModeLets(S.Mode, ALevel);
    } catch (...) {
        return false;
    }
}

void WriteLog(std::u16string_view ASource, std::u16string_view AMessage, TLogLevel ALevel) {
    try {
        TLogState& S = State();
        TLogSink Sink;
        {
            std::lock_guard<std::mutex> G(S.Lock);
            Sink = S.Sink;
        }
        // The sink runs outside the lock so that it may log itself.
        if (Sink) {
            try {
                Sink(ASource, AMessage, ALevel);
            } catch (...) {
            }
        }
        std::lock_guard<std::mutex> G(S.Lock);
        if (!ModeLets(S.Mode, ALevel))
            return;
        StartBannerLocked(S);
        const TLogTime T = Now(S);
        char Stamp[48];
        std::snprintf(Stamp, sizeof Stamp, "%04d.%02d.%02d %02d:%02d:%02d.%03d\t", T.Year, T.Month,
                      T.Day, T.Hour, T.Minute, T.Second, T.Millisecond);
        std::string Line = Stamp;
        Line += LevelWord(ALevel);
        Line += '\t';
        Line += U16ToUtf8(TrimView(ASource));
        const std::u16string_view Message = TrimView(AMessage);
        if (!Message.empty()) {
            Line += ": \t";
            Line += U16ToUtf8(Message);
        }
        Line += "\r\n";
        AppendLocked(S, Line);
    } catch (...) {
        // The log never makes its caller fail.
    }
}

void WriteLog(std::string_view ASource, std::string_view AMessage, TLogLevel ALevel) {
    try {
        WriteLog(std::u16string_view(Utf8ToU16(ASource)), std::u16string_view(Utf8ToU16(AMessage)),
                 ALevel);
    } catch (...) {
    }
}

void SetLogName(std::u16string_view AName) {
    TLogState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    S.Name = std::u16string(AName);
}

void StartLog() {
    try {
        TLogState& S = State();
        std::lock_guard<std::mutex> G(S.Lock);
        StartBannerLocked(S);
    } catch (...) {
    }
}

std::u16string GetLogFileName(bool AFolderOnly) {
    try {
        TLogState& S = State();
        std::lock_guard<std::mutex> G(S.Lock);
        return FileNameLocked(S, AFolderOnly);
    } catch (...) {
        return {};
    }
}

std::u16string LogTrouble() {
    TLogState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    if (S.Dropped == 0)
        return S.Trouble;
    return S.Trouble + u"; пропущено строк: " + IntToU16(static_cast<long long>(S.Dropped));
}

void ClearLogTrouble() {
    TLogState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    S.Trouble.clear();
    S.Dropped = 0;
}

void SetLogSink(TLogSink ASink) {
    TLogState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    S.Sink = std::move(ASink);
}

void SetLogClock(TLogClock AClock) {
    TLogState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    S.Clock = std::move(AClock);
}

TFileVersion BuildFileVersion() {
    return TFileVersion{{KORVANDER_VERSION_TUPLE}};
}

std::u16string LibraryFileVersion() {
    const TFileVersion V = logplatform::ModuleFileVersion();
    return IntToU16(V.Part[0]) + u"." + IntToU16(V.Part[1]) + u"." + IntToU16(V.Part[2]) + u"." +
           IntToU16(V.Part[3]);
}

void SetLogLockWait(std::chrono::milliseconds AWait) {
    TLogState& S = State();
    std::lock_guard<std::mutex> G(S.Lock);
    S.LockWait = AWait;
}

} // namespace korv
