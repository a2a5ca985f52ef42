#include "HostValue.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace khost {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

bool IsIntegerType(TYPEVAR t) {
    switch (t) {
    case VTYPE_I2:
    case VTYPE_I4:
    case VTYPE_ERROR:
    case VTYPE_I1:
    case VTYPE_UI1:
    case VTYPE_UI2:
    case VTYPE_UI4:
    case VTYPE_I8:
    case VTYPE_UI8:
    case VTYPE_INT:
    case VTYPE_UINT:
    case VTYPE_HRESULT:
        return true;
    default:
        return false;
    }
}

bool IsRealType(TYPEVAR t) {
    return t == VTYPE_R4 || t == VTYPE_R8 || t == VTYPE_DATE;
}

std::string FormatReal(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

std::string FormatTm(const struct tm& tm) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string ToUtf8(const WCHAR_T* text) {
    if (!text)
        return {};
    return ToUtf8(std::u16string_view(text));
}

std::u16string FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char b = text[i];
        char32_t c = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            c = b & 0x07;
        } else {
            len = 0;
        }
        bool ok = len > 0 && i + len <= text.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            unsigned char cont = text[i + k];
            if ((cont & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (cont & 0x3F);
        }
        static const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (c < minimum[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += len;
    }
    return out;
}

std::string Quote(std::string_view utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string TypeName(TYPEVAR vt) {
    static const char* const names[] = {
        "VTYPE_EMPTY", "VTYPE_NULL",    "VTYPE_I2",      "VTYPE_I4",   "VTYPE_R4",
        "VTYPE_R8",    "VTYPE_DATE",    "VTYPE_TM",      "VTYPE_PSTR", "VTYPE_INTERFACE",
        "VTYPE_ERROR", "VTYPE_BOOL",    "VTYPE_VARIANT", "VTYPE_I1",   "VTYPE_UI1",
        "VTYPE_UI2",   "VTYPE_UI4",     "VTYPE_I8",      "VTYPE_UI8",  "VTYPE_INT",
        "VTYPE_UINT",  "VTYPE_HRESULT", "VTYPE_PWSTR",   "VTYPE_BLOB", "VTYPE_CLSID"};
    unsigned code = vt & VTYPE_TYPEMASK;
    if (code < sizeof names / sizeof names[0])
        return names[code];
    if (code == VTYPE_STR_BLOB)
        return "VTYPE_STR_BLOB";
    return "unknown type";
}

THostValue THostValue::Null() {
    THostValue v;
    v.Type = VTYPE_NULL;
    return v;
}

THostValue THostValue::Boolean(bool b) {
    THostValue v;
    v.Type = VTYPE_BOOL;
    v.Bool = b;
    return v;
}

THostValue THostValue::I4(int32_t i) {
    THostValue v;
    v.Type = VTYPE_I4;
    v.Int = i;
    return v;
}

THostValue THostValue::I8(int64_t i) {
    THostValue v;
    v.Type = VTYPE_I8;
    v.Int = i;
    return v;
}

THostValue THostValue::R8(double d) {
    THostValue v;
    v.Type = VTYPE_R8;
    v.Real = d;
    return v;
}

THostValue THostValue::WString(std::string utf8) {
    THostValue v;
    v.Type = VTYPE_PWSTR;
    v.Text = std::move(utf8);
    return v;
}

THostValue THostValue::PString(std::string bytes) {
    THostValue v;
    v.Type = VTYPE_PSTR;
    v.Text = std::move(bytes);
    return v;
}

THostValue THostValue::Blob(std::string bytes) {
    THostValue v;
    v.Type = VTYPE_BLOB;
    v.Text = std::move(bytes);
    return v;
}

THostValue THostValue::DateTm(const struct tm& tm) {
    THostValue v;
    v.Type = VTYPE_TM;
    v.Tm = tm;
    return v;
}

bool ToVariant(const THostValue& value, THostMemory& memory, tVariant& out) {
    std::memset(&out, 0, sizeof out);
    out.vt = value.Type;
    switch (value.Type) {
    case VTYPE_I1:
        out.i8Val = int8_t(value.Int);
        break;
    case VTYPE_UI1:
        out.ui8Val = uint8_t(value.Int);
        break;
    case VTYPE_I2:
        out.shortVal = int16_t(value.Int);
        break;
    case VTYPE_UI2:
        out.ushortVal = uint16_t(value.Int);
        break;
    case VTYPE_I4:
    case VTYPE_ERROR:
    case VTYPE_INT:
        out.lVal = int32_t(value.Int);
        break;
    case VTYPE_UI4:
    case VTYPE_UINT:
        out.ulVal = uint32_t(value.Int);
        break;
    case VTYPE_I8:
    case VTYPE_HRESULT:
        out.llVal = value.Int;
        break;
    case VTYPE_UI8:
        out.ullVal = uint64_t(value.Int);
        break;
    case VTYPE_R4:
        out.fltVal = float(value.Real);
        break;
    case VTYPE_R8:
        out.dblVal = value.Real;
        break;
    case VTYPE_DATE:
        out.date = value.Real;
        break;
    case VTYPE_BOOL:
        out.bVal = value.Bool;
        break;
    case VTYPE_TM:
        out.tmVal = value.Tm;
        break;
    case VTYPE_PWSTR: {
        std::u16string text = FromUtf8(value.Text);
        void* p = memory.Alloc((text.size() + 1) * sizeof(char16_t));
        if (!p)
            return false;
        std::memcpy(p, text.c_str(), (text.size() + 1) * sizeof(char16_t));
        out.wstrVal.pwstrVal = static_cast<WCHAR_T*>(p);
        out.wstrVal.wstrLen = uint32_t(text.size());
        break;
    }
    case VTYPE_PSTR:
    case VTYPE_BLOB: {
        bool zero = value.Type == VTYPE_PSTR;
        void* p = memory.Alloc(value.Text.size() + (zero ? 1 : 0));
        if (!p)
            return false;
        std::memcpy(p, value.Text.data(), value.Text.size());
        if (zero)
            static_cast<char*>(p)[value.Text.size()] = 0;
        out.strVal.pstrVal = static_cast<char*>(p);
        out.strVal.strLen = uint32_t(value.Text.size());
        break;
    }
    default:
        break;
    }
    return true;
}

THostValue FromVariant(const tVariant& v, const THostMemory& memory, std::string& fault) {
    fault.clear();
    THostValue out;
    out.Type = v.vt;
    switch (v.vt) {
    case VTYPE_I1:
        out.Int = v.i8Val;
        break;
    case VTYPE_UI1:
        out.Int = v.ui8Val;
        break;
    case VTYPE_I2:
        out.Int = v.shortVal;
        break;
    case VTYPE_UI2:
        out.Int = v.ushortVal;
        break;
    case VTYPE_I4:
    case VTYPE_ERROR:
    case VTYPE_INT:
        out.Int = v.lVal;
        break;
    case VTYPE_UI4:
    case VTYPE_UINT:
        out.Int = v.ulVal;
        break;
    case VTYPE_I8:
    case VTYPE_HRESULT:
        out.Int = v.llVal;
        break;
    case VTYPE_UI8:
        out.Int = int64_t(v.ullVal);
        break;
    case VTYPE_R4:
        out.Real = v.fltVal;
        break;
    case VTYPE_R8:
        out.Real = v.dblVal;
        break;
    case VTYPE_DATE:
        out.Real = v.date;
        break;
    case VTYPE_BOOL:
        out.Bool = v.bVal;
        break;
    case VTYPE_TM:
        out.Tm = v.tmVal;
        break;
    case VTYPE_PWSTR: {
        const WCHAR_T* p = v.wstrVal.pwstrVal;
        if (!p) {
            if (v.wstrVal.wstrLen != 0)
                fault = "PWSTR with a null pointer and length " + std::to_string(v.wstrVal.wstrLen);
            break;
        }
        if (!memory.IsLive(p))
            fault = "PWSTR pointer not allocated by the host's memory manager";
        std::u16string_view text(p, v.wstrVal.wstrLen);
        if (fault.empty() && p[v.wstrVal.wstrLen] != 0)
            fault = "PWSTR not terminated by a zero after wstrLen characters";
        out.Text = ToUtf8(text);
        break;
    }
    case VTYPE_PSTR:
    case VTYPE_BLOB:
        if (v.strVal.pstrVal) {
            if (!memory.IsLive(v.strVal.pstrVal))
                fault = TypeName(v.vt) + " pointer not allocated by the host's memory manager";
            out.Text.assign(v.strVal.pstrVal, v.strVal.strLen);
        }
        break;
    default:
        break;
    }
    return out;
}

void ReleaseVariant(tVariant& v, THostMemory& memory, const char* what) {
    switch (v.vt & VTYPE_TYPEMASK) {
    case VTYPE_PWSTR:
        memory.FreeOwned(v.wstrVal.pwstrVal, what);
        break;
    case VTYPE_PSTR:
    case VTYPE_BLOB:
        memory.FreeOwned(v.strVal.pstrVal, what);
        break;
    default:
        break;
    }
    std::memset(&v, 0, sizeof v);
}

std::string PlainText(const THostValue& value) {
    if (IsIntegerType(value.Type))
        return std::to_string(value.Int);
    if (IsRealType(value.Type))
        return FormatReal(value.Real);
    switch (value.Type) {
    case VTYPE_BOOL:
        return value.Bool ? "true" : "false";
    case VTYPE_PWSTR:
    case VTYPE_PSTR:
        return value.Text;
    case VTYPE_BLOB:
        return Hex(value.Text);
    case VTYPE_TM:
        return FormatTm(value.Tm);
    default:
        return "";
    }
}

std::string Format(const THostValue& value) {
    std::string name = TypeName(value.Type);
    if (name.rfind("VTYPE_", 0) == 0)
        name = name.substr(6);
    if (value.Type == VTYPE_EMPTY || value.Type == VTYPE_NULL)
        return name;
    if (value.Type == VTYPE_PWSTR || value.Type == VTYPE_PSTR)
        return name + " " + Quote(value.Text);
    return name + " " + PlainText(value);
}

bool SameValue(const THostValue& a, const THostValue& b) {
    if (IsIntegerType(a.Type) && IsIntegerType(b.Type))
        return a.Int == b.Int;
    if (a.Type != b.Type)
        return false;
    if (IsRealType(a.Type))
        return a.Real == b.Real || (std::isnan(a.Real) && std::isnan(b.Real));
    switch (a.Type) {
    case VTYPE_BOOL:
        return a.Bool == b.Bool;
    case VTYPE_PWSTR:
    case VTYPE_PSTR:
    case VTYPE_BLOB:
        return a.Text == b.Text;
    case VTYPE_TM:
        return FormatTm(a.Tm) == FormatTm(b.Tm);
    default:
        return true;
    }
}

} // namespace khost
