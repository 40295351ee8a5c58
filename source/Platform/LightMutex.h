#ifndef QV_PLATFORM_LIGHTMUTEX_H
#define QV_PLATFORM_LIGHTMUTEX_H

// A recursive, process-private lock in user space: one atomic word (0 free, 1 held, 2 held with
// sleepers) plus the owner and its recursion depth. Uncontended lock and unlock are one atomic
// operation each and never enter the kernel; a contended lock first tries nSpinCount times,
// pausing in between, then sleeps on the word (Futex.h). The owner may lock again, and each lock
// needs its own unlock; unlock by a thread that does not hold the lock is ignored.
//
// On Windows this takes the place of a critical section: the same costs, a spin count, and a
// sleeping waiter in a kernel wait; it keeps two promises a critical section does not make, that
// an unlock by a thread that does not hold the lock changes nothing and that the next owner may
// destroy the lock at once.
//
// This is what the light-weight locks stand on. It is not robust: an owner that ends while
// holding it leaves it held (the Mutex serves where that matters).
//
// Lifetime: unlock() touches the object only up to the atomic operation that frees the lock
// (the wake names only the address), so the next owner may destroy it at once.

#include <atomic>
#include <cstdint>

#include "Futex.h"
#include "PlatformTypes.h"

namespace qvPlatform {

class LightMutex
{
public:
    explicit LightMutex(int nSpinCount = 0)
        : m_nState(0), m_nRecursion(0), m_nOwner(0), m_nSpinCount(nSpinCount > 0 ? nSpinCount : 0)
    {
    }
    LightMutex(const LightMutex&) = delete;
    LightMutex& operator=(const LightMutex&) = delete;

    void lock()
    {
        const std::uintptr_t nSelf = currentThread();
        if (m_nOwner.load(std::memory_order_relaxed) == nSelf) {
            ++m_nRecursion;
            return;
        }
        std::uint32_t nExpected = 0;
        if (!m_nState.compare_exchange_strong(nExpected, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed))
            lockContended();
        m_nOwner.store(nSelf, std::memory_order_relaxed);
        m_nRecursion = 1;
    }

    bool tryLock()
    {
        const std::uintptr_t nSelf = currentThread();
        if (m_nOwner.load(std::memory_order_relaxed) == nSelf) {
            ++m_nRecursion;
            return true;
        }
        std::uint32_t nExpected = 0;
        if (!m_nState.compare_exchange_strong(nExpected, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed))
            return false;
        m_nOwner.store(nSelf, std::memory_order_relaxed);
        m_nRecursion = 1;
        return true;
    }

    void unlock()
    {
        if (m_nOwner.load(std::memory_order_relaxed) != currentThread())
            return;
        if (--m_nRecursion != 0)
            return;
        m_nOwner.store(0, std::memory_order_relaxed);
        std::uint32_t nExpected = 1;
        if (m_nState.compare_exchange_strong(nExpected, 0, std::memory_order_release,
                                             std::memory_order_relaxed))
            return;
        // Sleepers are marked (2, which only this owner changes now): freeing the lock and
        // waking one of them is an internal region (Futex.h), so that a thread killed in
        // between (Windows) does not leave the lock free and its sleepers asleep.
        enterInternalRegion();
        m_nState.store(0, std::memory_order_release);
        wakeOne();
        leaveInternalRegion();
    }

private:
    // A value unique to each living thread and never 0 (PlatformTypes.h).
    static std::uintptr_t currentThread() { return currentThreadTag(); }

    void lockContended();
    void wakeOne();

    std::atomic<std::uint32_t> m_nState;
    std::uint32_t m_nRecursion;
    std::atomic<std::uintptr_t> m_nOwner;
    int m_nSpinCount;
};

} // namespace qvPlatform

#endif
