#ifndef QV_PLATFORM_MUTEX_H
#define QV_PLATFORM_MUTEX_H

// A recursive, process-private mutex that an owner may lock again (each lock needs its own
// unlock) and that is handed on when its owner thread ends without unlocking it: the next
// lock() or tryLock() succeeds and the caller owns the mutex. The state the dead owner guarded
// is the caller's to check; the mutex itself is usable again.
//
// Unlock by a thread that does not own the mutex is refused by the OS and otherwise ignored.
//
// Linux: a recursive pthread mutex; with bRobust a robust one (EOWNERDEAD counts as acquired and
// the mutex is made consistent again), without it an owner that ends leaves it locked.
// Windows: an unnamed mutex object, always abandoned to the next waiter (WAIT_ABANDONED counts as
// acquired); bRobust changes nothing. Every operation is a kernel call there.

#include "PlatformTypes.h"

namespace qvPlatform {

class Mutex
{
public:
    explicit Mutex(bool bRobust);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    // False only while another living thread holds the mutex.
    bool tryLock();
    void unlock();

private:
    NativeMutex m_Mutex;
};

} // namespace qvPlatform

#endif
