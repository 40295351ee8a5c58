#include "Platform/Common/ThreadControl.h"

namespace qvPlatform {

bool ThreadControl::markStarted(std::atomic<std::uint32_t>& word, std::uint32_t& nControl)
{
    std::uint32_t nNew;
    do {
        if (isOver(nControl))
            return false;
        nNew = nControl | STARTED;
        if (countOf(nNew) > 0)
            nNew -= COUNT_STEP;
    } while (!word.compare_exchange_weak(nControl, nNew));
    return true;
}

bool ThreadControl::addSuspension(std::atomic<std::uint32_t>& word, std::uint32_t& nControl,
                                  std::uint32_t nMaximum)
{
    do {
        if (isOver(nControl) || countOf(nControl) >= nMaximum)
            return false;
    } while (!word.compare_exchange_weak(nControl, nControl + COUNT_STEP));
    return true;
}

bool ThreadControl::takeSuspension(std::atomic<std::uint32_t>& word)
{
    std::uint32_t nControl = word.load(std::memory_order_acquire);
    do {
        if (phaseOf(nControl) == PHASE_DONE || countOf(nControl) == 0)
            return false;
    } while (!word.compare_exchange_weak(nControl, nControl - COUNT_STEP));
    return true;
}

void ThreadControl::enterDone(std::atomic<std::uint32_t>& word)
{
    std::uint32_t nControl = word.load(std::memory_order_relaxed);
    while (
        !word.compare_exchange_weak(nControl, (nControl & ~(PHASE_MASK | STOPPED)) | PHASE_DONE)) {
    }
}

} // namespace qvPlatform
