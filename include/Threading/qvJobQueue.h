#ifndef QV_JOBQUEUE_H
#define QV_JOBQUEUE_H

// qvJobQueue: the first-in, first-out queue of one thread-team member. A job is a start
// function, its untyped argument and a job id (0 for jobs of a plain team). Any thread may add
// jobs; the member's own thread takes them one at a time, blocking while the queue is empty.
//
// - Capacity: at most MAXIMUM_WAITING_JOBS (32767) jobs wait in one queue at a time. A job that
//   would exceed it is refused (tryAddJob() returns false, addJob() throws), never dropped.
// - Memory: jobs live in nodes recycled through a qvPoolList with SPARE_NODES (255) spare
//   nodes. Adding and taking jobs allocates nothing while no more than 255 jobs wait at once;
//   the 256th waiting job makes the pool allocate one node, which it then keeps.
// - Order: jobs are taken strictly in the order in which they were added.
// - Waiting: a taker that finds the queue empty watches it for a few microseconds (a bounded
//   number of processor pauses), then sleeps on the semaphore and uses no processor time until
//   a job arrives.
//
// Threads: addJob/tryAddJob from any number of threads; getJob normally from the member's own
// thread only, but several takers also work (each takes a distinct job). m_Lock serialises the
// list; m_Semaphore counts the jobs added and not yet claimed by a taker. An adder releases
// m_Lock before it counts the job, and a taker passes the semaphore before it takes m_Lock, so
// no thread waits on the semaphore while it holds the lock.
//
// Termination: a taker blocked in getJob() may be terminated there (qvThread::terminate: a
// cancellation on Linux, TerminateThread on Windows); it then leaves without taking a job and
// without holding the lock.
//
// Failures: an allocation failure in addJob()/tryAddJob() throws the allocator's exception and
// leaves the queue unchanged, its lock released and its pool non-empty.
//
// Lifetime: no thread may be inside an operation when the queue is destroyed. Jobs still queued
// are dropped without being run.

#include <atomic>
#include <stdexcept>

#include "Container/qvPoolList.h"
#include "Threading/qvLocks.h"
#include "Threading/qvSemaphore.h"

class qvJobQueue
{
public:
    static constexpr unsigned int MAXIMUM_WAITING_JOBS = 32767;
    static constexpr unsigned int SPARE_NODES = 255;

    // The job record; all fields zero by default.
    struct Job
    {
        long (*m_pThreadFunc)(void*) = nullptr;
        void* m_pThreadData = nullptr;
        unsigned long m_nJobID = 0;
    };

    qvJobQueue() : m_Jobs(SPARE_NODES), m_Semaphore(0, static_cast<int>(MAXIMUM_WAITING_JOBS)) {}
    qvJobQueue(const qvJobQueue&) = delete;
    qvJobQueue& operator=(const qvJobQueue&) = delete;

    // Appends a job unless MAXIMUM_WAITING_JOBS jobs already wait; returns whether it did.
    // A taker woken by the new job finds it in the list. Never blocks on the queue's
    // semaphore; throws only the allocator's exception (see Failures).
    bool tryAddJob(long (*pThreadFunc)(void*), void* pThreadData, unsigned long id)
    {
        {
            Guard guard(m_Lock);
            // The list holds every job not yet taken, so its length bounds the semaphore's
            // count: below the maximum here, the V() below cannot fail.
            if (m_Jobs.getSize() >= MAXIMUM_WAITING_JOBS)
                return false;
            JobList::Node* pNode = m_Jobs.takeFreeNode();
            pNode->m_Element.m_nJobID = id;
            pNode->m_Element.m_pThreadFunc = pThreadFunc;
            pNode->m_Element.m_pThreadData = pThreadData;
            m_Jobs.pushBack(pNode);
        }
        m_Semaphore.V();
        return true;
    }

    // As tryAddJob(), but a full queue throws std::length_error "Job queue is full.".
    void addJob(long (*pThreadFunc)(void*), void* pThreadData, unsigned long id)
    {
        if (!tryAddJob(pThreadFunc, pThreadData, id))
            throw std::length_error("Job queue is full.");
    }

    // Blocks without time limit until a job is counted, claims it and takes the oldest job:
    // copies its function, argument and id into the out-parameters and returns true. Returns
    // false and leaves them untouched if the list is empty all the same: after a wakeTaker().
    bool getJob(long (*&pThreadFunc)(void*), void*& pThreadData, unsigned long& id)
    {
        // A taker that finds the queue empty watches it briefly before it sleeps: a producer
        // that hands out jobs in quick succession then seldom has to wake it from the kernel.
        for (int n = 0; n < WATCH_BEFORE_SLEEP && m_Jobs.getSize() == 0; ++n)
            pauseProcessor();
        m_Semaphore.P();
        Guard guard(m_Lock);
        JobList::Node* pNode = m_Jobs.popFront();
        if (!pNode)
            return false;
        pThreadFunc = pNode->m_Element.m_pThreadFunc;
        pThreadData = pNode->m_Element.m_pThreadData;
        id = pNode->m_Element.m_nJobID;
        pNode->m_Element = Job();
        m_Jobs.returnFreeNode(pNode);
        return true;
    }

    // Lets one taker that waits in getJob(), or the next one to call it, return false without
    // a job: how a team ends a member that waits for work. Does nothing when the queue is full
    // (a taker then finds jobs and never waits). Never blocks and allocates nothing; must not
    // run while jobs are added.
    void wakeTaker()
    {
        {
            Guard guard(m_Lock);
            // The semaphore counts at most the listed jobs, so below the maximum here one more
            // unit fits.
            if (m_Jobs.getSize() >= MAXIMUM_WAITING_JOBS)
                return;
        }
        m_Semaphore.V();
    }

    // Jobs queued and not yet taken (a job being run does not count). Read without the lock:
    // a hint that may be stale by the time it is used.
    unsigned int getNumberOfJobs() const { return m_Jobs.getSize(); }
    // Free nodes in the pool (256 for a new queue).
    unsigned int getNumberOfFreeNodes() const { return m_Jobs.getFreeSize(); }

private:
    typedef qvPoolList<Job, qvSynch::NullLock> JobList;

    // Processor pauses (a few microseconds in all) an empty queue is watched before sleeping.
    static constexpr int WATCH_BEFORE_SLEEP = 100;

    static void pauseProcessor()
    {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield" ::: "memory");
#else
        std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
    }

    class Guard
    {
    public:
        explicit Guard(qvSynch::LWLock& lock) : m_Lock(lock) { m_Lock.acquire(); }
        ~Guard() { m_Lock.release(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        qvSynch::LWLock& m_Lock;
    };

    qvSynch::LWLock m_Lock;
    JobList m_Jobs;
    qvSynch::Semaphore m_Semaphore;
};

#endif
