#pragma once
// What the driver tests share: a host memory manager laid out as the Linux
// host's, host parameter arrays that free what they hold, a log folder of
// their own, and calls through the class registry.

#include "addin/v8napi.h"
#include "driver/uCustomDriver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace korvtest {

/// The host's memory manager: a C++ object whose vtable starts with the
/// destructor, as the host declares it. Tracks live blocks.
class THostMemory {
public:
    virtual ~THostMemory() {
        for (void* P : Live)
            std::free(P);
    }
    virtual bool AllocMemory(void** P, unsigned long Bytes) {
        if (Refuse) {
            *P = nullptr;
            return false;
        }
        *P = std::malloc(Bytes ? Bytes : 1);
        Live.insert(*P);
        return true;
    }
    virtual void FreeMemory(void** P) {
        Live.erase(*P);
        std::free(*P);
        *P = nullptr;
    }
    korv::TV8MemoryManager* Host() { return reinterpret_cast<korv::TV8MemoryManager*>(this); }

    std::set<void*> Live;
    bool Refuse = false;
};

/// A host parameter array plus the return value; host texts in it are
/// freed when it goes.
class THostCall {
public:
    THostCall(THostMemory& AMem, int ACount) : FMem(AMem), Params(ACount) {
        for (auto& V : Params)
            korv::V8ClearVar(nullptr, &V);
        korv::V8ClearVar(nullptr, &Ret);
    }
    ~THostCall() {
        for (auto& V : Params)
            korv::V8ClearVar(FMem.Host(), &V);
        korv::V8ClearVar(FMem.Host(), &Ret);
    }
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
    THostMemory& FMem;

public:
    std::vector<korv::V8Variant> Params;
    korv::V8Variant Ret{};
};

/// A folder of the test's own for the log and the help page.
inline std::filesystem::path TestLogFolder() {
    const char* Base = std::getenv("KORVANDER_TEST_TMP");
    std::filesystem::path Dir =
        Base && *Base ? std::filesystem::path(Base) : std::filesystem::temp_directory_path();
    Dir /= "driver-log";
    std::filesystem::create_directories(Dir);
    return Dir;
}

/// Calls an exported method of the driver by its English name, through the
/// driver class's own export tables (the first entry of that name).
bool CallExport(korv::TCustomDriver& ADriver, std::u16string_view AName, THostCall& ACall);

} // namespace korvtest
