#include "Platform/ThreadStorage.h"

#include <atomic>

#include "Platform/Check.h"

// The pointers live in one thread_local array whose destructor hands each to its slot's release
// function: a thread that ends, the main thread at exit included, releases what it holds.

namespace qvPlatform {

namespace {

constexpr int MAXIMUM_SLOTS = 8;
ThreadStorage::Release s_apRelease[MAXIMUM_SLOTS];
std::atomic<int> s_nSlotsUsed{0};

struct Values
{
    void* m_apValue[MAXIMUM_SLOTS] = {};
    ~Values()
    {
        for (int n = 0; n < MAXIMUM_SLOTS; ++n) {
            if (void* pValue = m_apValue[n]) {
                m_apValue[n] = nullptr;
                s_apRelease[n](pValue);
            }
        }
    }
};

thread_local Values t_Values;

} // namespace

ThreadStorage::ThreadStorage(Release pRelease) : m_nSlot(0), m_bValid(false)
{
    const int nIndex = s_nSlotsUsed.fetch_add(1);
    QV_PLATFORM_CHECK(nIndex < MAXIMUM_SLOTS);
    if (nIndex >= MAXIMUM_SLOTS)
        return;
    s_apRelease[nIndex] = pRelease;
    m_nSlot = static_cast<unsigned long>(nIndex);
    m_bValid = true;
}

void* ThreadStorage::get() const
{
    return m_bValid ? t_Values.m_apValue[m_nSlot] : nullptr;
}

bool ThreadStorage::set(void* pValue)
{
    if (!m_bValid)
        return false;
    t_Values.m_apValue[m_nSlot] = pValue;
    return true;
}

} // namespace qvPlatform
