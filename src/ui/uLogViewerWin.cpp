// The log viewer on Windows: the form TfrmLog in plain Win32.
//
// A top panel with the folder button, the list of log files and the list of
// encodings; below it the chosen file as read-only text. A timer reloads the
// file when it was written since it was loaded. The form is modal: it runs
// its own message loop on the host's thread and is gone (with its window
// class) before the call returns, so no window of ours outlives the call or
// the library.

#include "ui/uLogViewer.h"

#include "common/uEquipmentErrors.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace korv {

namespace {

constexpr wchar_t KCaption[] = L"Просмотр лога";
constexpr int KFormWidth = 884;
constexpr int KFormHeight = 550;
constexpr int KPanelHeight = 33;
constexpr UINT_PTR KTmrCheckFile = 1;
constexpr UINT KCheckInterval = 1000;

struct TEncoding {
    const wchar_t* Name;
    UINT CodePage;
};
const TEncoding KEncodings[] = {{L"UTF-8", 65001}, {L"ANSI", 1251}, {L"OEM", 866}};

std::wstring Wide(const std::u16string& S) {
    return std::wstring(S.begin(), S.end());
}

std::u16string Utf16(const std::wstring& S) {
    return std::u16string(S.begin(), S.end());
}

std::wstring ErrorText(DWORD AErr) {
    wchar_t* Buf = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, AErr, 0, reinterpret_cast<LPWSTR>(&Buf), 0, nullptr);
    std::wstring Text = n && Buf ? std::wstring(Buf, n) : L"ошибка " + std::to_wstring(AErr);
    if (Buf)
        ::LocalFree(Buf);
    while (!Text.empty() && Text.back() <= L' ')
        Text.pop_back();
    return Text;
}

bool HasLogExtension(const std::wstring& AName) {
    if (AName.size() < 4)
        return false;
    std::wstring Ext = AName.substr(AName.size() - 4);
    for (wchar_t& C : Ext)
        C = static_cast<wchar_t>(::towlower(C));
    return Ext == L".log";
}

/// The edit control shows lines ended by CR LF only and stops at a NUL.
std::wstring ForEdit(const std::wstring& AText) {
    std::wstring Out;
    Out.reserve(AText.size() + AText.size() / 32);
    for (std::size_t i = 0; i < AText.size(); ++i) {
        const wchar_t C = AText[i];
        if (C == L'\r') {
            Out += L"\r\n";
            if (i + 1 < AText.size() && AText[i + 1] == L'\n')
                ++i;
        } else if (C == L'\n') {
            Out += L"\r\n";
        } else {
            Out += C ? C : L' ';
        }
    }
    return Out;
}

HINSTANCE ThisModule() {
    HMODULE Module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ThisModule)), &Module);
    return Module;
}

// A service (a server process without a desktop) could never show the form:
// a modal window nobody sees would hold the call for good.
bool HasVisibleDesktop() {
    USEROBJECTFLAGS Flags{};
    DWORD Needed = 0;
    HWINSTA Station = ::GetProcessWindowStation();
    if (!Station || !::GetUserObjectInformationW(Station, UOI_FLAGS, &Flags, sizeof Flags, &Needed))
        return true;
    return (Flags.dwFlags & WSF_VISIBLE) != 0;
}

class TfrmLog {
public:
    TfrmLog(std::wstring AFolder) : FFolder(std::move(AFolder)) {
        if (!FFolder.empty() && FFolder.back() != L'\\' && FFolder.back() != L'/')
            FFolder += L'\\';
    }
    TfrmLog(const TfrmLog&) = delete;
    TfrmLog& operator=(const TfrmLog&) = delete;
    ~TfrmLog() {
        if (FMemoFont)
            ::DeleteObject(FMemoFont);
    }

