#ifndef QV_RCSIGNAL_H
#define QV_RCSIGNAL_H

/// \file

#include "Threading/qvLocks.h"
#include "Threading/qvSignal.h"
#include "qvExport.h"

namespace qvSynch {

/// A Signal with a reference count: it becomes signalled when unref() brings the count to
/// exactly 0, so that one thread can wait (wait() or waitAndReset()) until a known number of
/// holders have all let go.
///
/// - Only a result of exactly 0 signals. An unref() past 0 wraps the unsigned 32-bit count to a
///   large value and signals nothing.
/// - ref() never resets the signal: once set it stays set until reset() or waitAndReset(), even
///   if the count rises again.
/// - The count is changed under m_CountLock; the signal is raised after the lock is released,
///   so by the time a waiter wakes, another thread may already have raised the count again.
///
/// Threads:  every operation may be called from any thread.
/// Lifetime: as for Signal, a thread returning from a wait may destroy the object at once.
class QV_EXPORT RCSignal : public Signal
{
public:
    ///@{
    /// bSignalled: initial state of the signal; the count starts at 0 or nCount.
    explicit RCSignal(bool bSignalled);
    RCSignal(bool bSignalled, unsigned int nCount);
    ///@}
    virtual ~RCSignal();

    ///@{
    /// Add one (or nCount) to the count; never resets the signal.
    void ref();
    void ref(unsigned int nCount);
    ///@}
    ///@{
    /// Subtract one (or nCount); signal if the new count is exactly 0.
    void unref();
    void unref(unsigned int nCount);
    ///@}

private:
    unsigned int m_nCount;
    LWLock m_CountLock;
};

} // namespace qvSynch

#endif
