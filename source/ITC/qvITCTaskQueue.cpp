#include "ITC/qvITCTaskQueue.h"

#include <cstdint>
#include <thread>

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

namespace qvITC {

void freeBlocks(void* pChain)
{
    while (void* pBlock = popBlock(pChain))
        ::operator delete(pBlock);
}

// ---------------------------------------------------------------------------------------------
// InvokationTaskScheduler

void Scheduler::DiscardAndDelete::operator()(TaskNode* pNode) const
{
    pNode->m_Task.discard();
    pNode->~TaskNode();
    ::operator delete(pNode);
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

bool Scheduler::addTask(const InvokationTask& task)
{
    return queue(makeNode(nullptr, task));
}

void Scheduler::wakeUpIfWokenBeforeHook()
{
    if (!m_bLoopIdle.load(std::memory_order_seq_cst))
        wakeUpFromSender();
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

} // namespace qvITC
