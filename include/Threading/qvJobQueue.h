#ifndef QV_JOBQUEUE_H
#define QV_JOBQUEUE_H

/// \file

/// \class qvJobQueue
/// qvJobQueue: the first-in, first-out queue of one thread-team member. A job is a start
/// function, its untyped argument and a job id (0 for jobs of a plain team). Any thread may add
/// jobs; the member's own thread takes them one at a time, blocking while the queue is empty.
///
/// - Capacity: at most MAXIMUM_WAITING_JOBS (32767) jobs wait in one queue at a time, or fewer
///   when the owner sets a lower limit before the queue is used (setMaximumWaitingJobs). A job
///   that would exceed it is refused (tryAddJob() returns false, addJob() throws), never dropped.
/// - Callable jobs: a job may carry an object of its own (a callable), which the adder moves or
///   copies into the job's node (NewJob::m_pPlace): no allocation for objects of up to
///   INLINE_CALLABLE_SIZE bytes aligned to at most INLINE_CALLABLE_ALIGNMENT. The adder first
///   reserves a node and a place within the capacity, under its lock, then builds the object
///   with no lock held (the object's constructor may block, throw or add jobs to this queue), and
///   then links the job; a queue without room builds nothing. The object stays in the node until
///   the taker takes its next job, so only a queue with a sole taker may carry such jobs, and the
///   taker runs (or discards) each before it takes the next. A job that is never run is discarded
///   (NewJob::m_pDiscard) by the taker that drops it, or by the destructor for jobs still
///   waiting.
/// - Counts: the taker counts each job it has finished (countJobDone); the queue is idle when
///   every job added has been counted so, and getLoad() is the number of jobs waiting or being
///   run. A team uses them to place jobs on idle members and to wait until it is idle.
/// - Memory: jobs live in nodes that the queue recycles, SPARE_NODES + 1 (256) of them at first.
///   Adding and taking jobs allocates nothing while no more than 255 jobs wait at once; the 256th
///   waiting job makes the queue allocate one node, which it then keeps until it is destroyed.
/// - Order: jobs are taken strictly in the order in which they were added.
/// - Waiting: a taker that finds the queue empty sleeps on the semaphore and uses no processor
///   time until a job arrives; the semaphore first polls briefly, as long as polling has been
///   paying off for the taker's thread (a producer on another processor handing out jobs in
///   quick succession then seldom has to wake the taker from the kernel; one that shares the
///   taker's processor is not kept waiting by the poll).
///
/// How: the nodes form one singly linked chain, oldest first: the free nodes, then the last
/// taken node, then the waiting jobs. Adders append under m_AddLock and reuse free nodes from
/// the front of the chain; takers advance m_pFirst under m_TakeLock (a sole taker needs no lock
/// for it: getJobAsSoleTaker()). While jobs flow, the two sides share no lock and no counter:
/// adders write only their own fields and the nodes they fill, takers only theirs, each group on
/// cache lines of its own, so a job costs no atomic read-modify-write that the other side also
/// makes. A taker that finds the queue empty takes m_AddLock, and if there is still no job,
/// counts itself in m_nSleepers and then sleeps on m_Semaphore; an adder, under the same lock,
/// posts the semaphore only for a counted sleeper, so a busy queue never touches the semaphore.
///
/// Threads: addJob/tryAddJob from any number of threads; getJob normally from the member's own
/// thread only, but several takers also work (each takes a distinct job); getJobAsSoleTaker
/// only from a thread that no other taker of the queue runs beside. No thread waits on the
/// semaphore while it holds either lock.
///
/// Termination: a taker blocked in getJob() or getJobAsSoleTaker() may be terminated there
/// (qvThread::terminate: a cancellation on Linux, TerminateThread on Windows); it then leaves
/// without taking a job and without holding a lock. It stays counted as a sleeper, which costs a
/// later taker one needless wake-up, nothing more. On Windows neither lock is ever held by a
/// thread that qvThread's suspend() or terminate() stopped (they are internal regions,
/// qvLocks.h), so an adder killed in addJob() leaves the queue usable.
///
/// Failures: an allocation failure in addJob()/tryAddJob(), or an exception of a callable's
/// constructor, leaves the queue unchanged, its lock released and its free nodes as they were,
/// and goes on to the caller.
///
/// Lifetime: no thread may be inside an operation when the queue is destroyed. Jobs still queued
/// are dropped without being run.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "Threading/qvLocks.h"
#include "Threading/qvSemaphore.h"

