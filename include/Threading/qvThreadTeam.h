#ifndef QV_THREADTEAM_H
#define QV_THREADTEAM_H

/// \file

/// \class qvThreadTeam
/// qvThreadTeam: a worker pool of a fixed number of threads, its members. createJob() hands it
/// a job (a start function and its untyped argument); the team puts the job into the job queue
/// of one member and that member's thread runs it. Jobs are fire-and-forget; qvJoinableThreadTeam
/// adds ids, states and join on top.
///
/// Placement, chosen at construction:
/// - PLACEMENT_FEWEST_WAITING (the default): a job goes to the member with the fewest waiting
///   jobs (jobs being run do not count), the lowest position among equal counts. With jobs posted
///   one at a time, every job goes to member 0 while all queues are empty, also when member 0 is
///   still running the previous job and the others are idle: such jobs run one after another.
///   Bursts spread over all members once member 0's queue holds a job.
/// - PLACEMENT_IDLE_FIRST: a job goes to the member with the fewest jobs waiting or running, the
///   lowest position among equal counts: an idle member first. Jobs posted one at a time start at
///   once while any member is idle; a burst spreads evenly, counting the jobs each member runs.
///   It reads one more counter per member than the default.
/// The counts are a lock-free snapshot, so concurrent callers may choose the same member. There
/// is no stealing of work, in either placement: each member runs the jobs of its own queue one
/// after another in the order they were queued (a job that another job holds up stays behind
/// it, also when another member becomes idle), while different members run in parallel.
///
/// Capacity: each member's queue holds at most qvJobQueue::MAXIMUM_WAITING_JOBS (32767) waiting
/// jobs, or the lower limit given at construction. When the chosen queue is full the other
/// queues are tried in order of position; only when every queue is full does createJob() refuse
/// the job, by throwing std::length_error "Job queue is full.". createJobWithin() instead waits
/// for room, up to a time limit: a producer faster than the team is held back, not refused.
/// A job is never dropped once createJob() or createJobWithin() has accepted it.
///
/// Callable jobs: createJob() and createJobWithin() also take any callable that can be called
/// without arguments (a lambda, a qvVoidFunctor, a function object); its result, if it converts
/// to long, is the job's result. The team keeps a copy (or the moved object) until the job has
/// run, then destroys it on the member's thread; a job dropped unrun (see Destruction) has its
/// copy destroyed too. A callable of up to qvJobQueue::INLINE_CALLABLE_SIZE (48) bytes is stored
/// in the job's queue node: queueing it allocates nothing beyond what copying it allocates (a
/// qvVoidFunctor's copy allocates its handler, as every Loki functor copy does). A larger one is
/// copied to the heap. The copy is made under the member queue's lock, so a callable's copy or
/// move must not add jobs to the same team.
///
/// Waiting for idle: waitUntilIdle() returns once no job is queued or running, at a moment when
/// that held for every member at once, also while jobs add jobs. It sleeps meanwhile: a member
/// wakes it when its queue runs empty. Jobs added after it has seen the team idle are not waited
/// for; one called from a job of the same team waits for its own job and so until its limit.
///
/// Costs: createJob() reads the members' counts in one pass (it stops at the first one whose
/// queue is empty); only when the chosen queue turns out to be full does it try the others in a
/// second. It allocates no memory while the chosen queue holds fewer than 256 waiting jobs. While
/// jobs flow, createJob() and the members write no lock or counter in common (see
/// qvJobQueue.h). A member whose queue runs empty watches it for as long as watching has been
/// paying off for its thread (at most some tens of microseconds), then sleeps on its queue's
/// semaphore and uses no processor time. Per job a member also counts it done and reads whether
/// a producer waits for room or a thread waits for idle (two counters that only those waiters
/// write); it wakes them only when there are such waiters.
///
/// Jobs that throw: a member catches every exception of a job, drops it, and goes on with the
/// next job (the job's result counts as -1). Jobs should still not throw: the exception is lost.
///
/// Ownership: the team owns its queues, its member threads, their thread data and their storage
/// objects. It never owns what a job's argument points to.
///
/// Threads: createJob(), createJobWithin(), waitUntilIdle() and getNumberOfTeamMembers() may be
/// called from any number of threads at once, also from jobs (a job that waits for room in its
/// own team waits for jobs that only the team's members run; it may wait until its limit). The
/// team must not be destroyed while another thread is inside one of them (nor from one of its
/// own jobs).
///
/// Destruction ends every member and returns only when no member can touch the team any more:
/// - no member starts another job once destruction has begun, and jobs still waiting in the
///   queues are dropped and never run;
/// - members waiting for a job (blocked on an empty queue) are woken and end at once;
/// - a member that is running a job: what the destructor waits for depends on the platform.
///   Linux: the member is cancelled; it ends at the job's next cancellation point (a blocking
///   POSIX call that is one, such as nanosleep, read or a condition wait, or any blocking
///   qvSynch::Semaphore::P), unwinding the job's stack, or else when the job returns; the
///   destructor waits for that, so a job that never returns and makes no such call keeps the
///   destructor waiting.
///   Windows: the destructor waits until the job returns. A thread is never killed while it may
///   run a job (TerminateThread would leave whatever the job holds, its locks included, as it
///   was), so a job that never returns keeps the destructor waiting; make long jobs watch a stop
///   flag of their own.
///
/// Failures: the constructor throws std::runtime_error "Could not create thread: <error>.\n"
/// (qvThread) when a member's thread cannot be created, or the allocator's exception; the members
/// started before are stopped and released before the exception leaves the constructor.
/// A team of 0 members has no queue: createJob() on it fires the debug assertion
/// "nPos < m_nVectorSize" (include/Container/qvDynamicVector.h) and, without assertions, throws
/// std::length_error "Job queue is full.".

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "Container/qvDynamicVector.h"
#include "Container/qvTuple.h"
#include "Threading/qvJobQueue.h"
#include "Threading/qvThread.h"
#include "Threading/qvWaitLimit.h"
#include "qvExport.h"

