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
DWORD s_anFlsSlot[MAXIMUM_SLOTS];

// An ending thread runs the FLS callbacks before the modules' thread-detach notifications, where
// the thread_local destructors of a thread made with CreateThread run (those of a thread made by
// the threads library run earlier, as its start function returns); the system empties each slot
// after its callback, and a value set after that goes with the thread's FLS data, never
// released. So the first callback of an ending thread closes its slots, with a mark in a TLS
// slot (no callback; it lives as long as the thread), and set() keeps nothing from then on.
// Deleting another fiber runs the callbacks too, on the deleting thread but for that fiber's
// values: only a callback for the value that the running fiber holds, the thread's own end,
// closes.
DWORD closedMarkIndex()
{
    static const DWORD s_nIndex = ::TlsAlloc();
    return s_nIndex;
}
// Made when the library is loaded (see s_bMadeAtLoad in Futex.cpp for why not at first use).
[[maybe_unused]] const DWORD s_nClosedMarkMadeAtLoad = closedMarkIndex();

bool isClosed()
{
    const DWORD nIndex = closedMarkIndex();
    return nIndex != TLS_OUT_OF_INDEXES && ::TlsGetValue(nIndex) != nullptr;
}

template <int N>
VOID WINAPI callRelease(PVOID pValue)
{
    if (!pValue)
        return;
    const DWORD nIndex = closedMarkIndex();
    if (nIndex != TLS_OUT_OF_INDEXES && ::FlsGetValue(s_anFlsSlot[N]) == pValue)
        ::TlsSetValue(nIndex, reinterpret_cast<LPVOID>(1));
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
    static_cast<void>(closedMarkIndex()); // ready before any callback runs
    const DWORD nSlot =
        ::FlsAlloc(callbackOf(nIndex, std::make_integer_sequence<int, MAXIMUM_SLOTS>()));
    if (nSlot != FLS_OUT_OF_INDEXES) {
        s_anFlsSlot[nIndex] = nSlot;
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
    return m_bValid && !isClosed() && ::FlsSetValue(m_nSlot, pValue);
}

} // namespace qvPlatform
