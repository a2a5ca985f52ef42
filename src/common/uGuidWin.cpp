#include "common/uGuid.h"

#include <windows.h>

namespace korv {

bool OsRandomBytes(unsigned char* Buf, std::size_t Len) {
    // RtlGenRandom is exported by advapi32 as SystemFunction036.
    using TGenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
    static const TGenRandom GenRandom = [] {
        HMODULE Lib = ::LoadLibraryW(L"advapi32.dll");
        return Lib ? reinterpret_cast<TGenRandom>(
                         reinterpret_cast<void*>(::GetProcAddress(Lib, "SystemFunction036")))
                   : nullptr;
    }();
    return GenRandom && GenRandom(Buf, static_cast<ULONG>(Len));
}

} // namespace korv
