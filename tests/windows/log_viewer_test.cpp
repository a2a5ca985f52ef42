// The log viewer form driven as a user would, through window messages: it opens on a folder of
// log files, lists the ".log" files with the last one chosen, shows each file's text in the
// chosen code page, keeps the list fresh when dropped down, and reloads a file that grows.
//
// The form runs its own message loop on a second thread, as it runs on the host's thread; this
// thread finds it and its controls and sends them messages.
//
// usage: log_viewer_test.exe      exit status 0 when every check passed
#include "checks.h"

#include "ui/uLogViewer.h"

#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

using namespace korv;

namespace {

using wintest::Check;
using wintest::gChecks;
using wintest::gFailures;

std::string Narrow(const std::wstring& text) {
    std::string out(text.size() * 3 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(),
                                int(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? std::size_t(n) : 0);
    return out;
}

void WriteBytes(const std::wstring& path, const std::string& bytes, bool append) {
    HANDLE f =
        CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = f != INVALID_HANDLE_VALUE &&
              WriteFile(f, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    Check(ok, "writing " + Narrow(path));
}

std::wstring Text(HWND wnd) {
    std::wstring text(std::size_t(SendMessageW(wnd, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    LRESULT n = SendMessageW(wnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::size_t(n));
    return text;
}

std::vector<std::wstring> Items(HWND combo) {
    std::vector<std::wstring> items;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        std::wstring item(std::size_t(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
        LRESULT n = SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
        item.resize(n > 0 ? std::size_t(n) : 0);
        items.push_back(item);
    }
    return items;
}

// Chooses an entry as the user does: the selection, then the notification to the form.
void Choose(HWND form, HWND combo, int id, int index) {
    SendMessageW(combo, CB_SETCURSEL, index, 0);
    SendMessageW(form, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

// Waits for a condition that another thread or the form's timer brings about.
template <typename Pred> bool WaitFor(Pred pred, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (!pred()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(50);
    }
    return true;
}

// "Привет, журнал" and its bytes in each of the form's code pages.
const wchar_t kGreeting[] = L"Привет, журнал";
const std::string kGreetingUtf8 = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, "
                                  "\xD0\xB6\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB";
const std::string kGreeting1251 = "\xCF\xF0\xE8\xE2\xE5\xF2, \xE6\xF3\xF0\xED\xE0\xEB";
const char* const kEncodingNames[] = {"UTF-8", "ANSI", "OEM"};
const std::string kGreeting866 = "\x8F\xE0\xA8\xA2\xA5\xE2, \xA6\xE3\xE0\xAD\xA0\xAB";

} // namespace

int main() {
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    const std::wstring folder = std::wstring(tmp) + L"korvander-log-viewer-" +
                                std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"archive.log").c_str(), nullptr); // a folder, not a log
    struct LogFile {
        const wchar_t* name;
        std::string greeting;
        int encoding; // its index in the encoding list
    };
    const std::vector<LogFile> files = {
        {L"Korvander_2026.12.01.log", kGreetingUtf8, 0},
        {L"Korvander_2026.12.02.log", kGreeting1251, 1},
        {L"Korvander_2026.12.03.LOG", kGreeting866, 2},
    };
    for (const LogFile& f : files)
        WriteBytes(folder + f.name, "12:00:00\tINFO\tTest: \t" + f.greeting + "\r\nsecond line\n",
                   false);
    WriteBytes(folder + L"notes.txt", "not a log", false);

    std::string failure;
    std::thread viewer([&] {
        try {
            ShowLogViewer(std::u16string(folder.begin(), folder.end()), u"");
        } catch (const std::exception& e) {
            failure = e.what();
        }
    });

    // Ready once it has loaded the last file: the window exists before its controls do.
    HWND form = nullptr;
    WaitFor(
        [&] {
            form = FindWindowW(KLogFormClass, L"Просмотр лога");
            HWND text = form ? GetDlgItem(form, KMemoLog) : nullptr;
            return text && Text(text).find(L"second line") != std::wstring::npos;
        },
        60000);
    Check(form != nullptr, "the form opens, titled \"Просмотр лога\"");
    if (!form) {
        std::printf("the form did not open%s%s\n", failure.empty() ? "" : ": ", failure.c_str());
        viewer.join();
        return 1;
    }
    HWND openDir = GetDlgItem(form, KBtnOpenDir), logFiles = GetDlgItem(form, KCbbLogFiles),
         encoding = GetDlgItem(form, KCbbEncoding), memo = GetDlgItem(form, KMemoLog);
    Check(openDir && logFiles && encoding && memo, "the form has its four controls");

    RECT r;
    GetWindowRect(form, &r);
    Check(r.right - r.left == 884 && r.bottom - r.top == 550, "the form is 884 x 550");
    Check((GetWindowLongW(memo, GWL_STYLE) & ES_READONLY) != 0, "the text is read-only");
    Check(Text(openDir) == L"Открыть папку", "the folder button");

    // The ".log" files only (any case), by name, the last one chosen.
    std::vector<std::wstring> expected;
    for (const LogFile& f : files)
        expected.push_back(f.name);
    Check(Items(logFiles) == expected, "the file list holds the three .log files in order");
    Check(SendMessageW(logFiles, CB_GETCURSEL, 0, 0) == 2, "the last file is chosen on opening");
    Check(Items(encoding) == std::vector<std::wstring>{L"UTF-8", L"ANSI", L"OEM"},
          "the encodings are UTF-8, ANSI, OEM");
    Check(SendMessageW(encoding, CB_GETCURSEL, 0, 0) == 0, "UTF-8 is chosen on opening");
    Check(Text(memo).find(L"second line\r\n") != std::wstring::npos,
          "the last file's lines are ended for the text field");

    // Each file in each encoding: the greeting reads right only in the file's own code page.
    for (std::size_t fi = 0; fi < files.size(); ++fi) {
        for (int enc = 0; enc < 3; ++enc) {
            Choose(form, logFiles, KCbbLogFiles, int(fi));
            Choose(form, encoding, KCbbEncoding, enc);
            const std::wstring text = Text(memo);
            const bool readable = text.find(kGreeting) != std::wstring::npos;
            Check(readable == (enc == files[fi].encoding) &&
                      text.find(L"second line") != std::wstring::npos,
                  Narrow(files[fi].name) + " in " + kEncodingNames[enc] +
                      (files[fi].encoding == enc ? " reads right" : " reads otherwise") + ": \"" +
                      Narrow(text) + "\"");
        }
    }

    // Dropping the list down finds new files and keeps the chosen one.
    Choose(form, encoding, KCbbEncoding, 0);
    Choose(form, logFiles, KCbbLogFiles, 0);
    WriteBytes(folder + L"Korvander_2026.12.04.log", "new day\r\n", false);
    SendMessageW(form, WM_COMMAND, MAKEWPARAM(KCbbLogFiles, CBN_DROPDOWN),
                 reinterpret_cast<LPARAM>(logFiles));
    Check(Items(logFiles).size() == 4, "a dropped-down list holds the new file");
    Check(SendMessageW(logFiles, CB_GETCURSEL, 0, 0) == 0, "the chosen file stays chosen");

    // A line appended to the shown file appears by the form's own timer, the caret kept.
    SendMessageW(memo, EM_SETSEL, 5, 5);
    WriteBytes(folder + files[0].name,
               "\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xB0\xD1\x8F "
               "\xD1\x81\xD1\x82\xD1\x80\xD0\xBE\xD0\xBA\xD0\xB0\r\n",
               true);
    const bool reloaded =
        WaitFor([&] { return Text(memo).find(L"Новая строка\r\n") != std::wstring::npos; }, 20000);
    Check(reloaded, "an appended line is shown within 20 s");
    DWORD start = 0, end = 0;
    SendMessageW(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    Check(start == 5 && end == 5, "the caret stays where it was after the reload");
    Check(Text(memo).find(kGreeting) != std::wstring::npos, "the reload keeps the encoding");

    // Closing ends the call.
    PostMessageW(form, WM_CLOSE, 0, 0);
    viewer.join();
    Check(failure.empty(), "ShowLogViewer returns without an error: " + failure);
    Check(FindWindowW(KLogFormClass, nullptr) == nullptr, "no form is left");
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    Check(!GetClassInfoExW(GetModuleHandleW(nullptr), KLogFormClass, &wc),
          "the window class is gone with the form");

    // A second opening works the same (the class is registered anew).
    std::thread again([&] {
        try {
            ShowLogViewer(std::u16string(folder.begin(), folder.end()), u"");
        } catch (const std::exception& e) {
            failure = e.what();
        }
    });
    HWND second = nullptr;
    WaitFor(
        [&] {
            second = FindWindowW(KLogFormClass, nullptr);
            HWND text = second ? GetDlgItem(second, KMemoLog) : nullptr;
            return text && GetWindowTextLengthW(text) > 0;
        },
        60000);
    Check(second != nullptr && Items(GetDlgItem(second, KCbbLogFiles)).size() == 4,
          "the form opens a second time");
    if (second)
        PostMessageW(second, WM_CLOSE, 0, 0);
    again.join();
    Check(failure.empty(), "the second opening returns without an error: " + failure);

    // A process whose window station is not shown (a service) gets an error at once, not a
    // window that nobody could close.
    HWINSTA shown = GetProcessWindowStation();
    HWINSTA hidden = CreateWindowStationW(nullptr, 0, WINSTA_ALL_ACCESS, nullptr);
    if (hidden && SetProcessWindowStation(hidden)) {
        std::string error;
        try {
            ShowLogViewer(std::u16string(folder.begin(), folder.end()), u"");
        } catch (const std::exception& e) {
            error = e.what();
        }
        Check(!error.empty(), "without a visible desktop the viewer refuses");
        SetProcessWindowStation(shown);
    } else {
        std::printf("note: no hidden window station here; the service case was not checked\n");
    }
    if (hidden)
        CloseWindowStation(hidden);

    for (const LogFile& f : files)
        DeleteFileW((folder + f.name).c_str());
    DeleteFileW((folder + L"Korvander_2026.12.04.log").c_str());
    DeleteFileW((folder + L"notes.txt").c_str());
    RemoveDirectoryW((folder + L"archive.log").c_str());
    RemoveDirectoryW(folder.c_str());

    std::printf("%s: %d checks, %d failed\n", gFailures ? "FAILED" : "ok", gChecks, gFailures);
    return gFailures ? 1 : 0;
}
