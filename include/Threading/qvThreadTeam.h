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
///   member chosen last among equal counts (the lowest position when none was chosen yet): an
///   idle member first. Jobs posted one at a time start at once while any member is idle, also
///   when each is posted as soon as the one before has signalled from its body (its member, not
///   yet counted idle, was chosen last and takes the next job, never a member deep in a long job);
///   a burst spreads evenly, counting the jobs each member runs. It reads one more counter per
///   member than the default, and writes a stamp of the chosen queue.
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
/// copied to the heap (with its alignment asked for). The copy is made only once the chosen queue
/// has room for the job, and with no lock of the team held: the callable's copy or move may
/// block, throw (the job is then not queued) or add jobs to the same team. A job that is refused
/// (every queue full, or no room within the limit) leaves the caller's callable as it was, also
/// one given as an rvalue, so that it can be offered again. A callable that tests false (a null
/// function pointer, an empty std::function or qvVoidFunctor) is refused at the call with
/// std::invalid_argument "Job callable is empty.". A plain function may be given by name.
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
///   queues are dropped and never run (a callable job's copy is destroyed unrun);
/// - members waiting for a job (blocked on an empty queue) are woken and end at once;
/// - a member that is running a job is never terminated or cancelled, on either platform: the
///   destructor waits until the job returns. A job cut off in the middle would leave whatever
///   it holds (its locks included) as it was, or, unwound by a cancellation, take the process
///   down at a noexcept destructor or a catch-all. So a job that never returns keeps the
///   destructor waiting: a long job polls isStopRequested() and returns early once it is true.
///   A job of the team that waits in its own team's createJobWithin() or waitUntilIdle() stops
///   waiting (they return false) once destruction has begun.
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
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "Container/qvDynamicVector.h"
#include "Container/qvTuple.h"
#include "Threading/qvJobQueue.h"
#include "Threading/qvThread.h"
#include "Threading/qvWaitLimit.h"
#include "qvExport.h"

namespace qvTeamDetail {

/// What createJob() and createJobWithin() accept as a callable job: something callable without
/// arguments whose decayed copy can be made from the argument (a plain function included).
template <class F>
concept JobCallable = std::is_invocable_v < std::decay_t<F>
& > &&std::is_constructible_v<std::decay_t<F>, F>;

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

/// A plain function as a pointer to it; any other callable as it came.
template <class F>
decltype(auto) asCallable(F&& function)
{
    if constexpr (std::is_function_v<std::remove_reference_t<F>>)
        return &function;
    else
        return std::forward<F>(function);
}

/// A callable job as the queue carries it. The queue builds it (place) once it has room for the
/// job, with no lock held: a small callable in the job's node, a larger or more aligned one on
/// the heap with a pointer to it in the node. Until then the caller's object is untouched, so a
/// refused job leaves it as it was. The start function runs the callable and destroys it, also
/// when it throws or its thread is cancelled; the discard function destroys it unrun.
template <class A>
class CallableJob
{
public:
    typedef std::decay_t<A> F;
    typedef std::remove_reference_t<A> Source;
    // Both comparisons are constants in an instantiation, which is the point; the check takes a
    // constant comparison for a redundant one.
    // NOLINTBEGIN(misc-redundant-expression)
    static constexpr bool IN_NODE = sizeof(F) <= qvJobQueue::INLINE_CALLABLE_SIZE &&
                                    alignof(F) <= qvJobQueue::INLINE_CALLABLE_ALIGNMENT;
    // NOLINTEND(misc-redundant-expression)

    /// The job that builds its callable from function, which must live until the add returns.
    /// Throws std::invalid_argument "Job callable is empty." for a callable that tests false (a
    /// null function pointer, an empty std::function or qvVoidFunctor).
    static qvJobQueue::NewJob describe(Source& function)
    {
        if constexpr (std::is_constructible_v<bool, const Source&>) {
            if (!static_cast<bool>(function))
                throw std::invalid_argument("Job callable is empty.");
        }
        qvJobQueue::NewJob job;
        job.m_Job.m_pThreadFunc = &run;
        job.m_Job.m_pDiscard = &discard;
        job.m_pPlace = &place;
        job.m_pSource = const_cast<void*>(static_cast<const void*>(std::addressof(function)));
        return job;
    }

private:
    struct Release
    {
        F* m_pFunction;
        ~Release()
        {
            if constexpr (IN_NODE) {
                m_pFunction->~F();
            } else {
                m_pFunction->~F();
                deallocate(m_pFunction);
            }
        }
    };
    static F* callableIn(void* pNodeStorage)
    {
        if constexpr (IN_NODE)
            return static_cast<F*>(pNodeStorage);
        else
            return *static_cast<F**>(pNodeStorage);
    }
    static long run(void* pNodeStorage)
    {
        const Release release{callableIn(pNodeStorage)};
        return callJob(*release.m_pFunction);
    }
    static void discard(void* pNodeStorage) { const Release release{callableIn(pNodeStorage)}; }

