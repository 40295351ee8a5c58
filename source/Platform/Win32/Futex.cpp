#include "Platform/Futex.h"

#include <windows.h>

#include "Platform/Check.h"

// WaitOnAddress and the WakeByAddress calls: Windows 8 and later (synchronization library).
// Like a futex they compare the word with the expected value inside the OS, so a wake between
// the caller's look at the word and its sleep is never lost, and they only hash the address.

namespace qvPlatform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "a wait-on-address word must be a plain 32-bit word");

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t nExpected)
{
    // Returns at once when the word no longer holds nExpected; may also return spuriously.
    // Callers re-check their condition either way.
    const BOOL bWoken = ::WaitOnAddress(reinterpret_cast<volatile VOID*>(&word), &nExpected,
                                        sizeof(nExpected), INFINITE);
    QV_PLATFORM_CHECK(bWoken || ::GetLastError() == ERROR_TIMEOUT);
    (void)bWoken;
}

void futexWake(std::atomic<std::uint32_t>& word, int nCount)
{
    void* pAddress = reinterpret_cast<void*>(&word);
    if (nCount == 1) {
        ::WakeByAddressSingle(pAddress);
        return;
    }
    if (nCount >= 0x7fffffff) {
        ::WakeByAddressAll(pAddress);
        return;
    }
    for (int n = 0; n < nCount; ++n)
        ::WakeByAddressSingle(pAddress);
}

} // namespace qvPlatform
