#ifndef QV_ITC_SENDERCACHE_H
#define QV_ITC_SENDERCACHE_H

// The sender cache of a thread: the schedulers of the last few (controller, thread id) pairs
// the thread has sent to, each with the node memory taken back from its loop, so that a send to
// a recently used thread takes no lock. How it stays safe is told in qvITCSenderCache.cpp.
// Internal to the library.
//
// The look-ups that every send makes (senderState(), findEntry()) are defined here, so that they
// are inlined into the send as they would be in one source.
//
// Threads: every function concerns the calling thread's cache only.

#include "ITC/qvITCTaskQueue.h"
#include "Platform/ThreadStorage.h"

#include <new>

namespace qvITC {

// How many (controller, thread id) pairs a sending thread keeps.
constexpr unsigned int CACHE_ENTRIES = 4;

// One (controller, thread id) pair the thread has sent to.
struct CacheEntry
{
    const Controller* m_pController;
    unsigned long m_nThreadId;
    Scheduler* m_pScheduler; // one reference, the entry's; null when the entry is unused
    void* m_pSpareNodes;     // node memory taken back from that scheduler's loop
};

// Made by the thread's first send and kept in a platform slot (not a thread_local with a
// destructor, see Platform/ThreadStorage.h) until the thread ends.
struct SenderState
{
    CacheEntry m_Entries[CACHE_ENTRIES];
    unsigned int m_nNextVictim;
    unsigned int m_nDepth; // sends of this thread in progress; above 1 inside another send
    bool m_bEnded;         // being released: sends go without the cache
};

// Drops the entry: frees its node memory and lets go of its scheduler.
void releaseEntry(CacheEntry& entry);

// The release function of the slot that holds a thread's sender state (see qvITCSenderCache.cpp).
void releaseSenderState(void* pValue);

// The slot that holds each thread's sender state.
inline qvPlatform::ThreadStorage& senderSlot()
{
    static qvPlatform::ThreadStorage s_Slot(&releaseSenderState);
    return s_Slot;
}

// The calling thread's sender state, made at its first send; null when it cannot be kept (out of
// memory, or the thread is ending and has released its state already): that send and the sends
// nested in it go without the cache.
inline SenderState* senderState()
{
    qvPlatform::ThreadStorage& slot = senderSlot();
    if (void* pState = slot.get())
        return static_cast<SenderState*>(pState);
    SenderState* pState = new (std::nothrow) SenderState{};
    if (pState && !slot.set(pState)) {
        delete pState;
        pState = nullptr;
    }
    return pState;
}

// The open entry for the pair, or null. A closed one is released: the thread id may have a new
// scheduler by now.
inline CacheEntry* findEntry(SenderState& state, const Controller* pController,
                             unsigned long threadId)
{
    for (CacheEntry& entry : state.m_Entries) {
        if (entry.m_pController != pController || entry.m_nThreadId != threadId)
            continue;
        if (!entry.m_pScheduler->isClosed())
            return &entry;
        releaseEntry(entry);
        return nullptr;
    }
    return nullptr;
}

// Enters the pair with pScheduler, whose reference passes to the entry.
CacheEntry* keepEntry(SenderState& state, const Controller* pController, unsigned long threadId,
                      Scheduler* pScheduler);

// Releases the calling thread's entries of pScheduler, or of every scheduler of pController
// when pScheduler is null; not while a send of this thread may be using them, nor while the
// thread releases them itself.
void forgetEntries(const Controller* pController, const Scheduler* pScheduler);

} // namespace qvITC

#endif
