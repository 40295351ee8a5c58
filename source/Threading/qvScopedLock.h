#ifndef QV_SCOPEDLOCK_H
#define QV_SCOPEDLOCK_H

// Internal to the library's sources: holds a lock for one scope, so that a throwing copy or
// callback never leaves it held. The public API keeps explicit acquire/release.

#include "Threading/qvLocks.h"

namespace qvSynchDetail {

template <class LockType>
class ScopedLock
{
public:
    explicit ScopedLock(LockType& lock) : m_Lock(lock) { m_Lock.acquire(); }
    ~ScopedLock() { m_Lock.release(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    LockType& m_Lock;
};

} // namespace qvSynchDetail

#endif
