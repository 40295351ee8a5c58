#include "Platform/ThreadStorage.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "Platform/Common/ThreadStorageSlots.h"

namespace qvPlatform {

namespace {

// FLS callbacks use the WINAPI convention (__stdcall on 32-bit), release functions the C++ one:
// each slot gets a callback of its own that calls its release function. The library needs few
// slots; MAXIMUM_SLOTS bounds them.
constexpr int MAXIMUM_SLOTS = ThreadStorageSlots::MAXIMUM_SLOTS;
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
// TlsAlloc reports failure by its result and throws nothing.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const DWORD s_nClosedMarkMadeAtLoad = closedMarkIndex();

bool isClosed()
{
    const DWORD nIndex = closedMarkIndex();
    return nIndex != TLS_OUT_OF_INDEXES && ::TlsGetValue(nIndex) != nullptr;
}

// The library keeps itself loaded for the rest of the process's life once it has handed a value
// to a slot. An ending thread (and the process, as it exits) calls the slots' callbacks, which
// live in this library, for every value still set; if the library could be unloaded before
// (FreeLibrary of the last module that uses it, by a host that does not link it), they would run
// unmapped code. Freeing the slots as the library is unloaded does not work either: FlsFree would
// have to release every other thread's value from the unloading thread, while those threads may
// still use them. Pinning costs one call, made by the first set() of a value; a library that never
// set one unloads normally and gives its slots back (SlotsGiveBack).
std::atomic<bool> s_bPinned{false};
std::atomic<bool> s_bSlotsGivenBack{false};

bool pinLibrary()
{
    if (s_bPinned.load(std::memory_order_acquire))
        return true;
    HMODULE hLibrary = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&s_bPinned), &hLibrary))
        return false;
    s_bPinned.store(true, std::memory_order_release);
    return true;
}

template <int N>
VOID WINAPI callRelease(PVOID pValue)
{
    if (!pValue)
        return;
    const DWORD nIndex = closedMarkIndex();
    if (nIndex != TLS_OUT_OF_INDEXES && ::FlsGetValue(s_anFlsSlot[N]) == pValue)
        ::TlsSetValue(nIndex, reinterpret_cast<LPVOID>(1));
    ThreadStorageSlots::releaseOf(N)(pValue);
}

template <int... N>
constexpr PFLS_CALLBACK_FUNCTION callbackOf(int nIndex, std::integer_sequence<int, N...>)
{
    constexpr PFLS_CALLBACK_FUNCTION apCallbacks[] = {&callRelease<N>...};
    return apCallbacks[nIndex];
}

// Runs as the library is unloaded or the process ends (a static of the library). Unpinned, no slot
// holds a value on any thread: the slots and the closed mark go back to the system, so that a
// module loaded and unloaded again and again does not use them up. set() keeps nothing from then
// on (static destructors that run later may still wait).
struct SlotsGiveBack
{
    ~SlotsGiveBack()
    {
        if (s_bPinned.load(std::memory_order_acquire))
            return;
        s_bSlotsGivenBack.store(true, std::memory_order_seq_cst);
        const int nSlots = std::min(ThreadStorageSlots::countAllocated(), MAXIMUM_SLOTS);
        for (int n = 0; n < nSlots; ++n)
            if (s_anFlsSlot[n] != FLS_OUT_OF_INDEXES)
                ::FlsFree(s_anFlsSlot[n]);
        if (closedMarkIndex() != TLS_OUT_OF_INDEXES)
            ::TlsFree(closedMarkIndex());
    }
} s_SlotsGiveBack;

} // namespace

ThreadStorage::ThreadStorage(Release pRelease) : m_nSlot(0), m_bValid(false)
{
    const int nIndex = ThreadStorageSlots::allocate(pRelease);
    if (nIndex < 0)
        return;
    static_cast<void>(closedMarkIndex()); // ready before any callback runs
    const DWORD nSlot =
        ::FlsAlloc(callbackOf(nIndex, std::make_integer_sequence<int, MAXIMUM_SLOTS>()));
    s_anFlsSlot[nIndex] = nSlot;
    if (nSlot != FLS_OUT_OF_INDEXES) {
        m_nSlot = nSlot;
        m_bValid = true;
    }
}

void* ThreadStorage::get() const
{
    return m_bValid ? ::FlsGetValue(m_nSlot) : nullptr;
}

// The library is pinned before the value is in the slot, so that no callback can ever be due in
// an unloadable library.
bool ThreadStorage::set(void* pValue)
{
    if (!m_bValid || isClosed() || s_bSlotsGivenBack.load(std::memory_order_relaxed))
        return false;
    if (pValue && !pinLibrary())
        return false;
    return ::FlsSetValue(m_nSlot, pValue);
}

} // namespace qvPlatform
