#pragma once
// The host add-in interface: host values (V8Variant), the objects the host
// hands us (memory manager, connection), the class registry the entry points
// enumerate, and TV8UserObject, the base of every object handed to the host.
//
// Numbers in host text: the driver works with "." as the decimal separator
// on every platform (the host sets the process separator to "." when a
// device connects). Text is parsed and numbers are formatted here without
// consulting the C locale, and setlocale is never called.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Calling convention of the host's interface methods: __stdcall on 32-bit
// Windows (with the object pointer pushed first), the platform default
// elsewhere.
#if defined(_WIN32) && defined(__i386__)
#define KORV_STDCALL __stdcall
#else
#define KORV_STDCALL
#endif

namespace korv {

/// The host's wide character: a UTF-16 code unit on every platform.
using WCHAR_T = char16_t;

/// Vtable slots taken by an interface's virtual destructor: one for an MSVC
/// host (Windows), two for an Itanium host (complete and deleting, Linux).
#if defined(_WIN32)
inline constexpr int V8DestructorSlots = 1;
#else
inline constexpr int V8DestructorSlots = 2;
#endif

// ---------------------------------------------------------------------------
// Host values

/// Type codes (bits 0-11 of vt) and flag bits.
enum TV8Type : std::uint16_t {
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

struct TV8GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

/// The host's date-time member: the C library's struct tm of the platform
/// (nine ints on Windows, glibc adds tm_gmtoff and tm_zone).
using TV8tm = std::tm;

/// The host's tagged value record. The natural layout of this declaration
/// is the host's on each platform (checked below).
struct V8Variant {
    union {
        std::int8_t i8Val;
        std::int16_t shortVal;
        std::int32_t lVal;
        std::int32_t intVal;
        std::uint32_t uintVal;
        std::int64_t llVal;
        std::uint8_t ui8Val;
        std::uint16_t ushortVal;
        std::uint32_t ulVal;
        std::uint64_t ullVal;
        std::int32_t errCode;
        long hRes; // the host's HRESULT: a long (8 bytes on Linux, 4 on Windows)
        float fltVal;
        double dblVal;
        bool bVal;
        char chVal;
        wchar_t wchVal; // the host declares a wchar_t here (4 bytes on Linux, 2 on Windows)
        double date;
        TV8GUID IDVal;
        V8Variant* pvarVal;
        TV8tm tmVal;
        // Anonymous structs, as in the host's own declaration of the record
        // (a common extension that -pedantic would otherwise report).
        __extension__ struct {
            void* pInterfaceVal;
            TV8GUID InterfaceID;
        };
        __extension__ struct {
            char* pstrVal;
            std::uint32_t strLen;
        };
        __extension__ struct {
            WCHAR_T* pwstrVal;
            std::uint32_t wstrLen;
        };
    };
    std::uint32_t cbElements;
    std::uint16_t vt;
    std::uint16_t vtReserved; // always zero
};

#if defined(_WIN32)
static_assert(sizeof(V8Variant) == 48);
static_assert(offsetof(V8Variant, cbElements) == 40);
static_assert(offsetof(V8Variant, vt) == 44);
static_assert(sizeof(TV8tm) == 36);
#if defined(_WIN64)
static_assert(offsetof(V8Variant, wstrLen) == 8);
#else
static_assert(offsetof(V8Variant, wstrLen) == 4);
#endif
#elif defined(__x86_64__) || defined(__aarch64__)
static_assert(sizeof(V8Variant) == 64);
static_assert(offsetof(V8Variant, cbElements) == 56);
static_assert(offsetof(V8Variant, vt) == 60);
static_assert(sizeof(TV8tm) == 56);
static_assert(offsetof(V8Variant, wstrLen) == 8);
#endif
static_assert(sizeof(bool) == 1);
static_assert(sizeof(V8Variant::hRes) == sizeof(long));
static_assert(sizeof(V8Variant::wchVal) == sizeof(wchar_t));
#if defined(__linux__) && defined(__x86_64__)
static_assert(sizeof(V8Variant::hRes) == 8 && sizeof(V8Variant::wchVal) == 4);
#endif

/// Days since 1899-12-30 with the time of day as the fraction.
using TDateTime = double;

/// A date-time inside a TVariant (kept apart from plain doubles).
struct TVarDate {
    TDateTime Value = 0;
    bool operator==(const TVarDate&) const = default;
};

/// The dynamic value a host value is read into (V8ToVariant). Alternatives:
/// empty, 32-bit integer, 64-bit integer, double, Boolean, date-time, text,
/// bytes.
using TVariant = std::variant<std::monostate, std::int32_t, std::int64_t, double, bool, TVarDate,
                              std::u16string, std::vector<std::uint8_t>>;

/// Renders a dynamic value: empty text, integers in decimal, doubles with
/// "." and up to 15 significant digits, date-times "dd.mm.yyyy hh:nn:ss"
/// (the date alone at midnight), Booleans "True"/"False", bytes "BLOB".
std::u16string VariantToText(const TVariant& V);

// Readers (free functions; never raise except where stated).

/// True when the type (bits 0-11) is VTYPE_PSTR or VTYPE_PWSTR.
bool V8IsString(const V8Variant* V);
/// VTYPE_PWSTR: the zero-terminated text at pwstrVal; otherwise empty.
std::u16string V8AsWideString(const V8Variant* V);
/// See the conversion table: numbers truncated toward zero, text parsed as
/// a decimal integer (0 when it does not parse), anything else 0.
std::int32_t V8AsInteger(const V8Variant* V);
/// Numbers as they are; text parsed with "." as the separator (0 when it
/// does not parse); anything else 0.
double V8AsDouble(const V8Variant* V);
/// VTYPE_BOOL: bVal; otherwise V8AsInteger != 0 (text "1" is true, "true" false).
bool V8AsBoolean(const V8Variant* V);
/// VTYPE_R8/VTYPE_DATE: the double; VTYPE_TM: from tmVal (raises
/// std::invalid_argument for an invalid date or time); otherwise 0.
TDateTime V8AsDateTime(const V8Variant* V);
/// The type's name, with " by ref", " array" or " vector" for the flag bits.
std::u16string V8TypeName(const V8Variant* V);
/// The value as a TVariant. Raises std::runtime_error
/// "Unsupported data type - <V8TypeName>" for types it does not carry.
TVariant V8ToVariant(const V8Variant* V);
/// VariantToText(V8ToVariant(V)).
std::u16string V8ToText(const V8Variant* V);
/// V8ToText for the call trace, which never fails a call: a value it cannot
/// render (an unsupported type, an invalid date) gives its type name.
std::u16string V8TraceText(const V8Variant* V) noexcept;

/// A date-time from calendar fields; raises std::invalid_argument when a
/// field is out of range.
TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second);

// ---------------------------------------------------------------------------
// Objects the host hands to us. They are host C++ objects: only their
// vtables are used, slot by slot, as the host's platform lays them out.

struct TV8MemoryManager; // slots: dtor, AllocMemory(void**, unsigned long), FreeMemory(void**)
struct TV8AddInDefBase;  // slots: dtor, AddError(unsigned short, const WCHAR_T*, const WCHAR_T*,
                         // long), ...

/// AllocMemory through the host; false without a memory manager.
bool V8AllocMemory(TV8MemoryManager* MM, void** P, unsigned long Bytes);
/// FreeMemory through the host; nothing without a memory manager.
void V8FreeMemory(TV8MemoryManager* MM, void** P);
/// AddError through the host connection; false without a connection.
bool V8AddError(TV8AddInDefBase* Conn, unsigned short Code, const WCHAR_T* Source,
                const WCHAR_T* Descr, long SCode);
/// A copy of Text (with its terminating zero) in host memory, or null when
/// there is no memory manager or it refuses.
WCHAR_T* V8HostString(TV8MemoryManager* MM, std::u16string_view Text);

// Writers. Each clears V first (freeing host text it held) and returns the
// success of the host allocation where there is one. A null V is ignored
// (false). MM may be null: text then cannot be allocated (false), and held
// host text cannot be freed (it is dropped).
bool V8ClearVar(TV8MemoryManager* MM, V8Variant* V);
bool V8SetBool(TV8MemoryManager* MM, V8Variant* V, bool Value);
bool V8SetInt(TV8MemoryManager* MM, V8Variant* V, std::int32_t Value);
bool V8SetInt64(TV8MemoryManager* MM, V8Variant* V, std::int64_t Value);
bool V8SetDouble(TV8MemoryManager* MM, V8Variant* V, double Value);
bool V8SetDate(TV8MemoryManager* MM, V8Variant* V, TDateTime Value);
bool V8SetWString(TV8MemoryManager* MM, V8Variant* V, std::u16string_view Value);
/// 8-bit text; a null Value leaves V untouched and returns true.
bool V8SetPChar(TV8MemoryManager* MM, V8Variant* V, const char* Value);
bool V8SetString(TV8MemoryManager* MM, V8Variant* V, std::string_view Value);
/// Bytes; a null Value leaves V untouched and returns true.
bool V8SetBlob(TV8MemoryManager* MM, V8Variant* V, const void* Value, std::uint32_t Length);

// ---------------------------------------------------------------------------
// Class registry

class TV8UserObject;

/// A method handler. RetValue is null when the host calls the method as a
/// procedure. Params points at Count consecutive host values (output
/// parameters are written in place).
using TV8CallAsFunc =
    std::function<bool(TV8UserObject& Obj, V8Variant* RetValue, V8Variant* Params, long Count)>;
/// Procedures have the same form (RetValue is always null for them).
using TV8CallAsProc = TV8CallAsFunc;
/// A property handler: the property's English name, the value, Get = read.
using TV8PropertyGetSet = std::function<bool(TV8UserObject& Obj, const std::u16string& PropName,
                                             V8Variant* Value, bool Get)>;
/// The virtual constructor of a registered class.
using TV8ObjectFactory = std::function<std::unique_ptr<TV8UserObject>()>;

struct TDefParamValue {
    std::int32_t Num = 0; // 0-based parameter number
    V8Variant Value{};
};

/// Default values of a method's parameters. Texts are kept by the list;
/// the values point at its copies.
class TDefParamList {
public:
    TDefParamList() = default;
    TDefParamList(const TDefParamList&) = delete;
    TDefParamList& operator=(const TDefParamList&) = delete;