class qvJobQueue
{
public:
    /// The most jobs that may wait in one queue.
    static constexpr unsigned int MAXIMUM_WAITING_JOBS = 32767;
    /// A new queue has SPARE_NODES + 1 nodes (see Memory).
    static constexpr unsigned int SPARE_NODES = 255;
    /// Callables of up to this size (and an alignment of at most INLINE_CALLABLE_ALIGNMENT) live
    /// in the job's node.
    static constexpr std::size_t INLINE_CALLABLE_SIZE = 48;
    /// The alignment of a node's callable storage: a fixed number, the same in every unit and on
    /// every platform (std::max_align_t's alignment is not: 32-bit MinGW gives 8 or 16 depending
    /// on the headers a unit includes first). Nodes are allocated with this alignment asked for.
    static constexpr std::size_t INLINE_CALLABLE_ALIGNMENT = 16;

    /// The job record; all fields zero by default. m_pDiscard, when set, destroys the job's
    /// argument if the job is dropped without being run.
    struct Job
    {
        long (*m_pThreadFunc)(void*) = nullptr; ///< The job's function; null for an empty job.
        void* m_pThreadData = nullptr;          ///< The argument m_pThreadFunc is called with.
        unsigned long m_nJobID = 0;             ///< The job's id (0 for jobs without one).
        void (*m_pDiscard)(void*) = nullptr;    ///< Destroys the argument of a job never run.
    };

    /// A job to add: the job record, and optionally a callable to place into the job's node.
    /// With m_pPlace set, the adder calls m_pPlace(pNodeStorage, m_pSource) with no lock held,
    /// once it has reserved room for the job (it constructs the callable there, from m_pSource,
    /// or a pointer to a copy of its own), and the job's argument becomes pNodeStorage;
    /// m_Job.m_pThreadData is then ignored. m_pPlace is called only for the add that succeeds.
    struct NewJob
    {
        Job m_Job; ///< The job; m_pThreadData is ignored when m_pPlace is set.
        /// Constructs the callable in the node's storage from m_pSource; null for a plain job.
        void (*m_pPlace)(void* pNodeStorage, void* pSource) = nullptr;
        void* m_pSource = nullptr; ///< What m_pPlace constructs the callable from.
    };

    /// Builds an empty queue with SPARE_NODES + 1 nodes. Throws the allocator's exception, having
    /// freed what it allocated.
    qvJobQueue() : m_Semaphore(0, static_cast<int>(MAXIMUM_WAITING_JOBS))
    {
        Node* pFirst = newNode();
        Node* pLast = pFirst;
        try {
            for (unsigned int n = 0; n < SPARE_NODES; ++n) {
                Node* pNode = newNode();
                pLast->m_pNext.store(pNode, std::memory_order_relaxed);
                pLast = pNode;
            }
        } catch (...) {
            freeChain(pFirst);
            throw;
        }
        // The last node stands for the last job taken; the ones before it are free.
        m_pFirstFree = pFirst;
        m_pFreeEnd = pLast;
        m_pLast = pLast;
        m_pFirst.store(pLast, std::memory_order_relaxed);
        m_nNodes.store(SPARE_NODES + 1, std::memory_order_relaxed);
    }

    /// Discards the jobs still waiting, then frees the nodes.
    ~qvJobQueue()
    {
        for (Node* pNode =
                 m_pFirst.load(std::memory_order_relaxed)->m_pNext.load(std::memory_order_relaxed);
             pNode; pNode = pNode->m_pNext.load(std::memory_order_relaxed)) {
            if (pNode->m_Job.m_pDiscard)
                pNode->m_Job.m_pDiscard(pNode->m_Job.m_pThreadData);
        }
        freeChain(m_pFirstFree);
    }

