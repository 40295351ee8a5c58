#ifndef QV_DCLIST_H
#define QV_DCLIST_H

/// \file

/// \class qvDCList
/// qvDCList<T>: a doubly linked list with a count, used as a queue and as an ordered sequence.
/// Appending, prepending and removing at either end take constant time; every element is a
/// heap node owned by the list, and copies never share nodes.
///
/// insert() supports the ends only: any position on an empty list, position 0 (front), any
/// non-zero position on a one-element list (back), and position getSize() (back). Any other
/// position returns false and changes nothing.
///
/// Threads: none; the structures holding a list guard it with their own locks.
/// Failures: allocation failure throws the allocator's exception; an exception while a new
/// node's value is copied frees the node and leaves the list as it was (a failed assignment too
/// leaves the target as it was).

#include <utility>

template <class T>
class qvDCList
{
public:
    /// A heap node of the list, owned by the list it is in: its value and its links.
    class Node
    {
    public:
        /// A node holding a copy of value, linked to nothing.
        explicit Node(const T& value) : m_pNext(nullptr), m_pPrev(nullptr), m_Value(value) {}
        /// Builds the value in place, for a node made outside any list and given to linkBack().
        template <class... Args>
        explicit Node(std::in_place_t, Args&&... args)
            : m_pNext(nullptr), m_pPrev(nullptr), m_Value(std::forward<Args>(args)...)
        {
        }
        /// The following node; null for the last one.
        Node* getNext() const { return m_pNext; }
        /// The preceding node; null for the first one.
        Node* getPrev() const { return m_pPrev; }

        Node* m_pNext; ///< The following node; null for the last one.
        Node* m_pPrev; ///< The preceding node; null for the first one.
        T m_Value;     ///< The element.
    };

    qvDCList() : m_nCount(0), m_pHead(nullptr), m_pTail(nullptr) {}

    /// Copies every element, in order; a failed copy frees what was copied and rethrows.
    qvDCList(const qvDCList& other) : m_nCount(0), m_pHead(nullptr), m_pTail(nullptr)
    {
        try {
            appendAll(other);
        } catch (...) {
            clear();
            throw;
        }
    }

    /// Copies the source's elements into a new chain first, then exchanges it for the old one,
    /// whose elements are removed from the back. So a source that lives inside this list's
    /// elements (forest = forest.getFront().children) is read whole before anything of it can be
    /// freed, and a failed copy leaves this list as it was. Self-assignment changes nothing.
    qvDCList& operator=(const qvDCList& other)
    {
        if (&other != this) {
            qvDCList copy(other);
            swap(copy);
        } // the old elements go with copy: other may go with them and is not touched again
        return *this;
    }

    virtual ~qvDCList() { clear(); }

    /// Inserts a copy of value at nPosition; see the class description for the positions
    /// taken. False, with nothing changed, for any other position.
    bool insert(const T& value, unsigned int nPosition)
    {
        if (m_nCount != 0 && nPosition == 0)
            linkFront(new Node(value));
        else if (m_nCount <= 1 || nPosition == m_nCount)
            linkBack(new Node(value));
        else
            return false;
        return true;
    }

    /// insert(value, getSize()): appends a copy of value.
    bool pushBack(const T& value) { return insert(value, m_nCount); }

    /// Appends a node made with new outside the list, which then owns it; nothing is copied or
    /// allocated, so a queue can build its elements before it takes its lock.
    void linkBack(Node* pNode)
    {
        pNode->m_pNext = nullptr;
        pNode->m_pPrev = m_pTail;
        if (m_pTail)
            m_pTail->m_pNext = pNode;
        else
            m_pHead = pNode;
        m_pTail = pNode;
        ++m_nCount;
    }

    /// Detaches the first node and hands it to the caller, who deletes it; null when empty.
    Node* unlinkFront()
    {
        Node* pNode = m_pHead;
        if (!pNode)
            return nullptr;
        m_pHead = pNode->m_pNext;
        if (m_pHead)
            m_pHead->m_pPrev = nullptr;
        else
            m_pTail = nullptr;
        pNode->m_pNext = nullptr;
        --m_nCount;
        return pNode;
    }

    /// Removes and destroys the first element; does nothing when the list is empty.
    void popFront() { delete unlinkFront(); }

    /// Removes and destroys the last element; does nothing when the list is empty.
    void popBack()
    {
        if (m_nCount == 0 || !m_pTail)
            return;
        Node* pNode = m_pTail;
        m_pTail = pNode->m_pPrev;
        if (m_pTail)
            m_pTail->m_pNext = nullptr;
        else
            m_pHead = nullptr;
        delete pNode;
        --m_nCount;
    }

    ///@{
    /// The first element; the list must not be empty.
    T& getFront() { return m_pHead->m_Value; }
    const T& getFront() const { return m_pHead->m_Value; }
    ///@}

    /// Whether the list holds no element.
    bool isEmpty() const { return m_nCount == 0; }
    /// The number of elements.
    unsigned int getSize() const { return m_nCount; }

    /// Exchanges the contents of two lists; no element is copied.
    void swap(qvDCList& other)
    {
        std::swap(m_nCount, other.m_nCount);
        std::swap(m_pHead, other.m_pHead);
        std::swap(m_pTail, other.m_pTail);
    }

    ///@{
    /// Walk from front to back: for (Node* p = list.getHead(); p; p = p->getNext()) ...
    Node* getHead() const { return m_pHead; }
    Node* getTail() const { return m_pTail; }
    ///@}

private:
    void linkFront(Node* pNode)
    {
        pNode->m_pPrev = nullptr;
        pNode->m_pNext = m_pHead;
        m_pHead->m_pPrev = pNode;
        m_pHead = pNode;
        ++m_nCount;
    }

    void appendAll(const qvDCList& other)
    {
        for (Node* pNode = other.m_pHead; pNode; pNode = pNode->m_pNext)
            pushBack(pNode->m_Value);
    }

    void clear()
    {
        while (m_nCount)
            popBack();
    }

    unsigned int m_nCount;
    Node* m_pHead;
    Node* m_pTail;
};

#endif
