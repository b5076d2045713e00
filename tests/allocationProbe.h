// Allocations measured and failed on demand, for the one test program that includes this:
// replaces the program's operator new so that a chosen allocation of a thread fails, and keeps
// the largest size asked for, so that a size read from a file is seen never to become one.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
// The largest allocation since the last qztest::largestAllocation(true).
std::atomic<std::size_t> g_largestAllocation{0};
// The next this many allocations of the thread succeed and the one after fails; -1: none fails.
thread_local int g_allocationsBeforeFailure = -1;

bool allocationFailsNow(std::size_t size) {
    std::size_t seen = g_largestAllocation.load();
    while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size)) {
    }
    if (g_allocationsBeforeFailure < 0) return false;
    return g_allocationsBeforeFailure-- == 0;
}
}  // namespace

// The replacements pair malloc with free; the compiler cannot see that they belong together.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (allocationFailsNow(size)) throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (allocationFailsNow(size)) return nullptr;
    return std::malloc(size ? size : 1);
}
// The array forms too: the address sanitizer's runtime would take them otherwise. The nothrow
// forms of delete call these.
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace qztest {

// The largest allocation of any thread since the last reset; `reset` starts a new measure.
inline std::size_t largestAllocation(bool reset = false) {
    return reset ? g_largestAllocation.exchange(0) : g_largestAllocation.load();
}

// Fails the allocation that follows the next `allowed` ones of this thread, while it lives.
class FailingAllocation {
public:
    explicit FailingAllocation(int allowed) { g_allocationsBeforeFailure = allowed; }
    ~FailingAllocation() { g_allocationsBeforeFailure = -1; }
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;
    // Whether the allocation was failed already.
    bool happened() const { return g_allocationsBeforeFailure < 0; }
};

}  // namespace qztest
