// Allocation failure on demand, for the one test program that includes this: replaces the
// program's operator new so that a chosen allocation of a thread fails.
#pragma once

#include <cstdlib>
#include <new>

namespace {
// The next this many allocations of the thread succeed and the one after fails; -1: none fails.
thread_local int g_allocationsBeforeFailure = -1;

bool allocationFailsNow() {
    if (g_allocationsBeforeFailure < 0) return false;
    return g_allocationsBeforeFailure-- == 0;
}
}  // namespace

// The replacements pair malloc with free; the compiler cannot see that they belong together.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (allocationFailsNow()) throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (allocationFailsNow()) return nullptr;
    return std::malloc(size ? size : 1);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace qztest {

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
