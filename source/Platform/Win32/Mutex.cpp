#include "Platform/Mutex.h"

#include <windows.h>

#include "Platform/Check.h"

namespace qvPlatform {

// An unnamed mutex object, not initially owned. Mutex objects are recursive for their owner and
// abandoned to the next waiter when the owner ends, whatever bRobust says.
Mutex::Mutex(bool) : m_Mutex(::CreateMutexA(nullptr, FALSE, nullptr))
{
    QV_PLATFORM_CHECK(m_Mutex != nullptr);
}

Mutex::~Mutex()
{
    if (m_Mutex)
        ::CloseHandle(m_Mutex);
}

// WAIT_ABANDONED: the previous owner ended holding the mutex; the caller owns it now.
void Mutex::lock()
{
    const DWORD nResult = ::WaitForSingleObject(m_Mutex, INFINITE);
    QV_PLATFORM_CHECK(nResult == WAIT_OBJECT_0 || nResult == WAIT_ABANDONED);
    (void)nResult;
}

// Every result but WAIT_TIMEOUT (another thread holds it) counts as acquired.
bool Mutex::tryLock()
{
    return ::WaitForSingleObject(m_Mutex, 0) != WAIT_TIMEOUT;
}

// A thread that does not own the mutex is refused (ERROR_NOT_OWNER); nothing changes.
void Mutex::unlock()
{
    ::ReleaseMutex(m_Mutex);
}

} // namespace qvPlatform