namespace qvTeamDetail {

/// Calls a job's callable; a result that converts to long is the job's result, otherwise 0.
template <class F>
long callJob(F& function)
{
    if constexpr (std::is_convertible_v<std::invoke_result_t<F&>, long>) {
        return static_cast<long>(function());
    } else {
        function();
        return 0;
    }
}

/// A callable job as the queue carries it: its start function runs the callable and destroys
/// it, also when it throws or its thread is cancelled; its discard function destroys it unrun.
/// A small callable is constructed in the job's node, under the queue's lock and only by the add
/// that succeeds; a larger one is copied to the heap beforehand and owned here until a queue
/// takes it.
template <class A>
class CallableJob
{
public:
    typedef std::decay_t<A> F;
    // Both comparisons are constants in an instantiation, which is the point; the check takes a
    // constant comparison for a redundant one.
    // NOLINTBEGIN(misc-redundant-expression)
    static constexpr bool IN_NODE =
        sizeof(F) <= qvJobQueue::INLINE_CALLABLE_SIZE && alignof(F) <= alignof(std::max_align_t);
    // NOLINTEND(misc-redundant-expression)

    explicit CallableJob(A&& function) : m_pSource(std::addressof(function)), m_pOnHeap(nullptr)
    {
        if constexpr (!IN_NODE) {
            void* pMemory = allocate();
            try {
                m_pOnHeap = ::new (pMemory) F(std::forward<A>(function));
            } catch (...) {
                deallocate(pMemory);
                throw;
            }
        }
    }
    ~CallableJob()
    {
        if (m_pOnHeap)
            deleteFromHeap(m_pOnHeap);
    }
    CallableJob(const CallableJob&) = delete;
    CallableJob& operator=(const CallableJob&) = delete;

    qvJobQueue::NewJob describe() const
    {
        qvJobQueue::NewJob job;
        job.m_Job.m_pThreadFunc = &run;
        job.m_Job.m_pDiscard = IN_NODE ? &destroy : &deleteFromHeap;
        if constexpr (IN_NODE) {
            job.m_pPlace = &place;
            job.m_pSource = const_cast<void*>(static_cast<const void*>(m_pSource));
        } else {
            job.m_Job.m_pThreadData = m_pOnHeap;
        }
        return job;
    }
    /// A queue has taken the job: it owns the callable now.
    void queued() { m_pOnHeap = nullptr; }

private:
    static long run(void* pFunction)
    {
        struct Release
        {
            F* m_pFunction;
            ~Release() { IN_NODE ? destroy(m_pFunction) : deleteFromHeap(m_pFunction); }
        } release{static_cast<F*>(pFunction)};
        return callJob(*release.m_pFunction);
    }
    static void destroy(void* pFunction) { static_cast<F*>(pFunction)->~F(); }
    static void deleteFromHeap(void* pFunction)
    {
        static_cast<F*>(pFunction)->~F();
        deallocate(pFunction);
    }
    /// A callable aligned beyond std::max_align_t gets memory of its alignment asked for
    /// explicitly: a plain new of it may rely on an alignment that the C library's allocator does
    /// not give (32-bit MinGW assumes 16 bytes where its malloc gives 8).
    static constexpr bool OVER_ALIGNED = alignof(F) > alignof(std::max_align_t);
    static void* allocate()
    {
        if constexpr (OVER_ALIGNED)
            return ::operator new(sizeof(F), std::align_val_t(alignof(F)));
        else
            return ::operator new(sizeof(F));
    }
    static void deallocate(void* pMemory)
    {
        if constexpr (OVER_ALIGNED)
            ::operator delete(pMemory, std::align_val_t(alignof(F)));
        else
            ::operator delete(pMemory);
    }
    static void place(void* pNodeStorage, void* pSource)
    {
        ::new (pNodeStorage) F(std::forward<A>(*static_cast<std::remove_reference_t<A>*>(pSource)));
    }

