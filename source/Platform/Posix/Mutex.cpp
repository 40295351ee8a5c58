#include "Platform/Mutex.h"

#include <cerrno>

#include "Platform/Check.h"

namespace qvPlatform {

namespace {

// EOWNERDEAD: the previous owner died holding a robust mutex; we own it now. Marking it
// consistent keeps it usable for everyone after us.
bool takeResult(pthread_mutex_t& mutex, int nResult)
{
    if (nResult == 0)
        return true;
    if (nResult == EOWNERDEAD) {
        pthread_mutex_consistent(&mutex);
        return true;
    }
    return false;
}

} // namespace

Mutex::Mutex(bool bRobust)
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

void Mutex::lock()
{
    const bool bLocked = takeResult(m_Mutex, pthread_mutex_lock(&m_Mutex));
    QV_PLATFORM_CHECK(bLocked);
    (void)bLocked;
}

bool Mutex::tryLock()
{
    return takeResult(m_Mutex, pthread_mutex_trylock(&m_Mutex));
}

void Mutex::unlock()
{
    pthread_mutex_unlock(&m_Mutex);
}

} // namespace qvPlatform