    qvJobQueue(const qvJobQueue&) = delete;
    qvJobQueue& operator=(const qvJobQueue&) = delete;

    /// Lowers the capacity to nMaximum jobs (1 to MAXIMUM_WAITING_JOBS; other values are
    /// clamped into that range). Only before the queue is used by other threads.
    ///@{
    void setMaximumWaitingJobs(unsigned int nMaximum)
    {
        m_nMaximumWaiting = nMaximum < 1                      ? 1
                            : nMaximum > MAXIMUM_WAITING_JOBS ? MAXIMUM_WAITING_JOBS
                                                              : nMaximum;
    }
    unsigned int getMaximumWaitingJobs() const { return m_nMaximumWaiting; }
    ///@}

    /// Appends a job unless the queue is full; returns whether it did.
    /// A taker woken by the new job finds it in the queue. Never blocks on the queue's
    /// semaphore; throws only the allocator's exception (see Failures).
    bool tryAddJob(long (*pThreadFunc)(void*), void* pThreadData, unsigned long id)
    {
        NewJob job;
        job.m_Job.m_pThreadFunc = pThreadFunc;
        job.m_Job.m_pThreadData = pThreadData;
        job.m_Job.m_nJobID = id;
        return tryAddJob(job);
    }

    /// As above, for a job that may carry a callable (see Callable jobs); throws what the
    /// callable's constructor throws, with nothing added.
    bool tryAddJob(const NewJob& job)
    {
        if (!job.m_pPlace) {
            Guard guard(m_AddLock);
            Node* pNode = reserveNode();
            if (!pNode)
                return false;
            pNode->m_Job = job.m_Job;
            return linkReserved(guard, pNode);
        }
        Node* pNode = nullptr;
        {
            Guard guard(m_AddLock);
            pNode = reserveNode();
            if (!pNode)
                return false;
            ++m_nReserved;
        }
        // The callable is built with no lock held: its constructor is the caller's code.
        try {
            job.m_pPlace(pNode->m_Storage, job.m_pSource);
        } catch (...) {
            Guard guard(m_AddLock);
            --m_nReserved;
            giveBackFreeNode(pNode);
            throw;
        }
        pNode->m_Job = job.m_Job;
        pNode->m_Job.m_pThreadData = pNode->m_Storage;
        Guard guard(m_AddLock);
        --m_nReserved;
        return linkReserved(guard, pNode);
    }

    /// As tryAddJob(), but a full queue throws std::length_error "Job queue is full.".
    void addJob(long (*pThreadFunc)(void*), void* pThreadData, unsigned long id)
    {
        if (!tryAddJob(pThreadFunc, pThreadData, id))
            throw std::length_error("Job queue is full.");
    }

