#ifndef QV_JOINABLETHREADTEAM_H
#define QV_JOINABLETHREADTEAM_H

/// \file

/// \class qvJoinableThreadTeam
/// qvJoinableThreadTeam: the thread team (qvThreadTeam.h) with bookkeeping per job. createJob()
/// returns a job id, jobState() tells whether the job has finished, and join() blocks until one
/// job, or every job of a list, has finished. Queues, placement, capacity, callable jobs, waiting
/// for room or for idle, and the member loop are those of qvThreadTeam; see there, also for what
/// destruction does. createJobWithin() returns NO_JOB_ID for a job it could not queue in time,
/// and waitUntilIdle() returns when every job has finished and its joiners have been released.
///
/// Job ids run 1, 2, ..., 2147483646, then 0, 1, ... again; 2147483647 is never handed out.
/// Each job has an entry in a state table (JOB_PENDING while it waits or runs) and one in a
/// signal table (its completion signal); both exist before the job is queued, so no job can
/// finish before its entries exist.
///
/// Guarantees:
/// - jobState(id) is JOB_DONE from the moment the job's function has returned (or thrown), and
///   for every id without an entry (never handed out, refused, or long finished).
/// - join(id) returns once the job has finished, at once if it has already, and at once for an
///   id without an entry. When it returns, jobState(id) is already JOB_DONE.
/// - Any number of threads may join the same id; all of them return once the job has finished,
///   and the job's entry and signal are removed exactly once, by the last of them (or by the
///   member when nobody waits).
/// - A job that throws still finishes: its state turns to JOB_DONE and its joiners return; the
///   member goes on with its next job.
/// - A job refused because every queue is full (createJob throws std::length_error "Job queue is
///   full.") leaves no table entry; its id is used up.
/// Non-guarantees:
/// - join(ids) waits for the jobs one after another, in the order of the list.
/// - A job dropped by the team's destruction never finishes; nobody may be inside createJob(),
///   jobState() or join() when the team is destroyed.
/// - After the ids have wrapped around, a job that is still pending after 2147483647 further
///   jobs shares its entries with the new job of the same id.
///
/// Threads: createJob(), jobState(), join() and getNumberOfTeamMembers() may be called from any
/// threads at once, also from jobs (a job that joins a job queued behind it on its own member
/// waits for ever). Each table has its own lock; no lock is held while a job runs or while a
/// joiner waits, and no operation holds two of these locks at once.
///
/// Costs: each job costs one signal, one entry in each table and the locks around them.
/// Waiting joiners sleep on their job's signal; nothing polls.
///
/// Failures: as qvThreadTeam. createJob() throws std::length_error "Job queue is full." or the
/// allocator's exception with no entry left behind for the job.

#include <map>
#include <memory>
#include <new>

#include "Container/qvDCList.h"
#include "Threading/qvLocks.h"
#include "Threading/qvSignal.h"
#include "Threading/qvThreadTeam.h"
#include "qvExport.h"

/// Job id to the job's completion signal. An entry exists from registerJob() until the job has
/// finished and every thread that waited for it has woken up (or, without waiters, until the
/// job has finished). The table owns the signals.
///
/// Threads: every operation from any thread; m_Lock guards the map and is never held while a
/// thread waits.
class qvJobSignalTable
{
public:
    qvJobSignalTable() = default;
    ~qvJobSignalTable()
    {
        for (auto& entry : m_Signals)
            delete entry.second.m_pSignal;
    }
    qvJobSignalTable(const qvJobSignalTable&) = delete;
    qvJobSignalTable& operator=(const qvJobSignalTable&) = delete;

    /// Enters a new, not signalled signal for id; returns whether it did. An id that is still
    /// present keeps its entry. Throws the allocator's exception with the table unchanged.
    bool registerJob(unsigned long id)
    {
        // The signal is made and, when unused, destroyed inside the region too: no thread is
        // killed inside the allocator (whose lock would stay held for the whole process).
        Guard lock(m_Lock);
        std::unique_ptr<qvSynch::Signal> upSignal(new qvSynch::Signal(false));
        const bool bInserted = m_Signals.emplace(id, Entry{upSignal.get(), 0, false}).second;
        if (bInserted)
            static_cast<void>(upSignal.release()); // the table owns it now
        return bInserted;
    }

    /// The job has finished: wakes every thread waiting for it and leaves the entry to the last
    /// of them, or removes the entry when nobody waits. Nothing happens for an id without entry.
    void notifyJobDone(unsigned long id)
    {
        qvSynch::Signal* pToSignal = nullptr;
        {
            Guard lock(m_Lock);
            const auto itEntry = m_Signals.find(id);
            if (itEntry != m_Signals.end()) {
                if (itEntry->second.m_nWaiters > 0) {
                    itEntry->second.m_bDone = true;
                    pToSignal = itEntry->second.m_pSignal;
                } else {
                    // Freed in the region, as it was allocated.
                    delete itEntry->second.m_pSignal;
                    m_Signals.erase(itEntry);
                }
            }
        }
        // The waiters cannot remove the entry before the signal is set, and a set signal may be
        // destroyed by a waiter as soon as it can run.
        if (pToSignal)
            pToSignal->signal();
    }

