#include "ITC/qvITCController.h"

#include "Platform/Futex.h"
#include "Platform/ThreadStorage.h"
#include "Threading/qvScopedLock.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

// How a message travels, and why each step is safe:
//
// - Queue. A sender pushes its node onto the scheduler's m_pIncoming stack with one
//   compare-and-swap. The loop takes the whole stack when its own list (m_pTaken) is used up,
//   reverses it and runs one task per turn. Only the loop takes from the stack, and takes
//   everything, so no node is ever seen twice (no ABA).
// - Wake-ups. The loop wakes itself (once per turn) while its list holds tasks. When it has run
//   the last one it declares itself idle (m_bLoopIdle), then looks at the stack once more; a
//   sender looks at the flag after its push, and the first sender that finds it set clears it
//   and wakes the loop. Both sides are sequentially consistent, so one of them sees the other:
//   a task is never left queued for an idle loop. A sender that is overtaken between its push
//   and its look (the loop has run its task meanwhile and gone idle) wakes the loop for
//   nothing; the loop then finds nothing to do and declares itself idle again.
// - Closing. close() swaps closedMark() into m_pIncoming, which refuses every later push, and
//   into m_pTaken. If the loop is between taking its list and putting the rest back
//   (inUseMark()), the loop finds closedMark() when it puts the rest back and discards it
//   itself; otherwise close() discards it. So every queued task is either run or discarded.
// - Wake-ups after close. A sender announces itself in m_nWakers before it looks at the closed
//   mark and calls the wake-up functor; close() sets the mark and then waits until m_nWakers is
//   0. (Sequentially consistent on both sides: a sender that did not see the mark is counted
//   when close() looks.) So no sender wakes a loop that may be gone. The loop wakes itself only
//   from runNextTask(), while it certainly exists.
// - Node memory. The loop collects the memory of run tasks' nodes and pushes it onto
//   m_pFreeNodes a batch at a time, and before it goes idle (it is the only one that pushes);
//   senders take all of it at once with an exchange. It goes into the taking thread's cache
//   entry for that scheduler and serves its next messages there. What waits there is bounded
//   (MAX_FREE_NODES and one batch): the loop frees what it runs beyond that, so neither an idle
//   loop nor a sender's cache entry keeps more than that after a burst.
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

typedef Controller::InvokationTaskScheduler Scheduler;

struct Scheduler::TaskNode
{
    template <class... Args>
    explicit TaskNode(Args&&... args) : m_pNext(nullptr), m_Task(std::forward<Args>(args)...)
    {
    }

    TaskNode* m_pNext;
    InvokationTask m_Task;
};

namespace {

typedef qvSynchDetail::ScopedLock<qvSynch::LWLock> LockGuard;

// The calling thread's id when no interface can tell it: matches no scheduler's thread.
constexpr unsigned long NO_THREAD = 0xFFFFFFFFul;

const char* const INVALID_INTERFACE = "Invalid ITC interface.";

// How many (controller, thread id) pairs a sending thread keeps.
constexpr unsigned int CACHE_ENTRIES = 4;

// Node memory whose task is gone, chained through the block's first word.
struct FreeBlock
{
    FreeBlock* m_pNext;
};

void* popBlock(void*& pChain)
{
    FreeBlock* pBlock = static_cast<FreeBlock*>(pChain);
    if (pBlock)
        pChain = pBlock->m_pNext;
    return pBlock;
}

void freeBlocks(void* pChain)
{
    while (void* pBlock = popBlock(pChain))
        ::operator delete(pBlock);
}

// The hook handed to a loop: runs the scheduler's next task and keeps the scheduler alive for
// as long as the loop holds (or is calling) the hook.
class SchedulerHook
{
public:
    explicit SchedulerHook(Scheduler* pScheduler) : m_pScheduler(pScheduler)
    {
        m_pScheduler->ref();
    }
    SchedulerHook(const SchedulerHook& other) : m_pScheduler(other.m_pScheduler)
    {
        m_pScheduler->ref();
    }
    SchedulerHook& operator=(const SchedulerHook&) = delete;
    ~SchedulerHook() { m_pScheduler->unref(); }

