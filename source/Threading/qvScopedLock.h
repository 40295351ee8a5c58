#ifndef QV_SCOPEDLOCK_H
#define QV_SCOPEDLOCK_H

// Internal to the library's sources: holds a lock for one scope, so that a throwing copy or
// callback never leaves it held. The public API keeps explicit acquire/release. The scope is one
// of the library's internal regions (qvLocks.h): on Windows no thread is suspended or killed
// inside it, so a stopped thread never holds the lock.

#include "Threading/qvLocks.h"

namespace qvSynchDetail {

template <class LockType>
class ScopedLock
{
public:
    explicit ScopedLock(LockType& lock) : m_Lock(lock)
    {
        enterInternalRegion();
        m_Lock.acquire();
    }
    ~ScopedLock()
    {
        m_Lock.release();
        leaveInternalRegion();
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    LockType& m_Lock;
};

// The same, without the internal region: for a lock held around user code (which may take
// arbitrarily long, and during which the thread must stay stoppable).
template <class LockType>
class ScopedLockAroundUserCode
{
public:
    explicit ScopedLockAroundUserCode(LockType& lock) : m_Lock(lock) { m_Lock.acquire(); }
    ~ScopedLockAroundUserCode() { m_Lock.release(); }
    ScopedLockAroundUserCode(const ScopedLockAroundUserCode&) = delete;
    ScopedLockAroundUserCode& operator=(const ScopedLockAroundUserCode&) = delete;

private:
    LockType& m_Lock;
};

} // namespace qvSynchDetail

#endif
