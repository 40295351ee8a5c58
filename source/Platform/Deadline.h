#ifndef QV_PLATFORM_DEADLINE_H
#define QV_PLATFORM_DEADLINE_H

// The end of a timed wait, on the monotonic clock, so that setting the wall clock neither
// shortens nor lengthens a wait. Built from the millisecond limits of the public calls, where
// 0xFFFFFFFF (qvSynch::WAIT_INFINITE) means no limit. A wait made of several sleeps (a sleep
// may end early, and the caller then re-checks) asks remainingNanoseconds() before each, so the
// whole wait ends at the deadline however often it is woken.

#include <chrono>
#include <cstdint>

#include "Threading/qvWaitLimit.h"

namespace qvPlatform {

class Deadline
{
public:
    static constexpr std::uint64_t LONGEST_MILLISECONDS = 100ull * 366 * 24 * 3600 * 1000;

    // A limit longer than LONGEST_MILLISECONDS (about a century; only possible where unsigned
    // long has 64 bits) is taken as no limit: it could not end within the clock's range.
    explicit Deadline(unsigned long nMilliseconds)
        : m_bInfinite(nMilliseconds == qvSynch::WAIT_INFINITE || isBeyondTheClock(nMilliseconds)),
          m_End(m_bInfinite ? Clock::time_point::max()
                            : Clock::now() + std::chrono::milliseconds(
                                                 static_cast<std::int64_t>(nMilliseconds)))
    {
    }

    bool isInfinite() const { return m_bInfinite; }

    // Nanoseconds left; 0 once the deadline has passed. Not to be asked of an infinite one.
    std::uint64_t remainingNanoseconds() const
    {
        const Clock::duration left = m_End - Clock::now();
        return left.count() > 0
                   ? static_cast<std::uint64_t>(
                         std::chrono::duration_cast<std::chrono::nanoseconds>(left).count())
                   : 0;
    }

    bool hasPassed() const { return !m_bInfinite && Clock::now() >= m_End; }

private:
    typedef std::chrono::steady_clock Clock;

    // A template, so that where unsigned long has 32 bits (and the answer is always no) the
    // compiler does not take the comparison for a mistake.
    template <class Milliseconds>
    static bool isBeyondTheClock(Milliseconds nMilliseconds)
    {
        return static_cast<std::uint64_t>(nMilliseconds) > LONGEST_MILLISECONDS;
    }

    bool m_bInfinite;
    Clock::time_point m_End;
};

} // namespace qvPlatform

#endif