    void operator()() { m_pScheduler->runNextTask(); }

private:
    Scheduler* m_pScheduler;
};

// ---------------------------------------------------------------------------------------------
// The sender cache of one thread

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

qvPlatform::ThreadStorage& senderSlot()
{
    static qvPlatform::ThreadStorage s_Slot(&releaseSenderState);
    return s_Slot;
}

// The calling thread's sender state, made at its first send; null when it cannot be kept (out of
// memory, or the thread is ending and has released its state already): that send and the sends
// nested in it go without the cache.
SenderState* senderState()
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
CacheEntry* findEntry(SenderState& state, const Controller* pController, unsigned long threadId)
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

} // namespace

// ---------------------------------------------------------------------------------------------
// InvokationTaskScheduler

void Scheduler::DiscardAndDelete::operator()(TaskNode* pNode) const
{
    pNode->m_Task.discard();
    pNode->~TaskNode();
    ::operator delete(pNode);
}

Scheduler::TaskNode* Scheduler::closedMark()
{
    // A mark only compared, never dereferenced; no node lives at address 1.
    return reinterpret_cast<TaskNode*>(std::uintptr_t{1}); // NOLINT(performance-no-int-to-ptr)
}

Scheduler::TaskNode* Scheduler::inUseMark()
{
    // A mark only compared, never dereferenced; no node lives at address 2.
    return reinterpret_cast<TaskNode*>(std::uintptr_t{2}); // NOLINT(performance-no-int-to-ptr)
}

Scheduler::InvokationTaskScheduler(const qvVoidFunctor& wakeUp)
    : m_pIncoming(nullptr), m_bLoopIdle(true), m_nWakers(0), m_SendersLine(), m_pTaken(nullptr),
      m_pSpentNodes(nullptr), m_pLastSpentNode(nullptr), m_nSpentNodes(0), m_nFreeNodes(0),
      m_LoopLine(), m_pFreeNodes(nullptr), m_FreeNodesLine(), m_WakeUp(wakeUp)
{
}

Scheduler::~InvokationTaskScheduler()
{
    // Oldest first: the loop's list, then what arrived after it.
    TaskNode* pTaken = m_pTaken.load(std::memory_order_acquire);
    if (pTaken != closedMark())
        discardAll(pTaken);
    TaskNode* pIncoming = m_pIncoming.load(std::memory_order_acquire);
    if (pIncoming != closedMark())
        discardAll(reversed(pIncoming));
    freeBlocks(m_pFreeNodes.load(std::memory_order_acquire));
    freeBlocks(m_pSpentNodes);
}

bool Scheduler::isClosed() const
{
    return m_pIncoming.load(std::memory_order_relaxed) == closedMark();
}

template <class... Args>
Scheduler::NodePtr Scheduler::makeNode(void* pMemory, Args&&... args)
{
    if (!pMemory)
        pMemory = ::operator new(sizeof(TaskNode));
    try {
        return NodePtr(new (pMemory) TaskNode(std::forward<Args>(args)...));
    } catch (...) {
        ::operator delete(pMemory);
        throw;
    }
}

bool Scheduler::addTask(const InvokationTask& task)
{
    return queue(makeNode(nullptr, task));
}

bool Scheduler::queue(NodePtr upNode)
{
    // From the push to the wake-up, the sender owes the loop its wake-up: a thread stopped or
    // killed in between (terminate() on Windows) would leave the loop asleep with the task, and
    // every later sender would find it busy. So terminate() and suspend() let it finish first.
    const qvPlatform::InternalRegion region;
    TaskNode* pNode = upNode.get();
    TaskNode* pHead = m_pIncoming.load(std::memory_order_relaxed);
    do {
        if (pHead == closedMark())
            return false; // upNode discards the task
        pNode->m_pNext = pHead;
    } while (!m_pIncoming.compare_exchange_weak(pHead, pNode, std::memory_order_seq_cst,
                                                std::memory_order_relaxed));
    static_cast<void>(upNode.release()); // the list holds the node now
    // A loop that has declared itself idle gets one wake-up, from the first sender that finds
    // it so; a busy loop takes this task without one. (Sequentially consistent, as the loop's
    // declaration: either this sees it or the loop sees this task. See declareIdle().)
    if (m_bLoopIdle.load(std::memory_order_seq_cst) &&
        m_bLoopIdle.exchange(false, std::memory_order_seq_cst))
        wakeUpFromSender();
    return true;
}

