#ifndef QV_SEMAPHORE_H
#define QV_SEMAPHORE_H

/// \file

#include "Threading/qvWaitLimit.h"
#include "qvExport.h"

namespace qvPlatform {
class Semaphore;
}

namespace qvSynch {

/// A counting semaphore with a maximum: P() takes one unit, blocking while there is none;
/// V() gives one back. The count stays between 0 and the maximum.
///
/// Costs: an uncontended P()/V() pair makes no system call; V() calls into the kernel only when
/// a thread sleeps in P(); sleeping threads use no processor time.
///
/// Failures: a V() that would take the count beyond the maximum changes nothing and fires the
/// debug assertion "0" (source/Threading/qvSemaphore.cpp); without assertions it passes
/// silently. Invalid construction arguments (initial count below 0 or above the maximum, a
/// maximum below 1) fire the same assertion; without assertions the maximum is raised to 1 and
/// the initial count is clamped into [0, maximum], so the semaphore stays usable.
///
/// Threads:  every operation may be called from any thread. Linux: a blocking P() is a
///           cancellation point: a qvThread terminated while it waits there ends without taking
///           a unit, and a wake-up it had received goes on to another waiter. Windows: a qvThread
///           terminated while it waits there ends without taking a unit, unless it had already
///           taken one (then that unit goes with it); a wake-up it had received and not acted on
///           is passed on (qvThread::terminate() wakes the waiters again), and the semaphore, like
///           every other one, stays usable by every other thread.
/// Timed and tried waits: tryP() and P(nMilliseconds) take a unit as P() does, or give up (see
///           qvWaitLimit.h for the limit). One that gives up has taken nothing and leaves no
///           trace: a V() that comes just as it gives up either gives it the unit or leaves the
///           unit (and the wake-up) to the other waiters; it is never lost, nor taken twice.
///           A timed P() is a cancellation point (Linux) and behaves under termination as P().
/// Lifetime: a thread returning from P() may destroy the semaphore at once.
class QV_EXPORT Semaphore
{
public:
    /// A semaphore holding nInitialCount units of at most nMaximumCount (see Failures).
    Semaphore(int nInitialCount, int nMaximumCount);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    /// Takes one unit; blocks without time limit while the count is 0.
    void P();
    /// Takes one unit if there is one, without waiting; returns whether it did.
    bool tryP();
    /// Takes one unit, waiting at most nMilliseconds for one (qvWaitLimit.h); returns whether it
    /// did. P(0) is tryP(); P(WAIT_INFINITE) is P().
    bool P(unsigned long nMilliseconds);
    /// Gives one unit back and wakes one waiter, unless the count is at the maximum.
    void V();

private:
    qvPlatform::Semaphore* m_hSemaphore;
};

} // namespace qvSynch

#endif
