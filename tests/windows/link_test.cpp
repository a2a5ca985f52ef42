// The Windows add-in driving a register over WinSock and over the Windows comm API, called
// as an MSVC-built host calls it (raw slots, see raw_host.h). The register is the emulator,
// started by the script that runs this; the device log is on, so the script can read the file
// the add-in wrote under the common application-data folder.
//
// usage: link_test.exe PATH\Korvander.dll tcp PORT CLOSED_PORT
//        link_test.exe PATH\Korvander.dll com N MISSING_N
//
// tcp: a session on 127.0.0.1:PORT, then a connection to CLOSED_PORT (nothing listens) that
// must fail cleanly. com: a session on COM<N>, then COM<MISSING_N> (no such port).
// Exit status 0 when every check passed.
#include "raw_host.h"

#include <cwctype>

namespace {

using namespace rawhost;

bool Contains(const std::wstring& AText, const wchar_t* APart) {
    return AText.find(APart) != std::wstring::npos;
}

// "yyyy-mm-ddThh:nn:ss"
bool IsDateTime(const std::wstring& AText) {
    const wchar_t* Shape = L"0000-00-00T00:00:00";
    if (AText.size() != std::wcslen(Shape))
        return false;
    for (std::size_t i = 0; i < AText.size(); ++i)
        if (Shape[i] == L'0' ? !std::iswdigit(AText[i]) : AText[i] != Shape[i])
            return false;
    return true;
}

std::wstring Param(const wchar_t* AName, const std::wstring& AValue) {
    return std::wstring(L"<Parameter Name=\"") + AName + L"\" Value=\"" + AValue + L"\"/>";
}

std::wstring TcpSettings(const std::wstring& APort) {
    return L"<Parameters>" + Param(L"PortNumber", L"9999") + Param(L"IPAddress", L"127.0.0.1") +
           Param(L"IPPort", APort) + Param(L"ConnectPwd", L"30") + Param(L"LogEnabled", L"true") +
           L"</Parameters>";
}

std::wstring ComSettings(const std::wstring& APort) {
    return L"<Parameters>" + Param(L"PortNumber", APort) + Param(L"BaudRate", L"115200") +
           Param(L"ConnectPwd", L"30") + Param(L"LogEnabled", L"true") + L"</Parameters>";
}

std::wstring Widen(const char* AText) {
    return std::wstring(AText, AText + std::strlen(AText));
}

// A sale of one item paid in cash.
const wchar_t* const kReceipt =
    L"<CheckPackage><Parameters CashierName=\"Иванова\" OperationType=\"1\" "
    L"TaxationSystem=\"0\"/><Positions><FiscalString Name=\"Хлеб\" Quantity=\"2\" "
    L"PriceWithDiscount=\"45.5\" AmountWithDiscount=\"91\" VATRate=\"10\" "
    L"VATAmount=\"8.27\" CalculationSubject=\"1\" PaymentMethod=\"4\" Department=\"1\"/>"
    L"</Positions><Payments Cash=\"100\"/></CheckPackage>";

// Connects, reads the clock, the status and the register's data, opens a shift, sells, closes
// the shift with the Z report, disconnects. `ALink` names the link in the messages.
void Session(Addin& A, const std::wstring& ASettings, const std::string& ALink) {
    auto What = [&](const char* AText) { return (ALink + ": " + AText); };
    Check(A.Call(L"ConnectEquipment", {nullptr, L"", ASettings.c_str()}),
          What("ConnectEquipment is true").c_str());
    const std::wstring Id = A.Out[0];
    Check(Id.size() == 36, What("the DeviceID is a GUID without braces").c_str());
    if (Id.size() != 36) {
        std::printf("%s: ConnectEquipment failed: %ld %s\n", ALink.c_str(), A.LastError(),
                    Narrow(A.Out[0].c_str(), 200).c_str());
        return;
    }
    const wchar_t* Dev = Id.c_str();
    const wchar_t* NoInput = L"<InputParameters><Parameters/></InputParameters>";

    Check(A.Call(L"GetDateTime", {Dev, nullptr}), What("GetDateTime is true").c_str());
    Check(IsDateTime(A.Out[1]), What("GetDateTime gives yyyy-mm-ddThh:nn:ss").c_str());

    Check(A.Call(L"GetCurrentStatus", {Dev, NoInput, nullptr}),
          What("GetCurrentStatus is true").c_str());
    Check(Contains(A.Out[2], L"ShiftState=\"1\""),
          What("GetCurrentStatus: the shift is closed").c_str());

    Check(A.Call(L"GetDataKKT", {Dev, nullptr}), What("GetDataKKT is true").c_str());
    Check(Contains(A.Out[1], L"Fiscal=\"true\"") && Contains(A.Out[1], L"KKTSerialNumber=\""),
          What("GetDataKKT: a fiscal register with its serial number").c_str());

    Check(A.Call(L"OpenShift", {Dev, NoInput, nullptr}), What("OpenShift is true").c_str());
    Check(Contains(A.Out[2], L"ShiftState=\"2\""), What("OpenShift: the shift is open").c_str());
    std::vector<tVariant> Receipt = {HostString(Dev), HostBool(false), HostString(kReceipt),
                                     HostString(L"")};
    Check(A.Call(L"ProcessCheck", Receipt), What("ProcessCheck is true").c_str());
    Check(Contains(A.Out[3], L"<DocumentOutputParameters>") &&
              Contains(A.Out[3], L"CheckNumber=\"") && Contains(A.Out[3], L"FiscalSign=\""),
          What("ProcessCheck: the receipt's number and fiscal sign").c_str());

    Check(A.Call(L"CloseShift", {Dev, NoInput, nullptr}),
          What("CloseShift (the Z report) is true").c_str());
    Check(Contains(A.Out[2], L"ShiftState=\"1\""), What("CloseShift: the shift is closed").c_str());

    Check(A.Call(L"DisconnectEquipment", {Dev}), What("DisconnectEquipment is true").c_str());
    Check(!A.Call(L"GetDateTime", {Dev, nullptr}) && A.LastError() == 1001,
          What("a disconnected device is gone").c_str());
}

// A connection that cannot be made fails with the code of the common methods (1001) and the
// connection message, and leaves no device behind.
void FailedConnect(Addin& A, const std::wstring& ASettings, long ACode, const std::string& AWhat) {
    Check(!A.Call(L"ConnectEquipment", {nullptr, L"", ASettings.c_str()}),
          (AWhat + ": ConnectEquipment is false").c_str());
    Check(A.Out[0].empty(), (AWhat + ": no DeviceID").c_str());
    const long Code = A.LastError();
    if (Code != ACode)
        std::printf("%s: GetLastError %ld \"%s\"\n", AWhat.c_str(), Code,
                    Narrow(A.Out[0].c_str(), 200).c_str());
    Check(Code == ACode, (AWhat + ": GetLastError is " + std::to_string(ACode)).c_str());
    Check(Contains(A.Out[0], L"Ошибка соединения с ККТ"),
          (AWhat + ": the text names the failed connection").c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::printf("usage: link_test.exe PATH\\Korvander.dll tcp|com PORT FAILING_PORT\n");
        return 2;
    }
    gMemory.vtbl = gMemTable;
    gConnection.vtbl = gConTable;
    const std::string Link = argv[2];
    const std::wstring Port = Widen(argv[3]), Failing = Widen(argv[4]);

    HMODULE Dll = LoadLibraryA(argv[1]);
    if (!Dll) {
        std::printf("FAIL: LoadLibrary(%s): error %lu\n", argv[1], GetLastError());
        return 1;
    }
    using GetClassObjectFn = long (*)(const wchar_t*, void**);
    using DestroyObjectFn = long (*)(void**);
    auto getClassObject = Export<GetClassObjectFn>(Dll, "GetClassObject");
    auto destroyObject = Export<DestroyObjectFn>(Dll, "DestroyObject");
    void* Object = nullptr;
    Check(getClassObject && destroyObject && getClassObject(L"Korvander", &Object) == 1 && Object,
          "GetClassObject(Korvander)");
    if (Object) {
        {
            Addin A(Object);
            if (Link == "tcp") {
                Session(A, TcpSettings(Port), "tcp");
                FailedConnect(A, TcpSettings(Failing), 1001, "tcp to a closed port");
            } else {
                Session(A, ComSettings(Port), "COM" + std::string(argv[3]));
                FailedConnect(A, ComSettings(Failing), 1001, "a missing COM port");
            }
        }
        Check(destroyObject(&Object) == 0, "DestroyObject is 0");
    }
    FreeLibrary(Dll); // the stop banner

    // The log's day file, held open while lines came, is let go by the unload: opening it
    // without sharing succeeds.
    wchar_t Data[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"ProgramData", Data, MAX_PATH);
    const std::wstring Folder = (n > 0 && n < MAX_PATH ? std::wstring(Data) : L"C:\\ProgramData") +
                                L"\\Velmora\\Korvander\\";
    WIN32_FIND_DATAW Found{};
    HANDLE Find = FindFirstFileW((Folder + L"Korvander_*.log").c_str(), &Found);
    Check(Find != INVALID_HANDLE_VALUE, "the log file is there");
    if (Find != INVALID_HANDLE_VALUE) {
        do {
            HANDLE F = CreateFileW((Folder + Found.cFileName).c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
            Check(F != INVALID_HANDLE_VALUE, "no handle on the log file left after the unload");
            if (F != INVALID_HANDLE_VALUE)
                CloseHandle(F);
        } while (FindNextFileW(Find, &Found));
        FindClose(Find);
    }

    for (const auto& [p, size] : gMemory.live)
        std::printf("leak: a host memory block of %u bytes was never freed: \"%s\"\n",
                    unsigned(size), Narrow(static_cast<const wchar_t*>(p), size / 2).c_str());
    Check(gMemory.live.empty(), "no host memory left allocated");
    Check(gMemory.badFrees == 0, "no host memory freed twice or foreign");
    std::printf("%s: %s link, %d checks, %d failed\n", gFailures ? "FAILED" : "ok", Link.c_str(),
                gChecks, gFailures);
    return gFailures ? 1 : 0;
}
