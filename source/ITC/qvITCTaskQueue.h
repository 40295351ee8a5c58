#ifndef QV_ITC_TASKQUEUE_H
#define QV_ITC_TASKQUEUE_H

// The lock-free queue of an InvokationTaskScheduler (ITC/qvITCController.h) and its node memory,
// as the sources of the inter-thread controller share them: the queue node, the chain of node
// memory that goes back from the loop to its senders, and the building of a node in such
// memory. How the queue works is told in qvITCTaskQueue.cpp. Internal to the library.

#include <cstdint>
#include <new>
#include <utility>

#include "ITC/qvITCController.h"
#include "Platform/Futex.h"

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

// Node memory whose task is gone, chained through the block's first word.
struct FreeBlock
{
    FreeBlock* m_pNext;
};

// The first block of the chain, which then starts at the next one; null when it is empty.
inline void* popBlock(void*& pChain)
{
    FreeBlock* pBlock = static_cast<FreeBlock*>(pChain);
    if (pBlock)
        pChain = pBlock->m_pNext;
    return pBlock;
}

// Gives every block of the chain back to the allocator.
void freeBlocks(void* pChain);

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

// The sender's side of the queue, defined here so that a send inlines it as it would in one
// source.

inline Scheduler::TaskNode* Scheduler::closedMark()
{
    // A mark only compared, never dereferenced; no node lives at address 1.
    return reinterpret_cast<TaskNode*>(std::uintptr_t{1}); // NOLINT(performance-no-int-to-ptr)
}

inline Scheduler::TaskNode* Scheduler::inUseMark()
{
    // A mark only compared, never dereferenced; no node lives at address 2.
    return reinterpret_cast<TaskNode*>(std::uintptr_t{2}); // NOLINT(performance-no-int-to-ptr)
}

inline bool Scheduler::queue(NodePtr upNode)
{
    // From the push to the claim of the wake-up (and the count in m_nWakers that close() waits
    // for), the sender owes the loop its wake-up: a thread stopped or killed in between
    // (terminate() on Windows) would leave the loop asleep with the task, and every later sender
    // would find it busy. So these steps are an internal region that terminate() and suspend()
    // let it finish. The wake-up functor itself is the interface's code and runs after the
    // region (see qvITCController.h, Termination).
    bool bWake = false;
    {
        const qvPlatform::InternalRegion region;
        TaskNode* pNode = upNode.get();
        TaskNode* pHead = m_pIncoming.load(std::memory_order_relaxed);
        do {
            if (pHead == closedMark())
                return false; // upNode discards the task, after the region
            pNode->m_pNext = pHead;
        } while (!m_pIncoming.compare_exchange_weak(pHead, pNode, std::memory_order_seq_cst,
                                                    std::memory_order_relaxed));
        static_cast<void>(upNode.release()); // the list holds the node now
        // A loop that has declared itself idle gets one wake-up, from the first sender that
        // finds it so; a busy loop takes this task without one. (Sequentially consistent, as
        // the loop's declaration: either this sees it or the loop sees this task. See
        // declareIdle().)
        if (m_bLoopIdle.load(std::memory_order_seq_cst) &&
            m_bLoopIdle.exchange(false, std::memory_order_seq_cst)) {
            m_nWakers.fetch_add(1, std::memory_order_seq_cst);
            bWake = true;
        }
    }
    if (bWake)
        wakeUpCounted();
    return true;
}

inline void Scheduler::wakeUpFromSender()
{
    m_nWakers.fetch_add(1, std::memory_order_seq_cst);
    wakeUpCounted();
}

inline void Scheduler::wakeUpCounted()
{
    struct Leave
    {
        ~Leave() { nWakers.fetch_sub(1, std::memory_order_release); }
        std::atomic<unsigned int>& nWakers;
    } leave{m_nWakers};
    // Closed after this push: close() has discarded the task, and the loop may be gone.
    if (m_pIncoming.load(std::memory_order_seq_cst) != closedMark())
        m_WakeUp();
}

inline void* Scheduler::takeFreeNodes()
{
    if (!m_pFreeNodes.load(std::memory_order_relaxed))
        return nullptr; // no write to a line that the loop is filling
    return m_pFreeNodes.exchange(nullptr, std::memory_order_acquire);
}

} // namespace qvITC

#endif
