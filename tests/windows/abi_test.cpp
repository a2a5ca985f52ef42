// The Windows add-in called as an MSVC-built host calls it.
//
// mingw uses the Itanium C++ ABI (two vtable slots per virtual destructor), the host uses
// MSVC's (one). A host compiled with mingw from C++ interface classes would agree with a mingw
// DLL and hide a shift of every slot, so this program declares no interface classes at all: it
// reads the object's tables and calls raw slot numbers, with `this` as the first argument and
// `__stdcall` on x86, and it hands the add-in a memory manager and a connection whose tables
// are laid out by hand the way MSVC lays them out.
//
// usage: abi_test.exe PATH\Korvander.dll      exit status 0 when every check passed
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>

#if defined(_M_IX86) || defined(__i386__)
#define HOSTCALL __stdcall
constexpr std::size_t kLengthOffset = 4;
#else
#define HOSTCALL
constexpr std::size_t kLengthOffset = 8;
#endif

namespace {

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

int gChecks = 0;
int gFailures = 0;

void Check(bool ok, const char* what) {
    ++gChecks;
    if (!ok) {
        ++gFailures;
        std::printf("FAIL: %s\n", what);
        std::fflush(stdout);
    }
}

std::string Narrow(const wchar_t* text, std::size_t limit) {
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

void HOSTCALL MemDestructor(MemoryManager*, unsigned) {
    Check(false, "the add-in called the memory manager's destructor");
}

bool HOSTCALL MemAlloc(MemoryManager* self, void** p, unsigned long bytes) {
    *p = std::malloc(bytes ? bytes : 1);
    if (*p)
        self->live.emplace(*p, bytes);
    return *p != nullptr;
}

void HOSTCALL MemFree(MemoryManager* self, void** p) {
    if (!p || !*p)
        return;
    if (self->live.erase(*p) == 0) {
        ++self->badFrees;
        return;
    }
    std::free(*p);
    *p = nullptr;
}

void* gMemTable[] = {reinterpret_cast<void*>(&MemDestructor), reinterpret_cast<void*>(&MemAlloc),
                     reinterpret_cast<void*>(&MemFree)};

// ---- the host's connection: vptr with eleven slots ----

struct Connection {
    void** vtbl;
    int errors = 0;
    unsigned short lastCode = 0;
    std::wstring lastText;
};

void HOSTCALL ConDestructor(Connection*, unsigned) {
    Check(false, "the add-in called the connection's destructor");
}
bool HOSTCALL ConAddError(Connection* self, unsigned short code, const wchar_t*,
                          const wchar_t* descr, long) {
    ++self->errors;
    self->lastCode = code;
    self->lastText = descr ? descr : L"";
    return true;
}
bool HOSTCALL ConRead(Connection*, wchar_t*, tVariant*, long*, wchar_t**) {
    return false;
}
bool HOSTCALL ConWrite(Connection*, wchar_t*, tVariant*) {
    return false;
}
bool HOSTCALL ConRegisterProfileAs(Connection*, wchar_t*) {
    return false;
}
bool HOSTCALL ConSetEventBufferDepth(Connection*, long) {
    return false;
}
long HOSTCALL ConGetEventBufferDepth(Connection*) {
    return 0;
}
bool HOSTCALL ConExternalEvent(Connection*, wchar_t*, wchar_t*, wchar_t*) {
    return false;
}
void HOSTCALL ConCleanEventBuffer(Connection*) {}
bool HOSTCALL ConSetStatusLine(Connection*, wchar_t*) {
    return false;
}
void HOSTCALL ConResetStatusLine(Connection*) {}

void* gConTable[] = {reinterpret_cast<void*>(&ConDestructor),
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
void* Interface(void* object, int index) {
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

MemoryManager gMemory;
Connection gConnection;

// Frees a string the add-in handed over, after checking it came from the host's memory.
std::wstring TakeString(const wchar_t* p, const char* what) {
    std::string message = std::string(what) + " is in host memory";
    Check(p != nullptr && gMemory.live.count(const_cast<wchar_t*>(p)) == 1, message.c_str());
    if (!p)
        return {};
    std::wstring text = p;
    void* block = const_cast<wchar_t*>(p);
    MemFree(&gMemory, &block);
    return text;
}

void Release(tVariant& v) {
    if (v.vt == VTYPE_PWSTR && v.wstr.pwstrVal) {
        void* block = v.wstr.pwstrVal;
        MemFree(&gMemory, &block);
    }
    std::memset(&v, 0, sizeof v);
}

tVariant HostString(const wchar_t* text) {
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

// The DLL's file version as Windows reads it from the version resource, "a.b.c.d".
std::wstring FileVersionOf(const char* path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return L"";
    std::string block(size, '\0');
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!GetFileVersionInfoA(path, 0, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        fixedSize < sizeof(VS_FIXEDFILEINFO))
        return L"";
    return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwFileVersionLS));
}

std::wstring gFileVersion;

void TestObject(void* object) {
    void* initDone = Interface(object, 0);
    void* ext = Interface(object, 1);
    void* locale = Interface(object, 2);
    void* language = Interface(object, 3);

    Check(Slot<InitFn>(initDone, kSetMemManager)(initDone, &gMemory), "setMemManager is true");
    Check(Slot<InitFn>(initDone, kInit)(initDone, &gConnection), "Init is true");
    Check(Slot<GetInfoFn>(initDone, kGetInfo)(initDone) == 2000, "GetInfo is 2000");

    wchar_t* extension = nullptr;
    Check(Slot<RegisterExtensionAsFn>(ext, kRegisterExtensionAs)(ext, &extension),
          "RegisterExtensionAs is true");
    Check(TakeString(extension, "RegisterExtensionAs") == L"Korvander",
          "RegisterExtensionAs names Korvander");

    Check(Slot<CountFn>(ext, kGetNMethods)(ext) == 37, "GetNMethods is 37");
    Check(Slot<CountFn>(ext, kGetNProps)(ext) == 1, "GetNProps is 1");

    auto findMethod = Slot<FindFn>(ext, kFindMethod);
    long description = findMethod(ext, L"GetDescription");
    Check(description >= 0, "FindMethod finds GetDescription");
    Check(findMethod(ext, L"ПолучитьОписание") == description,
          "FindMethod finds the Russian name of GetDescription");
    Check(findMethod(ext, L"getdescription") == -1, "FindMethod is case-sensitive");

    auto methodName = Slot<NameFn>(ext, kGetMethodName);
    Check(TakeString(methodName(ext, description, 0), "GetMethodName") == L"GetDescription",
          "GetMethodName alias 0 is the English name");
    Check(TakeString(methodName(ext, description, 1), "GetMethodName") == L"ПолучитьОписание",
          "GetMethodName alias 1 is the Russian name");
    Check(Slot<NumLongFn>(ext, kGetNParams)(ext, description) == 1, "GetDescription has 1 param");
    Check(Slot<NumBoolFn>(ext, kHasRetVal)(ext, description), "GetDescription is a function");
    tVariant def;
    std::memset(&def, 0, sizeof def);
    Check(!Slot<DefValueFn>(ext, kGetParamDefValue)(ext, description, 0, &def),
          "GetParamDefValue is false");

    auto callAsFunc = Slot<CallAsFuncFn>(ext, kCallAsFunc);
    long revision = findMethod(ext, L"GetInterfaceRevision");
    tVariant ret;
    std::memset(&ret, 0, sizeof ret);
    Check(callAsFunc(ext, revision, &ret, nullptr, 0), "CallAsFunc(GetInterfaceRevision)");
    Check(ret.vt == VTYPE_I4 && ret.lVal == 4004, "GetInterfaceRevision is I4 4004");

    tVariant param;
    std::memset(&param, 0, sizeof param);
    std::memset(&ret, 0, sizeof ret);
    Check(callAsFunc(ext, description, &ret, &param, 1), "CallAsFunc(GetDescription)");
    Check(ret.vt == VTYPE_BOOL && ret.bVal, "GetDescription returns true");
    // The layout, read byte by byte as the host reads it.
    const auto* raw = reinterpret_cast<const unsigned char*>(&param);
    uint16_t vt;
    void* pointer;
    uint32_t length;
    std::memcpy(&vt, raw + 44, sizeof vt);
    std::memcpy(&pointer, raw, sizeof pointer);
    std::memcpy(&length, raw + kLengthOffset, sizeof length);
    Check(vt == VTYPE_PWSTR, "the description's type code (offset 44) is VTYPE_PWSTR");
    Check(pointer && gMemory.live.count(pointer) == 1,
          "the description's pointer (offset 0) is in host memory");
    if (pointer) {
        const wchar_t* text = static_cast<const wchar_t*>(pointer);
        Check(length == std::wcslen(text), "the description's length field is its length");
        Check(std::wcsstr(text, L"<DriverDescription") != nullptr,
              "the description is a DriverDescription document");
        Check(std::wcsstr(text, L"EquipmentType=\"ККТ\"") != nullptr,
              "the description names the equipment type");
        const std::wstring version = L"DriverVersion=\"" + gFileVersion + L"\"";
        Check(!gFileVersion.empty() && std::wcsstr(text, version.c_str()) != nullptr,
              "the description's DriverVersion is the DLL's version resource");
    }
    Release(param);

    // A fiscal method without a device: false, then GetLastError 1001 with the message.
    long drawer = findMethod(ext, L"ОткрытьДенежныйЯщик");
    Check(drawer >= 0 && findMethod(ext, L"OpenCashDrawer") == drawer,
          "FindMethod(OpenCashDrawer)");
    param = HostString(L"");
    std::memset(&ret, 0, sizeof ret);
    Check(callAsFunc(ext, drawer, &ret, &param, 1), "CallAsFunc(OpenCashDrawer)");
    Check(ret.vt == VTYPE_BOOL && !ret.bVal, "OpenCashDrawer without a device is false");
    Release(param);
    long lastError = findMethod(ext, L"GetLastError");
    std::memset(&ret, 0, sizeof ret);
    Check(callAsFunc(ext, lastError, &ret, &param, 1), "CallAsFunc(GetLastError)");
    Check(ret.vt == VTYPE_I4 && ret.lVal == 1001, "GetLastError is 1001");
    Check(param.vt == VTYPE_PWSTR && param.wstr.pwstrVal &&
              std::wcscmp(param.wstr.pwstrVal, L"Не передан идентификатор устройства") == 0,
          "GetLastError names the missing device identifier");
    Release(param);

    // The property, by both names.
    auto findProp = Slot<FindFn>(ext, kFindProp);
    long logEnabled = findProp(ext, L"LogEnabled");
    Check(logEnabled == 0 && findProp(ext, L"ЛогВключен") == 0, "FindProp(LogEnabled)");
    Check(TakeString(Slot<NameFn>(ext, kGetPropName)(ext, 0, 1), "GetPropName") == L"ЛогВключен",
          "GetPropName alias 1 is the Russian name");
    Check(Slot<NumBoolFn>(ext, kIsPropReadable)(ext, 0) &&
              Slot<NumBoolFn>(ext, kIsPropWritable)(ext, 0),
          "LogEnabled is readable and writable");
    tVariant value;
    std::memset(&value, 0, sizeof value);
    Check(Slot<PropValFn>(ext, kGetPropVal)(ext, 0, &value) && value.vt == VTYPE_BOOL,
          "GetPropVal(LogEnabled) is a Boolean");
    Release(value);

    // A value type the add-in does not take is reported through AddError, not by a crash.
    tVariant bad;
    std::memset(&bad, 0, sizeof bad);
    bad.vt = 1; // VTYPE_NULL
    std::memset(&ret, 0, sizeof ret);
    int errorsBefore = gConnection.errors;
    Check(!callAsFunc(ext, description, &ret, &bad, 1), "CallAsFunc with VTYPE_NULL is false");
    Check(gConnection.errors == errorsBefore + 1 && gConnection.lastCode == 1006,
          "AddError 1006 for VTYPE_NULL");
    Release(ret);

    Slot<TextFn>(locale, 1)(locale, L"ru_RU");
    Slot<TextFn>(language, 1)(language, L"ru");
    Slot<VoidFn>(initDone, kDone)(initDone);
}

// An export by its undecorated name (FARPROC is only a placeholder type).
template <typename Fn> Fn Export(HMODULE dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: abi_test.exe PATH\\Korvander.dll\n");
        return 2;
    }
    gMemory.vtbl = gMemTable;
    gConnection.vtbl = gConTable;

    gFileVersion = FileVersionOf(argv[1]);
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) {
        std::printf("FAIL: LoadLibrary(%s): error %lu\n", argv[1], GetLastError());
        return 1;
    }
    using GetClassNamesFn = const wchar_t* (*)();
    using GetClassObjectFn = long (*)(const wchar_t*, void**);
    using DestroyObjectFn = long (*)(void**);
    using GetAttachTypeFn = int (*)();
    auto getClassNames = Export<GetClassNamesFn>(dll, "GetClassNames");
    auto getClassObject = Export<GetClassObjectFn>(dll, "GetClassObject");
    auto destroyObject = Export<DestroyObjectFn>(dll, "DestroyObject");
    auto getAttachType = Export<GetAttachTypeFn>(dll, "GetAttachType");
    if (!getClassNames || !getClassObject || !destroyObject || !getAttachType) {
        std::printf("FAIL: the DLL lacks one of the four exports\n");
        return 1;
    }
    Check(std::wcscmp(getClassNames(), L"Korvander") == 0, "GetClassNames is Korvander");
    Check(getAttachType() == 3, "GetAttachType is 3");

    void* none = nullptr;
    Check(getClassObject(L"korvander", &none) == 0 && none == nullptr,
          "GetClassObject is case-sensitive");
    void* object = nullptr;
    Check(getClassObject(L"Korvander", &object) == 1 && object != nullptr,
          "GetClassObject(Korvander) creates an object");
    if (object) {
        for (int i = 0; i < 4; ++i) {
            std::string what = "interface " + std::to_string(i) + " has a table";
            Check(*static_cast<void**>(Interface(object, i)) != nullptr, what.c_str());
        }
        TestObject(object);
        Check(destroyObject(&object) == 0, "DestroyObject is 0");
    }
    void* null = nullptr;
    Check(destroyObject(&null) == 0, "DestroyObject of a null object is 0");

    for (const auto& [p, size] : gMemory.live)
        std::printf("leak: a host memory block of %u bytes was never freed: \"%s\"\n",
                    unsigned(size), Narrow(static_cast<const wchar_t*>(p), size / 2).c_str());
    Check(gMemory.live.empty(), "no host memory left allocated");
    Check(gMemory.badFrees == 0, "no host memory freed twice or foreign");
    FreeLibrary(dll);

    std::printf("%s: %d checks, %d failed\n", gFailures ? "FAILED" : "ok", gChecks, gFailures);
    return gFailures ? 1 : 0;
}
