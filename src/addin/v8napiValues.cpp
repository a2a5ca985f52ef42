// Host values: readers, writers, and the calls into the host's memory
// manager and connection.

#include "addin/v8napi.h"

#include "common/Common.Log.h"
#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace korv {

namespace {

/// The function in slot Index (counted after the destructor slots) of a host
/// object's vtable.
template <class F> F HostSlot(void* Obj, int Index) {
    auto* Table = *static_cast<TV8Slot* const*>(Obj);
    return reinterpret_cast<F>(Table[V8DestructorSlots + Index]);
}

using TAllocMemory = bool(KORV_STDCALL*)(void* Self, void** P, unsigned long Bytes);
using TFreeMemory = void(KORV_STDCALL*)(void* Self, void** P);
using TAddError = bool(KORV_STDCALL*)(void* Self, unsigned short Code, const WCHAR_T* Source,
                                      const WCHAR_T* Descr, long SCode);
// A COM-style interface: QueryInterface, AddRef, Release (no destructor).
using TRelease = unsigned long(KORV_STDCALL*)(void* Self);

std::uint16_t BaseType(const V8Variant* V) {
    return V->vt & VTYPE_TYPEMASK;
}

/// ASCII text of a host string for number parsing, trimmed; empty when it
/// holds anything outside ASCII.
std::string NumberText(const V8Variant* V) {
    const std::u16string W = V8AsWideString(V);
    std::string S;
    for (char16_t C : TrimView(W)) {
        if (C > 0x7f)
            return {};
        S.push_back(static_cast<char>(C));
    }
    return S;
}

std::int32_t ParseInt(const V8Variant* V) {
    std::string S = NumberText(V);
    std::string_view T = S;
    if (!T.empty() && T.front() == '+')
        T.remove_prefix(1);
    std::int32_t R = 0;
    auto [End, Err] = std::from_chars(T.data(), T.data() + T.size(), R, 10);
    if (T.empty() || Err != std::errc() || End != T.data() + T.size())
        return 0;
    return R;
}

double ParseDouble(const V8Variant* V) {
    std::string S = NumberText(V);
    std::string_view T = S;
    if (!T.empty() && T.front() == '+')
        T.remove_prefix(1);
    double R = 0;
    auto [End, Err] = std::from_chars(T.data(), T.data() + T.size(), R, std::chars_format::general);
    if (T.empty() || Err != std::errc() || End != T.data() + T.size() || !std::isfinite(R))
        return 0;
    return R;
}

/// Truncation toward zero into 32 bits, wrapping as a 64-bit truncation
/// would; 0 for values no integer holds.
std::int32_t TruncInt(double D) {
    if (!std::isfinite(D) || std::fabs(D) >= 9.2e18)
        return 0;
    return static_cast<std::int32_t>(static_cast<std::int64_t>(D));
}

// 1899-12-30, day 0 of TDateTime, counted from 1970-01-01.
constexpr std::int64_t DateDelta = -25569;

std::u16string Ascii(std::string_view S) {
    return std::u16string(S.begin(), S.end());
}

std::u16string Two(int V) {
    return std::u16string{static_cast<char16_t>(u'0' + V / 10 % 10),
                          static_cast<char16_t>(u'0' + V % 10)};
}

std::u16string DateTimeText(TDateTime Value) {
    if (!std::isfinite(Value) || std::fabs(Value) > 3.0e6)
        return u"";
    double Whole = std::floor(Value);
    auto Ms = static_cast<std::int64_t>(std::llround((Value - Whole) * 86400000.0));
    auto Days = static_cast<std::int64_t>(Whole);
    if (Ms >= 86400000) {
        Ms -= 86400000;
        ++Days;
    }
    const TCivilTime Date = CivilFromDays(Days + DateDelta);
    std::u16string R =
        Two(Date.Day) + u"." + Two(Date.Month) + u"." + Ascii(std::to_string(Date.Year));
    const auto Secs = Ms / 1000;
    if (Secs != 0)
        R += u" " + Ascii(std::to_string(Secs / 3600)) + u":" + Two(int(Secs / 60 % 60)) + u":" +
             Two(int(Secs % 60));
    return R;
}

std::u16string DoubleText(double Value) {
    if (std::isnan(Value))
        return u"NAN";
    if (std::isinf(Value))
        return Value > 0 ? u"INF" : u"-INF";
    std::array<char, 64> Buf{};
    auto [End, Err] =
        std::to_chars(Buf.data(), Buf.data() + Buf.size(), Value, std::chars_format::general, 15);
    if (Err != std::errc())
        return u"";
    std::string S(Buf.data(), End);
    // "1e+20" -> "1E20", "1e-05" -> "1E-5"
    if (auto E = S.find('e'); E != std::string::npos) {
        std::string Mant = S.substr(0, E);
        std::string Exp = S.substr(E + 1);
        std::string Sign;
        if (!Exp.empty() && (Exp[0] == '+' || Exp[0] == '-')) {
            if (Exp[0] == '-')
                Sign = "-";
            Exp.erase(0, 1);
        }
        Exp.erase(0, std::min(Exp.find_first_not_of('0'), Exp.size() - 1));
        S = Mant + "E" + Sign + Exp;
    }
    return Ascii(S);
}

} // namespace

