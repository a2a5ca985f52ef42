#include "HostMemory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace khost {

namespace {

std::string Describe(const void* p, std::size_t size) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%p (%zu bytes)", p, size);
    return buf;
}

// A printable preview of a leaked block: most blocks are UTF-16 strings.
std::string Preview(const void* p, std::size_t size) {
    const auto* units = static_cast<const char16_t*>(p);
    std::string out;
    for (std::size_t i = 0; i + 1 < size && i / 2 < 40; i += 2) {
        char16_t c = units[i / 2];
        if (c == 0)
            break;
        out += (c >= 0x20 && c < 0x7f) ? char(c) : '.';
    }
    return out;
}

} // namespace

THostMemory::~THostMemory() {
    for (auto& [p, block] : FLive)
        std::free(const_cast<void*>(p));
    for (auto& [p, block] : FFreed)
        std::free(const_cast<void*>(p));
}

void* THostMemory::Alloc(std::size_t bytes) {
    if (FFailNext > 0) {
        --FFailNext;
        return nullptr;
    }
    // Never zero bytes: every block needs an address of its own.
    void* p = std::malloc(bytes ? bytes : 1);
    if (!p)
        return nullptr;
    // Garbage, not zeros, so that a missing terminator shows.
    std::memset(p, 0xAB, bytes ? bytes : 1);
    FLive.emplace(p, TBlock{bytes, FContext});
    ++FAllocs;
    return p;
}

bool THostMemory::AllocMemory(void** pMemory, unsigned long ulCountByte) {
    if (!pMemory)
        return false;
    *pMemory = Alloc(ulCountByte);
    return *pMemory != nullptr;
}

void THostMemory::FreeMemory(void** pMemory) {
    if (!pMemory || !*pMemory)
        return;
    FreeOwned(*pMemory, "FreeMemory");
    *pMemory = nullptr;
}

void THostMemory::FreeOwned(void* p, const char* what) {
    if (!p)
        return;
    auto live = FLive.find(p);
    if (live == FLive.end()) {
        auto freed = FFreed.find(p);
        if (freed != FFreed.end())
            FFaults.push_back(std::string(what) + ": block " + Describe(p, freed->second.Size) +
                              " freed twice (allocated during " + freed->second.Context +
                              ", freed again during " + FContext + ")");
        else
            FFaults.push_back(std::string(what) + ": pointer " + Describe(p, 0) +
                              " was not allocated by the host (during " + FContext + ")");
        return;
    }
    std::memset(p, 0xDD, live->second.Size ? live->second.Size : 1);
    FFreed.insert(FLive.extract(live));
    ++FFrees;
}

std::vector<std::string> THostMemory::Leaks() const {
    std::vector<std::string> out;
    for (const auto& [p, block] : FLive)
        out.push_back("block " + Describe(p, block.Size) + " allocated during " + block.Context +
                      " was never freed: \"" + Preview(p, block.Size) + "\"");
    return out;
}

} // namespace khost