    const std::remove_reference_t<A>* m_pSource;
    F* m_pOnHeap;
};

} // namespace qvTeamDetail

class QV_EXPORT qvThreadTeam
{
public:
    /// What a member thread receives as the argument of its start function: the member's queue
    /// and its job step.
    class QV_EXPORT qvThreadTeamStorage
    {
    public:
        /// pJobQueue: the member's queue, not owned.
        explicit qvThreadTeamStorage(qvJobQueue* pJobQueue);
        virtual ~qvThreadTeamStorage();
        qvThreadTeamStorage(const qvThreadTeamStorage&) = delete;
        qvThreadTeamStorage& operator=(const qvThreadTeamStorage&) = delete;

        /// The member's job step: waits for the next job of its queue and runs it, unless the
        /// member has been stopped meanwhile. Returns the job's result (-1 when it threw, 0 when
        /// no job was run). Only the member's own thread calls it: it takes the job as the
        /// queue's sole taker (qvJobQueue::getJobAsSoleTaker).
        virtual long processNextJob();

        /// Marks the member as stopped: it runs no further job and its loop ends after the
        /// current step. Called by the team when it is destroyed.
        void stop() { m_bStopped.store(true, std::memory_order_release); }
        /// Whether stop() has run.
        bool isStopped() const { return m_bStopped.load(std::memory_order_acquire); }

        /// Whether a job waits in the member's queue: a hint read without a lock.
        bool hasWaitingJob() const { return m_pJobQueue->hasWaitingJob(); }

    protected:
        /// Calls the job and returns its result; an exception of the job is dropped and gives
        /// -1. The unwinding of a cancelled thread passes through.
        static long runJob(long (*pThreadFunc)(void*), void* pThreadData);
        /// As above, for a taken job (an empty one gives 0).
        static long runJob(const qvJobQueue::Job& job);

        /// The job step's parts, for a derived step: takeJobToRun() waits for the next job of
        /// the queue and takes it; it returns false when woken to stop, or when the job came
        /// after the member was stopped (it then drops it, destroying a callable job's object
        /// unrun). A taken job is run with runJob() and counted with finishJob() once
        /// everything the step does for it is done.
        ///@{
        bool takeJobToRun(qvJobQueue::Job& job);
        void finishJob();
        ///@}

        qvJobQueue* m_pJobQueue; ///< The member's queue, the team's (not owned).

    private:
        friend class qvThreadTeam;

        std::atomic<bool> m_bStopped;
        /// The team that started the member (set by startTeamMember), told of each job taken and
        /// finished; null for a storage used without a team.
        qvThreadTeam* m_pTeam;
    };

    /// Where createJob() puts a job, chosen at construction (see Placement).
    enum Placement
    {
        PLACEMENT_FEWEST_WAITING, ///< the default: fewest waiting jobs (see Placement)
        PLACEMENT_IDLE_FIRST      ///< fewest waiting or running jobs: an idle member first
    };

    /// Builds a team of nMembers members, all started and blocked on their empty queues when
    /// the constructor returns. Throws as described under Failures.
    explicit qvThreadTeam(unsigned int nMembers = 2);
    /// As above, with the placement of jobs and the capacity of each member's queue
    /// (nMaximumWaitingJobs, clamped into 1 to qvJobQueue::MAXIMUM_WAITING_JOBS).
    qvThreadTeam(unsigned int nMembers, Placement ePlacement,
                 unsigned int nMaximumWaitingJobs = qvJobQueue::MAXIMUM_WAITING_JOBS);
    /// Ends the members and releases everything, as described above.
    virtual ~qvThreadTeam();
    qvThreadTeam(const qvThreadTeam&) = delete;
    qvThreadTeam& operator=(const qvThreadTeam&) = delete;

    /// Queues a job (id 0) on one member, see Distribution and Capacity. A null pThreadFunc
    /// queues an empty job: nothing is called. Throws std::length_error "Job queue is full." when
    /// every queue is full, or the allocator's exception; the job is then not queued.
    void createJob(long (*pThreadFunc)(void*), void* pThreadData);

    /// Queues a callable job (see Callable jobs); throws as createJob() above, with no copy of
    /// the callable kept.
    template <class F>
    void createJob(F&& function)
    {
        qvTeamDetail::CallableJob<F> job(std::forward<F>(function));
        queueNewJob(job.describe(), 0);
        job.queued();
    }

