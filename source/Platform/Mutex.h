#ifndef QV_PLATFORM_MUTEX_H
#define QV_PLATFORM_MUTEX_H

// A recursive, process-private pthread mutex: the owner may lock it again, and each lock needs
// its own unlock. With bRobust, an owner thread that ends without unlocking hands it on: the next
// lock() or tryLock() succeeds and the caller owns the mutex, as an abandoned Win32 mutex is
// passed to its next waiter. The state the dead owner guarded is the caller's to check; the
// mutex itself is made consistent again.
//
// Unlock by a thread that does not own the mutex is refused by the OS and otherwise ignored.

#include <cerrno>
#include <pthread.h>

#include "Platform/Check.h"

namespace qvPlatform {

class Mutex
{
public:
    explicit Mutex(bool bRobust);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock()
    {
        const bool bLocked = takeResult(pthread_mutex_lock(&m_Mutex));
        QV_PLATFORM_CHECK(bLocked);
        (void)bLocked;
    }
    bool tryLock() { return takeResult(pthread_mutex_trylock(&m_Mutex)); }
    void unlock() { pthread_mutex_unlock(&m_Mutex); }

private:
    // EOWNERDEAD: the previous owner died holding a robust mutex; we own it now. Marking it
    // consistent keeps it usable for everyone after us.
    bool takeResult(int nResult)
    {
        if (nResult == 0)
            return true;
        if (nResult == EOWNERDEAD) {
            pthread_mutex_consistent(&m_Mutex);
            return true;
        }
        return false;
    }

    pthread_mutex_t m_Mutex;
};

} // namespace qvPlatform

#endif
