#ifndef QV_POOLLIST_H
#define QV_POOLLIST_H

/// \file

/// \class qvPoolList
/// qvPoolList<T, LockPolicy>: a doubly linked list whose nodes are recycled through a pool of
/// free nodes that the list owns, so that a producer/consumer queue built on it allocates no
/// memory in its steady state. A caller takes a node from the pool (takeFreeNode), fills in its
/// element and appends it (pushBack); the consumer detaches the first node (popFront), reads it
/// and gives it back (returnFreeNode).
///
/// - Construction with n spare nodes fills the pool with n + 1 nodes: the pool always holds at
///   least one. When its last node is taken, a fresh one replaces it, so the pool grows one node
///   at a time to the largest number of nodes ever in use at once (plus one) and never shrinks.
/// - Every node's element is default-constructed when the node is allocated and destroyed when
///   the node is freed, which happens only when the list is destroyed (used and free nodes
///   alike). Nodes move between pool and list with their elements untouched.
///
/// Ownership: the list owns its nodes. The destructor frees the nodes in the pool and in the
/// used list; a node that a caller holds (taken and not appended, or popped and not returned)
/// must be handed back before the list is destroyed.
///
/// Threads: m_ListLock guards the used nodes and m_PoolLock the free ones (with NullLock the
/// caller serialises every call). getSize() and getFreeSize() read their counts without a lock;
/// the values may be stale by the time they are used.
///
/// Failures: only allocation fails. The constructor frees what it allocated and rethrows;
/// takeFreeNode() allocates the replacement of the last free node before it detaches it, so an
/// allocation failure throws with the list and the pool unchanged and no lock held.

#include <atomic>
#include <cstdint>

#include "Threading/qvLocks.h"

template <class T, class LockPolicy>
class qvPoolList
{
public:
    /// A node of the list or of its pool: its links and its element.
    class Node
    {
    public:
        Node() : m_pPrev(nullptr), m_pNext(nullptr), m_Element() {}

        Node* m_pPrev; ///< The preceding node of its chain; null for the first one.
        Node* m_pNext; ///< The following node of its chain; null for the last one.
        T m_Element;   ///< The element, default-constructed with the node.
    };

    /// Builds an empty list and a pool of nFreeNodes + 1 nodes.
    explicit qvPoolList(unsigned int nFreeNodes)
        : m_pFirst(nullptr), m_pLast(nullptr), m_pFirstFree(nullptr), m_pLastFree(nullptr),
          m_nSize(0), m_nFreeSize(0)
    {
        try {
            m_pFirstFree = m_pLastFree = new Node();
            m_nFreeSize.store(1, std::memory_order_relaxed);
            for (unsigned int n = 0; n < nFreeNodes; ++n) {
                Node* pNode = new Node();
                pNode->m_pPrev = m_pLastFree;
                m_pLastFree->m_pNext = pNode;
                m_pLastFree = pNode;
                m_nFreeSize.store(m_nFreeSize.load(std::memory_order_relaxed) + 1,
                                  std::memory_order_relaxed);
            }
        } catch (...) {
            freeChain(m_pFirstFree);
            throw;
        }
    }

    ~qvPoolList()
    {
        freeChain(m_pFirstFree);
        freeChain(m_pFirst);
        m_pFirstFree = m_pLastFree = m_pFirst = m_pLast = nullptr;
    }

    qvPoolList(const qvPoolList&) = delete;
    qvPoolList& operator=(const qvPoolList&) = delete;

    /// Detaches the first free node and returns it with both links cleared. When it is the last
    /// one, a freshly allocated node takes its place first; if that allocation throws, nothing
    /// has changed.
    Node* takeFreeNode()
    {
        // The fresh node (its element's constructor is the user's code) is made with no lock held;
        // one made for nothing, because another thread returned a node meanwhile, joins the pool.
        Node* pFresh = nullptr;
        for (;;) {
            Guard guard(m_PoolLock);
            if (m_pFirstFree != m_pLastFree || pFresh)
                return detachFirstFree(pFresh);
            guard.unlock();
            pFresh = new Node();
        }
    }

    /// Puts a node (taken from this list's pool or popped from this list) back at the end of the
    /// pool. Its element is left as it is.
    void returnFreeNode(Node* pNode)
    {
        Guard guard(m_PoolLock);
        appendFree(pNode);
    }

    /// Appends a node that came from takeFreeNode() (or popFront()) to the used list.
    void pushBack(Node* pNode)
    {
        Guard guard(m_ListLock);
        pNode->m_pNext = nullptr;
        if (m_pFirst) {
            pNode->m_pPrev = m_pLast;
            m_pLast->m_pNext = pNode;
            m_pLast = pNode;
        } else {
            pNode->m_pPrev = nullptr;
            m_pFirst = m_pLast = pNode;
        }
        m_nSize.store(m_nSize.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    /// Detaches the first used node and returns it with both links cleared; null when the list
    /// is empty.
    Node* popFront()
    {
        Guard guard(m_ListLock);
        Node* pNode = m_pFirst;
        if (!pNode)
            return nullptr;
        m_pFirst = pNode->m_pNext;
        if (m_pFirst) {
            m_pFirst->m_pPrev = nullptr;
            m_nSize.store(m_nSize.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        } else {
            m_pLast = nullptr;
            m_nSize.store(0, std::memory_order_relaxed);
        }
        pNode->m_pPrev = nullptr;
        pNode->m_pNext = nullptr;
        return pNode;
    }

    /// Number of used nodes; read without a lock.
    unsigned int getSize() const { return m_nSize.load(std::memory_order_relaxed); }
    /// Number of free nodes (never 0); read without a lock.
    unsigned int getFreeSize() const { return m_nFreeSize.load(std::memory_order_relaxed); }

private:
    /// A library lock policy is taken as an internal region (qvLocks.h): on Windows no thread is
    /// stopped or killed holding it. No element is constructed or destroyed under it.
    typedef qvSynchDetail::RegionLock<LockPolicy> Guard;

    /// Under m_PoolLock: detaches the first free node; pFresh (when not null) joins the pool
    /// first, so that the pool keeps at least one node.
    Node* detachFirstFree(Node* pFresh)
    {
        if (pFresh)
            appendFree(pFresh);
        Node* pNode = m_pFirstFree;
        m_pFirstFree = pNode->m_pNext;
        m_pFirstFree->m_pPrev = nullptr;
        m_nFreeSize.store(m_nFreeSize.load(std::memory_order_relaxed) - 1,
                          std::memory_order_relaxed);
        pNode->m_pPrev = nullptr;
        pNode->m_pNext = nullptr;
        return pNode;
    }

    /// Under m_PoolLock: appends a node to the pool.
    void appendFree(Node* pNode)
    {
        pNode->m_pPrev = m_pLastFree;
        pNode->m_pNext = nullptr;
        m_pLastFree->m_pNext = pNode;
        m_pLastFree = pNode;
        m_nFreeSize.store(m_nFreeSize.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
    }

    static void freeChain(Node* pNode)
    {
        while (pNode) {
            Node* pNext = pNode->m_pNext;
            delete pNode;
            pNode = pNext;
        }
    }

    LockPolicy m_ListLock;
    LockPolicy m_PoolLock;
    Node* m_pFirst;
    Node* m_pLast;
    Node* m_pFirstFree;
    Node* m_pLastFree;
    /// Written under their locks; atomic so that the lock-free readers see whole values.
    std::atomic<std::uint32_t> m_nSize;
    std::atomic<std::uint32_t> m_nFreeSize;
};

#endif
