#include "transport/uCommManager.h"

#include "common/uText.h"

#include <windows.h>

namespace korv {

namespace {

HANDLE H(std::intptr_t AHandle) {
    return reinterpret_cast<HANDLE>(AHandle);
}

std::u16string SystemText(DWORD AErr) {
    wchar_t* Buf = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, AErr, 0, reinterpret_cast<LPWSTR>(&Buf), 0, nullptr);
    std::u16string Text;
    if (n && Buf)
        Text.assign(reinterpret_cast<const char16_t*>(Buf), n);
    if (Buf)
        ::LocalFree(Buf);
    while (!Text.empty() && Text.back() <= u' ')
        Text.pop_back();
    if (Text.empty())
        Text = u"Системная ошибка " + IntToU16(static_cast<long long>(AErr));
    return Text;
}

COMMTIMEOUTS ToOs(const TCommTimeouts& T) {
    COMMTIMEOUTS C{};
    C.ReadIntervalTimeout = T.ReadIntervalTimeout;
    C.ReadTotalTimeoutMultiplier = T.ReadTotalTimeoutMultiplier;
    C.ReadTotalTimeoutConstant = T.ReadTotalTimeoutConstant;
    C.WriteTotalTimeoutMultiplier = T.WriteTotalTimeoutMultiplier;
    C.WriteTotalTimeoutConstant = T.WriteTotalTimeoutConstant;
    return C;
}

} // namespace

std::string ComPortSystemName(int APortNumber) {
    // The "\\.\" form opens COM10 and above as well.
    if (APortNumber < 1)
        return {};
    return "\\\\.\\COM" + std::to_string(APortNumber);
}

void TComm::PlatformLastError(std::u16string& AText, std::u16string& AReason) {
    const DWORD Err = ::GetLastError();
    AText = SystemText(Err);
    switch (Err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        AReason = u"нет такого устройства";
        break;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        AReason = u"не является последовательным портом";
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        AReason = u"занят другим приложением";
        break;
    default:
        AReason = AText;
        break;
    }
}

bool TComm::PlatformOpen() {
    const std::string Name = DeviceName();
    const std::u16string Wide = Utf8ToU16(Name);
    HANDLE h = ::CreateFileW(reinterpret_cast<LPCWSTR>(Wide.c_str()), GENERIC_READ | GENERIC_WRITE,
                             0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        SetOsError(u"Ошибка открытия порта");
        return false;
    }
    if (!::SetupComm(h, 32768, 32768)) {
        SetOsError({});
        ::CloseHandle(h);
        return false;
    }
    FHandle = reinterpret_cast<std::intptr_t>(h);
    FPending.clear();
    return true;
}

void TComm::PlatformClose() {
    ::CloseHandle(H(FHandle));
    FPending.clear();
}

bool TComm::PlatformApplyLineState() {
    DCB Dcb{};
    Dcb.DCBlength = sizeof Dcb;
    if (!::GetCommState(H(FHandle), &Dcb)) {
        SetOsError({});
        return false;
    }
    Dcb.XonChar = 0x11;
    Dcb.XoffChar = 0x13;
    Dcb.XonLim = FXonLimit;
    Dcb.XoffLim = FXoffLimit;
    Dcb.fBinary = TRUE;
    Dcb.fParity = FParity != TParity::prNone;
    Dcb.fOutxCtsFlow = FFlowControl.FOutCtsFlow;
    Dcb.fOutxDsrFlow = FFlowControl.FOutDsrFlow;
    Dcb.fDtrControl = static_cast<DWORD>(FFlowControl.FControlDtr);
    Dcb.fDsrSensitivity = FALSE;
    Dcb.fTXContinueOnXoff = FALSE;
    Dcb.fOutX = FFlowControl.FXonXoffOut;
    Dcb.fInX = FFlowControl.FXonXoffIn;
    Dcb.fErrorChar = FALSE;
    Dcb.fNull = FALSE;
    Dcb.fRtsControl = static_cast<DWORD>(FFlowControl.FControlRts);
    Dcb.fAbortOnError = FAbortOnError;
    Dcb.Parity = static_cast<BYTE>(FParity);
    Dcb.StopBits = static_cast<BYTE>(FStopBits);
    Dcb.BaudRate = static_cast<DWORD>(BaudRateAsInt());
    Dcb.EvtChar = static_cast<char>(FEvtChar);
    Dcb.ByteSize = FDataBits;
    if (!::SetCommState(H(FHandle), &Dcb)) {
        SetOsError({});
        return false;
    }
    return true;
}

