#ifndef QV_SCOPEDLOCK_H
#define QV_SCOPEDLOCK_H

// Internal to the main-loop sources: holds an LWLock for one scope, so that a throwing copy or
// callback never leaves it held. The public API keeps explicit acquire/release.

#include "Threading/qvLocks.h"

namespace qvMainLoopDetail {

class ScopedLock
{
public:
    explicit ScopedLock(qvSynch::LWLock& lock) : m_Lock(lock) { m_Lock.acquire(); }
    ~ScopedLock() { m_Lock.release(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    qvSynch::LWLock& m_Lock;
};

} // namespace qvMainLoopDetail

#endif
