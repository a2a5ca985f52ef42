#pragma once
// pugixml allocates through hooks of its own, not operator new: route them
// through the counting allocator so that the heap counters include the XML
// documents. Must run before the first document is made.

#include "BenchAlloc.h"

#include <pugixml.hpp>

namespace korvbench {

inline bool CountXmlAllocations() {
    pugi::set_memory_management_functions(&CountedMalloc, &CountedFree);
    return true;
}

} // namespace korvbench
