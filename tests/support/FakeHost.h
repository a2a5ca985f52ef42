#pragma once
// The host's side of the add-in interface for the tests, declared as the
// Linux host declares it: C++ classes with virtual destructors, compiled by
// g++. The add-in reaches them only through their vtables, so using them
// checks the slot layout it assumes. Also host values and a host call's
// parameter array that gives back what it holds.

#include "addin/v8napi.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
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

/// The host's memory manager: counts what the add-in takes and gives back,
/// keeps the blocks still live (freed with it), and can refuse.
class TFakeMemoryManager : public IMemoryManager {
public:
    TFakeMemoryManager() = default;
    TFakeMemoryManager(const TFakeMemoryManager&) = delete;
    TFakeMemoryManager& operator=(const TFakeMemoryManager&) = delete;
    ~TFakeMemoryManager() override {
        for (void* P : Live)
            std::free(P);
    }
    bool AllocMemory(void** pMemory, unsigned long ulCountByte) override {
        ++Allocs;
        Bytes += ulCountByte;
        LastSize = ulCountByte;
        if (Refuse) {
            *pMemory = nullptr;
            return false;
        }
        *pMemory = std::malloc(ulCountByte ? ulCountByte : 1);
        if (TrackLive)
            Live.insert(*pMemory);
        return *pMemory != nullptr;
    }
    void FreeMemory(void** pMemory) override {
        ++Frees;
        Live.erase(*pMemory);
        std::free(*pMemory);
        *pMemory = nullptr;
    }
    korv::TV8MemoryManager* Host() { return reinterpret_cast<korv::TV8MemoryManager*>(this); }

    std::uint64_t Allocs = 0;
    std::uint64_t Frees = 0;
    std::uint64_t Bytes = 0;
    unsigned long LastSize = 0;
    bool Refuse = false;
    /// Off where the bookkeeping would weigh on what is measured; the
    /// blocks not given back are then only counted (Allocs - Frees).
    bool TrackLive = true;
    std::set<void*> Live;
};

struct TAddErrorCall {
    unsigned short Code;
    std::u16string Source;
    std::u16string Descr;
    long SCode;
};

/// The host's connection: records the errors the add-in reports.
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

/// A host text value pointing at the caller's text (not host memory: never
/// let the add-in write over it).
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

/// A host parameter array plus the return value; host texts in it go back
/// to the host when it goes.
class THostCall {
public:
    THostCall(TFakeMemoryManager& AMem, int ACount) : FMem(AMem), Params(ACount) {
        for (auto& V : Params)
            korv::V8ClearVar(nullptr, &V);
        korv::V8ClearVar(nullptr, &Ret);
    }
    ~THostCall() {
        for (auto& V : Params)
            korv::V8ClearVar(FMem.Host(), &V);
        korv::V8ClearVar(FMem.Host(), &Ret);
    }
    THostCall(const THostCall&) = delete;
    THostCall& operator=(const THostCall&) = delete;

    THostCall& Str(int I, std::u16string_view Text) {
        korv::V8SetWString(FMem.Host(), &Params[I], Text);
        return *this;
    }
    THostCall& Int(int I, int Value) {
        korv::V8SetInt(FMem.Host(), &Params[I], Value);
        return *this;
    }
    THostCall& Dbl(int I, double Value) {
        korv::V8SetDouble(FMem.Host(), &Params[I], Value);
        return *this;
    }
    THostCall& Bool(int I, bool Value) {
        korv::V8SetBool(FMem.Host(), &Params[I], Value);
        return *this;
    }
    std::u16string Text(int I) const { return korv::V8AsWideString(&Params[I]); }
    long Count() const { return static_cast<long>(Params.size()); }

private:
    TFakeMemoryManager& FMem;

public:
    std::vector<korv::V8Variant> Params;
    korv::V8Variant Ret{};
};

} // namespace korvtest
