#pragma once
// The host's side of the add-in interface, declared as the Linux host
// declares it: C++ classes with virtual destructors, compiled by g++. The
// add-in reaches them only through their vtables, so using these checks the
// slot layout it assumes.

#include "addin/v8napi.h"

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace korvtest {

class IMemoryManager {
public:
    virtual ~IMemoryManager() = default;
    virtual bool AllocMemory(void** pMemory, unsigned long ulCountByte) = 0;
    virtual void FreeMemory(void** pMemory) = 0;
};

class IAddInDefBase {
public:
    virtual ~IAddInDefBase() = default;
    virtual bool AddError(unsigned short wcode, const char16_t* source, const char16_t* descr,
                          long scode) = 0;
    virtual bool Read(char16_t*, void*, long*, char16_t**) { return false; }
    virtual bool Write(char16_t*, void*) { return false; }
};

/// Counts what the add-in allocates and frees; can refuse allocations.
class TFakeMemoryManager : public IMemoryManager {
public:
    ~TFakeMemoryManager() override {
        for (void* P : Live)
            std::free(P);
    }
    bool AllocMemory(void** pMemory, unsigned long ulCountByte) override {
        ++Allocs;
        LastSize = ulCountByte;
        if (Refuse) {
            *pMemory = nullptr;
            return false;
        }
        *pMemory = std::malloc(ulCountByte ? ulCountByte : 1);
        Live.insert(*pMemory);
        return true;
    }
    void FreeMemory(void** pMemory) override {
        ++Frees;
        Live.erase(*pMemory);
        std::free(*pMemory);
        *pMemory = nullptr;
    }
    korv::TV8MemoryManager* Host() { return reinterpret_cast<korv::TV8MemoryManager*>(this); }

    int Allocs = 0;
    int Frees = 0;
    unsigned long LastSize = 0;
    bool Refuse = false;
    std::set<void*> Live;
};

struct TAddErrorCall {
    unsigned short Code;
    std::u16string Source;
    std::u16string Descr;
    long SCode;
};

/// Records AddError calls.
class TFakeConnection : public IAddInDefBase {
public:
    bool AddError(unsigned short wcode, const char16_t* source, const char16_t* descr,
                  long scode) override {
        Errors.push_back({wcode, source ? source : u"", descr ? descr : u"", scode});
        return true;
    }
    korv::TV8AddInDefBase* Host() { return reinterpret_cast<korv::TV8AddInDefBase*>(this); }

    std::vector<TAddErrorCall> Errors;
};

inline korv::V8Variant WStr(const char16_t* Text) {
    korv::V8Variant V{};
    V.vt = korv::VTYPE_PWSTR;
    V.pwstrVal = const_cast<char16_t*>(Text);
    V.wstrLen = static_cast<std::uint32_t>(std::char_traits<char16_t>::length(Text));
    return V;
}

inline korv::V8Variant I4(std::int32_t Value) {
    korv::V8Variant V{};
    V.vt = korv::VTYPE_I4;
    V.lVal = Value;
    return V;
}

} // namespace korvtest
