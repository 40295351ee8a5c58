#include "Platform/ThreadStorage.h"

#include <windows.h>

#include <atomic>
#include <utility>

#include "Platform/Check.h"

namespace qvPlatform {

namespace {

// FLS callbacks use the WINAPI convention (__stdcall on 32-bit), release functions the C++ one:
// each slot gets a callback of its own that calls its release function. The library needs few
// slots; MAXIMUM_SLOTS bounds them.
constexpr int MAXIMUM_SLOTS = 8;
ThreadStorage::Release s_apRelease[MAXIMUM_SLOTS];
std::atomic<int> s_nSlotsUsed{0};

template <int N>
VOID WINAPI callRelease(PVOID pValue)
{
    if (pValue)
        s_apRelease[N](pValue);
}

template <int... N>
constexpr PFLS_CALLBACK_FUNCTION callbackOf(int nIndex, std::integer_sequence<int, N...>)
{
    constexpr PFLS_CALLBACK_FUNCTION apCallbacks[] = {&callRelease<N>...};
    return apCallbacks[nIndex];
}

} // namespace

ThreadStorage::ThreadStorage(Release pRelease) : m_nSlot(0), m_bValid(false)
{
    const int nIndex = s_nSlotsUsed.fetch_add(1);
    QV_PLATFORM_CHECK(nIndex < MAXIMUM_SLOTS);
    if (nIndex >= MAXIMUM_SLOTS)
        return;
    s_apRelease[nIndex] = pRelease;
    const DWORD nSlot =
        ::FlsAlloc(callbackOf(nIndex, std::make_integer_sequence<int, MAXIMUM_SLOTS>()));
    if (nSlot != FLS_OUT_OF_INDEXES) {
        m_nSlot = nSlot;
        m_bValid = true;
    }
}

void* ThreadStorage::get() const
{
    return m_bValid ? ::FlsGetValue(m_nSlot) : nullptr;
}

bool ThreadStorage::set(void* pValue)
{
    return m_bValid && ::FlsSetValue(m_nSlot, pValue);
}

} // namespace qvPlatform
