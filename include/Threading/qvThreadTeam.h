#ifndef QV_THREADTEAM_H
#define QV_THREADTEAM_H

/// \file

/// \class qvThreadTeam
/// qvThreadTeam: a worker pool of a fixed number of threads, its members. createJob() hands it
/// a job (a start function and its untyped argument); the team puts the job into the job queue
/// of one member and that member's thread runs it. Jobs are fire-and-forget; qvJoinableThreadTeam
/// adds ids, states and join on top.
///
/// Distribution: a job goes to the member with the fewest waiting jobs (jobs being run do not
/// count), the lowest position among equal counts. The counts are a lock-free snapshot, so
/// concurrent callers may choose the same member. There is no stealing of work: each member runs
/// the jobs of its own queue one after another in the order they were queued, while different
/// members run in parallel.
///
/// Capacity: each member's queue holds at most qvJobQueue::MAXIMUM_WAITING_JOBS (32767) waiting
/// jobs. When the chosen queue is full the other queues are tried in order of position; only
/// when every queue is full does createJob() refuse the job, by throwing std::length_error
/// "Job queue is full.". A job is never dropped once createJob() has returned.
///
/// Costs: createJob() reads the members' counts in one pass (it stops at the first one whose
/// queue is empty); only when the chosen queue turns out to be full does it try the others in a
/// second. It allocates no memory while the chosen queue holds fewer than 256 waiting jobs. While
/// jobs flow, createJob() and the members write no lock or counter in common (see
/// qvJobQueue.h). A member whose queue runs empty watches it for as long as watching has been
/// paying off for its thread (at most some tens of microseconds), then sleeps on its queue's
/// semaphore and uses no processor time.
///
/// Jobs that throw: a member catches every exception of a job, drops it, and goes on with the
/// next job (the job's result counts as -1). Jobs should still not throw: the exception is lost.
///
/// Ownership: the team owns its queues, its member threads, their thread data and their storage
/// objects. It never owns what a job's argument points to.
///
/// Threads: createJob() and getNumberOfTeamMembers() may be called from any number of threads at
/// once, also from jobs. The team must not be destroyed while another thread is inside
/// createJob() (nor from one of its own jobs).
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

#include "Container/qvDynamicVector.h"
#include "Container/qvTuple.h"
#include "Threading/qvJobQueue.h"
#include "Threading/qvThread.h"
#include "qvExport.h"

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

        qvJobQueue* m_pJobQueue; ///< The member's queue, the team's (not owned).

    private:
        std::atomic<bool> m_bStopped;
    };

    /// Builds a team of nMembers members, all started and blocked on their empty queues when
    /// the constructor returns. Throws as described under Failures.
    explicit qvThreadTeam(unsigned int nMembers = 2);
    /// Ends the members and releases everything, as described above.
    virtual ~qvThreadTeam();
    qvThreadTeam(const qvThreadTeam&) = delete;
    qvThreadTeam& operator=(const qvThreadTeam&) = delete;

    /// Queues a job (id 0) on one member, see Distribution and Capacity. A null pThreadFunc
    /// queues an empty job: nothing is called. Throws std::length_error "Job queue is full." when
    /// every queue is full, or the allocator's exception; the job is then not queued.
    void createJob(long (*pThreadFunc)(void*), void* pThreadData);

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
    qvThreadTeam(unsigned int nMembers, DeferredStart);

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

    /// Member i's queue; member i is the only thread that takes jobs from it (getJobAsSoleTaker),
    /// so a derived team may add jobs to it but never take any.
    qvDynamicVector<qvJobQueue, qvClassTypeHandlingPolicy> m_JobQueues;
    /// Member i's thread and thread data, owned; null until they are created.
    qvDynamicVector<qvTuple<qvThread*, qvThreadData*>, qvClassTypeHandlingPolicy> m_TeamMembers;
    /// Member i's storage, owned; null until it is created.
    qvDynamicVector<qvThreadTeamStorage*, qvClassTypeHandlingPolicy> m_TeamStorages;
};

#endif