    // ParamNum is 1-based.
    void AddInt(std::int32_t Value, int ParamNum);
    void AddDouble(double Value, int ParamNum);
    void AddBool(bool Value, int ParamNum);
    void AddWString(std::u16string_view Value, int ParamNum);
    void AddAString(std::string_view Value, int ParamNum);
    void AddDate(TDateTime Value, int ParamNum);

    int ValueCount() const { return static_cast<int>(Values.size()); }
    /// The value for 0-based parameter Num, or null.
    const TDefParamValue* Find(int Num) const;

    std::vector<std::unique_ptr<TDefParamValue>> Values;
    TDefParamValue* TempParam = nullptr; // the last value added

private:
    TDefParamValue& Append(int ParamNum, std::uint16_t Type);
    std::vector<std::unique_ptr<std::u16string>> FWideTexts;
    std::vector<std::unique_ptr<std::string>> FTexts;
};

struct TMethReg {
    std::u16string MethName;    // English
    std::u16string MethNameLoc; // Russian
    bool IsFunction = true;
    int ParamCount = 0;
    TDefParamList DefParams;
    TV8CallAsFunc Execute;

    /// Runs the handler once the host has passed at least ParamCount
    /// parameters; a shorter call raises std::invalid_argument naming the
    /// method and both counts, and the handler does not run.
    bool Call(TV8UserObject& Obj, V8Variant* RetValue, V8Variant* Params, long Count) const;
};

struct TPropReg {
    std::u16string PropName;    // English
    std::u16string PropNameLoc; // Russian
    bool IsReadable = true;
    bool IsWritable = true;
    TV8PropertyGetSet PropGetSet;
};

/// One class offered to the host, with its methods and properties.
class TClassReg {
public:
    TClassReg(TV8ObjectFactory AUserClass, std::u16string ARegisterExtensionAs,
              std::u16string ANatApiClassName);
    TClassReg(const TClassReg&) = delete;
    TClassReg& operator=(const TClassReg&) = delete;

