#ifndef QV_SIGNAL_H
#define QV_SIGNAL_H

/// \file

#include <atomic>

#include "Threading/qvWaitLimit.h"
#include "qvExport.h"

namespace qvPlatform {
class Event;
}

namespace qvSynch {

/// A manual-reset signal. signal() releases every thread waiting at that moment and leaves the
/// signal set, so a signal() that comes before anyone waits is never lost; reset(), or the end of
/// waitAndReset(), clears it. A waiter looks at an unset signal for a few microseconds before
/// it sleeps in the kernel, so a signal() that follows soon costs neither side a system call.
///
/// Timed waits: wait(nMilliseconds) and waitAndReset(nMilliseconds) wait as wait() and
///           waitAndReset() do, at most for the limit (qvWaitLimit.h), and return whether the
///           signal was set in time. One that gives up changes nothing: it does not reset the
///           signal, and a signal() that comes as it gives up stays set for the others.
/// Threads:  every operation may be called from any thread.
/// Lifetime: a thread returning from wait() or waitAndReset() may destroy the signal at once;
///           signal() no longer touches it once a waiter can run.
class QV_EXPORT Signal
{
public:
    /// bSignalled: whether the signal starts set.
    explicit Signal(bool bSignalled);
    virtual ~Signal();
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    /// Sets the signal, releasing every waiting thread; clears the waiting hint.
    void signal();
    /// Clears the signal and the waiting hint.
    void reset();
    /// Blocks until the signal is set; returns at once while it is set. Leaves it set.
    void wait();
    /// Blocks until the signal is set, then clears it. Every thread already waiting when
    /// signal() ran is released, even if another released thread clears it first.
    void waitAndReset();
    /// As wait(), for at most nMilliseconds; returns whether the signal was set. A limit of 0
    /// only looks.
    bool wait(unsigned long nMilliseconds);
    /// As waitAndReset(), for at most nMilliseconds; returns whether the signal was set (and
    /// then cleared it). Gives up without clearing anything.
    bool waitAndReset(unsigned long nMilliseconds);
    /// A hint, not a count: true from the moment a thread begins to wait until the next
    /// signal() or reset(). After a wait() that returned because the signal was already set, it
    /// stays true.
    bool isWaiting() const { return m_bWaiting.load(std::memory_order_relaxed); }

private:
    qvPlatform::Event* m_hEvent;
    std::atomic<bool> m_bWaiting;
};

} // namespace qvSynch

#endif