    /// The taker has finished running (or has dropped) a job it took: counts it, so that the
    /// queue can be seen idle. Only the taker calls it, once per job taken. Sequentially
    /// consistent, so that the caller may then look for threads waiting for the queue to be idle.
    void countJobDone()
    {
        m_nDone.store(m_nDone.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
    }

    /// Jobs added and not yet counted done: waiting or being run. A hint read without a lock.
    unsigned int getLoad() const
    {
        // Done first: the count added later is at least as large.
        const std::uint32_t nDone = m_nDone.load(std::memory_order_seq_cst);
        const std::int32_t nLoad =
            static_cast<std::int32_t>(m_nAdded.load(std::memory_order_seq_cst) - nDone);
        return nLoad > 0 ? static_cast<unsigned int>(nLoad) : 0u;
    }

    /// Both counts for an idle check: the queue was idle at the moment between the two reads
    /// when they are equal (done is read first; added never falls below it).
    void getCounts(std::uint32_t& nDone, std::uint32_t& nAdded) const
    {
        nDone = m_nDone.load(std::memory_order_seq_cst);
        nAdded = m_nAdded.load(std::memory_order_seq_cst);
    }

    /// Takes the oldest job if there is one: copies its function, argument and id into the
    /// out-parameters and returns true. Returns false at once, leaving them untouched, when the
    /// queue is empty. Never blocks on the semaphore.
    bool tryGetJob(long (*&pThreadFunc)(void*), void*& pThreadData, unsigned long& id)
    {
        Job job;
        return copyOut(tryGetJob(job), job, pThreadFunc, pThreadData, id);
    }
    /// As above, with the whole job record (also its discard function).
    bool tryGetJob(Job& job)
    {
        Guard guard(m_TakeLock);
        return takeFirst(job);
    }

    /// Blocks without time limit until there is a job, takes the oldest one as tryGetJob() does
    /// and returns true. Returns false and leaves the out-parameters untouched when it finds the
    /// queue empty and a wakeTaker() that no taker has used yet.
    bool getJob(long (*&pThreadFunc)(void*), void*& pThreadData, unsigned long& id)
    {
        Job job;
        return copyOut(waitForJob<false>(job), job, pThreadFunc, pThreadData, id);
    }

    /// As getJob(), for a caller that is the only thread taking jobs from this queue, which then
    /// takes them without a lock: no other thread may be inside getJob(), tryGetJob() or
    /// getJobAsSoleTaker() of this queue meanwhile (a team's member and its own queue).
    bool getJobAsSoleTaker(long (*&pThreadFunc)(void*), void*& pThreadData, unsigned long& id)
    {
        Job job;
        return copyOut(waitForJob<true>(job), job, pThreadFunc, pThreadData, id);
    }

    /// As getJobAsSoleTaker(), with the whole job record (also its discard function).
    bool getJobAsSoleTaker(Job& job) { return waitForJob<true>(job); }

    /// Lets one taker that waits in getJob(), or the next one to find the queue empty there,
    /// return false without a job: how a team ends a member that waits for work. Takes the
    /// adders' lock for a moment; never waits for a job and allocates nothing.
    void wakeTaker()
    {
        bool bWake = false;
        {
            Guard guard(m_AddLock);
            ++m_nWakes;
            bWake = wakeSleeper();
        }
        if (bWake)
            m_Semaphore.V();
    }

    /// A team's placement stamp of this queue: the team writes it when it adds a job here, to
    /// tell which queue it chose last. A hint, read and written without a lock.
    ///@{
    std::uint32_t getPlacementStamp() const
    {
        return m_nPlacementStamp.load(std::memory_order_relaxed);
    }
    void setPlacementStamp(std::uint32_t nStamp)
    {
        m_nPlacementStamp.store(nStamp, std::memory_order_relaxed);
    }
    ///@}

    /// Whether a job waits: a hint read without a lock, which only reads the link that the next
    /// adder writes (a taker may poll it without slowing adders down).
    bool hasWaitingJob() const
    {
        return m_pFirst.load(std::memory_order_acquire)->m_pNext.load(std::memory_order_acquire) !=
               nullptr;
    }

    /// Jobs queued and not yet taken (a job being run does not count). Read without a lock:
    /// a hint that may be stale by the time it is used.
    unsigned int getNumberOfJobs() const
    {
        // Taken first: the count added, read later, is at least as large (a job is counted
        // before it can be taken).
        const std::uint32_t nTaken = m_nTaken.load(std::memory_order_acquire);
        const std::int32_t nWaiting =
            static_cast<std::int32_t>(m_nAdded.load(std::memory_order_acquire) - nTaken);
        return nWaiting > 0 ? static_cast<unsigned int>(nWaiting) : 0u;
    }
    /// Nodes not holding a waiting job (256 for a new queue).
    unsigned int getNumberOfFreeNodes() const
    {
        return m_nNodes.load(std::memory_order_acquire) - getNumberOfJobs();
    }

private:
    static constexpr std::size_t CACHE_LINE = 64;

    struct Node
    {
        std::atomic<Node*> m_pNext{nullptr};
        Job m_Job;
        alignas(INLINE_CALLABLE_ALIGNMENT) unsigned char m_Storage[INLINE_CALLABLE_SIZE];
    };

    /// A node from memory of the node's alignment, asked for explicitly: a plain new may assume
    /// an alignment that the C library's allocator does not give (32-bit MinGW assumes 16 bytes
    /// where its malloc gives 8).
    static Node* newNode()
    {
        void* pMemory = ::operator new(sizeof(Node), std::align_val_t(alignof(Node)));
        return ::new (pMemory) Node();
    }
    static void deleteNode(Node* pNode)
    {
        pNode->~Node();
        ::operator delete(pNode, std::align_val_t(alignof(Node)));
    }

    /// The queue's locks are taken as internal regions (qvLocks.h): on Windows no thread is
    /// suspended or killed holding one. No callable is built or destroyed under them.
    typedef qvSynchDetail::RegionLock<qvSynch::LWLock> Guard;

    static void freeChain(Node* pNode)
    {
        while (pNode) {
            Node* pNext = pNode->m_pNext.load(std::memory_order_relaxed);
            deleteNode(pNode);
            pNode = pNext;
        }
    }

    /// Under m_AddLock: the oldest free node, or a new one when none is free (then nothing has
    /// changed if the allocation throws). The nodes before the last taken one are free; where
    /// that is, is read from the takers' side only when the free nodes seen so far are used up.
    Node* takeFreeNode()
    {
        if (m_pFirstFree == m_pFreeEnd) {
            m_pFreeEnd = m_pFirst.load(std::memory_order_acquire);
            if (m_pFirstFree == m_pFreeEnd) {
                Node* pNode = newNode();
                m_nNodes.store(m_nNodes.load(std::memory_order_relaxed) + 1,
                               std::memory_order_release);
                return pNode;
            }
        }
        Node* pNode = m_pFirstFree;
        m_pFirstFree = pNode->m_pNext.load(std::memory_order_relaxed);
        // The next add writes that node: have its line fetched in the meantime (with a deep
        // queue it has long left this processor's caches).
        prefetch(m_pFirstFree);
        return pNode;
    }

    /// Under m_AddLock: puts back a node that takeFreeNode() gave and that was not used, as the
    /// oldest free node (a new one too: it joins the free nodes).
    void giveBackFreeNode(Node* pNode)
    {
        pNode->m_pNext.store(m_pFirstFree, std::memory_order_relaxed);
        m_pFirstFree = pNode;
    }

    /// Under m_AddLock: a node for one more job, or null when the queue is full (the jobs
    /// waiting and the places reserved fill it). Throws the allocator's exception, having changed
    /// nothing.
    Node* reserveNode()
    {
        // Sequentially consistent, as the taker's count: a producer waiting for room registers
        // before it looks here, and the taker looks for such producers after it counts (see
        // qvThreadTeam).
        if (m_nAdded.load(std::memory_order_relaxed) + m_nReserved -
                m_nTaken.load(std::memory_order_seq_cst) >=
            m_nMaximumWaiting)
            return nullptr;
        return takeFreeNode();
    }

    /// Links a filled node as the newest job, under the guard of m_AddLock, which it lets go
    /// before waking a sleeping taker; returns true.
    bool linkReserved(Guard& guard, Node* pNode)
    {
        pNode->m_pNext.store(nullptr, std::memory_order_relaxed);
        // Counted before it is linked: a taker that polls the link may take and run the job at
        // once, and a job that runs must never be missing from the count (an idle check would
        // see the queue idle while it runs).
        m_nAdded.store(m_nAdded.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        m_pLast->m_pNext.store(pNode, std::memory_order_release);
        m_pLast = pNode;
        const bool bWake = wakeSleeper();
        guard.unlock();
        if (bWake)
            m_Semaphore.V();
        return true;
    }

    static void prefetch(const Node* pNode)
    {
#if defined(__GNUC__)
        if (pNode)
            __builtin_prefetch(pNode);
#else
        (void)pNode;
#endif
    }

    /// Takes the oldest job, if any; the caller is the only taker, or holds m_TakeLock.
    bool takeFirst(Job& job)
    {
        Node* pFirst = m_pFirst.load(std::memory_order_relaxed);
        Node* pNext = pFirst->m_pNext.load(std::memory_order_acquire);
        if (!pNext)
            return false;
        job = pNext->m_Job;
        // The next job's node was most likely written on another processor: have its line
        // fetched while this job runs.
        prefetch(pNext->m_pNext.load(std::memory_order_relaxed));
        // From here on adders may reuse pFirst: its job was copied when it was taken (and its
        // callable, if any, was run or discarded before this take).
        m_pFirst.store(pNext, std::memory_order_release);
        // Sequentially consistent: see tryAddJob().
        m_nTaken.store(m_nTaken.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
        return true;
    }

    /// The out-parameters of the calls that take a job as function, argument and id.
    static bool copyOut(bool bTaken, const Job& job, long (*&pThreadFunc)(void*),
                        void*& pThreadData, unsigned long& id)
    {
        if (bTaken) {
            pThreadFunc = job.m_pThreadFunc;
            pThreadData = job.m_pThreadData;
            id = job.m_nJobID;
        }
        return bTaken;
    }

    template <bool SOLE_TAKER>
    bool waitForJob(Job& job)
    {
        for (;;) {
            if (SOLE_TAKER ? takeFirst(job) : tryGetJob(job))
                return true;
            {
                // Under the adders' lock, no job can come between the look and the count: the
                // adder of the next one finds this taker counted and posts the semaphore.
                Guard guard(m_AddLock);
                if (hasJob())
                    continue;
                if (m_nWakes != 0) {
                    --m_nWakes;
                    return false;
                }
                ++m_nSleepers;
            }
            m_Semaphore.P();
        }
    }

    /// Under m_AddLock: whether a job waits. The count added is exact there; the count taken
    /// may lag behind another taker, which only sends this one round once more.
    bool hasJob() const
    {
        return static_cast<std::int32_t>(m_nAdded.load(std::memory_order_relaxed) -
                                         m_nTaken.load(std::memory_order_acquire)) > 0;
    }

    /// Under m_AddLock: claims one counted sleeper, whom the caller then posts the semaphore for
    /// (after releasing the lock).
    bool wakeSleeper()
    {
        if (m_nSleepers == 0)
            return false;
        --m_nSleepers;
        return true;
    }

    /// The adders' side.
    alignas(CACHE_LINE) qvSynch::LWLock m_AddLock;
    Node* m_pLast = nullptr;      ///< the newest node: the last job added, or the last one taken
    Node* m_pFirstFree = nullptr; ///< the oldest free node ...
    Node* m_pFreeEnd = nullptr;   ///< ... and the node after the last one known to be free
    std::atomic<std::uint32_t> m_nAdded{0};
    std::atomic<std::uint32_t> m_nNodes{0};
    std::uint32_t m_nMaximumWaiting = MAXIMUM_WAITING_JOBS;
    std::uint32_t m_nSleepers = 0; ///< takers counted for a post of m_Semaphore
    std::uint32_t m_nWakes = 0;    ///< wakeTaker() calls not yet used by a taker
    // Added later, after the older fields, so that those keep their places.
    std::uint32_t m_nReserved = 0; ///< room taken by adders that are building a callable
    std::atomic<std::uint32_t> m_nPlacementStamp{0}; ///< see getPlacementStamp()

    /// The takers' side. Adders read m_pFirst only when they run out of free nodes.
    alignas(CACHE_LINE) qvSynch::LWLock m_TakeLock;
    std::atomic<Node*> m_pFirst{nullptr}; ///< the last job taken; the oldest waiting job follows

    /// What adders read for every job and takers write: away from the takers' lock, so that an
    /// adder's read never takes that lock's line away.
    alignas(CACHE_LINE) std::atomic<std::uint32_t> m_nTaken{0};
    std::atomic<std::uint32_t> m_nDone{0}; ///< jobs the taker has finished (countJobDone)
    qvSynch::Semaphore m_Semaphore;
};

#endif