// ---------------------------------------------------------------------------
// Host objects

bool V8AllocMemory(TV8MemoryManager* MM, void** P, unsigned long Bytes) {
    if (!MM || !P)
        return false;
    return HostSlot<TAllocMemory>(MM, 0)(MM, P, Bytes);
}

void V8FreeMemory(TV8MemoryManager* MM, void** P) {
    if (!MM || !P)
        return;
    HostSlot<TFreeMemory>(MM, 1)(MM, P);
}

bool V8AddError(TV8AddInDefBase* Conn, unsigned short Code, const WCHAR_T* Source,
                const WCHAR_T* Descr, long SCode) {
    if (!Conn)
        return false;
    return HostSlot<TAddError>(Conn, 0)(Conn, Code, Source, Descr, SCode);
}

WCHAR_T* V8HostString(TV8MemoryManager* MM, std::u16string_view Text) {
    void* P = nullptr;
    const auto Bytes = static_cast<unsigned long>((Text.size() + 1) * sizeof(WCHAR_T));
    if (!V8AllocMemory(MM, &P, Bytes) || !P)
        return nullptr;
    auto* W = static_cast<WCHAR_T*>(P);
    if (!Text.empty())
        std::memcpy(W, Text.data(), Text.size() * sizeof(WCHAR_T));
    W[Text.size()] = 0;
    return W;
}

// ---------------------------------------------------------------------------
// Readers

bool V8IsString(const V8Variant* V) {
    return V && (BaseType(V) == VTYPE_PSTR || BaseType(V) == VTYPE_PWSTR);
}

std::u16string V8AsWideString(const V8Variant* V) {
    if (!V || V->vt != VTYPE_PWSTR || !V->pwstrVal)
        return {};
    return std::u16string(V->pwstrVal);
}

std::int32_t V8AsInteger(const V8Variant* V) {
    if (!V)
        return 0;
    switch (V->vt) {
    case VTYPE_I4:
        return V->lVal;
    case VTYPE_I2:
        return V->shortVal;
    case VTYPE_R4:
        return TruncInt(V->fltVal);
    case VTYPE_R8:
    case VTYPE_DATE:
        return TruncInt(V->dblVal);
    case VTYPE_ERROR:
        return V->errCode;
    case VTYPE_UI1:
        return V->ui8Val;
    case VTYPE_PWSTR:
        return ParseInt(V);
    default:
        return 0;
    }
}

double V8AsDouble(const V8Variant* V) {
    if (!V)
        return 0;
    switch (V->vt) {
    case VTYPE_R8:
        return V->dblVal;
    case VTYPE_I2:
        return V->shortVal;
    case VTYPE_I4:
        return V->lVal;
    case VTYPE_R4:
        return V->fltVal;
    case VTYPE_DATE:
        return V->date;
    case VTYPE_ERROR:
        return V->errCode;
    case VTYPE_UI1:
        return V->ui8Val;
    case VTYPE_PWSTR:
        return ParseDouble(V);
    default:
        return 0;
    }
}

bool V8AsBoolean(const V8Variant* V) {
    if (V && V->vt == VTYPE_BOOL)
        return V->bVal;
    return V8AsInteger(V) != 0;
}

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second) {
    if (Year < 1 || Year > 9999 || Day < 1 || Day > DaysInMonth(Year, Month))
        throw std::invalid_argument("Invalid argument to date encode");
    if (Hour < 0 || Hour > 23 || Minute < 0 || Minute > 59 || Second < 0 || Second > 59)
        throw std::invalid_argument("Invalid argument to time encode");
    const auto Days = DaysFromCivil(Year, Month, Day);
    return static_cast<double>(Days - DateDelta) +
           (Hour * 3600.0 + Minute * 60.0 + Second) / 86400.0;
}

