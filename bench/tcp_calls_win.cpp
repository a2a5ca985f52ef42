// The TCP host calls of TcpCalls.h on the Windows DLL, called through its raw slots as an
// MSVC-built host calls them (run under Wine by bench/wine_tcp.sh).
//
// usage: tcp_calls_win.exe PATH\Korvander.dll PORT ROUNDS
#include "TcpCalls.h"

#include "raw_host.h"

#include <cstdlib>

namespace {

using namespace rawhost;

class TWinHost {
public:
    explicit TWinHost(void* AObject) : FAddin(AObject) {}

    bool Call(const char16_t* AName, const korvbench::TTexts& AIn,
              std::vector<std::u16string>& AOut) {
        std::vector<std::wstring> In;
        std::vector<const wchar_t*> Params;
        for (const auto& T : AIn)
            In.push_back(T ? std::wstring(T->begin(), T->end()) : std::wstring());
        for (std::size_t i = 0; i < AIn.size(); ++i)
            Params.push_back(AIn[i] ? In[i].c_str() : nullptr);
        const bool Ok = FAddin.Call(reinterpret_cast<const wchar_t*>(AName), Params);
        AOut.clear();
        for (const auto& T : FAddin.Out)
            AOut.emplace_back(T.begin(), T.end());
        return Ok;
    }

private:
    Addin FAddin;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::printf("usage: tcp_calls_win.exe PATH\\Korvander.dll PORT ROUNDS\n");
        return 2;
    }
    gMemory.vtbl = gMemTable;
    gConnection.vtbl = gConTable;
    HMODULE Dll = LoadLibraryA(argv[1]);
    if (!Dll) {
        std::printf("LoadLibrary(%s): error %lu\n", argv[1], GetLastError());
        return 1;
    }
    using GetClassObjectFn = long (*)(const wchar_t*, void**);
    using DestroyObjectFn = long (*)(void**);
    auto getClassObject = Export<GetClassObjectFn>(Dll, "GetClassObject");
    auto destroyObject = Export<DestroyObjectFn>(Dll, "DestroyObject");
    void* Object = nullptr;
    if (!getClassObject || !destroyObject || getClassObject(L"Korvander", &Object) != 1) {
        std::printf("no driver object\n");
        return 1;
    }
    int Rc = 0;
    {
        TWinHost Host(Object);
        const std::string Port = argv[2];
        Rc = korvbench::RunTcpCalls(Host, std::u16string(Port.begin(), Port.end()),
                                    std::atoi(argv[3]));
    }
    destroyObject(&Object);
    FreeLibrary(Dll);
    return Rc != 0 || gFailures != 0;
}
