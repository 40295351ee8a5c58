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

// Acquired: WAIT_OBJECT_0, or WAIT_ABANDONED (the caller owns it now). WAIT_TIMEOUT: another
// thread holds it. WAIT_FAILED (no mutex object, a bad handle): not acquired, as nothing is held.
bool Mutex::tryLock()
{
    const DWORD nResult = ::WaitForSingleObject(m_Mutex, 0);
    QV_PLATFORM_CHECK(nResult != WAIT_FAILED);
    return nResult == WAIT_OBJECT_0 || nResult == WAIT_ABANDONED;
}

// A thread that does not own the mutex is refused (ERROR_NOT_OWNER); nothing changes.
void Mutex::unlock()
{
    ::ReleaseMutex(m_Mutex);
}

} // namespace qvPlatform
