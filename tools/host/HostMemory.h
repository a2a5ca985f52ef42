// The host's memory manager: hands out and takes back the memory of every string that crosses
// the boundary, and keeps account of it so that leaks and double frees can be reported.
#pragma once

#include "HostAbi.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace khost {

class THostMemory final : public IMemoryManager {
public:
    THostMemory() = default;
    THostMemory(const THostMemory&) = delete;
    THostMemory& operator=(const THostMemory&) = delete;
    ~THostMemory() override;

    bool AllocMemory(void** pMemory, unsigned long ulCountByte) override;
    void FreeMemory(void** pMemory) override;

    // Host-side helpers: the tool allocates the strings it passes in and frees what it gets back
    // through the same accounting, as the real host does.
    void* Alloc(std::size_t bytes);
    // Frees a block the tool took over from the add-in; a pointer that is not live is recorded
    // as a fault (the add-in handed out memory that is not the host's).
    void FreeOwned(void* p, const char* what);
    bool IsLive(const void* p) const { return FLive.count(p) != 0; }

    // Context written into the record of each allocation ("the call that made it").
    void SetContext(std::string context) { FContext = std::move(context); }
    // Makes the next `count` allocations fail, to exercise the add-in's handling of that.
    void FailNext(unsigned count) { FFailNext = count; }

    std::size_t LiveCount() const { return FLive.size(); }
    std::size_t AllocCount() const { return FAllocs; }
    std::size_t FreeCount() const { return FFrees; }
    // Faults seen so far: frees of unknown or already freed pointers.
    const std::vector<std::string>& Faults() const { return FFaults; }
    // One line per block still live.
    std::vector<std::string> Leaks() const;

private:
    struct TBlock {
        std::size_t Size;
        std::string Context;
    };
    std::map<const void*, TBlock> FLive;
    // Freed blocks are kept (poisoned) until the end, so an address is never handed out twice
    // and a second free of it is recognised for what it is.
    std::map<const void*, TBlock> FFreed;
    std::vector<std::string> FFaults;
    std::string FContext;
    unsigned FFailNext = 0;
    std::size_t FAllocs = 0;
    std::size_t FFrees = 0;
};

} // namespace khost