bool TComm::PlatformApplyTimeouts() {
    COMMTIMEOUTS C = ToOs(FTimeouts);
    if (!::SetCommTimeouts(H(FHandle), &C)) {
        SetOsError({});
        return false;
    }
    return true;
}

bool TComm::PlatformPurge(bool AAbort) {
    FPending.clear();
    const DWORD Flags = AAbort ? PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR
                               : PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (!::PurgeComm(H(FHandle), Flags)) {
        SetOsError({});
        return false;
    }
    return true;
}

bool TComm::PlatformPurgeInput() {
    FPending.clear();
    if (!::PurgeComm(H(FHandle), PURGE_RXABORT | PURGE_RXCLEAR)) {
        SetOsError({});
        return false;
    }
    return true;
}

bool TComm::PlatformWrite(std::string_view AData, std::size_t& AWritten, const TDeadline&) {
    // The port applies the write time-outs itself (SetCommTimeouts).
    DWORD Written = 0;
    const BOOL Ok =
        ::WriteFile(H(FHandle), AData.data(), static_cast<DWORD>(AData.size()), &Written, nullptr);
    AWritten = Written;
    if (!Ok) {
        SetOsError({});
        return false;
    }
    return true;
}

int TComm::PlatformWaitInput(int ATimeoutMs, std::size_t) {
    if (!FPending.empty())
        return 1;
    DWORD Errors = 0;
    COMSTAT Stat{};
    if (!::ClearCommError(H(FHandle), &Errors, &Stat)) {
        SetOsError(u"Ошибка при чтении данных из порта");
        return -1;
    }
    if (Stat.cbInQue > 0)
        return 1;
    if (ATimeoutMs == 0)
        return 0;
    // Block in the driver until one byte arrives or the time passes: with
    // both MAXDWORD fields a read returns at the first byte.
    COMMTIMEOUTS Wait{};
    Wait.ReadIntervalTimeout = MAXDWORD;
    Wait.ReadTotalTimeoutMultiplier = MAXDWORD;
    Wait.ReadTotalTimeoutConstant = ATimeoutMs < 0 ? MAXDWORD - 1 : static_cast<DWORD>(ATimeoutMs);
    COMMTIMEOUTS Own = ToOs(FTimeouts);
    Wait.WriteTotalTimeoutMultiplier = Own.WriteTotalTimeoutMultiplier;
    Wait.WriteTotalTimeoutConstant = Own.WriteTotalTimeoutConstant;
    if (!::SetCommTimeouts(H(FHandle), &Wait)) {
        SetOsError(u"Ошибка при чтении данных из порта");
        return -1;
    }
    char Byte = 0;
    DWORD Got = 0;
    const BOOL Ok = ::ReadFile(H(FHandle), &Byte, 1, &Got, nullptr);
    const DWORD Err = ::GetLastError();
    ::SetCommTimeouts(H(FHandle), &Own);
    if (!Ok) {
        ::SetLastError(Err);
        SetOsError(u"Ошибка при чтении данных из порта");
        return -1;
    }
    if (Got == 0)
        return 0;
    FPending.push_back(Byte);
    return 1;
}

long TComm::PlatformRead(char* ABuf, std::size_t ACount) {
    std::size_t Done = 0;
    while (!FPending.empty() && Done < ACount) {
        ABuf[Done++] = FPending.front();
        FPending.erase(FPending.begin());
    }
    if (Done == ACount)
        return static_cast<long>(Done);
    DWORD Errors = 0;
    COMSTAT Stat{};
    if (!::ClearCommError(H(FHandle), &Errors, &Stat)) {
        if (Done > 0)
            return static_cast<long>(Done);
        SetOsError(u"Ошибка при чтении данных из порта");
        return -1;
    }
    const DWORD Want = static_cast<DWORD>(std::min<std::size_t>(ACount - Done, Stat.cbInQue));
    if (Want == 0)
        return static_cast<long>(Done);
    DWORD Got = 0;
    if (!::ReadFile(H(FHandle), ABuf + Done, Want, &Got, nullptr)) {
        if (Done > 0)
            return static_cast<long>(Done);
        SetOsError(u"Ошибка при чтении данных из порта");
        return -1;
    }
    return static_cast<long>(Done + Got);
}

bool TComm::PlatformSetDTR(bool AValue) {
    return ::EscapeCommFunction(H(FHandle), AValue ? SETDTR : CLRDTR) != 0;
}

bool TComm::PlatformSetRTS(bool AValue) {
    return ::EscapeCommFunction(H(FHandle), AValue ? SETRTS : CLRRTS) != 0;
}

} // namespace korv
