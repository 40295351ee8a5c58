#ifndef QV_PLATFORM_SEMAPHORE_H
#define QV_PLATFORM_SEMAPHORE_H

// A counting semaphore with a maximum, in one 64-bit atomic word: the count in the low half
// (which is also the word sleepers wait on, see Futex.h) and the number of sleepers in the high
// half. sem_t has no maximum, and a separate maximum check could not be made atomic with its
// post; on Windows the same word serves instead of a semaphore object, whose every operation
// would be a kernel call.
//
// - wait() takes a unit, sleeping in the kernel while there is none (after a brief poll, see
//   AdaptiveSpin.h); post() gives one back
//   unless the count is at the maximum, in which case it changes nothing and returns false.
//   An uncontended wait()/post() pair is two atomic operations and no system call; post()
//   calls into the kernel only when someone sleeps.
// - Linux: the sleep inside wait() is a cancellation point: a thread cancelled there (Thread's
//   terminate()) leaves without taking a unit, and passes on a wake-up it may have consumed.
//   Windows has no cancellation; a thread killed there (TerminateThread) stays counted as a
//   sleeper, which costs later post() calls a needless wake-up and nothing else. A wake-up it
//   had received and not acted on is passed on by Thread::terminate(), which wakes the
//   address's sleepers again.
//
// Lifetime: post() touches the object's memory only up to the atomic operation that makes the
// unit available, so a thread returning from wait() may destroy the semaphore at once.

#include <atomic>
#include <cstdint>

#include "Platform/Deadline.h"

namespace qvPlatform {

class Semaphore
{
public:
    // Requires 0 <= nInitial <= nMaximum and nMaximum >= 1 (the caller checks).
    Semaphore(std::uint32_t nInitial, std::uint32_t nMaximum);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void wait();
    // As wait(), giving up at the deadline: false then, with no unit taken (a wake-up it
    // received goes on to another sleeper). A passed deadline makes it a tryWait().
    bool wait(const Deadline& deadline);
    bool tryWait();
    bool post();

    std::uint32_t getCount() const;
    std::uint32_t getMaximum() const { return m_nMaximum; }

private:
    bool waitFor(const Deadline* pDeadline);
    void leaveSleepers();

    std::atomic<std::uint64_t> m_nState;
    const std::uint32_t m_nMaximum;
};

} // namespace qvPlatform

#endif
