#ifndef QV_PLATFORM_EVENT_H
#define QV_PLATFORM_EVENT_H

// A manual-reset event in one 32-bit word: a "set" bit, a "someone sleeps" bit and a
// generation count that every set() advances.
//
// set() releases every thread waiting at that moment, even if one of them (or anyone else)
// resets the event before the others run again: a waiter leaves when it sees the bit set or the
// generation moved on from the one it started waiting in. A plain "while (!set) sleep" would
// strand such waiters. A set() that comes before the wait is never lost.
//
// A waiter that resets the event and then looks for work misses nothing: a set() that finds
// the event still set (and so changes nothing) comes before the reset, and work that its
// caller published with a sequentially consistent store before set() is then visible to a
// sequentially consistent load after reset(). (set()'s first look and reset() are sequentially
// consistent for this; a weaker look could read "set" while the waiter reads the old work.)
//
// Costs: set() on a set event, wait() on a set event and reset() are one atomic operation each;
// set() makes a system call only when someone sleeps. wait() on an unset event first polls it
// briefly, as AdaptiveSpin.h describes (long enough for a partner on another processor, not at
// all for one that needs this processor), so that a set() that comes soon costs neither side a
// system call; a longer wait blocks and uses no processor time.
//
// Lifetime: set() touches the object's memory only up to the atomic operation that releases the
// waiters, so a thread returning from wait() may destroy the event at once.

#include <atomic>
#include <cstdint>

#include "Platform/Deadline.h"

namespace qvPlatform {

class Event
{
public:
    explicit Event(bool bInitiallySet);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // Blocks until the event is set, or until a set() that happened after this call began.
    void wait();
    // As wait(), giving up at the deadline: returns whether the event was set (or a set()
    // happened) before it. Changes nothing when it gives up.
    bool wait(const Deadline& deadline);
    bool isSet() const { return (m_nState.load(std::memory_order_acquire) & SET) != 0; }

private:
    bool waitFor(const Deadline* pDeadline);

    static constexpr std::uint32_t SET = 1u;
    static constexpr std::uint32_t SLEEPERS = 2u;
    static constexpr std::uint32_t GENERATION_STEP = 4u;
    static constexpr std::uint32_t GENERATION_MASK = ~(SET | SLEEPERS);

    std::atomic<std::uint32_t> m_nState;
};

} // namespace qvPlatform

#endif