    static void place(void* pNodeStorage, void* pSource)
    {
        Source& source = *static_cast<Source*>(pSource);
        if constexpr (IN_NODE) {
            ::new (pNodeStorage) F(std::forward<A>(source));
        } else {
            void* pMemory = allocate();
            try {
                ::new (pNodeStorage) F*(::new (pMemory) F(std::forward<A>(source)));
            } catch (...) {
                deallocate(pMemory);
                throw;
            }
        }
    }

    /// Memory of the callable's alignment, asked for explicitly beyond 8 bytes: a plain new may
    /// rely on an alignment that the C library's allocator does not give (32-bit MinGW assumes 16
    /// bytes where its malloc gives 8).
    static constexpr bool OVER_ALIGNED = alignof(F) > 8;
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
};

/// The queue's description of a callable job (see CallableJob).
template <class A>
qvJobQueue::NewJob describeJob(std::remove_reference_t<A>& function)
{
    return CallableJob<A>::describe(function);
}

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
        /// Sequentially consistent, as isStopped(): the team then looks for jobs waiting in its
        /// own calls, which count themselves before they look at the flag (see Destruction).
        void stop() { m_bStopped.store(true, std::memory_order_seq_cst); }
        /// Whether stop() has run.
        bool isStopped() const { return m_bStopped.load(std::memory_order_seq_cst); }

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

    /// Queues a job (id 0) on one member, see Placement and Capacity. A null pThreadFunc
    /// queues an empty job: nothing is called. Throws std::length_error "Job queue is full." when
    /// every queue is full, or the allocator's exception; the job is then not queued.
    void createJob(long (*pThreadFunc)(void*), void* pThreadData);

    /// Queues a callable job (see Callable jobs); throws as createJob() above, and
    /// std::invalid_argument "Job callable is empty." for a callable that tests false. A job
    /// refused or not queued for an exception leaves the callable as it was (also one given as
    /// an rvalue).
    template <class F>
    requires qvTeamDetail::JobCallable<F>
    void createJob(F&& function)
    {
        auto&& callable = qvTeamDetail::asCallable(std::forward<F>(function));
        queueNewJob(qvTeamDetail::describeJob<decltype(callable)>(callable), 0);
    }

    /// As createJob(), but while every queue is full it waits for room, at most nMilliseconds
    /// (qvWaitLimit.h: WAIT_INFINITE waits without limit, 0 only tries). Returns whether the job
    /// was queued; one that was not has left nothing behind. Throws only the allocator's
    /// exception (or the callable's). A team without members never has room: false at once.
    ///@{
    bool createJobWithin(unsigned long nMilliseconds, long (*pThreadFunc)(void*),
                         void* pThreadData);
    template <class F>
    requires qvTeamDetail::JobCallable<F>
    bool createJobWithin(unsigned long nMilliseconds, F&& function)
    {
        auto&& callable = qvTeamDetail::asCallable(std::forward<F>(function));
        return queueNewJobWithin(qvTeamDetail::describeJob<decltype(callable)>(callable),
                                 nMilliseconds);
    }
    ///@}

    /// Waits until no job is queued or running in any member (see Waiting for idle), at most
    /// nMilliseconds (qvWaitLimit.h); returns whether the team was idle. A team without members
    /// is always idle.
    bool waitUntilIdle(unsigned long nMilliseconds = qvSynch::WAIT_INFINITE);

    /// The placement the team was built with.
    Placement getPlacement() const { return m_ePlacement; }

    /// Called from a job: whether the team that runs it is being destroyed (see Destruction). A
    /// long job polls it and returns early, since the destructor waits for it. false on a thread
    /// that is not a member of a team. Reads a flag of the calling thread's own; never blocks.
    static bool isStopRequested();

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
    /// Queues the job on queue nQueue if it has room; records the choice for the placement.
    bool tryAddJobTo(unsigned int nQueue, const qvJobQueue::NewJob& job);
    /// Whether the calling thread is a member of this team that has been told to stop.
    bool isStoppingForCaller() const;
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
