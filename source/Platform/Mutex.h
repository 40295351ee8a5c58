#ifndef QV_PLATFORM_MUTEX_H
#define QV_PLATFORM_MUTEX_H

// A recursive, process-private mutex: the owner may lock it again, and each lock needs its own
// unlock. Two options stand in for what the library's locks wrap:
//
// - nSpinCount > 0: lock() first tries that many times without blocking, pausing between tries,
//   before it sleeps (the light-weight locks' spin count).
// - bRobust: when the owner thread ends without unlocking, the next lock() or tryLock() succeeds
//   and the caller owns the mutex (as an abandoned Win32 mutex is handed on). The state the dead
//   owner guarded is the caller's to check; the mutex itself is made consistent again.
//
// Unlock by a thread that does not own the mutex is refused by the OS and otherwise ignored.

#include <pthread.h>

namespace qvPlatform {

class Mutex
{
public:
    explicit Mutex(bool bRobust = false, int nSpinCount = 0);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    bool tryLock();
    void unlock();

private:
    bool takeResult(int nResult);

    pthread_mutex_t m_Mutex;
    int m_nSpinCount;
};

} // namespace qvPlatform

#endif
