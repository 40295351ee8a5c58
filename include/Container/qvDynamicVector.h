#ifndef QV_DYNAMICVECTOR_H
#define QV_DYNAMICVECTOR_H

/// \file

/// \class qvDynamicVector
/// qvDynamicVector<T, Policy>: an array of a fixed number of slots, every slot a live T, with
/// element access checked by debug assertions. The size is fixed at construction and changes
/// only by assignment. m_nLastElement marks the last slot in use (all bits set when none is);
/// both access checks are unsigned comparisons.
///
/// qvClassTypeHandlingPolicy handles class-type elements: slots are default-constructed when the
/// storage is allocated, copied by element-wise assignment and destroyed with the storage.
///
/// Threads: none; one thread at a time uses a vector.
/// Failures: operator[] checks "nPos <= m_nLastElement", then "nPos < m_nVectorSize" (assertion
/// naming this header). Allocation failure throws the allocator's exception; so does an element
/// copy that throws, and a copy or an assignment that fails that way leaves nothing behind (an
/// assignment leaves the target as it was). An exception raised while the elements are destroyed
/// is swallowed.

#include <utility>

#include "qvAssert.h"

/// The element policy of qvDynamicVector for class-type elements (see qvDynamicVector).
struct qvClassTypeHandlingPolicy
{
    /// nSize default-constructed elements; null for 0.
    template <class T>
    static T* allocate(unsigned int nSize)
    {
        return nSize ? new T[nSize] : nullptr;
    }

    /// Assigns the first nSize elements of pSource to those of pTarget, in order.
    template <class T>
    static void copy(T* pTarget, const T* pSource, unsigned int nSize)
    {
        for (unsigned int n = 0; n < nSize; ++n)
            pTarget[n] = pSource[n];
    }

    /// Destroys storage made by allocate().
    template <class T>
    static void release(T* pElements)
    {
        delete[] pElements;
    }
};

template <class T, class Policy>
class qvDynamicVector
{
public:
    /// getLastElement() when no slot is marked in use.
    static constexpr unsigned int NO_ELEMENT = 0xFFFFFFFFu;

    /// nSize default-constructed slots; all marked in use when bFilled, none otherwise.
    qvDynamicVector(unsigned int nSize, bool bFilled)
        : m_pElements(nullptr), m_nVectorSize(0), m_nLastElement(NO_ELEMENT)
    {
        m_pElements = Policy::template allocate<T>(nSize);
        m_nVectorSize = nSize;
        m_nLastElement = bFilled ? nSize - 1 : NO_ELEMENT;
    }

    /// Copies every slot, in use or not. If copying an element throws, the new storage is
    /// released before the exception leaves (no destructor runs for a failed constructor).
    qvDynamicVector(const qvDynamicVector& other)
        : m_pElements(nullptr), m_nVectorSize(0), m_nLastElement(NO_ELEMENT)
    {
        try {
            copyFrom(other);
        } catch (...) {
            releaseStorage();
            throw;
        }
    }

    /// Copies the source into new storage first, then exchanges it for the old storage and
    /// releases that. So a source that lives inside this vector's elements (an argument vector
    /// held by its own first argument: args = `*qvAnyCast<ArgumentVector>(args[0])`) is read whole
    /// before anything of it can be freed, and a failed copy leaves this vector as it was.
    /// Self-assignment changes nothing.
    qvDynamicVector& operator=(const qvDynamicVector& other)
    {
        if (&other != this) {
            qvDynamicVector copy(other);
            swap(copy);
        } // the old storage goes with copy: other may go with it and is not touched again
        return *this;
    }

    /// Exchanges the storage of two vectors; no element is copied.
    void swap(qvDynamicVector& other)
    {
        std::swap(m_pElements, other.m_pElements);
        std::swap(m_nVectorSize, other.m_nVectorSize);
        std::swap(m_nLastElement, other.m_nLastElement);
    }

    virtual ~qvDynamicVector() { releaseStorage(); }

    ///@{
    /// The slot at nPos, which must be in use and inside the vector (see Failures).
    T& operator[](unsigned int nPos)
    {
        QV_ASSERT(nPos <= m_nLastElement, "include/Container/qvDynamicVector.h");
        QV_ASSERT(nPos < m_nVectorSize, "include/Container/qvDynamicVector.h");
        return m_pElements[nPos];
    }

    const T& operator[](unsigned int nPos) const
    {
        QV_ASSERT(nPos <= m_nLastElement, "include/Container/qvDynamicVector.h");
        QV_ASSERT(nPos < m_nVectorSize, "include/Container/qvDynamicVector.h");
        return m_pElements[nPos];
    }
    ///@}

    /// The number of slots, in use or not.
    unsigned int getSize() const { return m_nVectorSize; }

    /// Index of the last slot in use; NO_ELEMENT when none is marked.
    unsigned int getLastElement() const { return m_nLastElement; }

private:
    void copyFrom(const qvDynamicVector& other)
    {
        m_pElements = Policy::template allocate<T>(other.m_nVectorSize);
        m_nVectorSize = other.m_nVectorSize;
        m_nLastElement = other.m_nLastElement;
        Policy::copy(m_pElements, other.m_pElements, m_nVectorSize);
    }

    void releaseStorage()
    {
        if (!m_pElements)
            return;
        try {
            Policy::release(m_pElements);
        } catch (...) {
        }
        m_pElements = nullptr;
        m_nVectorSize = 0;
        m_nLastElement = NO_ELEMENT;
    }

    T* m_pElements;
    unsigned int m_nVectorSize;
    unsigned int m_nLastElement;
};

#endif