    void ShowModal();

private:
    static LRESULT CALLBACK WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL);
    LRESULT Handle(UINT AMsg, WPARAM AW, LPARAM AL);
    void RunLoop();
    void CreateControls();
    void Layout();
    void FillFiles();
    std::wstring SelectedFile() const;
    void LoadFile(bool AKeepCaret);
    void CheckFile();
    void OpenDir();
    void Close();

    std::wstring FFolder;
    HWND FForm = nullptr;
    HWND FOwner = nullptr;
    HWND FBtnOpenDir = nullptr;
    HWND FCbbLogFiles = nullptr;
    HWND FCbbEncoding = nullptr;
    HWND FMemo = nullptr;
    HFONT FMemoFont = nullptr;
    std::wstring FLoadedFile;
    FILETIME FLoadedTime{};
    ULONGLONG FLoadedSize = 0;
};

LRESULT CALLBACK TfrmLog::WndProc(HWND AWnd, UINT AMsg, WPARAM AW, LPARAM AL) {
    if (AMsg == WM_NCCREATE) {
        auto* Form = static_cast<TfrmLog*>(reinterpret_cast<CREATESTRUCTW*>(AL)->lpCreateParams);
        Form->FForm = AWnd;
        ::SetWindowLongPtrW(AWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Form));
    }
    auto* Form = reinterpret_cast<TfrmLog*>(::GetWindowLongPtrW(AWnd, GWLP_USERDATA));
    if (!Form)
        return ::DefWindowProcW(AWnd, AMsg, AW, AL);
    // Nothing may unwind through the system's frames.
    try {
        return Form->Handle(AMsg, AW, AL);
    } catch (...) {
        return ::DefWindowProcW(AWnd, AMsg, AW, AL);
    }
}

LRESULT TfrmLog::Handle(UINT AMsg, WPARAM AW, LPARAM AL) {
    const HWND Wnd = FForm;
    switch (AMsg) {
    case WM_CREATE:
        CreateControls();
        return 0;
    case WM_SIZE:
        Layout();
        return 0;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(AL)->ptMinTrackSize = POINT{400, 200};
        return 0;
    case WM_COMMAND: {
        const int Id = LOWORD(AW), Code = HIWORD(AW);
        if (Id == KBtnOpenDir && Code == BN_CLICKED)
            OpenDir();
        else if (Id == KCbbLogFiles && Code == CBN_DROPDOWN)
            FillFiles();
        else if ((Id == KCbbLogFiles || Id == KCbbEncoding) && Code == CBN_SELCHANGE)
            LoadFile(false);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        // The read-only text keeps the colours of a text field.
        if (reinterpret_cast<HWND>(AL) == FMemo) {
            HDC Dc = reinterpret_cast<HDC>(AW);
            ::SetTextColor(Dc, ::GetSysColor(COLOR_WINDOWTEXT));
            ::SetBkColor(Dc, ::GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    case WM_TIMER:
        if (AW == KTmrCheckFile)
            CheckFile();
        return 0;
    case WM_CLOSE:
        Close();
        return 0;
    case WM_DESTROY:
        ::KillTimer(FForm, KTmrCheckFile);
        return 0;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(Wnd, GWLP_USERDATA, 0);
        FForm = nullptr;
        break;
    default:
        break;
    }
    return ::DefWindowProcW(Wnd, AMsg, AW, AL);
}

void TfrmLog::CreateControls() {
    const HINSTANCE Inst = ThisModule();
    const auto Font = reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT));
    auto Child = [&](DWORD AExStyle, const wchar_t* AClass, const wchar_t* AText, DWORD AStyle,
                     int AId) {
        HWND H = ::CreateWindowExW(
            AExStyle, AClass, AText, WS_CHILD | WS_VISIBLE | AStyle, 0, 0, 10, 10, FForm,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(AId)), Inst, nullptr);
        if (H)
            ::SendMessageW(H, WM_SETFONT, Font, FALSE);
        return H;
    };
    FBtnOpenDir = Child(0, L"BUTTON", L"Открыть папку", WS_TABSTOP | BS_PUSHBUTTON, KBtnOpenDir);
    FCbbLogFiles =
        Child(0, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, KCbbLogFiles);
    FCbbEncoding =
        Child(0, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, KCbbEncoding);
    FMemo = Child(WS_EX_CLIENTEDGE, L"EDIT", L"",
                  WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                      ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
                  KMemoLog);
    // Log lines line up in columns only in a fixed-pitch font.
    FMemoFont = ::CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                              FIXED_PITCH | FF_MODERN, L"Courier New");
    if (FMemo && FMemoFont)
        ::SendMessageW(FMemo, WM_SETFONT, reinterpret_cast<WPARAM>(FMemoFont), FALSE);
    if (FMemo)
        ::SendMessageW(FMemo, EM_SETLIMITTEXT, 0, 0);
    if (FCbbEncoding) {
        for (const TEncoding& E : KEncodings)
            ::SendMessageW(FCbbEncoding, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(E.Name));
        ::SendMessageW(FCbbEncoding, CB_SETCURSEL, 0, 0);
    }
}

