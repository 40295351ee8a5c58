#include "Platform/Common/ThreadStorageSlots.h"

#include <atomic>

#include "Platform/Check.h"

namespace qvPlatform {

namespace {

ThreadStorage::Release s_apRelease[ThreadStorageSlots::MAXIMUM_SLOTS];
std::atomic<int> s_nSlotsUsed{0};

} // namespace

int ThreadStorageSlots::allocate(ThreadStorage::Release pRelease)
{
    const int nIndex = s_nSlotsUsed.fetch_add(1);
    QV_PLATFORM_CHECK(nIndex < MAXIMUM_SLOTS);
    if (nIndex >= MAXIMUM_SLOTS)
        return -1;
    s_apRelease[nIndex] = pRelease;
    return nIndex;
}

ThreadStorage::Release ThreadStorageSlots::releaseOf(int nIndex)
{
    return s_apRelease[nIndex];
}

int ThreadStorageSlots::countAllocated()
{
    return s_nSlotsUsed.load();
}

} // namespace qvPlatform
