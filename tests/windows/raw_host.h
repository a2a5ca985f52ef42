#pragma once
// The host side of the Windows tests: the host's value and the objects it hands an add-in,
// laid out the way an MSVC-built host lays them out, and the add-in's tables called by raw
// slot number.
//
// mingw uses the Itanium C++ ABI (two vtable slots per virtual destructor), the host uses
// MSVC's (one). A host compiled with mingw from C++ interface classes would agree with a mingw
// DLL and hide a shift of every slot, so no interface classes are declared here at all: the
// object's tables are read and raw slot numbers called, with `this` as the first argument and
// `__stdcall` on x86, and the memory manager and the connection have tables laid out by hand.
// Each test program is one translation unit that includes this once.
#include "checks.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#if defined(_M_IX86) || defined(__i386__)
#define HOSTCALL __stdcall
constexpr std::size_t kLengthOffset = 4;
#else
#define HOSTCALL
constexpr std::size_t kLengthOffset = 8;
#endif

namespace rawhost {

// The host's tagged value on Windows: a 40-byte union, cbElements at 40, vt at 44.
struct tm36 {
    int32_t f[9];
};

struct tVariant {
    union {
        int32_t lVal;
        int64_t llVal;
        double dblVal;
        bool bVal;
        tm36 tmVal;
        struct {
            wchar_t* pwstrVal;
            uint32_t wstrLen;
        } wstr;
    };
    uint32_t cbElements;
    uint16_t vt;
};

static_assert(sizeof(wchar_t) == 2);
static_assert(sizeof(long) == 4);
static_assert(sizeof(tVariant) == 48, "the host's value is 48 bytes on Windows");
static_assert(offsetof(tVariant, cbElements) == 40);
static_assert(offsetof(tVariant, vt) == 44);

constexpr uint16_t VTYPE_EMPTY = 0, VTYPE_I4 = 3, VTYPE_BOOL = 11, VTYPE_PWSTR = 22;

using wintest::Check;
using wintest::gChecks;
using wintest::gFailures;

inline std::string Narrow(const wchar_t* text, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; text && i < limit && text[i]; ++i)
        out += (text[i] >= 0x20 && text[i] < 0x7f) ? char(text[i]) : '?';
    return out;
}

// ---- the host's memory manager, laid out as MSVC would: vptr, then data ----

struct MemoryManager {
    void** vtbl;
    std::map<void*, std::size_t> live;
    int badFrees = 0;
};

inline void HOSTCALL MemDestructor(MemoryManager*, unsigned) {
    Check(false, "the add-in called the memory manager's destructor");
}

inline bool HOSTCALL MemAlloc(MemoryManager* self, void** p, unsigned long bytes) {
    *p = std::malloc(bytes ? bytes : 1);
    if (*p)
        self->live.emplace(*p, bytes);
    return *p != nullptr;
}

inline void HOSTCALL MemFree(MemoryManager* self, void** p) {
    if (!p || !*p)
        return;
    if (self->live.erase(*p) == 0) {
        ++self->badFrees;
        return;
    }
    std::free(*p);
    *p = nullptr;
}

inline void* gMemTable[] = {reinterpret_cast<void*>(&MemDestructor),
                            reinterpret_cast<void*>(&MemAlloc), reinterpret_cast<void*>(&MemFree)};

// ---- the host's connection: vptr with eleven slots ----

struct Connection {
    void** vtbl;
    int errors = 0;
    unsigned short lastCode = 0;
    std::wstring lastText;
};

inline void HOSTCALL ConDestructor(Connection*, unsigned) {
    Check(false, "the add-in called the connection's destructor");
}
inline bool HOSTCALL ConAddError(Connection* self, unsigned short code, const wchar_t*,
                                 const wchar_t* descr, long) {
    ++self->errors;
    self->lastCode = code;
    self->lastText = descr ? descr : L"";
    return true;
}
inline bool HOSTCALL ConRead(Connection*, wchar_t*, tVariant*, long*, wchar_t**) {
    return false;
}
inline bool HOSTCALL ConWrite(Connection*, wchar_t*, tVariant*) {
    return false;
}
inline bool HOSTCALL ConRegisterProfileAs(Connection*, wchar_t*) {
    return false;
}
inline bool HOSTCALL ConSetEventBufferDepth(Connection*, long) {
    return false;
}
inline long HOSTCALL ConGetEventBufferDepth(Connection*) {
    return 0;
}
inline bool HOSTCALL ConExternalEvent(Connection*, wchar_t*, wchar_t*, wchar_t*) {
    return false;
}
inline void HOSTCALL ConCleanEventBuffer(Connection*) {}
inline bool HOSTCALL ConSetStatusLine(Connection*, wchar_t*) {
    return false;
}
inline void HOSTCALL ConResetStatusLine(Connection*) {}

