#include "tests/support/counting_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> Counting{false};
std::atomic<long> Allocations{0};
thread_local bool Excluded = false;
}  // namespace

void* operator new(std::size_t size)
{
    if (Counting.load(std::memory_order_relaxed) && !Excluded)
        Allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace kpltest {

void ExcludeThreadFromAllocationCount()
{
    Excluded = true;
}

void StartAllocationCount()
{
    Allocations = 0;
    Counting = true;
}

long StopAllocationCount()
{
    Counting = false;
    return Allocations.load();
}

}  // namespace kpltest
