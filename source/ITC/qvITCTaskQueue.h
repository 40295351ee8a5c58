#ifndef QV_ITC_TASKQUEUE_H
#define QV_ITC_TASKQUEUE_H

// The lock-free queue of an InvokationTaskScheduler (ITC/qvITCController.h) and its node memory,
// as the sources of the inter-thread controller share them: the queue node, the chain of node
// memory that goes back from the loop to its senders, and the building of a node in such
// memory. How the queue works is told in qvITCTaskQueue.cpp. Internal to the library.

#include <new>
#include <utility>

#include "ITC/qvITCController.h"

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

} // namespace qvITC

#endif