inline void* gConTable[] = {reinterpret_cast<void*>(&ConDestructor),
                            reinterpret_cast<void*>(&ConAddError),
                            reinterpret_cast<void*>(&ConRead),
                            reinterpret_cast<void*>(&ConWrite),
                            reinterpret_cast<void*>(&ConRegisterProfileAs),
                            reinterpret_cast<void*>(&ConSetEventBufferDepth),
                            reinterpret_cast<void*>(&ConGetEventBufferDepth),
                            reinterpret_cast<void*>(&ConExternalEvent),
                            reinterpret_cast<void*>(&ConCleanEventBuffer),
                            reinterpret_cast<void*>(&ConSetStatusLine),
                            reinterpret_cast<void*>(&ConResetStatusLine)};

// ---- the object's tables by raw slot number (slot 0: the destructor) ----

// Interface `index` of the object (0 init/done, 1 language extender, 2 locale, 3 user
// language) is the pointer-sized word at that position; its first word is the table.
inline void* Interface(void* object, int index) {
    return static_cast<void**>(object) + index;
}

template <typename Fn> Fn Slot(void* iface, int slot) {
    void** table = *static_cast<void***>(iface);
    return reinterpret_cast<Fn>(table[slot]);
}

using InitFn = bool(HOSTCALL*)(void*, void*);
using GetInfoFn = long(HOSTCALL*)(void*);
using VoidFn = void(HOSTCALL*)(void*);
using RegisterExtensionAsFn = bool(HOSTCALL*)(void*, wchar_t**);
using CountFn = long(HOSTCALL*)(void*);
using FindFn = long(HOSTCALL*)(void*, const wchar_t*);
using NameFn = const wchar_t*(HOSTCALL*)(void*, long, long);
using PropValFn = bool(HOSTCALL*)(void*, long, tVariant*);
using NumBoolFn = bool(HOSTCALL*)(void*, long);
using NumLongFn = long(HOSTCALL*)(void*, long);
using DefValueFn = bool(HOSTCALL*)(void*, long, long, tVariant*);
using CallAsProcFn = bool(HOSTCALL*)(void*, long, tVariant*, long);
using CallAsFuncFn = bool(HOSTCALL*)(void*, long, tVariant*, tVariant*, long);
using TextFn = void(HOSTCALL*)(void*, const wchar_t*);

enum InitDoneSlot { kInit = 1, kSetMemManager = 2, kGetInfo = 3, kDone = 4 };
enum ExtenderSlot {
    kRegisterExtensionAs = 1,
    kGetNProps,
    kFindProp,
    kGetPropName,
    kGetPropVal,
    kSetPropVal,
    kIsPropReadable,
    kIsPropWritable,
    kGetNMethods,
    kFindMethod,
    kGetMethodName,
    kGetNParams,
    kGetParamDefValue,
    kHasRetVal,
    kCallAsProc,
    kCallAsFunc,
};

inline MemoryManager gMemory;
inline Connection gConnection;

// Frees a string the add-in handed over, after checking it came from the host's memory.
inline std::wstring TakeString(const wchar_t* p, const char* what) {
    std::string message = std::string(what) + " is in host memory";
    Check(p != nullptr && gMemory.live.count(const_cast<wchar_t*>(p)) == 1, message.c_str());
    if (!p)
        return {};
    std::wstring text = p;
    void* block = const_cast<wchar_t*>(p);
    MemFree(&gMemory, &block);
    return text;
}

inline void Release(tVariant& v) {
    if (v.vt == VTYPE_PWSTR && v.wstr.pwstrVal) {
        void* block = v.wstr.pwstrVal;
        MemFree(&gMemory, &block);
    }
    std::memset(&v, 0, sizeof v);
}

inline tVariant HostBool(bool value) {
    tVariant v;
    std::memset(&v, 0, sizeof v);
    v.bVal = value;
    v.vt = VTYPE_BOOL;
    return v;
}

