// Values on the host's side of the boundary, and their conversion to and from the add-in's
// tagged value record.
#pragma once

#include "HostAbi.h"
#include "HostMemory.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace khost {

// UTF-16 <-> UTF-8. Unpaired surrogates and malformed bytes become U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::string ToUtf8(const WCHAR_T* text);
std::u16string FromUtf8(std::string_view text);

// The text in double quotes with C-like escapes for quotes, backslashes and control characters.
std::string Quote(std::string_view utf8);
// The host's name of a type code ("VTYPE_PWSTR"), without flags; "unknown type" otherwise.
std::string TypeName(TYPEVAR vt);

// One host value. Strings are kept as UTF-8 (PWSTR) or raw bytes (PSTR, BLOB).
struct THostValue {
    TYPEVAR Type = VTYPE_EMPTY;
    int64_t Int = 0;   // I1 … UI8, INT, UINT, ERROR, HRESULT
    double Real = 0;   // R4, R8, DATE
    bool Bool = false; // BOOL
    std::string Text;  // PWSTR (UTF-8), PSTR, BLOB
    struct tm Tm = {}; // TM

    static THostValue Empty() { return {}; }
    static THostValue Null();
    static THostValue Boolean(bool v);
    static THostValue I4(int32_t v);
    static THostValue I8(int64_t v);
    static THostValue R8(double v);
    static THostValue WString(std::string utf8);
    static THostValue PString(std::string bytes);
    static THostValue Blob(std::string bytes);
    static THostValue DateTm(const struct tm& tm);
};

// Writes `value` into `out` (zeroed first); strings are allocated from `memory`, as the host
// does for the parameters it passes. Returns false when an allocation failed.
bool ToVariant(const THostValue& value, THostMemory& memory, tVariant& out);
// Reads a record the add-in filled. Reading needs no ownership; `fault` gets a description of
// anything the host would reject (a string pointer outside host memory, a length that disagrees
// with the terminator), empty when all is well.
THostValue FromVariant(const tVariant& v, const THostMemory& memory, std::string& fault);
// Hands back to `memory` the string or blob a record holds and zeroes the record.
void ReleaseVariant(tVariant& v, THostMemory& memory, const char* what);

// "I4 4004", "BOOL true", "PWSTR \"text\"", "EMPTY".
std::string Format(const THostValue& value);
// The value as plain text: numbers in decimal, Booleans "true"/"false", strings as they are.
std::string PlainText(const THostValue& value);
// Same type and same content; numbers of different integer types compare by value.
bool SameValue(const THostValue& a, const THostValue& b);

} // namespace khost