    TMethReg& AddMethod(std::u16string_view MethName, std::u16string_view MethNameLoc,
                        bool IsFunction, TV8CallAsFunc ExecuteProc, int ParamCount);
    TMethReg& AddFunc(std::u16string_view MethName, std::u16string_view MethNameLoc,
                      TV8CallAsFunc ExecuteProc, int ParamCount);
    TMethReg& AddProc(std::u16string_view MethName, std::u16string_view MethNameLoc,
                      TV8CallAsProc ExecuteProc, int ParamCount);
    TPropReg& AddProp(std::u16string_view PropName, std::u16string_view PropNameLoc,
                      bool IsReadable, bool IsWritable, TV8PropertyGetSet PropGetSet);

    int MethCount() const { return static_cast<int>(MethList.size()); }
    int PropCount() const { return static_cast<int>(PropList.size()); }
    /// The method / property at a 0-based host number, or null out of range.
    TMethReg* Method(long Num) const;
    TPropReg* Prop(long Num) const;
    /// First entry whose Russian, else English name equals Name exactly; -1 if none.
    long FindMethod(std::u16string_view Name) const;
    long FindProp(std::u16string_view Name) const;

    TV8ObjectFactory UserClass;
    std::u16string RegisterExtensionAs;
    std::u16string NatApiClassName;
    std::vector<std::unique_ptr<TPropReg>> PropList;
    std::vector<std::unique_ptr<TMethReg>> MethList;
};

/// The classes of the library, in registration order.
class TClassRegList {
public:
    TClassRegList() = default;
    TClassRegList(const TClassRegList&) = delete;
    TClassRegList& operator=(const TClassRegList&) = delete;