void Scheduler::wakeUpFromSender()
{
    m_nWakers.fetch_add(1, std::memory_order_seq_cst);
    struct Leave
    {
        ~Leave() { nWakers.fetch_sub(1, std::memory_order_release); }
        std::atomic<unsigned int>& nWakers;
    } leave{m_nWakers};
    // Closed after this push: close() has discarded the task, and the loop may be gone.
    if (m_pIncoming.load(std::memory_order_seq_cst) != closedMark())
        m_WakeUp();
}

void Scheduler::wakeUpIfWokenBeforeHook()
{
    if (!m_bLoopIdle.load(std::memory_order_seq_cst))
        wakeUpFromSender();
}

void* Scheduler::takeFreeNodes()
{
    if (!m_pFreeNodes.load(std::memory_order_relaxed))
        return nullptr; // no write to a line that the loop is filling
    return m_pFreeNodes.exchange(nullptr, std::memory_order_acquire);
}

Scheduler::TaskNode* Scheduler::reversed(TaskNode* pNewestFirst)
{
    TaskNode* pOldestFirst = nullptr;
    while (pNewestFirst) {
        TaskNode* pNext = pNewestFirst->m_pNext;
        pNewestFirst->m_pNext = pOldestFirst;
        pOldestFirst = pNewestFirst;
        pNewestFirst = pNext;
    }
    return pOldestFirst;
}

void Scheduler::discardAll(TaskNode* pList)
{
    while (pList) {
        TaskNode* pNext = pList->m_pNext;
        DiscardAndDelete()(pList);
        pList = pNext;
    }
}

Scheduler::TaskNode* Scheduler::takeIncoming()
{
    TaskNode* pHead = m_pIncoming.load(std::memory_order_seq_cst);
    do {
        if (!pHead || pHead == closedMark())
            return nullptr;
    } while (!m_pIncoming.compare_exchange_weak(pHead, nullptr, std::memory_order_acquire,
                                                std::memory_order_relaxed));
    return reversed(pHead);
}

void Scheduler::recycle(TaskNode* pNode)
{
    pNode->~TaskNode();
    FreeBlock* pBlock =
        new (static_cast<void*>(pNode)) FreeBlock{static_cast<FreeBlock*>(m_pSpentNodes)};
    if (!m_pSpentNodes)
        m_pLastSpentNode = pBlock;
    m_pSpentNodes = pBlock;
    if (++m_nSpentNodes == SPENT_NODES_BATCH)
        handBackSpentNodes();
}

void Scheduler::handBackSpentNodes()
{
    if (!m_pSpentNodes)
        return;
    // What the senders have not taken is bounded: beyond MAX_FREE_NODES the memory goes back to
    // the allocator instead, so that a burst of messages leaves neither the idle loop nor the
    // next sender (which takes everything there) holding the burst's memory. The count may be
    // stale (senders took everything since): then the place is empty, and the count starts
    // again.
    if (m_nFreeNodes >= MAX_FREE_NODES && m_pFreeNodes.load(std::memory_order_relaxed))
        freeBlocks(m_pSpentNodes);
    else
        pushFreeNodes(m_pSpentNodes, m_pLastSpentNode, m_nSpentNodes);
    m_pSpentNodes = nullptr;
    m_pLastSpentNode = nullptr;
    m_nSpentNodes = 0;
}

void Scheduler::pushFreeNodes(void* pFirst, void* pLast, unsigned int nCount)
{
    void* pHead = m_pFreeNodes.load(std::memory_order_relaxed);
    do {
        if (!pHead)
            m_nFreeNodes = 0; // the senders have taken everything
        static_cast<FreeBlock*>(pLast)->m_pNext = static_cast<FreeBlock*>(pHead);
    } while (!m_pFreeNodes.compare_exchange_weak(pHead, pFirst, std::memory_order_release,
                                                 std::memory_order_relaxed));
    m_nFreeNodes += nCount;
}