void TfrmLog::Layout() {
    RECT R;
    ::GetClientRect(FForm, &R);
    const int Width = R.right - R.left, Height = R.bottom - R.top;
    ::MoveWindow(FBtnOpenDir, 4, 4, 120, 25, TRUE);
    ::MoveWindow(FCbbLogFiles, 130, 5, 360, 300, TRUE);
    ::MoveWindow(FCbbEncoding, 496, 5, 100, 200, TRUE);
    ::MoveWindow(FMemo, 0, KPanelHeight, Width, std::max(0, Height - KPanelHeight), TRUE);
}

std::wstring TfrmLog::SelectedFile() const {
    const LRESULT Index = ::SendMessageW(FCbbLogFiles, CB_GETCURSEL, 0, 0);
    if (Index == CB_ERR)
        return {};
    const LRESULT Length = ::SendMessageW(FCbbLogFiles, CB_GETLBTEXTLEN, Index, 0);
    if (Length == CB_ERR)
        return {};
    std::wstring Name(static_cast<std::size_t>(Length) + 1, L'\0');
    ::SendMessageW(FCbbLogFiles, CB_GETLBTEXT, Index, reinterpret_cast<LPARAM>(Name.data()));
    Name.resize(static_cast<std::size_t>(Length));
    return Name;
}

// The ".log" files of the folder, by name (the daily files' names sort by
// date). The chosen file stays chosen while it exists.
void TfrmLog::FillFiles() {
    const std::wstring Keep = SelectedFile();
    std::vector<std::wstring> Names;
    WIN32_FIND_DATAW Found;
    HANDLE Find = ::FindFirstFileW((FFolder + L"*").c_str(), &Found);
    if (Find != INVALID_HANDLE_VALUE) {
        do {
            if (!(Found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                HasLogExtension(Found.cFileName))
                Names.emplace_back(Found.cFileName);
        } while (::FindNextFileW(Find, &Found));
        ::FindClose(Find);
    }
    std::sort(Names.begin(), Names.end(), [](const std::wstring& A, const std::wstring& B) {
        return ::CompareStringOrdinal(A.c_str(), int(A.size()), B.c_str(), int(B.size()), TRUE) ==
               CSTR_LESS_THAN;
    });
    ::SendMessageW(FCbbLogFiles, CB_RESETCONTENT, 0, 0);
    for (const std::wstring& Name : Names)
        ::SendMessageW(FCbbLogFiles, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Name.c_str()));
    if (!Keep.empty())
        ::SendMessageW(FCbbLogFiles, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(Keep.c_str()));
}

