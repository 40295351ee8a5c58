#include "qvFaultAllocator.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "qvTestPlatform.h"

namespace {

// Per thread: armed or not, how many allocations were counted, which one fails.
thread_local bool t_bArmed = false;
thread_local bool t_bFailed = false;
thread_local unsigned int t_nCounted = 0;
thread_local unsigned int t_nFailAt = 0;

std::atomic<long> s_nLiveBlocks{0};

// True when this allocation is the one to fail.
bool failNow()
{
    if (!t_bArmed)
        return false;
    if (++t_nCounted != t_nFailAt)
        return false;
    t_bFailed = true;
    return true;
}

void* allocate(std::size_t nSize, std::size_t nAlignment)
{
    if (nSize == 0)
        nSize = 1;
    void* pBlock = nullptr;
    if (nAlignment <= alignof(std::max_align_t))
        pBlock = std::malloc(nSize);
    else
        pBlock = qvTest::allocateAligned(nSize, nAlignment);
    if (pBlock)
        s_nLiveBlocks.fetch_add(1, std::memory_order_relaxed);
    return pBlock;
}

void* allocateOrThrow(std::size_t nSize, std::size_t nAlignment)
{
    if (failNow())
        throw std::bad_alloc();
    void* pBlock = allocate(nSize, nAlignment);
    if (!pBlock)
        throw std::bad_alloc();
    return pBlock;
}

void* allocateOrNull(std::size_t nSize, std::size_t nAlignment) noexcept
{
    if (failNow())
        return nullptr;
    return allocate(nSize, nAlignment);
}

constexpr std::size_t DEFAULT_ALIGNMENT = alignof(std::max_align_t);

// nAlignment: the one the block was allocated with.
void deallocate(void* pBlock, std::size_t nAlignment = DEFAULT_ALIGNMENT) noexcept
{
    if (!pBlock)
        return;
    s_nLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
    if (nAlignment <= alignof(std::max_align_t))
        std::free(pBlock);
    else
        qvTest::freeAligned(pBlock);
}

} // namespace

namespace qvFault {

void armAllocationFailure(unsigned int nFailAt)
{
    t_nCounted = 0;
    t_nFailAt = nFailAt;
    t_bFailed = false;
    t_bArmed = true;
}

unsigned int disarm()
{
    t_bArmed = false;
    return t_nCounted;
}

bool hasFailed()
{
    return t_bFailed;
}

long liveBlocks()
{
    return s_nLiveBlocks.load(std::memory_order_relaxed);
}

SweepResult sweepAllocations(const std::function<void()>& call,
                             const std::function<void(bool bThrew)>& check, unsigned int nLimit)
{
    SweepResult result;
    for (unsigned int nFailAt = 1; nFailAt <= nLimit; ++nFailAt) {
        bool bThrew = false;
        armAllocationFailure(nFailAt);
        try {
            call();
        } catch (const std::bad_alloc&) {
            bThrew = true;
        } catch (...) {
            disarm();
            throw;
        }
        const unsigned int nCounted = disarm();
        ++result.nSteps;
        if (bThrew)
            ++result.nFailures;
        check(bThrew);
        if (nCounted < nFailAt) {
            std::printf("[ sweep    ] %u allocations, each failed once\n", nFailAt - 1);
            return result;
        } // the call made fewer than n allocations: every one has failed once
    }
    result.nSteps = nLimit + 1;
    return result;
}

} // namespace qvFault

// The replaced global allocation functions.
void* operator new(std::size_t nSize)
{
    return allocateOrThrow(nSize, DEFAULT_ALIGNMENT);
}
void* operator new[](std::size_t nSize)
{
    return allocateOrThrow(nSize, DEFAULT_ALIGNMENT);
}
void* operator new(std::size_t nSize, const std::nothrow_t&) noexcept
{
    return allocateOrNull(nSize, DEFAULT_ALIGNMENT);
}
void* operator new[](std::size_t nSize, const std::nothrow_t&) noexcept
{
    return allocateOrNull(nSize, DEFAULT_ALIGNMENT);
}
void* operator new(std::size_t nSize, std::align_val_t alignment)
{
    return allocateOrThrow(nSize, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t nSize, std::align_val_t alignment)
{
    return allocateOrThrow(nSize, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t nSize, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return allocateOrNull(nSize, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t nSize, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return allocateOrNull(nSize, static_cast<std::size_t>(alignment));
}

void operator delete(void* pBlock) noexcept
{
    deallocate(pBlock);
}
void operator delete[](void* pBlock) noexcept
{
    deallocate(pBlock);
}
void operator delete(void* pBlock, std::size_t) noexcept
{
    deallocate(pBlock);
}
void operator delete[](void* pBlock, std::size_t) noexcept
{
    deallocate(pBlock);
}
void operator delete(void* pBlock, const std::nothrow_t&) noexcept
{
    deallocate(pBlock);
}
void operator delete[](void* pBlock, const std::nothrow_t&) noexcept
{
    deallocate(pBlock);
}
void operator delete(void* pBlock, std::align_val_t alignment) noexcept
{
    deallocate(pBlock, static_cast<std::size_t>(alignment));
}
void operator delete[](void* pBlock, std::align_val_t alignment) noexcept
{
    deallocate(pBlock, static_cast<std::size_t>(alignment));
}
void operator delete(void* pBlock, std::size_t, std::align_val_t alignment) noexcept
{
    deallocate(pBlock, static_cast<std::size_t>(alignment));
}
void operator delete[](void* pBlock, std::size_t, std::align_val_t alignment) noexcept
{
    deallocate(pBlock, static_cast<std::size_t>(alignment));
}
void operator delete(void* pBlock, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    deallocate(pBlock, static_cast<std::size_t>(alignment));
}
void operator delete[](void* pBlock, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    deallocate(pBlock, static_cast<std::size_t>(alignment));
}