void Scheduler::declareIdle()
{
    m_bLoopIdle.store(true, std::memory_order_seq_cst);
    // A task that came in after the loop's last look, from a sender that found the loop busy:
    // the loop turns once more for it (unless a sender has taken over the wake-up meanwhile).
    TaskNode* pIncoming = m_pIncoming.load(std::memory_order_seq_cst);
    if (pIncoming && pIncoming != closedMark() &&
        m_bLoopIdle.exchange(false, std::memory_order_seq_cst))
        m_WakeUp();
}

void Scheduler::runNextTask()
{
    // Nothing left of the last take and nothing arrived. (Sequentially consistent, as the
    // senders' push: a wake-up that found the loop's idle signal still set, just before the
    // loop reset it, is not lost; see source/Platform/Event.h.)
    TaskNode* pTaken = m_pTaken.load(std::memory_order_relaxed);
    if (pTaken == closedMark())
        return;
    if (!pTaken && !m_pIncoming.load(std::memory_order_seq_cst)) {
        // Idle, as declared, and nothing is written. Unless a sender, between its push and its
        // look at the flag, was overtaken by the loop, which ran its task and declared itself
        // idle: that sender took the wake-up (this turn) for nothing, and the loop declares
        // itself idle again, so that the next sender wakes it.
        if (!m_bLoopIdle.load(std::memory_order_seq_cst))
            declareIdle();
        return;
    }
    pTaken = m_pTaken.exchange(inUseMark(), std::memory_order_acquire);
    if (pTaken == closedMark()) {
        m_pTaken.store(closedMark(), std::memory_order_relaxed);
        return;
    }
    bool bTookIncoming = false;
    if (!pTaken) {
        pTaken = takeIncoming();
        bTookIncoming = pTaken != nullptr;
    }
    TaskNode* pRest = pTaken ? pTaken->m_pNext : nullptr;
    // The last of a take: whatever arrived meanwhile becomes the rest.
    if (pTaken && !pRest) {
        pRest = takeIncoming();
        bTookIncoming = bTookIncoming || pRest != nullptr;
    }
    NodePtr upNode(pTaken);
    // Put the rest back, unless close() came meanwhile: then it is discarded here. The task
    // taken still runs, as it would had close() come a moment later.
    TaskNode* pExpected = inUseMark();
    if (!m_pTaken.compare_exchange_strong(pExpected, pRest, std::memory_order_release,
                                          std::memory_order_relaxed)) {
        discardAll(pRest);
        pRest = nullptr;
    }
    if (!upNode) {
        declareIdle();
        return;
    }
    // Busy with a new take: senders need not wake the loop until it declares itself idle again.
    // (Only then: the flag lives on the senders' cache line.)
    if (bTookIncoming && m_bLoopIdle.load(std::memory_order_relaxed))
        m_bLoopIdle.store(false, std::memory_order_relaxed);
    if (pRest) {
        __builtin_prefetch(pRest, 1);
        // Turn again for the rest: first, because the task may throw or take long. (The loop
        // is running this hook, so it exists.)
        m_WakeUp();
    }
    // The last task of the take: the node memory of those before it goes back first (a waiting
    // sender that this task releases finds it), and the loop goes idle afterwards, also when the
    // task throws, so that tasks queued meanwhile get their wake-up.
    if (!pRest)
        handBackSpentNodes();
    try {
        upNode->m_Task.execute();
    } catch (...) {
        if (!pRest)
            declareIdle();
        throw;
    }
    // Destroyed here, on the loop's thread; the node's memory goes back to the senders.
    recycle(upNode.release());
    if (!pRest) {
        handBackSpentNodes();
        declareIdle();
    }
}