void TfrmLog::LoadFile(bool AKeepCaret) {
    DWORD SelStart = 0, SelEnd = 0;
    if (AKeepCaret)
        ::SendMessageW(FMemo, EM_GETSEL, reinterpret_cast<WPARAM>(&SelStart),
                       reinterpret_cast<LPARAM>(&SelEnd));
    const std::wstring Name = SelectedFile();
    FLoadedFile.clear();
    if (Name.empty()) {
        ::SetWindowTextW(FMemo, L"");
        return;
    }
    const std::wstring Path = FFolder + Name;
    // The driver may be appending to it at the same time.
    HANDLE File = ::CreateFileW(Path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (File == INVALID_HANDLE_VALUE) {
        const std::wstring Reason = ErrorText(::GetLastError());
        ::SetWindowTextW(FMemo, (L"Не удалось открыть файл " + Path + L": " + Reason).c_str());
        return;
    }
    BY_HANDLE_FILE_INFORMATION Info{};
    std::string Bytes;
    bool Ok = ::GetFileInformationByHandle(File, &Info) != 0;
    if (Ok) {
        const ULONGLONG Size = (ULONGLONG(Info.nFileSizeHigh) << 32) | Info.nFileSizeLow;
        // The edit control holds at most 2^31 characters anyway.
        Bytes.resize(static_cast<std::size_t>(std::min<ULONGLONG>(Size, 0x7FFFFFF0)));
        std::size_t Done = 0;
        while (Ok && Done < Bytes.size()) {
            DWORD Got = 0;
            const DWORD Want =
                static_cast<DWORD>(std::min<std::size_t>(Bytes.size() - Done, 1 << 24));
            Ok = ::ReadFile(File, Bytes.data() + Done, Want, &Got, nullptr) != 0;
            if (Got == 0)
                break;
            Done += Got;
        }
        Bytes.resize(Done);
    }
    const DWORD Err = Ok ? 0 : ::GetLastError();
    ::CloseHandle(File);
    if (!Ok) {
        ::SetWindowTextW(FMemo,
                         (L"Не удалось прочитать файл " + Path + L": " + ErrorText(Err)).c_str());
        return;
    }
    LRESULT Enc = ::SendMessageW(FCbbEncoding, CB_GETCURSEL, 0, 0);
    if (Enc < 0 || Enc >= LRESULT(std::size(KEncodings)))
        Enc = 0;
    std::wstring Text;
    if (!Bytes.empty()) {
        const UINT Cp = KEncodings[Enc].CodePage;
        const int n = ::MultiByteToWideChar(Cp, 0, Bytes.data(), int(Bytes.size()), nullptr, 0);
        Text.resize(static_cast<std::size_t>(std::max(n, 0)));
        if (n > 0)
            ::MultiByteToWideChar(Cp, 0, Bytes.data(), int(Bytes.size()), Text.data(), n);
    }
    ::SetWindowTextW(FMemo, ForEdit(Text).c_str());
    FLoadedFile = Path;
    FLoadedTime = Info.ftLastWriteTime;
    FLoadedSize = Bytes.size();
    if (AKeepCaret) {
        ::SendMessageW(FMemo, EM_SETSEL, SelStart, SelEnd);
        ::SendMessageW(FMemo, EM_SCROLLCARET, 0, 0);
        ::SetFocus(FMemo);
    }
}

// The timer: reloads the file once it was written after it was loaded. The
// size counts too: two appends within one tick of the file system's clock
// leave the time as it was.
void TfrmLog::CheckFile() {
    if (FLoadedFile.empty())
        return;
    WIN32_FILE_ATTRIBUTE_DATA Data;
    if (!::GetFileAttributesExW(FLoadedFile.c_str(), GetFileExInfoStandard, &Data))
        return;
    const ULONGLONG Size = (ULONGLONG(Data.nFileSizeHigh) << 32) | Data.nFileSizeLow;
    if (::CompareFileTime(&Data.ftLastWriteTime, &FLoadedTime) > 0 || Size != FLoadedSize)
        LoadFile(true);
}

void TfrmLog::OpenDir() {
    const auto Rc = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(FForm, L"explore", FFolder.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (Rc <= 32)
        ::MessageBoxW(
            FForm,
            (L"Не удалось открыть папку " + FFolder + L" (код " + std::to_wstring(Rc) + L")")
                .c_str(),
            KCaption, MB_OK | MB_ICONERROR);
}

void TfrmLog::Close() {
    // The owner is enabled before the form goes, so that it gets the focus back.
    if (FOwner)
        ::EnableWindow(FOwner, TRUE);
    ::DestroyWindow(FForm);
}

void TfrmLog::ShowModal() {
    const HINSTANCE Inst = ThisModule();
    WNDCLASSEXW Class{};
    Class.cbSize = sizeof Class;
    Class.lpfnWndProc = &TfrmLog::WndProc;
    Class.hInstance = Inst;
    Class.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    Class.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    Class.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
    Class.lpszClassName = KLogFormClass;
    if (!::RegisterClassExW(&Class) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw EDriverError(u"Не удалось открыть окно просмотра лога: " +
                           Utf16(ErrorText(::GetLastError())));

    // Centred on the screen's work area.
    RECT Work{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &Work, 0);
    const int X = Work.left + std::max(0, (int(Work.right - Work.left) - KFormWidth) / 2);
    const int Y = Work.top + std::max(0, (int(Work.bottom - Work.top) - KFormHeight) / 2);

    FOwner = ::GetActiveWindow();
    ::CreateWindowExW(WS_EX_CONTROLPARENT, KLogFormClass, KCaption,
                      WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, X, Y, KFormWidth, KFormHeight, FOwner,
                      nullptr, Inst, this);
    if (!FForm) {
        const DWORD Err = ::GetLastError();
        ::UnregisterClassW(KLogFormClass, Inst);
        throw EDriverError(u"Не удалось открыть окно просмотра лога: " + Utf16(ErrorText(Err)));
    }
    if (FOwner)
        ::EnableWindow(FOwner, FALSE);
    try {
        RunLoop();
    } catch (...) {
        if (FForm)
            Close();
        ::UnregisterClassW(KLogFormClass, Inst);
        throw;
    }
    ::UnregisterClassW(KLogFormClass, Inst);
}

void TfrmLog::RunLoop() {
    FillFiles();
    const LRESULT Count = ::SendMessageW(FCbbLogFiles, CB_GETCOUNT, 0, 0);
    if (Count > 0) {
        ::SendMessageW(FCbbLogFiles, CB_SETCURSEL, static_cast<WPARAM>(Count - 1), 0);
        LoadFile(false);
    }
    ::SetTimer(FForm, KTmrCheckFile, KCheckInterval, nullptr);
    ::ShowWindow(FForm, SW_SHOWNORMAL);
    ::UpdateWindow(FForm);
    ::SetFocus(FMemo);

    bool Quit = false;
    WPARAM QuitCode = 0;
    MSG Msg;
    while (FForm) {
        const BOOL Got = ::GetMessageW(&Msg, nullptr, 0, 0);
        if (Got == 0) {
            Quit = true;
            QuitCode = Msg.wParam;
            break;
        }
        if (Got < 0)
            break;
        if (!FForm || !::IsDialogMessageW(FForm, &Msg)) {
            ::TranslateMessage(&Msg);
            ::DispatchMessageW(&Msg);
        }
    }
    if (FForm)
        Close();
    // A quit request of the host's belongs to the host's own loop.
    if (Quit)
        ::PostQuitMessage(static_cast<int>(QuitCode));
}

} // namespace

void ShowLogViewer(const std::u16string& AFolder, const std::u16string&) {
    if (!HasVisibleDesktop())
        throw EDriverError(u"Окно просмотра лога нельзя показать: у процесса нет рабочего стола. "
                           u"Папка лога: " +
                           AFolder);
    TfrmLog Form(Wide(AFolder));
    Form.ShowModal();
}

} // namespace korv
