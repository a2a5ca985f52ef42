#include "BenchAlloc.h"

#include <cstdlib>
#include <new>

namespace {

thread_local std::uint64_t Blocks = 0;
thread_local std::uint64_t Bytes = 0;

void* Allocate(std::size_t ASize) {
    ++Blocks;
    Bytes += ASize;
    if (void* P = std::malloc(ASize ? ASize : 1))
        return P;
    throw std::bad_alloc();
}

} // namespace

namespace korvbench {

TAllocCount ThreadAllocs() {
    return {Blocks, Bytes};
}

void* CountedMalloc(std::size_t ASize) {
    ++Blocks;
    Bytes += ASize;
    return std::malloc(ASize ? ASize : 1);
}

void CountedFree(void* P) {
    std::free(P);
}

} // namespace korvbench

// The aligned forms keep the library's own versions (they neither call these
// nor are freed by them).
void* operator new(std::size_t ASize) {
    return Allocate(ASize);
}
void* operator new[](std::size_t ASize) {
    return Allocate(ASize);
}
void* operator new(std::size_t ASize, const std::nothrow_t&) noexcept {
    try {
        return Allocate(ASize);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t ASize, const std::nothrow_t&) noexcept {
    try {
        return Allocate(ASize);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* P) noexcept {
    std::free(P);
}
void operator delete[](void* P) noexcept {
    std::free(P);
}
void operator delete(void* P, std::size_t) noexcept {
    std::free(P);
}
void operator delete[](void* P, std::size_t) noexcept {
    std::free(P);
}
void operator delete(void* P, const std::nothrow_t&) noexcept {
    std::free(P);
}
void operator delete[](void* P, const std::nothrow_t&) noexcept {
    std::free(P);
}