void Scheduler::close()
{
    TaskNode* pIncoming = m_pIncoming.exchange(closedMark(), std::memory_order_seq_cst);
    if (pIncoming != closedMark()) {
        TaskNode* pTaken = m_pTaken.exchange(closedMark(), std::memory_order_acq_rel);
        if (pTaken != inUseMark())
            discardAll(pTaken);
        discardAll(reversed(pIncoming));
        freeBlocks(m_pFreeNodes.exchange(nullptr, std::memory_order_acquire));
    }
    // A sender that pushed before the mark may still be waking the loop.
    while (m_nWakers.load(std::memory_order_seq_cst) != 0)
        std::this_thread::yield();
}

// ---------------------------------------------------------------------------------------------
// Controller

class Controller::Route
{
public:
    Route(Controller& controller, unsigned long threadId)
        : m_pState(senderState()), m_pScheduler(nullptr), m_pEntry(nullptr)
    {
        const bool bCached = m_pState && ++m_pState->m_nDepth == 1 && !m_pState->m_bEnded;
        if (bCached) {
            m_pEntry = findEntry(*m_pState, &controller, threadId);
            if (m_pEntry) {
                m_pScheduler = m_pEntry->m_pScheduler;
                return;
            }
        }
        m_pScheduler = controller.acquireScheduler(threadId);
        if (bCached && m_pScheduler && !m_pScheduler->isClosed())
            m_pEntry = keepEntry(*m_pState, &controller, threadId, m_pScheduler);
    }
    ~Route()
    {
        if (m_pScheduler && !m_pEntry)
            m_pScheduler->unref();
        if (m_pState)
            --m_pState->m_nDepth;
    }
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;

    explicit operator bool() const { return m_pScheduler != nullptr; }
    Scheduler* operator->() const { return m_pScheduler; }

    // A node for a task made from args, in node memory handed back by the loop if there is any.
    template <class... Args>
    Scheduler::NodePtr makeNode(Args&&... args)
    {
        void* pMemory = nullptr;
        if (m_pEntry) {
            if (!m_pEntry->m_pSpareNodes)
                m_pEntry->m_pSpareNodes = m_pScheduler->takeFreeNodes();
            pMemory = popBlock(m_pEntry->m_pSpareNodes);
        }
        return Scheduler::makeNode(pMemory, std::forward<Args>(args)...);
    }

private:
    SenderState* m_pState; // null: no cache for this send
    Scheduler* m_pScheduler;
    CacheEntry* m_pEntry; // null: m_pScheduler holds a reference of this route's own
};

Controller::Controller() : m_pInterface(nullptr) {}

Controller::~Controller()
{
    std::map<unsigned long, InvokationTaskScheduler*> mapSchedulers;
    {
        LockGuard guard(m_MapLock);
        mapSchedulers.swap(m_mapTaskSchedulers);
    }
    for (auto itCurrTaskScheduler = mapSchedulers.begin(), itEndTaskScheduler = mapSchedulers.end();
         itCurrTaskScheduler != itEndTaskScheduler; ++itCurrTaskScheduler) {
        if (m_pInterface) {
            try {
                m_pInterface->detachSchedulerHook(itCurrTaskScheduler->first);
            } catch (...) {
                // The loop is gone already; its hook (if any) keeps the scheduler alive.
            }
        }
        itCurrTaskScheduler->second->close();
        itCurrTaskScheduler->second->unref();
    }
    forgetEntries(this, nullptr);
    deregisterInterface();
}

void Controller::registerInterface(Interface* pInterface)
{
    m_pInterface = pInterface;
}

void Controller::deregisterInterface()
{
    m_pInterface = nullptr;
}

