// The add-in interfaces as the host declares them on Linux x86-64 (GCC, Itanium C++ ABI).
//
// The host tool is compiled separately from the add-in and must not share its headers: these
// declarations are the host's own view of the binary interface, so a layout or slot mismatch in
// the add-in shows up here as a failed call instead of being hidden by a common header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace khost {

using WCHAR_T = char16_t;
using TYPEVAR = uint16_t;

// Type codes of the host's tagged value.
enum VariantType : TYPEVAR {
    VTYPE_EMPTY = 0,
    VTYPE_NULL = 1,
    VTYPE_I2 = 2,
    VTYPE_I4 = 3,
    VTYPE_R4 = 4,
    VTYPE_R8 = 5,
    VTYPE_DATE = 6,
    VTYPE_TM = 7,
    VTYPE_PSTR = 8,
    VTYPE_INTERFACE = 9,
    VTYPE_ERROR = 10,
    VTYPE_BOOL = 11,
    VTYPE_VARIANT = 12,
    VTYPE_I1 = 13,
    VTYPE_UI1 = 14,
    VTYPE_UI2 = 15,
    VTYPE_UI4 = 16,
    VTYPE_I8 = 17,
    VTYPE_UI8 = 18,
    VTYPE_INT = 19,
    VTYPE_UINT = 20,
    VTYPE_HRESULT = 21,
    VTYPE_PWSTR = 22,
    VTYPE_BLOB = 23,
    VTYPE_CLSID = 24,
    VTYPE_STR_BLOB = 0x0fff,
    VTYPE_VECTOR = 0x1000,
    VTYPE_ARRAY = 0x2000,
    VTYPE_BYREF = 0x4000,
    VTYPE_TYPEMASK = 0x0fff,
};

struct GUID16 {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// The host's tagged value: a 56-byte union (struct tm is 56 bytes with glibc), the element
// count at 56 and the 16-bit type code at 60; 64 bytes in all.
struct tVariant {
    union {
        int8_t i8Val;
        int16_t shortVal;
        int32_t lVal;
        int intVal;
        unsigned int uintVal;
        int64_t llVal;
        uint8_t ui8Val;
        uint16_t ushortVal;
        uint32_t ulVal;
        uint64_t ullVal;
        int32_t errCode;
        long hRes;
        float fltVal;
        double dblVal;
        bool bVal;
        char chVal;
        WCHAR_T wchVal;
        double date;
        GUID16 IDVal;
        tVariant* pvarVal;
        struct tm tmVal;
        struct {
            void* pInterfaceVal;
            GUID16 InterfaceID;
        } ifaceVal;
        struct {
            char* pstrVal;
            uint32_t strLen;
        } strVal;
        struct {
            WCHAR_T* pwstrVal;
            uint32_t wstrLen;
        } wstrVal;
    };
    uint32_t cbElements;
    TYPEVAR vt;
};

static_assert(sizeof(long) == 8, "the host tool describes the Linux x86-64 host");
static_assert(sizeof(struct tm) == 56);
static_assert(sizeof(tVariant) == 64);
static_assert(offsetof(tVariant, cbElements) == 56);
static_assert(offsetof(tVariant, vt) == 60);
static_assert(offsetof(tVariant, strVal.strLen) == 8);
static_assert(offsetof(tVariant, wstrVal.wstrLen) == 8);

// Objects the host hands to the add-in.
class IMemoryManager {
public:
    virtual ~IMemoryManager() {}
    virtual bool AllocMemory(void** pMemory, unsigned long ulCountByte) = 0;
    virtual void FreeMemory(void** pMemory) = 0;
};

class IAddInDefBase {
public:
    virtual ~IAddInDefBase() {}
    virtual bool AddError(unsigned short wcode, const WCHAR_T* source, const WCHAR_T* descr,
                          long scode) = 0;
    virtual bool Read(WCHAR_T* wszPropName, tVariant* pVal, long* pErrCode,
                      WCHAR_T** errDescriptor) = 0;
    virtual bool Write(WCHAR_T* wszPropName, tVariant* pVar) = 0;
    virtual bool RegisterProfileAs(WCHAR_T* wszProfileName) = 0;
    virtual bool SetEventBufferDepth(long lDepth) = 0;
    virtual long GetEventBufferDepth() = 0;
    virtual bool ExternalEvent(WCHAR_T* wszSource, WCHAR_T* wszMessage, WCHAR_T* wszData) = 0;
    virtual void CleanEventBuffer() = 0;
    virtual bool SetStatusLine(WCHAR_T* wszStatusLine) = 0;
    virtual void ResetStatusLine() = 0;
};

// Interfaces the add-in's object offers; the host never calls the destructors.
class IInitDoneBase {
public:
    virtual ~IInitDoneBase() {}
    virtual bool Init(void* disp) = 0;
    virtual bool setMemManager(void* mem) = 0;
    virtual long GetInfo() = 0;
    virtual void Done() = 0;
};

class ILanguageExtenderBase {
public:
    virtual ~ILanguageExtenderBase() {}
    virtual bool RegisterExtensionAs(WCHAR_T** wsExtensionName) = 0;
    virtual long GetNProps() = 0;
    virtual long FindProp(const WCHAR_T* wsPropName) = 0;
    virtual const WCHAR_T* GetPropName(long lPropNum, long lPropAlias) = 0;
    virtual bool GetPropVal(const long lPropNum, tVariant* pvarPropVal) = 0;
    virtual bool SetPropVal(const long lPropNum, tVariant* varPropVal) = 0;
    virtual bool IsPropReadable(const long lPropNum) = 0;
    virtual bool IsPropWritable(const long lPropNum) = 0;
    virtual long GetNMethods() = 0;
    virtual long FindMethod(const WCHAR_T* wsMethodName) = 0;
    virtual const WCHAR_T* GetMethodName(const long lMethodNum, const long lMethodAlias) = 0;
    virtual long GetNParams(const long lMethodNum) = 0;
    virtual bool GetParamDefValue(const long lMethodNum, const long lParamNum,
                                  tVariant* pvarParamDefValue) = 0;
    virtual bool HasRetVal(const long lMethodNum) = 0;
    virtual bool CallAsProc(const long lMethodNum, tVariant* paParams, const long lSizeArray) = 0;
    virtual bool CallAsFunc(const long lMethodNum, tVariant* pvarRetValue, tVariant* paParams,
                            const long lSizeArray) = 0;
};

class LocaleBase {
public:
    virtual ~LocaleBase() {}
    virtual void SetLocale(const WCHAR_T* loc) = 0;
};

class UserLanguageBase {
public:
    virtual ~UserLanguageBase() {}
    virtual void SetUserInterfaceLanguageCode(const WCHAR_T* lang) = 0;
};

class IComponentBase : public IInitDoneBase,
                       public ILanguageExtenderBase,
                       public LocaleBase,
                       public UserLanguageBase {
public:
    virtual ~IComponentBase() {}
};

// The library's exports (C linkage).
using GetClassNamesFn = const WCHAR_T* (*)();
using GetClassObjectFn = long (*)(const WCHAR_T* wsName, IComponentBase** pIntf);
using DestroyObjectFn = long (*)(IComponentBase** pIntf);
using GetAttachTypeFn = int (*)();

} // namespace khost