    /// Appends a class (empty lists) and its name to ClassNames ("A|B").
    TClassReg& RegisterClass(TV8ObjectFactory UserClass, std::u16string_view RegisterExtensionAs,
                             std::u16string_view NatApiClassName);
    /// Convenience: registers T (default-constructible, derived from TV8UserObject).
    template <class T>
    TClassReg& RegisterClass(std::u16string_view RegisterExtensionAs,
                             std::u16string_view NatApiClassName) {
        return RegisterClass([] { return std::unique_ptr<TV8UserObject>(std::make_unique<T>()); },
                             RegisterExtensionAs, NatApiClassName);
    }
    /// The class registered under exactly this name, or null.
    TClassReg* Find(std::u16string_view NatApiClassName) const;

    int ClassCount() const { return static_cast<int>(ClassList.size()); }

    std::vector<std::unique_ptr<TClassReg>> ClassList;
    std::u16string ClassNames;
};

/// The library's registry, created on first use and freed by V8NapiUnload.
TClassRegList& ClassRegistry();

// ---------------------------------------------------------------------------
// Objects handed to the host

/// Base of every object handed to the host.
class TV8UserObject {
public:
    TV8UserObject() = default;
    TV8UserObject(const TV8UserObject&) = delete;
    TV8UserObject& operator=(const TV8UserObject&) = delete;
    virtual ~TV8UserObject() = default;

    TClassReg* ClassReg = nullptr;    // the class the object was created from
    TV8MemoryManager* V8MM = nullptr; // set by setMemManager
    TV8AddInDefBase* V8 = nullptr;    // set by Init
    std::u16string locale;            // set by SetLocale

