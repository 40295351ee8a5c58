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
// Costs: set() on a set event, wait() on a set event and reset() are one atomic operation each;
// set() makes a system call only when someone sleeps.
//
// Lifetime: set() touches the object's memory only up to the atomic operation that releases the
// waiters, so a thread returning from wait() may destroy the event at once.

#include <atomic>
#include <cstdint>

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
    bool isSet() const { return (m_nState.load(std::memory_order_acquire) & SET) != 0; }

private:
    static constexpr std::uint32_t SET = 1u;
    static constexpr std::uint32_t SLEEPERS = 2u;
    static constexpr std::uint32_t GENERATION_STEP = 4u;
    static constexpr std::uint32_t GENERATION_MASK = ~(SET | SLEEPERS);

    std::atomic<std::uint32_t> m_nState;
};

} // namespace qvPlatform

#endif
