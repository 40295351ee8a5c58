#include "Platform/Semaphore.h"

#include <bit>

#include "Platform/AdaptiveSpin.h"
#include "Platform/Futex.h"

namespace qvPlatform {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the count must be the low half of the state word");
static_assert(sizeof(std::atomic<std::uint64_t>) == sizeof(std::uint64_t),
              "the state must be a plain 64-bit word");

constexpr std::uint64_t SLEEPER = std::uint64_t(1) << 32;

inline std::uint32_t countOf(std::uint64_t nState)
{
    return static_cast<std::uint32_t>(nState);
}
inline std::uint32_t sleepersOf(std::uint64_t nState)
{
    return static_cast<std::uint32_t>(nState >> 32);
}

// The low half of the state word, as the 32-bit word the OS compares and hashes.
std::atomic<std::uint32_t>& countWord(std::atomic<std::uint64_t>& state)
{
    return *reinterpret_cast<std::atomic<std::uint32_t>*>(&state);
}

} // namespace

Semaphore::Semaphore(std::uint32_t nInitial, std::uint32_t nMaximum)
    : m_nState(nInitial), m_nMaximum(nMaximum)
{
}

bool Semaphore::tryWait()
{
    std::uint64_t nState = m_nState.load(std::memory_order_relaxed);
    while (countOf(nState) > 0) {
        if (m_nState.compare_exchange_weak(nState, nState - 1, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return true;
    }
    return false;
}

void Semaphore::wait()
{
    waitFor(nullptr);
}

bool Semaphore::wait(const Deadline& deadline)
{
    return waitFor(&deadline);
}

bool Semaphore::waitFor(const Deadline* pDeadline)
{
    // A unit often comes within microseconds (the next job for a member that has just finished
    // one): polling a little first saves both sides a trip through the kernel. A wait without
    // time (a try) does not poll.
    const bool bTimed = pDeadline && !pDeadline->isInfinite();
    if (tryWait())
        return true;
    if (bTimed && pDeadline->hasPassed())
        return false;
    if (AdaptiveSpin::waitBriefly([this] { return tryWait(); }))
        return true;
    // Register as a sleeper before looking at the count again: post() either sees us and wakes
    // one sleeper, or its unit is visible to the look below (both are one total order).
    std::uint64_t nState = m_nState.fetch_add(SLEEPER, std::memory_order_seq_cst) + SLEEPER;
    // Undoes the registration when the wait gives up or a cancellation (Linux) unwinds the
    // sleep, handing on a wake-up that this sleeper may have consumed. A destructor rather than
    // catch (...) and rethrow: it needs no rethrow, so nothing runs AddressSanitizer's no-return
    // hook in the middle of the unwinding.
    struct SleeperGuard
    {
        Semaphore* pSemaphore;
        ~SleeperGuard()
        {
            if (pSemaphore)
                pSemaphore->leaveSleepers();
        }
    } guard{this};
    for (;;) {
        while (countOf(nState) > 0) {
            if (m_nState.compare_exchange_weak(nState, nState - 1 - SLEEPER,
                                               std::memory_order_seq_cst,
                                               std::memory_order_seq_cst)) {
                guard.pSemaphore = nullptr;
                return true;
            }
        }
        if (!bTimed) {
            futexWaitCancellable(countWord(m_nState), 0u);
        } else {
            // The count was 0 at the last look: a unit that comes with the deadline is either
            // seen there and taken, or left (with the wake-up it caused) to the others.
            const std::uint64_t nLeft = pDeadline->remainingNanoseconds();
            if (nLeft == 0)
                return false;
            futexWaitCancellableFor(countWord(m_nState), 0u, nLeft);
        }
        nState = m_nState.load(std::memory_order_seq_cst);
    }
}

// A cancelled sleeper (Linux) may have consumed the wake-up meant for a unit it never took: if
// units and sleepers are left, hand the wake-up on.
void Semaphore::leaveSleepers()
{
    const std::uint64_t nState = m_nState.fetch_sub(SLEEPER, std::memory_order_seq_cst) - SLEEPER;
    if (countOf(nState) > 0 && sleepersOf(nState) > 0)
        futexWake(countWord(m_nState), 1);
}

bool Semaphore::post()
{
    // A post that will have to wake someone is an internal region (Futex.h) from before its unit
    // is given to after the wake: a thread killed in between (Windows) would leave the unit
    // there and every sleeper asleep. The region is entered once the state the exchange expects
    // shows sleepers; the exchange succeeds only on that very state, so a post that finds none
    // needs no wake and no region.
    struct WakingRegion
    {
        bool bEntered = false;
        ~WakingRegion()
        {
            if (bEntered)
                leaveInternalRegion();
        }
    } region;
    std::uint64_t nState = m_nState.load(std::memory_order_relaxed);
    do {
        if (countOf(nState) >= m_nMaximum)
            return false;
        if (sleepersOf(nState) > 0 && !region.bEntered) {
            enterInternalRegion();
            region.bEntered = true;
        }
    } while (!m_nState.compare_exchange_weak(nState, nState + 1, std::memory_order_seq_cst,
                                             std::memory_order_relaxed));
    // Wake a sleeper only when the sleepers outnumber the units already there: a woken
    // sleeper stays counted until it takes its unit, so waking one per post while any is
    // counted would make a system call for nearly every unit of a busy queue.
    // From here on the object may be gone; the wake only names the address.
    if (sleepersOf(nState) > countOf(nState))
        futexWake(countWord(m_nState), 1);
    return true;
}

std::uint32_t Semaphore::getCount() const
{
    return countOf(m_nState.load(std::memory_order_acquire));
}

} // namespace qvPlatform
