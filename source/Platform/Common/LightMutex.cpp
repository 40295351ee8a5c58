#include "Platform/LightMutex.h"

#include "Platform/Futex.h"

namespace qvPlatform {

void LightMutex::lockContended()
{
    for (int nTry = 0; nTry < m_nSpinCount; ++nTry) {
        std::uint32_t nExpected = 0;
        if (m_nState.load(std::memory_order_relaxed) == 0 &&
            m_nState.compare_exchange_weak(nExpected, 1, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return;
        relaxProcessor();
    }
    // Mark the lock as having sleepers; whoever frees it then wakes one of them. A thread that
    // takes it this way keeps the mark, which costs at most one needless wake.
    while (m_nState.exchange(2, std::memory_order_acquire) != 0)
        futexWait(m_nState, 2);
}

void LightMutex::wakeOne()
{
    futexWake(m_nState, 1);
}

} // namespace qvPlatform
