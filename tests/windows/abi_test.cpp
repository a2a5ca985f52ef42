// The Windows add-in called as an MSVC-built host calls it (see raw_host.h for how).
//
// usage: abi_test.exe PATH\Korvander.dll      exit status 0 when every check passed
#include "raw_host.h"

namespace {

using namespace rawhost;

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

    // A call with fewer parameters than the method takes is refused before it runs and
    // reported through AddError, not by a read past the host's array.
    std::memset(&ret, 0, sizeof ret);
    int errorsBefore = gConnection.errors;
    Check(!callAsFunc(ext, description, &ret, nullptr, 0),
          "CallAsFunc with no parameters is false");
    Check(gConnection.errors == errorsBefore + 1 && gConnection.lastCode == 1006,
          "AddError 1006 for a call short of parameters");
    Check(gConnection.lastText.find(L"GetDescription") != std::wstring::npos,
          "AddError names the method");
    Release(ret);

    // A value the call trace cannot print (VTYPE_NULL) does not fail the call.
    tVariant odd;
    std::memset(&odd, 0, sizeof odd);
    odd.vt = 1; // VTYPE_NULL
    Check(callAsFunc(ext, description, &ret, &odd, 1) && ret.vt == VTYPE_BOOL && ret.bVal &&
              odd.vt == VTYPE_PWSTR,
          "CallAsFunc with a VTYPE_NULL parameter runs and writes its output");
    Check(gConnection.errors == errorsBefore + 1, "no AddError for a VTYPE_NULL parameter");
    Release(odd);
    Release(ret);

    Slot<TextFn>(locale, 1)(locale, L"ru_RU");
    Slot<TextFn>(language, 1)(language, L"ru");
    Slot<VoidFn>(initDone, kDone)(initDone);
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
