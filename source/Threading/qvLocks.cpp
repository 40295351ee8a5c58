#include "Threading/qvLocks.h"

#include <cstring>
#include <new>

#include "Platform/Futex.h"
#include "Platform/LightMutex.h"
#include "Platform/Mutex.h"

namespace qvSynch {

namespace {

static_assert(sizeof(qvPlatform::LightMutex) <= sizeof(CriticalSectionStorage),
              "the platform lock must fit the storage the public header reserves");
static_assert(alignof(qvPlatform::LightMutex) <= alignof(CriticalSectionStorage),
              "the platform lock must fit the storage's alignment");

qvPlatform::LightMutex& mutexIn(CriticalSectionStorage& storage)
{
    return *std::launder(reinterpret_cast<qvPlatform::LightMutex*>(storage.m_aBytes));
}

void constructIn(CriticalSectionStorage& storage, int nSpinCount)
{
    std::memset(storage.m_aBytes, 0, sizeof(storage.m_aBytes));
    new (storage.m_aBytes) qvPlatform::LightMutex(nSpinCount);
}

// The library's critical regions are a few dozen instructions long: a thread that finds one
// taken usually gets it within a microsecond, far sooner than a sleep and a wake-up through the
// kernel would let it, so it tries this often (a few microseconds) before it sleeps.
constexpr int LWLOCK_SPIN_COUNT = 100;

} // namespace

LWLock::LWLock()
{
    constructIn(m_CriticalSection, LWLOCK_SPIN_COUNT);
}
LWLock::~LWLock()
{
    mutexIn(m_CriticalSection).~LightMutex();
}
void LWLock::acquire()
{
    mutexIn(m_CriticalSection).lock();
}
void LWLock::release()
{
    mutexIn(m_CriticalSection).unlock();
}
bool LWLock::tryAcquire()
{
    return mutexIn(m_CriticalSection).tryLock();
}

SpinLock::SpinLock(int nSpinCount) : m_nSpinCount(nSpinCount)
{
    constructIn(m_CriticalSection, m_nSpinCount);
}
SpinLock::~SpinLock()
{
    mutexIn(m_CriticalSection).~LightMutex();
}
void SpinLock::acquire()
{
    mutexIn(m_CriticalSection).lock();
}
void SpinLock::release()
{
    mutexIn(m_CriticalSection).unlock();
}
bool SpinLock::tryAcquire()
{
    return mutexIn(m_CriticalSection).tryLock();
}

Lock::Lock() : m_hMutex(nullptr)
{
    m_hMutex = new qvPlatform::Mutex(true);
}
Lock::~Lock()
{
    delete m_hMutex;
    m_hMutex = nullptr;
}
void Lock::acquire()
{
    m_hMutex->lock();
}
void Lock::release()
{
    m_hMutex->unlock();
}
bool Lock::tryAcquire()
{
    return m_hMutex->tryLock();
}

} // namespace qvSynch

#if defined(_WIN32)
namespace qvSynchDetail {

void enterInternalRegion()
{
    qvPlatform::enterInternalRegion();
}

void leaveInternalRegion()
{
    qvPlatform::leaveInternalRegion();
}

} // namespace qvSynchDetail
#endif