    /// Blocks until the job has finished; returns at once for an id without entry or a job that
    /// has finished already. The waiter is counted in the entry under m_Lock, so the finishing
    /// job either sees it and signals, or has removed the entry before the lookup.
    void waitForJob(unsigned long id)
    {
        Guard lock(m_Lock);
        const auto itEntry = m_Signals.find(id);
        if (itEntry == m_Signals.end() || itEntry->second.m_bDone)
            return;
        ++itEntry->second.m_nWaiters;
        qvSynch::Signal* pSignal = itEntry->second.m_pSignal;
        lock.unlock();

        // wait(), not waitAndReset(): the signal stays set for every waiter, also for one that
        // has announced itself but not yet begun to wait.
        pSignal->wait();

        // The entry cannot have gone: it is removed only by its last waiter.
        Guard relock(m_Lock);
        if (--itEntry->second.m_nWaiters == 0) {
            m_Signals.erase(itEntry);
            delete pSignal; // freed in the region, as it was allocated
        }
    }

    /// Number of entries.
    unsigned int getSize()
    {
        Guard lock(m_Lock);
        return static_cast<unsigned int>(m_Signals.size());
    }

private:
    /// An internal region (qvLocks.h): on Windows no thread is stopped or killed holding m_Lock.
    typedef qvSynchDetail::RegionLock<qvSynch::LWLock> Guard;

    struct Entry
    {
        qvSynch::Signal* m_pSignal;
        /// Threads that announced they wait for the job and have not yet removed themselves.
        unsigned int m_nWaiters;
        /// Set when the job finished while threads waited; later joiners return at once.
        bool m_bDone;
    };

    qvSynch::LWLock m_Lock;
    std::map<unsigned long, Entry> m_Signals;
};

/// Job id to the job's state; an entry (always JOB_PENDING, 0) exists from registerJob() until
/// the job's function has returned.
///
/// Threads: every operation from any thread; m_Lock guards the map.
class qvJobStateTable
{
public:
    qvJobStateTable() = default;
    qvJobStateTable(const qvJobStateTable&) = delete;
    qvJobStateTable& operator=(const qvJobStateTable&) = delete;

    /// Enters (id, 0); returns whether it did. An existing entry stays. Throws the allocator's
    /// exception with the table unchanged.
    bool registerJob(unsigned long id)
    {
        Guard lock(m_Lock);
        return m_States.emplace(id, 0).second;
    }

    /// Removes the id's entry, if there is one.
    void removeJob(unsigned long id)
    {
        Guard lock(m_Lock);
        m_States.erase(id);
    }

    /// 0 while the id has an entry, 1 otherwise.
    int getJobState(unsigned long id)
    {
        Guard lock(m_Lock);
        const auto itEntry = m_States.find(id);
        return itEntry != m_States.end() ? itEntry->second : 1;
    }

    /// Number of entries.
    unsigned int getSize()
    {
        Guard lock(m_Lock);
        return static_cast<unsigned int>(m_States.size());
    }

private:
    /// An internal region (qvLocks.h): on Windows no thread is stopped or killed holding m_Lock.
    typedef qvSynchDetail::RegionLock<qvSynch::LWLock> Guard;

    qvSynch::LWLock m_Lock;
    std::map<unsigned long, int> m_States;
};

class QV_EXPORT qvJoinableThreadTeam : protected qvThreadTeam
{
public:
    /// jobState(): the job is queued or running.
    static constexpr int JOB_PENDING = 0;
    /// jobState(): the job has finished, or the id has no entry; see Guarantees.
    static constexpr int JOB_DONE = 1;
    /// The ids run from 0 to LAST_JOB_ID (the modulus is LAST_JOB_ID + 1).
    static constexpr unsigned long LAST_JOB_ID = 2147483646ul;
    /// Never handed out: what createJobWithin() returns for a job it did not queue.
    static constexpr unsigned long NO_JOB_ID = 2147483647ul;

    /// The placements of qvThreadTeam, chosen at construction.
    using qvThreadTeam::Placement;
    /// qvThreadTeam::PLACEMENT_FEWEST_WAITING, the default.
    static constexpr Placement PLACEMENT_FEWEST_WAITING = qvThreadTeam::PLACEMENT_FEWEST_WAITING;
    /// qvThreadTeam::PLACEMENT_IDLE_FIRST: an idle member first.
    static constexpr Placement PLACEMENT_IDLE_FIRST = qvThreadTeam::PLACEMENT_IDLE_FIRST;