    /// Called by the host's Init after V8 is set.
    virtual bool Init() { return true; }
    /// The interface version reported to the host.
    virtual long GetInfo() { return 2000; }
    /// Called after locale is set.
    virtual void SetLocale() {}
    virtual void Done() {}
    /// Called by the host's setMemManager after V8MM is set.
    virtual bool SetMemManager() { return true; }

    // Writers through this object's memory manager.
    bool V8ClearVar(V8Variant* V) { return korv::V8ClearVar(V8MM, V); }
    bool V8SetBool(V8Variant* V, bool Value) { return korv::V8SetBool(V8MM, V, Value); }
    bool V8SetInt(V8Variant* V, std::int32_t Value) { return korv::V8SetInt(V8MM, V, Value); }
    bool V8SetInt64(V8Variant* V, std::int64_t Value) { return korv::V8SetInt64(V8MM, V, Value); }
    bool V8SetDouble(V8Variant* V, double Value) { return korv::V8SetDouble(V8MM, V, Value); }
    bool V8SetDate(V8Variant* V, TDateTime Value) { return korv::V8SetDate(V8MM, V, Value); }
    bool V8SetWString(V8Variant* V, std::u16string_view Value) {
        return korv::V8SetWString(V8MM, V, Value);
    }
    bool V8SetPChar(V8Variant* V, const char* Value) { return korv::V8SetPChar(V8MM, V, Value); }
    bool V8SetString(V8Variant* V, std::string_view Value) {
        return korv::V8SetString(V8MM, V, Value);
    }
    bool V8SetBlob(V8Variant* V, const void* Value, std::uint32_t Length) {
        return korv::V8SetBlob(V8MM, V, Value, Length);
    }
};

// ---------------------------------------------------------------------------
// Per-device log switch: DeviceID (exact text) -> logging on. A DeviceID not
// in the map counts as off.

void SetDeviceLogFlag(const std::u16string& DeviceID, bool Enabled);
bool GetDeviceLogFlag(const std::u16string& DeviceID);
void RemoveDeviceLogFlag(const std::u16string& DeviceID);
/// The map itself (created on first use, freed by V8NapiUnload).
std::map<std::u16string, bool>& DeviceLogFlags();

/// True when Text has the shape of a DeviceID: a GUID without braces,
/// 8-4-4-4-12 hexadecimal digits.
bool IsDeviceIDText(std::u16string_view Text);

// ---------------------------------------------------------------------------
// Entry points

/// The host's function-pointer slot type.
using TV8Slot = void (*)();

/// The record handed to the host as its object: four interface pointers
/// (init/done, language extender, locale, user language) and, four words
/// after each of them, the driver object.
struct TV8ComponentRecord {
    const TV8Slot* Tables[4] = {};
    TV8UserObject* Driver[4] = {};
};
static_assert(offsetof(TV8ComponentRecord, Driver) == 4 * sizeof(void*));
static_assert(sizeof(TV8ComponentRecord) == 8 * sizeof(void*));

/// Entry-point tables (leading null destructor slots, then the methods in
/// the host's order).
const TV8Slot* V8InitDoneTable();
const TV8Slot* V8LanguageExtenderTable();
const TV8Slot* V8LocaleTable();
const TV8Slot* V8UserLanguageTable();

/// Bodies of the exports. Names are compared exactly; GetClassObject stores
/// a new TV8ComponentRecord* at Object and returns 1, or returns 0.
/// DestroyObject frees the object and its record and clears *Object.
const WCHAR_T* V8GetClassNames();
long V8GetClassObject(const WCHAR_T* ClassName, void** Object);
long V8DestroyObject(void** Object);
int V8GetAttachType();

/// Library load and unload. Reference-counted: only the first load and the
/// last unload do anything. Unload frees the registry and DeviceLogFlags.
void V8NapiLoad();
void V8NapiUnload();

/// Host-call trace: the rendering of a parameter list, "[a; b; BLOB]";
/// a value the trace cannot render shows its type name ("[VTYPE_TM]").
std::u16string V8ParamsText(const V8Variant* Params, long Count);

} // namespace korv
