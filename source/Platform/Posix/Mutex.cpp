#include "Platform/Mutex.h"

namespace qvPlatform {

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

} // namespace qvPlatform
