#ifndef QV_PLATFORM_ADAPTIVESPIN_H
#define QV_PLATFORM_ADAPTIVESPIN_H

// How long a waiter polls before it sleeps in the kernel, learnt per object from how its recent
// waits went. The event and the semaphore keep one each.
//
// A hand-off between threads on different processors is fastest when the waiter polls: the
// partner's store arrives within a microsecond or two and neither side enters the kernel. A
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
// - once the budget is down to nothing, every PROBE_INTERVAL-th sleep polls in full again, so
//   that threads that have moved onto processors of their own learn to poll again;
// - a process limited to one processor never polls.
//
// Bounded: at most MAXIMUM_PAUSES pauses (a few microseconds) per wait, then the caller sleeps, so
// an idle thread uses no processor time. The budget is a hint that any thread may update at any
// time; racing updates lose nothing but a little accuracy.

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "Platform/Futex.h"

namespace qvPlatform {

class AdaptiveSpin
{
public:
    static constexpr std::uint32_t MAXIMUM_PAUSES = 200;
    static constexpr std::uint32_t PROBE_INTERVAL = 16;

    AdaptiveSpin() = default;
    AdaptiveSpin(const AdaptiveSpin&) = delete;
    AdaptiveSpin& operator=(const AdaptiveSpin&) = delete;

    // Polls until isReady() returns true or the budget runs out. True when isReady() returned
    // true; false when the caller has to sleep.
    template <class Ready>
    bool waitBriefly(Ready isReady)
    {
        const std::uint32_t nBudget = haveSeveralProcessors() ? getBudget() : 0;
        for (std::uint32_t nPause = 0; nPause < nBudget; ++nPause) {
            if (isReady()) {
                if (nPause * 2 + SLACK > nBudget)
                    m_nBudget.store(std::min(nPause * 2 + SLACK, MAXIMUM_PAUSES),
                                    std::memory_order_relaxed);
                return true;
            }
            relaxProcessor();
        }
        if (isReady())
            return true;
        if (nBudget != 0) {
            m_nBudget.store(nBudget / 2, std::memory_order_relaxed);
        } else {
            // Sleeps while not polling at all: now and then, poll in full once more.
            const std::uint32_t nSleeps = m_nSleepsSincePoll.load(std::memory_order_relaxed) + 1;
            m_nSleepsSincePoll.store(nSleeps % PROBE_INTERVAL, std::memory_order_relaxed);
            if (nSleeps == PROBE_INTERVAL && haveSeveralProcessors())
                m_nBudget.store(MAXIMUM_PAUSES, std::memory_order_relaxed);
        }
        return false;
    }

    std::uint32_t getBudget() const { return m_nBudget.load(std::memory_order_relaxed); }

private:
    static constexpr std::uint32_t SLACK = 16;

    std::atomic<std::uint32_t> m_nBudget{MAXIMUM_PAUSES};
    std::atomic<std::uint32_t> m_nSleepsSincePoll{0};
};

} // namespace qvPlatform

#endif
