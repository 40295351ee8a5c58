#include "Platform/ThreadStorage.h"

#include "Platform/Common/ThreadStorageSlots.h"

// The pointers live in one thread_local array without a destructor, so that it stays usable for
// the whole life of the thread, also on its exit path; a reaper of its own (a second thread_local,
// made by the first set()) hands each pointer to its slot's release function when the thread
// ends, the main thread at exit included, and closes the array. Code that runs later on that
// thread (another thread-local's destructor) then finds nothing, and set() keeps nothing, so
// nothing is used after its release or left unreleased.

namespace qvPlatform {

namespace {

constexpr int MAXIMUM_SLOTS = ThreadStorageSlots::MAXIMUM_SLOTS;

struct Values
{
    void* m_apValue[MAXIMUM_SLOTS];
    bool m_bClosed;
};
thread_local Values t_Values = {};

struct Reaper
{
    ~Reaper()
    {
        t_Values.m_bClosed = true;
        for (int n = 0; n < MAXIMUM_SLOTS; ++n) {
            if (void* pValue = t_Values.m_apValue[n]) {
                t_Values.m_apValue[n] = nullptr;
                ThreadStorageSlots::releaseOf(n)(pValue);
            }
        }
    }
};
thread_local Reaper t_Reaper;

} // namespace

ThreadStorage::ThreadStorage(Release pRelease) : m_nSlot(0), m_bValid(false)
{
    const int nIndex = ThreadStorageSlots::allocate(pRelease);
    if (nIndex < 0)
        return;
    m_nSlot = static_cast<unsigned long>(nIndex);
    m_bValid = true;
}

void* ThreadStorage::get() const
{
    return m_bValid ? t_Values.m_apValue[m_nSlot] : nullptr;
}

bool ThreadStorage::set(void* pValue)
{
    if (!m_bValid || t_Values.m_bClosed)
        return false;
    static_cast<void>(&t_Reaper); // made once per thread, so that it releases what is set
    t_Values.m_apValue[m_nSlot] = pValue;
    return true;
}

} // namespace qvPlatform
