#include "Platform/Event.h"

#include "Platform/AdaptiveSpin.h"
#include "Platform/Futex.h"

namespace qvPlatform {

Event::Event(bool bInitiallySet) : m_nState(bInitiallySet ? SET : 0u) {}

void Event::set()
{
    // Sequentially consistent, as reset() is: see the header on publishing work before set().
    std::uint32_t nState = m_nState.load(std::memory_order_seq_cst);
    std::uint32_t nNewState;
    // A set() that has sleepers to wake is an internal region (Futex.h) from before it sets the
    // bit to after the wake: a thread killed in between (Windows) would leave the event set and
    // its sleepers asleep. The exchange succeeds only on the state that decided it.
    bool bInRegion = false;
    do {
        if (nState & SET) {
            if (bInRegion)
                leaveInternalRegion();
            return;
        }
        if ((nState & SLEEPERS) && !bInRegion) {
            enterInternalRegion();
            bInRegion = true;
        }
        nNewState = ((nState & GENERATION_MASK) + GENERATION_STEP) | SET;
    } while (!m_nState.compare_exchange_weak(nState, nNewState, std::memory_order_seq_cst,
                                             std::memory_order_seq_cst));
    // From here on the object may already be gone (a waiter that saw SET may have destroyed
    // it); the wake only names the address.
    if (nState & SLEEPERS)
        futexWakeAll(m_nState);
    if (bInRegion)
        leaveInternalRegion();
}

void Event::reset()
{
    m_nState.fetch_and(~SET, std::memory_order_seq_cst);
}

void Event::wait()
{
    waitFor(nullptr);
}

bool Event::wait(const Deadline& deadline)
{
    return waitFor(&deadline);
}

bool Event::waitFor(const Deadline* pDeadline)
{
    const bool bTimed = pDeadline && !pDeadline->isInfinite();
    std::uint32_t nState = m_nState.load(std::memory_order_acquire);
    const std::uint32_t nGeneration = nState & GENERATION_MASK;
    // A set() often follows within microseconds (the reply to a call just made, the next
    // message for a loop that has just run out of work): polling a little first saves both
    // sides a trip through the kernel. A wait whose time is up already does not poll.
    const auto isOver = [&] { return (nState & SET) || (nState & GENERATION_MASK) != nGeneration; };
    if (!isOver() && !(bTimed && pDeadline->hasPassed()))
        AdaptiveSpin::waitBriefly([&] {
            nState = m_nState.load(std::memory_order_acquire);
            return isOver();
        });
    for (;;) {
        if (isOver())
            return true;
        std::uint64_t nLeft = 0;
        if (bTimed && (nLeft = pDeadline->remainingNanoseconds()) == 0)
            return false;
        if (!(nState & SLEEPERS)) {
            if (!m_nState.compare_exchange_weak(nState, nState | SLEEPERS,
                                                std::memory_order_acquire,
                                                std::memory_order_acquire))
                continue;
            nState |= SLEEPERS;
        }
        // A sleeper that gives up leaves SLEEPERS set: the next set() then makes one needless
        // wake call, and clears it.
        if (bTimed)
            futexWaitFor(m_nState, nState, nLeft);
        else
            futexWait(m_nState, nState);
        nState = m_nState.load(std::memory_order_acquire);
    }
}

} // namespace qvPlatform
