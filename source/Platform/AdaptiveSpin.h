#ifndef QV_PLATFORM_ADAPTIVESPIN_H
#define QV_PLATFORM_ADAPTIVESPIN_H

// How long a waiter polls before it sleeps in the kernel, learnt per thread from how its recent
// waits went. The event, the semaphore and the team's members poll through it.
//
// A hand-off between threads on different processors is fastest when the waiter polls: the
// partner's store arrives within a microsecond or two and neither side enters the kernel, which
// on a virtual machine may cost tens of microseconds to wake a sleeper on an idle processor. A
// hand-off between threads that share a processor is the opposite: the partner cannot run while
// the waiter polls, so the whole poll is lost, on every hand-off. So:
//
// - a poll that sees the condition after n pauses keeps the budget at no less than 2n + a
//   little, up to MAXIMUM_PAUSES;
// - a poll that runs out (the waiter goes to sleep) halves the budget. Threads sharing a
//   processor thus stop polling after a few hand-offs, and each hand-off costs a sleep and a
//   wake-up, as a kernel ping-pong does. No yield before the sleep: on a processor shared with
//   a busy thread a yield gives that thread a whole time slice (milliseconds), while a sleeper
//   that is woken is scheduled at once;
// - once the budget is down to nothing, one sleep in FIRST_PROBE_INTERVAL is preceded by a full
//   poll again (a probe), so that threads that have moved onto processors of their own learn to
//   poll again; a probe that does not pay off goes straight back to no polling and doubles that
//   interval, up to LAST_PROBE_INTERVAL, so that on a shared processor the probes cost next to
//   nothing (a few pauses per sleep). MAXIMUM_PAUSES is long
//   enough (tens of microseconds) for a partner that has to be woken from its own sleep first:
//   two threads that both sleep on every hand-off find their way back to polling this way;
// - a process limited to one processor never polls.
//
// Why per thread, not per object: many waits are on objects made for that one wait (the reply
// of a synchronous call, the end of one joinable job), which have no history of their own; and a
// thread's waits are mostly for the same partners (a loop's senders, a caller's loops, a
// member's producer), so the thread's record says what the next wait will likely see.
//
// Bounded: at most MAXIMUM_PAUSES pauses per wait, then the caller sleeps, so an idle thread uses
// no processor time. Only the waiting thread reads and writes its record.

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "Platform/Futex.h"

namespace qvPlatform {

class AdaptiveSpin
{
public:
    static constexpr std::uint32_t MAXIMUM_PAUSES = 4000;
    static constexpr std::uint32_t FIRST_PROBE_INTERVAL = 16;
    static constexpr std::uint32_t LAST_PROBE_INTERVAL = 1024;

    // A thread's record of its recent polls, packed into the word the platform keeps per thread
    // (Futex.h, pollRecord()). Zero is the record of a thread that has not waited yet: it polls
    // in full at its first wait.
    struct Record
    {
        std::uint32_t nBudget;          // pauses the next wait polls for at most
        std::uint32_t nProbeShift;      // probes come every FIRST_PROBE_INTERVAL << nProbeShift
        std::uint32_t nSleepsSincePoll; // sleeps without polling since the last probe

        static Record unpack(std::uint32_t nWord);
        std::uint32_t pack() const;
    };

    // Polls until isReady() returns true or the calling thread's budget runs out. True when
    // isReady() returned true; false when the caller has to sleep.
    template <class Ready>
    static bool waitBriefly(Ready isReady)
    {
        std::atomic<std::uint32_t>* pWord = haveSeveralProcessors() ? pollRecord() : nullptr;
        if (!pWord)
            return isReady();
        Record record = Record::unpack(pWord->load(std::memory_order_relaxed));
        const bool bReady = waitBriefly(record, isReady);
        pWord->store(record.pack(), std::memory_order_relaxed);
        return bReady;
    }

    // The same on a given record, which it updates: the rule itself, apart from where the record
    // is kept.
    template <class Ready>
    static bool waitBriefly(Record& record, Ready isReady)
    {
        const std::uint32_t nBudget = record.nBudget;
        for (std::uint32_t nPause = 0; nPause < nBudget; ++nPause) {
            if (isReady()) {
                record.nBudget = std::max(nBudget, std::min(nPause * 2 + SLACK, MAXIMUM_PAUSES));
                record.nProbeShift = 0;
                record.nSleepsSincePoll = 0;
                return true;
            }
            relaxProcessor();
        }
        if (isReady())
            return true;
        if (nBudget != 0) {
            // A probe that found nothing (a full budget that no success has earned since the
            // probe was scheduled, see below) ends the polling at once.
            const bool bProbe = nBudget == MAXIMUM_PAUSES && record.nProbeShift != 0;
            record.nBudget = bProbe ? 0 : nBudget / 2;
        } else if (++record.nSleepsSincePoll >= FIRST_PROBE_INTERVAL << record.nProbeShift) {
            // Sleeps while not polling at all: now and then, poll in full once more.
            record.nSleepsSincePoll = 0;
            record.nBudget = MAXIMUM_PAUSES;
            if ((FIRST_PROBE_INTERVAL << record.nProbeShift) < LAST_PROBE_INTERVAL)
                ++record.nProbeShift;
        }
        return false;
    }

private:
    static constexpr std::uint32_t SLACK = 16;
    // The packed word: budget in bits 0-12, probe shift in bits 13-15, sleeps in bits 16-31.
    // The budget is kept as MAXIMUM_PAUSES minus itself, so that zero is a full budget.
    static constexpr std::uint32_t BUDGET_MASK = 0x1fffu;
    static constexpr std::uint32_t SHIFT_OFFSET = 13;
    static constexpr std::uint32_t SHIFT_MASK = 0x7u;
    static constexpr std::uint32_t SLEEPS_OFFSET = 16;
    static_assert(MAXIMUM_PAUSES <= BUDGET_MASK, "the budget fits its bits");
    static_assert((FIRST_PROBE_INTERVAL << SHIFT_MASK) >= LAST_PROBE_INTERVAL,
                  "the shift fits its bits");
    static_assert(LAST_PROBE_INTERVAL <= 0xffffu, "the sleeps fit their bits");
};

inline AdaptiveSpin::Record AdaptiveSpin::Record::unpack(std::uint32_t nWord)
{
    return Record{MAXIMUM_PAUSES - (nWord & BUDGET_MASK), (nWord >> SHIFT_OFFSET) & SHIFT_MASK,
                  nWord >> SLEEPS_OFFSET};
}

inline std::uint32_t AdaptiveSpin::Record::pack() const
{
    return (MAXIMUM_PAUSES - nBudget) | (nProbeShift << SHIFT_OFFSET) |
           (nSleepsSincePoll << SLEEPS_OFFSET);
}

} // namespace qvPlatform

#endif
