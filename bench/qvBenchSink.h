#ifndef QV_BENCHSINK_H
#define QV_BENCHSINK_H

// Shared by the benchmark programs that time batches of jobs on a pool: each job reports to the
// sink, and the thread that queued the batch waits until the last one has.

#include <atomic>

// Where the jobs of one batch report; the last one wakes the producer.
struct Sink
{
    std::atomic<long> m_nDone{0};
    long m_nTarget = 0;
    std::atomic<int> m_nAllDone{0};

    void reset(long nTarget)
    {
        m_nDone.store(0);
        m_nTarget = nTarget;
        m_nAllDone.store(0);
    }
    void finishOne()
    {
        if (m_nDone.fetch_add(1, std::memory_order_acq_rel) + 1 == m_nTarget) {
            m_nAllDone.store(1, std::memory_order_release);
            m_nAllDone.notify_one();
        }
    }
    void waitAll()
    {
        while (m_nAllDone.load(std::memory_order_acquire) == 0)
            m_nAllDone.wait(0, std::memory_order_acquire);
    }
};

#endif