    /// A member's job step: runs the job, then completes it in both tables.
    class QV_EXPORT qvJoinableThreadTeamStorage : public ::qvThreadTeam::qvThreadTeamStorage
    {
    public:
        /// The tables are the team's, not owned.
        qvJoinableThreadTeamStorage(qvJobQueue* pJobQueue, qvJobSignalTable* pSignalTable,
                                    qvJobStateTable* pStateTable);
        ~qvJoinableThreadTeamStorage() override;

        /// Waits for the next job and runs it; then (also when it threw) removes its state entry
        /// and notifies its joiners, in that order. A job taken after the member was stopped is
        /// dropped without being completed.
        long processNextJob() override;

    private:
        qvJobSignalTable* m_pSignalTable;
        qvJobStateTable* m_pStateTable;
    };

    /// Builds a team of nMembers members, all running this team's job step. Throws as
    /// qvThreadTeam's constructor, with every member started before stopped and released.
    explicit qvJoinableThreadTeam(unsigned int nMembers = 2);
    /// As above, with the placement of jobs and the capacity of each member's queue, as for
    /// qvThreadTeam.
    qvJoinableThreadTeam(unsigned int nMembers, Placement ePlacement,
                         unsigned int nMaximumWaitingJobs = qvJobQueue::MAXIMUM_WAITING_JOBS);
    /// Ends the members as qvThreadTeam's destructor does, then releases the tables (with the
    /// signals of all jobs still registered) and the queues.
    ~qvJoinableThreadTeam() override;

    /// Hands out the next id, enters it into both tables and queues the job. A null pThreadFunc
    /// queues an empty job, which finishes as soon as a member takes it. Throws
    /// std::length_error "Job queue is full." when every queue is full, or the allocator's
    /// exception; the job is then neither queued nor entered, and joiners of its id return.
    unsigned long createJob(long (*pThreadFunc)(void*), void* pThreadData);
    /// As above, for a callable job (qvThreadTeam.h, Callable jobs).
    template <class F>
    requires qvTeamDetail::JobCallable<F>
    unsigned long createJob(F&& function)
    {
        auto&& callable = qvTeamDetail::asCallable(std::forward<F>(function));
        return addJob(qvTeamDetail::describeJob<decltype(callable)>(callable), false, 0);
    }
    /// As createJob(), but while every queue is full it waits for room, at most nMilliseconds
    /// (qvWaitLimit.h). Returns the job's id, or NO_JOB_ID when it was not queued in time; the id
    /// it had drawn is then used up and its joiners return, as for a refused job.
    ///@{
    unsigned long createJobWithin(unsigned long nMilliseconds, long (*pThreadFunc)(void*),
                                  void* pThreadData);
    template <class F>
    requires qvTeamDetail::JobCallable<F>
    unsigned long createJobWithin(unsigned long nMilliseconds, F&& function)
    {
        auto&& callable = qvTeamDetail::asCallable(std::forward<F>(function));
        return addJob(qvTeamDetail::describeJob<decltype(callable)>(callable), true, nMilliseconds);
    }
    ///@}
    /// Waits until no job is queued or running (qvThreadTeam.h, Waiting for idle), at most
    /// nMilliseconds; returns whether the team was idle. No job id is needed.
    bool waitUntilIdle(unsigned long nMilliseconds = qvSynch::WAIT_INFINITE);
    /// JOB_PENDING or JOB_DONE, see Guarantees.
    int jobState(unsigned long id);
    /// Blocks without time limit until the job has finished; see Guarantees.
    void join(unsigned long id);
    /// join(id) for every id of the list, from first to last.
    void join(const qvDCList<unsigned long>& ids);

    /// The number of members the team was built with.
    unsigned int getNumberOfTeamMembers() const;
    /// The placement the team was built with.
    Placement getPlacement() const;
    /// Called from a job: whether the team that runs it is being destroyed, as
    /// qvThreadTeam::isStopRequested().
    static bool isStopRequested() { return qvThreadTeam::isStopRequested(); }

protected:
    void createTeamMembers() override;

    /// Draws an id, enters it into both tables and queues the job with it: as createJob()
    /// without bWaitForRoom, otherwise as createJobWithin() with nMilliseconds.
    unsigned long addJob(qvJobQueue::NewJob job, bool bWaitForRoom, unsigned long nMilliseconds);

    /// For tests of the id wrap-around: the next id handed out is (nLastJobID + 1) modulo
    /// 2147483647.
    void setLastJobID(unsigned long nLastJobID);

    qvSynch::LWLock m_JobIDLock;    ///< Guards m_nLastJobID.
    qvJobSignalTable m_SignalTable; ///< The joiners' signals of the jobs not finished.
    qvJobStateTable m_StateTable;   ///< The states of the jobs not finished.
    unsigned long m_nLastJobID;     ///< The id handed out last.
};

#endif