TDateTime V8AsDateTime(const V8Variant* V) {
    if (!V)
        return 0;
    switch (V->vt) {
    case VTYPE_R8:
    case VTYPE_DATE:
        return V->dblVal;
    case VTYPE_TM:
        return EncodeDateTime(V->tmVal.tm_year + 1900, V->tmVal.tm_mon + 1, V->tmVal.tm_mday,
                              V->tmVal.tm_hour, V->tmVal.tm_min, V->tmVal.tm_sec);
    default:
        return 0;
    }
}

std::u16string V8TypeName(const V8Variant* V) {
    static constexpr std::string_view Names[] = {
        "VTYPE_EMPTY", "VTYPE_NULL",    "VTYPE_I2",      "VTYPE_I4",   "VTYPE_R4",
        "VTYPE_R8",    "VTYPE_DATE",    "VTYPE_TM",      "VTYPE_PSTR", "VTYPE_INTERFACE",
        "VTYPE_ERROR", "VTYPE_BOOL",    "VTYPE_VARIANT", "VTYPE_I1",   "VTYPE_UI1",
        "VTYPE_UI2",   "VTYPE_UI4",     "VTYPE_I8",      "VTYPE_UI8",  "VTYPE_INT",
        "VTYPE_UINT",  "VTYPE_HRESULT", "VTYPE_PWSTR",   "VTYPE_BLOB", "VTYPE_CLSID"};
    if (!V)
        return u"unknown type";
    const auto T = BaseType(V);
    std::u16string R;
    if (T < std::size(Names))
        R = Ascii(Names[T]);
    else if (T == VTYPE_STR_BLOB)
        R = u"VTYPE_STR_BLOB";
    else
        R = u"unknown type";
    if (V->vt & VTYPE_BYREF)
        R += u" by ref";
    else if (V->vt & VTYPE_ARRAY)
        R += u" array";
    else if (V->vt & VTYPE_VECTOR)
        R += u" vector";
    return R;
}

TVariant V8ToVariant(const V8Variant* V) {
    if (!V)
        return std::monostate{};
    switch (V->vt) {
    case VTYPE_EMPTY:
        return std::monostate{};
    case VTYPE_I4:
        return V->lVal;
    case VTYPE_R8:
        return V->dblVal;
    case VTYPE_TM:
        return TVarDate{V8AsDateTime(V)};
    case VTYPE_BOOL:
        return V8AsBoolean(V);
    case VTYPE_I8:
        return V->llVal;
    case VTYPE_PWSTR:
        return V8AsWideString(V);
    case VTYPE_BLOB: {
        std::vector<std::uint8_t> Bytes;
        if (V->pstrVal && V->strLen > 0) {
            const auto* P = reinterpret_cast<const std::uint8_t*>(V->pstrVal);
            Bytes.assign(P, P + V->strLen);
        }
        return Bytes;
    }
    default:
        throw std::runtime_error("Unsupported data type - " + U16ToUtf8(V8TypeName(V)));
    }
}

std::u16string VariantToText(const TVariant& V) {
    struct {
        std::u16string operator()(std::monostate) const { return {}; }
        std::u16string operator()(std::int32_t I) const { return Ascii(std::to_string(I)); }
        std::u16string operator()(std::int64_t I) const { return Ascii(std::to_string(I)); }
        std::u16string operator()(double D) const { return DoubleText(D); }
        std::u16string operator()(bool B) const { return B ? u"True" : u"False"; }
        std::u16string operator()(const TVarDate& D) const { return DateTimeText(D.Value); }
        std::u16string operator()(const std::u16string& S) const { return S; }
        std::u16string operator()(const std::vector<std::uint8_t>&) const { return u"BLOB"; }
    } Render;
    return std::visit(Render, V);
}

std::u16string V8ToText(const V8Variant* V) {
    return VariantToText(V8ToVariant(V));
}

std::u16string V8TraceText(const V8Variant* V) noexcept {
    if (!V)
        return {};
    try {
        return V8ToText(V);
    } catch (...) {
    }
    try {
        return V8TypeName(V);
    } catch (...) {
        return {};
    }
}

