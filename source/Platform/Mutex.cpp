#include "Platform/Mutex.h"

#include <cerrno>

#include "Platform/Check.h"

namespace qvPlatform {

namespace {
inline void relaxProcessor()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}
} // namespace

Mutex::Mutex(bool bRobust, int nSpinCount) : m_nSpinCount(nSpinCount > 0 ? nSpinCount : 0)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    if (bRobust)
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    const int nResult = pthread_mutex_init(&m_Mutex, &attributes);
    QV_PLATFORM_CHECK(nResult == 0);
    (void)nResult;
    pthread_mutexattr_destroy(&attributes);
}

Mutex::~Mutex()
{
    pthread_mutex_destroy(&m_Mutex);
}

// EOWNERDEAD: the previous owner died holding a robust mutex; we own it now. Marking it
// consistent keeps it usable for everyone after us.
bool Mutex::takeResult(int nResult)
{
    if (nResult == EOWNERDEAD) {
        pthread_mutex_consistent(&m_Mutex);
        return true;
    }
    return nResult == 0;
}

void Mutex::lock()
{
    for (int nTry = 0; nTry < m_nSpinCount; ++nTry) {
        if (tryLock())
            return;
        relaxProcessor();
    }
    const bool bLocked = takeResult(pthread_mutex_lock(&m_Mutex));
    QV_PLATFORM_CHECK(bLocked);
    (void)bLocked;
}

bool Mutex::tryLock()
{
    return takeResult(pthread_mutex_trylock(&m_Mutex));
}

void Mutex::unlock()
{
    pthread_mutex_unlock(&m_Mutex);
}

} // namespace qvPlatform
