#include "ITC/qvITCSenderCache.h"

// How a sending thread finds its scheduler, and why each step is safe:
//
// - Finding the scheduler. Each thread caches up to CACHE_ENTRIES (controller, thread id)
//   pairs with a reference to their scheduler. An open cached scheduler is the one in the map:
//   a scheduler is closed before (or right after) it leaves the map, and a controller closes all
//   of its schedulers when it goes, so a cached pair never names a scheduler of another
//   controller at the same address or of another thread with a reused id unless it is closed.
//   A send that finds a closed entry drops it and looks in the map. Only the outermost send of
//   a thread uses or changes its cache: a send made from inside another one (by a functor's
//   copy constructor, say) takes a reference of its own, so an entry in use is never released.
// - The end of a sending thread. Its cache lives in a platform slot whose release function
//   drops the entries when the thread ends. A send made while they are dropped (by a discarded
//   task's destructor) or later on the thread's exit path (by another per-thread object's
//   destructor) goes without the cache, as one nested in another send does: it takes a
//   reference of its own and keeps nothing.

namespace qvITC {

namespace {
// The slot is made when the library is loaded, not at a thread's first send: a Windows thread
// killed while it made it would leave it half-made, and every later sender would wait for ever.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool s_bSenderSlotMadeAtLoad = (senderSlot(), true);
} // namespace

void releaseEntry(CacheEntry& entry)
{
    Scheduler* pScheduler = entry.m_pScheduler;
    void* pSpareNodes = entry.m_pSpareNodes;
    entry = CacheEntry{};
    freeBlocks(pSpareNodes);
    if (pScheduler)
        pScheduler->unref();
}

// Runs on the ending thread. Releasing a scheduler may run user code (the destructors of the
// tasks it discards) that sends or closes on this thread: on Linux the slot is empty and closed
// by then, on Windows it still holds the state until this returns, so the state says that it
// is ending. Code that runs on the thread afterwards finds the slot empty and cannot fill it
// again (see senderState()).
void releaseSenderState(void* pValue)
{
    SenderState* pState = static_cast<SenderState*>(pValue);
    pState->m_bEnded = true;
    for (CacheEntry& entry : pState->m_Entries)
        releaseEntry(entry);
    delete pState;
}

// Enters the pair with pScheduler, whose reference passes to the entry.
CacheEntry* keepEntry(SenderState& state, const Controller* pController, unsigned long threadId,
                      Scheduler* pScheduler)
{
    CacheEntry* pEntry = nullptr;
    for (CacheEntry& entry : state.m_Entries) {
        if (!entry.m_pScheduler) {
            pEntry = &entry;
            break;
        }
    }
    if (!pEntry) {
        pEntry = &state.m_Entries[state.m_nNextVictim++ % CACHE_ENTRIES];
        releaseEntry(*pEntry);
    }
    *pEntry = CacheEntry{pController, threadId, pScheduler, nullptr};
    return pEntry;
}

// Releases the calling thread's entries of pScheduler, or of every scheduler of pController
// when pScheduler is null; not while a send of this thread may be using them, nor while the
// thread releases them itself.
void forgetEntries(const Controller* pController, const Scheduler* pScheduler)
{
    SenderState* pState = static_cast<SenderState*>(senderSlot().get());
    if (!pState || pState->m_nDepth != 0 || pState->m_bEnded)
        return;
    for (CacheEntry& entry : pState->m_Entries) {
        if (entry.m_pScheduler && entry.m_pController == pController &&
            (!pScheduler || entry.m_pScheduler == pScheduler))
            releaseEntry(entry);
    }
}

} // namespace qvITC
