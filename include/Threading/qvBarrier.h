#ifndef QV_BARRIER_H
#define QV_BARRIER_H

/// \file

#include <atomic>

#include "Threading/qvLocks.h"
#include "Threading/qvSignal.h"
#include "qvExport.h"

namespace qvSynch {

/// A reusable barrier at which a fixed number of threads meet: each wait() blocks until the
/// last of them has arrived; the last one to arrive never blocks. Two phase records are used in
/// turn (no allocation per cycle): while the threads released from one phase are still waking
/// up, threads that call wait() again count themselves into the other phase.
///
/// - Every thread counted into a phase is released by that phase, also one that has counted
///   itself in but not yet begun to sleep when the last one arrives: waiters never reset the
///   phase signal. The last thread to arrive re-arms the other phase (resets its signal) before
///   it switches to it; every thread of that phase's previous cycle has left it by then, since
///   each of them has arrived in the current phase.
/// - init(n) with n >= 1 starts afresh; a count below 1 is taken as 1. wait() on a barrier that
///   was never initialised returns at once, as a barrier for one thread does.
/// - init() takes no lock: it must not run while any thread is inside wait().
///
/// Costs: each wait() takes the phase's mutex; a blocking wait() sleeps on the phase signal.
///
/// Threads:  wait() from any thread; init() from one thread while nobody waits.
/// Lifetime: destroy the barrier only when no thread is inside wait().
class QV_EXPORT Barrier
{
public:
    Barrier();
    ~Barrier();
    Barrier(const Barrier&) = delete;
    Barrier& operator=(const Barrier&) = delete;

    /// Starts afresh for nThreads threads (below 1: 1); never while a thread is inside wait().
    void init(int nThreads);
    /// Blocks until the last of the threads of the current phase has arrived.
    void wait();

private:
    struct BarrierPhase
    {
        BarrierPhase() : m_Signal(false), m_nRemaining(-1) {}
        Signal m_Signal;
        Lock m_Lock;
        int m_nRemaining;
    };

    int m_nThreads;
    std::atomic<BarrierPhase*> m_pCurrentPhase;
    BarrierPhase m_Phases[2];
};

} // namespace qvSynch

#endif