void Controller::createInvokationTaskScheduler(unsigned long threadId)
{
    if (!m_pInterface)
        throw std::logic_error(INVALID_INTERFACE);
    if (hasInvokationTaskScheduler(threadId))
        return;
    InvokationTaskScheduler* pInvokationTaskScheduler =
        new InvokationTaskScheduler(m_pInterface->getWakeUpFunctor(threadId));
    pInvokationTaskScheduler->ref(); // the map's reference
    bool bInserted;
    try {
        LockGuard guard(m_MapLock);
        bInserted =
            m_mapTaskSchedulers.insert(std::make_pair(threadId, pInvokationTaskScheduler)).second;
    } catch (...) {
        pInvokationTaskScheduler->unref(); // not in the map: nobody else holds it
        throw;
    }
    if (!bInserted) {
        // An overlapping call for the same thread entered its scheduler first: that one stays,
        // with its hook; this one was never seen by anybody.
        pInvokationTaskScheduler->unref();
        return;
    }
    const qvVoidFunctor callback(SchedulerHook{pInvokationTaskScheduler});
    m_pInterface->attachSchedulerHook(threadId, callback);
    // A sender that came between the map and the hook found the loop idle and woke it, and the
    // loop turned without the hook: the idle flag stays cleared, so no later sender would wake
    // it. Now that the hook is there, the loop turns once more.
    pInvokationTaskScheduler->wakeUpIfWokenBeforeHook();
}

void Controller::removeInvokationTaskScheduler(unsigned long threadId)
{
    if (!m_pInterface)
        throw std::logic_error(INVALID_INTERFACE);
    m_pInterface->detachSchedulerHook(threadId);
    InvokationTaskScheduler* pScheduler = nullptr;
    {
        LockGuard guard(m_MapLock);
        auto citFoundTaskScheduler = m_mapTaskSchedulers.find(threadId);
        if (citFoundTaskScheduler == m_mapTaskSchedulers.end())
            return;
        pScheduler = citFoundTaskScheduler->second;
        m_mapTaskSchedulers.erase(citFoundTaskScheduler);
    }
    pScheduler->close();
    forgetEntries(this, pScheduler);
    pScheduler->unref();
}

void Controller::closeInvokationTaskScheduler(unsigned long threadId)
{
    InvokationTaskScheduler* pScheduler = acquireScheduler(threadId);
    if (!pScheduler)
        return;
    pScheduler->close();
    forgetEntries(this, pScheduler);
    pScheduler->unref();
}

bool Controller::hasInvokationTaskScheduler(unsigned long threadId) const
{
    LockGuard guard(m_MapLock);
    return m_mapTaskSchedulers.count(threadId) != 0;
}

Controller::InvokationTaskScheduler* Controller::acquireScheduler(unsigned long threadId)
{
    LockGuard guard(m_MapLock);
    auto citFoundTaskScheduler = m_mapTaskSchedulers.find(threadId);
    if (citFoundTaskScheduler == m_mapTaskSchedulers.end())
        return nullptr;
    citFoundTaskScheduler->second->ref();
    return citFoundTaskScheduler->second;
}

void Controller::sendAsyncMessage(const MessageFunctor& message, const ArgumentVector& arguments,
                                  unsigned long threadId)
{
    Route route(*this, threadId);
    if (!route)
        return;
    // Built in its queue node and run there: the task is never copied.
    route->queue(route.makeNode(message, arguments, static_cast<qvAnyContainer*>(nullptr),
                                static_cast<qvSynch::Signal*>(nullptr)));
}

qvAnyContainer Controller::sendSyncMessage(const MessageFunctor& message,
                                           const ArgumentVector& arguments, unsigned long threadId)
{
    const unsigned long nCallingThread =
        m_pInterface ? m_pInterface->getCurrentThreadID() : NO_THREAD;
    if (threadId != nCallingThread) {
        // The sender's own task; the loop runs a copy of it, which shares result and outcome.
        std::optional<InvokationTask> newTask;
        {
            Route route(*this, threadId);
            if (route) {
                std::unique_ptr<qvAnyContainer> upResult(new qvAnyContainer);
                std::unique_ptr<qvSynch::Signal> upSignal(new qvSynch::Signal(false));
                newTask.emplace(message, arguments, upResult.release(), upSignal.release());
                route->queue(route.makeNode(*newTask));
            }
        }
        if (newTask)
            return newTask->getResult();
    }
    // Direct path: run here and now; the functor's exceptions reach the caller.
    InvokationTask newTask(message, arguments, new qvAnyContainer, nullptr);
    newTask.execute();
    return newTask.getResult();
}

} // namespace qvITC
