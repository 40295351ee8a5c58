#ifndef QV_LOCKS_H
#define QV_LOCKS_H

/// \file
///
/// The library's four lock classes. They share one interface (acquire, release, tryAcquire) and
/// no base class, so that any of them can serve as a lock policy where only these operations
/// are used.
///
/// - NullLock: does nothing; the lock policy of structures already guarded by an outer lock.
/// - LWLock: the light-weight lock the library uses for all of its short critical regions; stays
///   in user mode while uncontended, and when taken tries again for a few microseconds before
///   it blocks (its critical regions are short, a sleep and wake-up are not).
/// - SpinLock: a light-weight lock that tries m_nSpinCount times before it blocks.
/// - Lock: a mutex that is handed on when its owner ends without releasing it: the next
///   acquire() or tryAcquire() succeeds and owns it.
///
/// LWLock, SpinLock and Lock are re-entrant for their owner: every acquire() (and every
/// successful tryAcquire()) needs one release() from the same thread. A release() by a thread
/// that does not hold the lock is ignored. Nothing is reported or thrown.
///
/// Threads:  every operation may be called from any thread. A thread ended by
///           qvThread::terminate() while it waits in acquire() costs the other waiters nothing
///           (a wake-up it had received is passed on). On Windows an LWLock or SpinLock that
///           the killed thread held stays held for ever (nothing of it runs again); a Lock is
///           handed on to its next acquirer.
/// Lifetime: a lock must not be held when it is destroyed.

#include <cstddef>
#include <type_traits>

#include "qvExport.h"

namespace qvPlatform {
class Mutex;
}

namespace qvSynch {

/// Suitably aligned bytes in which a platform lock lives by value, so that this header needs no
/// OS header. The sources check that the platform object fits.
struct CriticalSectionStorage
{
    alignas(8) unsigned char m_aBytes[48]; ///< The platform lock's bytes.
};

} // namespace qvSynch

namespace qvSynchDetail {

/// For the library's own short critical regions (the team queues' locks among them, which this
/// public header set inlines): on Windows, qvThread's suspend() and terminate() never leave a
/// thread stopped inside such a region, so that a lock of the library is never held by a stopped
/// or killed thread. Entered before the lock is taken, left after it is released; they nest.
/// Nothing on Linux, whose cancellation never acts inside one.
#if defined(_WIN32)
QV_EXPORT void enterInternalRegion();
QV_EXPORT void leaveInternalRegion();
#else
inline void enterInternalRegion() {}
inline void leaveInternalRegion() {}
#endif

} // namespace qvSynchDetail

namespace qvSynch {

/// The lock that does nothing: the lock policy of structures already guarded by an outer lock.
class QV_EXPORT NullLock
{
public:
    /// Does nothing.
    void acquire() {}
    /// Does nothing.
    void release() {}
    /// Does nothing; always true.
    bool tryAcquire() { return true; }
};

/// The light-weight, re-entrant lock of the library's short critical regions (see the file's
/// description for the whole contract).
class QV_EXPORT LWLock
{
public:
    LWLock();
    ~LWLock();
    LWLock(const LWLock&) = delete;
    LWLock& operator=(const LWLock&) = delete;

    /// Blocks until the calling thread holds the lock (at once if it holds it already).
    void acquire();
    /// Gives up one hold of the caller's; ignored from a thread that does not hold the lock.
    void release();
    /// Takes the lock if it is free or already held by the caller; never blocks.
    bool tryAcquire();

private:
    CriticalSectionStorage m_CriticalSection;
};

/// A light-weight, re-entrant lock that tries m_nSpinCount times before it blocks (see the
/// file's description for the whole contract).
class QV_EXPORT SpinLock
{
public:
    /// nSpinCount: how many times acquire() tries before it blocks; a tuning hint only.
    explicit SpinLock(int nSpinCount = 0);
    ~SpinLock();
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    /// Blocks until the calling thread holds the lock (at once if it holds it already).
    void acquire();
    /// Gives up one hold of the caller's; ignored from a thread that does not hold the lock.
    void release();
    /// Takes the lock if it is free or already held by the caller; never blocks.
    bool tryAcquire();