// ---------------------------------------------------------------------------
// Writers

bool V8ClearVar(TV8MemoryManager* MM, V8Variant* V) {
    if (!V)
        return false;
    try {
        switch (BaseType(V)) {
        case VTYPE_PSTR:
        case VTYPE_BLOB:
            if (V->pstrVal)
                V8FreeMemory(MM, reinterpret_cast<void**>(&V->pstrVal));
            break;
        case VTYPE_PWSTR:
            if (V->pwstrVal)
                V8FreeMemory(MM, reinterpret_cast<void**>(&V->pwstrVal));
            break;
        case VTYPE_INTERFACE:
            if (V->pInterfaceVal) {
                auto* Table = *static_cast<TV8Slot* const*>(V->pInterfaceVal);
                reinterpret_cast<TRelease>(Table[2])(V->pInterfaceVal);
            }
            break;
        default:
            break;
        }
    } catch (const std::exception& E) {
        WriteLog(u"EXCEPTION V8ClearVar", ExceptionMessage(E), TLogLevel::Error);
    } catch (...) {
        WriteLog(u"EXCEPTION V8ClearVar", u"Unknown error", TLogLevel::Error);
    }
    std::memset(static_cast<void*>(V), 0, sizeof(V8Variant));
    return true;
}

bool V8SetBool(TV8MemoryManager* MM, V8Variant* V, bool Value) {
    if (!V8ClearVar(MM, V))
        return false;
    V->vt = VTYPE_BOOL;
    V->bVal = Value;
    return true;
}

bool V8SetInt(TV8MemoryManager* MM, V8Variant* V, std::int32_t Value) {
    if (!V8ClearVar(MM, V))
        return false;
    V->vt = VTYPE_I4;
    V->lVal = Value;
    return true;
}

bool V8SetInt64(TV8MemoryManager* MM, V8Variant* V, std::int64_t Value) {
    if (!V8ClearVar(MM, V))
        return false;
    V->vt = VTYPE_I8;
    V->llVal = Value;
    return true;
}

bool V8SetDouble(TV8MemoryManager* MM, V8Variant* V, double Value) {
    if (!V8ClearVar(MM, V))
        return false;
    V->vt = VTYPE_R8;
    V->dblVal = Value;
    return true;
}

bool V8SetDate(TV8MemoryManager* MM, V8Variant* V, TDateTime Value) {
    if (!V8ClearVar(MM, V))
        return false;
    V->vt = VTYPE_DATE;
    V->date = Value;
    return true;
}

bool V8SetWString(TV8MemoryManager* MM, V8Variant* V, std::u16string_view Value) {
    if (!V8ClearVar(MM, V))
        return false;
    V->vt = VTYPE_PWSTR;
    WCHAR_T* P = V8HostString(MM, Value);
    if (!P)
        return false;
    V->pwstrVal = P;
    V->wstrLen = static_cast<std::uint32_t>(Value.size());
    return true;
}

bool V8SetString(TV8MemoryManager* MM, V8Variant* V, std::string_view Value) {
    if (!V8ClearVar(MM, V))
        return false;
    V->vt = VTYPE_PSTR;
    void* P = nullptr;
    if (!V8AllocMemory(MM, &P, static_cast<unsigned long>(Value.size() + 1)) || !P)
        return false;
    auto* S = static_cast<char*>(P);
    if (!Value.empty())
        std::memcpy(S, Value.data(), Value.size());
    S[Value.size()] = 0;
    V->pstrVal = S;
    V->strLen = static_cast<std::uint32_t>(Value.size());
    return true;
}

bool V8SetPChar(TV8MemoryManager* MM, V8Variant* V, const char* Value) {
    if (!Value)
        return true;
    return V8SetString(MM, V, std::string_view(Value));
}

bool V8SetBlob(TV8MemoryManager* MM, V8Variant* V, const void* Value, std::uint32_t Length) {
    if (!Value)
        return true;
    if (!V8ClearVar(MM, V))
        return false;
    V->vt = VTYPE_BLOB;
    if (Length == 0)
        return true; // an empty blob needs no host memory
    void* P = nullptr;
    if (!V8AllocMemory(MM, &P, Length) || !P)
        return false;
    std::memcpy(P, Value, Length);
    V->pstrVal = static_cast<char*>(P);
    V->strLen = Length;
    return true;
}

} // namespace korv