    /// As createJob(), but while every queue is full it waits for room, at most nMilliseconds
    /// (qvWaitLimit.h: WAIT_INFINITE waits without limit, 0 only tries). Returns whether the job
    /// was queued; one that was not has left nothing behind. Throws only the allocator's
    /// exception (or the callable's). A team without members never has room: false at once.
    ///@{
    bool createJobWithin(unsigned long nMilliseconds, long (*pThreadFunc)(void*),
                         void* pThreadData);
    template <class F>
    bool createJobWithin(unsigned long nMilliseconds, F&& function)
    {
        qvTeamDetail::CallableJob<F> job(std::forward<F>(function));
        if (!queueNewJobWithin(job.describe(), nMilliseconds))
            return false;
        job.queued();
        return true;
    }
    ///@}

    /// Waits until no job is queued or running in any member (see Waiting for idle), at most
    /// nMilliseconds (qvWaitLimit.h); returns whether the team was idle. A team without members
    /// is always idle.
    bool waitUntilIdle(unsigned long nMilliseconds = qvSynch::WAIT_INFINITE);

    /// The placement the team was built with.
    Placement getPlacement() const { return m_ePlacement; }

    /// The number of members the team was built with.
    unsigned int getNumberOfTeamMembers() const;

    /// The start function of every member thread: runs the job step of the storage it is given
    /// again and again until the member is stopped.
    static long teamMemberLoop(void* pStorage);

protected:
    struct DeferredStart
    {};

    /// Builds the queues and the empty member slots without starting any member: for a derived
    /// team, whose constructor then calls its own createTeamMembers() (and stopTeamMembers()
    /// if that throws).
    qvThreadTeam(unsigned int nMembers, DeferredStart,
                 Placement ePlacement = PLACEMENT_FEWEST_WAITING,
                 unsigned int nMaximumWaitingJobs = qvJobQueue::MAXIMUM_WAITING_JOBS);

    /// Creates, records and starts one member per position, each with a storage of this team's
    /// kind. Called once by the constructor of the constructed class.
    virtual void createTeamMembers();

    /// Creates, records and starts the member at nPosition with pStorage (taken over by the team
    /// at once, also when this throws).
    void startTeamMember(unsigned int nPosition, qvThreadTeamStorage* pStorage);

    /// Stops every member and releases its thread, thread data and storage (see Destruction).
    /// Returns when no member can touch the team any more. Safe to call more than once.
    void stopTeamMembers();

    /// Queues the job on the queue with the fewest waiting jobs (lowest position among equals),
    /// or, when that one is full, on the first queue by position that takes it. Throws
    /// std::length_error "Job queue is full." when none does.
    void queueJob(long (*pThreadFunc)(void*), void* pThreadData, unsigned long id);
    /// queueJob() for any job record with the given id; throws as queueJob().
    void queueNewJob(qvJobQueue::NewJob job, unsigned long id);
    /// Queues the job as queueJob() does, waiting up to nMilliseconds for room while every queue
    /// is full; returns whether it was queued.
    bool queueNewJobWithin(const qvJobQueue::NewJob& job, unsigned long nMilliseconds);

    /// Member i's queue; member i is the only thread that takes jobs from it (getJobAsSoleTaker),
    /// so a derived team may add jobs to it but never take any.
    qvDynamicVector<qvJobQueue, qvClassTypeHandlingPolicy> m_JobQueues;
    /// Member i's thread and thread data, owned; null until they are created.
    qvDynamicVector<qvTuple<qvThread*, qvThreadData*>, qvClassTypeHandlingPolicy> m_TeamMembers;
    /// Member i's storage, owned; null until it is created.
    qvDynamicVector<qvThreadTeamStorage*, qvClassTypeHandlingPolicy> m_TeamStorages;

private:
    /// Queues the job on the queue the placement chooses or, when that one is full, on the first
    /// by position with room; returns false when every queue is full.
    bool tryQueueNewJob(const qvJobQueue::NewJob& job);
    /// Whether every queue was idle at one moment during the call.
    bool isIdleNow() const;
    bool collectIdle(std::uint32_t& nAddedSum) const;
    /// Told by a member: a job was taken (room for a waiting producer) or finished (maybe the
    /// team is idle for a waiter).
    void jobTaken();
    void jobFinished(const qvJobQueue& queue);

    const Placement m_ePlacement;
    /// Producers waiting for room and threads waiting for idle, each counted while they wait, and
    /// the words they sleep on, which a member advances to wake them. Written only when someone
    /// waits; members read the counts after every job.
    std::atomic<std::uint32_t> m_nRoomWaiters;
    std::atomic<std::uint32_t> m_nRoomChanges;
    std::atomic<std::uint32_t> m_nIdleWaiters;
    std::atomic<std::uint32_t> m_nIdleChanges;
};

#endif
