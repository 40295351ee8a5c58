#ifndef QV_RCDATA_H
#define QV_RCDATA_H

/// \file

/// \class qvRCData
/// qvRCData: the intrusive reference-counting base. A derived object carries its own count and
/// is destroyed (through its virtual destructor, so the most derived class goes) by the unref()
/// that releases the last reference.
///
/// A new object has count 0, not 1: its creator takes the first reference with ref() like every
/// later holder. The destructor is protected, and derived classes keep theirs non-public too:
/// holders never delete such an object, they unref() it and forget the pointer.
///
/// Threads: the count is atomic, so holders on different threads may ref() and unref() one
/// object at the same time; the thread whose unref() releases the last reference destroys it,
/// after every other holder's earlier accesses. Keeping a reference while another thread may
/// release the last one is still the holders' affair.
///
/// Failures: unref() and unrefNoDelete() on a count of 0 violate "0 < m_nRefCount"; with
/// assertions on that aborts, naming the expression and this header. Without assertions,
/// unref() at count 0 destroys the object all the same, and unrefNoDelete() does nothing.

#include <atomic>
#include <cstdint>

#include "qvAssert.h"
#include "qvExport.h"

class QV_EXPORT qvRCData
{
public:
    qvRCData() : m_nRefCount(0) {}
    qvRCData(const qvRCData&) = delete;
    qvRCData& operator=(const qvRCData&) = delete;

    /// Takes one reference. No upper bound: the count is an unsigned 32-bit value.
    void ref() { m_nRefCount.fetch_add(1, std::memory_order_relaxed); }

    /// Releases one reference; destroys the object when that was the last one, or when the
    /// count was already 0 (an object created and never referenced goes with a single unref()).
    void unref()
    {
        QV_ASSERT(0 < m_nRefCount, "include/Memory/qvRCData.h");
        if (m_nRefCount.load(std::memory_order_acquire) == 0 ||
            m_nRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    /// Releases one reference but never destroys the object, even when the count reaches 0:
    /// the caller keeps responsibility for its end. Does nothing at count 0.
    void unrefNoDelete()
    {
        QV_ASSERT(0 < m_nRefCount, "include/Memory/qvRCData.h");
        std::uint32_t nCount = m_nRefCount.load(std::memory_order_relaxed);
        while (nCount > 0 &&
               !m_nRefCount.compare_exchange_weak(nCount, nCount - 1, std::memory_order_acq_rel,
                                                  std::memory_order_relaxed)) {
        }
    }

    /// The current count; may be stale by the time it is used when other threads hold references.
    unsigned int getRefCount() const { return m_nRefCount.load(std::memory_order_acquire); }

protected:
    virtual ~qvRCData();

private:
    std::atomic<std::uint32_t> m_nRefCount;
};

#endif
