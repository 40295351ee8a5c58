#ifndef QV_SCLIST_H
#define QV_SCLIST_H

/// \file

/// \class qvSCList
/// qvSCList<T>: a singly linked list with a count and no tail pointer, so appending walks the
/// list. Used to collect results (file names) that callers own and read.
///
/// insert(value, n): on an empty list any n succeeds; n == 0 prepends; n == getSize() appends;
/// any other n returns false and changes nothing.
///
/// Threads: none.
/// Failures: allocation failure throws the allocator's exception and leaves the list unchanged.

template <class T>
class qvSCList
{
public:
    /// A heap node of the list, owned by the list it is in: its value and its links.
    class Node
    {
    public:
        /// A node holding a copy of value, linked to nothing.
        explicit Node(const T& value) : m_pNext(nullptr), m_Value(value) {}
        /// The following node; null for the last one.
        Node* getNext() const { return m_pNext; }

        Node* m_pNext; ///< The following node; null for the last one.
        T m_Value;     ///< The element.
    };

    qvSCList() : m_nCount(0), m_pHead(nullptr) {}

    /// Copies every element, in order; a failed copy frees what was copied and rethrows.
    qvSCList(const qvSCList& other) : m_nCount(0), m_pHead(nullptr)
    {
        try {
            appendAll(other);
        } catch (...) {
            clear();
            throw;
        }
    }

    /// Copies the source into a new chain first, then exchanges it for the old one, so a failed
    /// copy leaves this list as it was. Self-assignment changes nothing.
    qvSCList& operator=(const qvSCList& other)
    {
        if (&other != this) {
            qvSCList copy(other);
            Node* pHead = m_pHead;
            unsigned int nCount = m_nCount;
            m_pHead = copy.m_pHead;
            m_nCount = copy.m_nCount;
            copy.m_pHead = pHead;
            copy.m_nCount = nCount;
        }
        return *this;
    }

    ~qvSCList() { clear(); }

    /// Inserts a copy of value at nPosition; see the class description for the positions
    /// taken. False, with nothing changed, for any other position.
    bool insert(const T& value, unsigned int nPosition)
    {
        if (!m_pHead) {
            m_pHead = new Node(value);
        } else if (nPosition != 0) {
            if (nPosition != m_nCount)
                return false;
            Node* pLast = m_pHead;
            while (pLast->m_pNext)
                pLast = pLast->m_pNext;
            pLast->m_pNext = new Node(value);
        } else {
            Node* pNode = new Node(value);
            pNode->m_pNext = m_pHead;
            m_pHead = pNode;
        }
        ++m_nCount;
        return true;
    }

    /// insert(value, getSize()): appends a copy of value.
    bool pushBack(const T& value) { return insert(value, m_nCount); }

    /// Whether the list holds no element.
    bool isEmpty() const { return m_nCount == 0; }
    /// The number of elements.
    unsigned int getSize() const { return m_nCount; }

    /// Walk from front to back: for (Node* p = list.getHead(); p; p = p->getNext()) ...
    Node* getHead() const { return m_pHead; }

    /// Removes and destroys every element.
    void clear()
    {
        while (m_pHead) {
            Node* pNode = m_pHead;
            m_pHead = pNode->m_pNext;
            delete pNode;
        }
        m_nCount = 0;
    }

private:
    void appendAll(const qvSCList& other)
    {
        Node** ppLink = &m_pHead;
        for (Node* pNode = other.m_pHead; pNode; pNode = pNode->m_pNext) {
            *ppLink = new Node(pNode->m_Value);
            ppLink = &(*ppLink)->m_pNext;
            ++m_nCount;
        }
    }

    unsigned int m_nCount;
    Node* m_pHead;
};

#endif