inline tVariant HostString(const wchar_t* text) {
    tVariant v;
    std::memset(&v, 0, sizeof v);
    std::size_t n = std::wcslen(text);
    void* p = nullptr;
    MemAlloc(&gMemory, &p, static_cast<unsigned long>((n + 1) * sizeof(wchar_t)));
    std::memcpy(p, text, (n + 1) * sizeof(wchar_t));
    v.wstr.pwstrVal = static_cast<wchar_t*>(p);
    v.wstr.wstrLen = uint32_t(n);
    v.vt = VTYPE_PWSTR;
    return v;
}

// One add-in object, its methods called by name.
class Addin {
public:
    explicit Addin(void* AObject) : FInitDone(Interface(AObject, 0)), FExt(Interface(AObject, 1)) {
        Check(Slot<InitFn>(FInitDone, kSetMemManager)(FInitDone, &gMemory), "setMemManager");
        Check(Slot<InitFn>(FInitDone, kInit)(FInitDone, &gConnection), "Init");
    }
    ~Addin() { Slot<VoidFn>(FInitDone, kDone)(FInitDone); }
    Addin(const Addin&) = delete;
    Addin& operator=(const Addin&) = delete;

    // Calls the method with the texts as its parameters (an empty slot where `out` is given)
    // and returns its Boolean result; the parameters' texts afterwards are in `Out`.
    bool Call(const wchar_t* AName, const std::vector<const wchar_t*>& AIn) {
        std::vector<tVariant> Params(AIn.size());
        for (std::size_t i = 0; i < AIn.size(); ++i) {
            if (AIn[i])
                Params[i] = HostString(AIn[i]);
            else
                std::memset(&Params[i], 0, sizeof Params[i]);
        }
        return Call(AName, Params);
    }

    // The same with the host's values as they are (host strings, Booleans, empty slots);
    // they are released after the call.
    bool Call(const wchar_t* AName, std::vector<tVariant>& Params) {
        const long Method = Slot<FindFn>(FExt, kFindMethod)(FExt, AName);
        const std::string Name = Narrow(AName, 64);
        Check(Method >= 0, ("FindMethod(" + Name + ")").c_str());
        const long Count = Method >= 0 ? Slot<NumLongFn>(FExt, kGetNParams)(FExt, Method) : -1;
        Check(Count == long(Params.size()), ("the parameter count of " + Name).c_str());
        if (Count != long(Params.size())) {
            for (auto& P : Params)
                Release(P);
            return false;
        }
        tVariant Ret;
        std::memset(&Ret, 0, sizeof Ret);
        const bool Called = Slot<CallAsFuncFn>(FExt, kCallAsFunc)(
            FExt, Method, &Ret, Params.empty() ? nullptr : Params.data(), Count);
        Check(Called, ("CallAsFunc(" + Name + ")").c_str());
        Out.assign(Params.size(), std::wstring());
        for (std::size_t i = 0; i < Params.size(); ++i) {
            if (Params[i].vt == VTYPE_PWSTR && Params[i].wstr.pwstrVal)
                Out[i] = Params[i].wstr.pwstrVal;
            Release(Params[i]);
        }
        const bool Result = Ret.vt == VTYPE_BOOL && Ret.bVal;
        Release(Ret);
        return Result;
    }

    // GetLastError: the code, with its text in `Out[0]`.
    long LastError() {
        const long Method = Slot<FindFn>(FExt, kFindMethod)(FExt, L"GetLastError");
        tVariant Ret, Text;
        std::memset(&Ret, 0, sizeof Ret);
        std::memset(&Text, 0, sizeof Text);
        Slot<CallAsFuncFn>(FExt, kCallAsFunc)(FExt, Method, &Ret, &Text, 1);
        Out.assign(1, Text.vt == VTYPE_PWSTR && Text.wstr.pwstrVal ? Text.wstr.pwstrVal : L"");
        Release(Text);
        return Ret.vt == VTYPE_I4 ? Ret.lVal : -1;
    }

    std::vector<std::wstring> Out;

private:
    void* FInitDone;
    void* FExt;
};

// An export by its undecorated name (FARPROC is only a placeholder type).
template <typename Fn> Fn Export(HMODULE dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

} // namespace rawhost