    /// The spin count given to the constructor.
    int getSpinCount() const { return m_nSpinCount; }

private:
    CriticalSectionStorage m_CriticalSection;
    int m_nSpinCount;
};

/// A re-entrant mutex that is handed on when its owner ends without releasing it (see the
/// file's description for the whole contract).
class QV_EXPORT Lock
{
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    /// Blocks until the caller holds the mutex; also returns, holding it, when the previous
    /// owner ended while holding it.
    void acquire();
    /// Gives up one hold of the caller's; ignored from a thread that does not hold the mutex.
    void release();
    /// False only while another (living) thread holds the mutex; true otherwise, including
    /// when it was abandoned by an owner that ended (the caller then holds it).
    bool tryAcquire();

private:
    qvPlatform::Mutex* m_hMutex;
};

} // namespace qvSynch

namespace qvSynchDetail {

/// Whether a lock type is one of the library's own, whose holder must never be stopped or killed
/// (NullLock takes nothing; a lock policy of the user's own is the user's code).
template <class LockType>
inline constexpr bool IS_REGION_LOCK =
    std::is_same_v<LockType, qvSynch::LWLock> || std::is_same_v<LockType, qvSynch::SpinLock> ||
    std::is_same_v<LockType, qvSynch::Lock>;

/// The one way the library takes a lock of its own, in its sources and in the inline code of
/// its headers: holds the lock for one scope (or until unlock()), so that nothing thrown leaves it
/// held, and makes the scope one of the internal regions above: entered before the lock is
/// taken, left after it is released. So on Windows no thread is stopped or killed holding it.
///
/// The rule that goes with it: no user code between the constructor and the release, neither a
/// functor's or callable's copy, call or destructor nor a virtual of the user's: copy or build
/// them before, destroy them after. A region is short, and suspend() and terminate() of its
/// thread wait until it is left. The library's other lock uses are UserCodeLock (see there);
/// nothing else of the library calls acquire() on a lock (cmake/qvCheckRegionLocks.cmake, a test,
/// checks).
///
/// A lock policy that is not one of the library's (IS_REGION_LOCK) is taken without a region:
/// its acquire() is the user's code. NullLock costs nothing.
template <class LockType>
class RegionLock
{
public:
    explicit RegionLock(LockType& lock) : m_pLock(&lock)
    {
        if constexpr (IS_REGION_LOCK<LockType>)
            enterInternalRegion();
        lock.acquire();
    }
    ~RegionLock() { unlock(); }
    RegionLock(const RegionLock&) = delete;
    RegionLock& operator=(const RegionLock&) = delete;

    /// Lets the lock go (and leaves the region) before the end of the scope; later calls and the
    /// destructor do nothing more.
    void unlock()
    {
        if (LockType* pLock = m_pLock) {
            m_pLock = nullptr;
            pLock->release();
            if constexpr (IS_REGION_LOCK<LockType>)
                leaveInternalRegion();
        }
    }

private:
    LockType* m_pLock;
};

/// A library lock held around user code (a main loop's condition is asked under the loop's lock):
/// not a region, since user code may take any time and its thread must stay stoppable. So a
/// thread suspended or killed while it runs that code holds the lock (on Windows a killed holder
/// leaves it held for ever, as a user's own LWLock). Never taken inside a region (a thread
/// waiting for it there could wait as long as the user code runs, with suspend() and terminate()
/// of it waiting too), and a region lock taken while it is held is let go before the user code.
template <class LockType>
class UserCodeLock
{
public:
    explicit UserCodeLock(LockType& lock) : m_Lock(lock) { m_Lock.acquire(); }
    ~UserCodeLock() { m_Lock.release(); }
    UserCodeLock(const UserCodeLock&) = delete;
    UserCodeLock& operator=(const UserCodeLock&) = delete;

private:
    LockType& m_Lock;
};

} // namespace qvSynchDetail

#endif
