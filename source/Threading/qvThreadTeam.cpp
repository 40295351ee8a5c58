#include "Threading/qvThreadTeam.h"

#include <exception>
#include <stdexcept>

#include "Platform/AdaptiveSpin.h"
#include "Platform/Deadline.h"
#include "Platform/Futex.h"
#include "Platform/Thread.h"
#include "Platform/ThreadStorage.h"
#include "qvAssert.h"

namespace {

void wakeWaiters(std::atomic<std::uint32_t>& nChanges);

// The storage of the team member that the calling thread is, while it runs its loop; null on
// every other thread. Read by the thread itself only (isStopRequested and the waits of its jobs).
// A slot of the library's own rather than a C++ thread_local (see qvMainLoop.cpp); nothing is
// owned, so nothing is released when a thread ends.
void releaseNothing(void*) {}
qvPlatform::ThreadStorage& memberSlot()
{
    static qvPlatform::ThreadStorage s_Slot(&releaseNothing);
    return s_Slot;
}
qvThreadTeam::qvThreadTeamStorage* memberStorage()
{
    return static_cast<qvThreadTeam::qvThreadTeamStorage*>(memberSlot().get());
}

// Made when the library is loaded (see qvMainLoop.cpp's running-loop slot).
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool s_bMemberSlotMadeAtLoad = (memberSlot(), true);

} // namespace

// ---------------------------------------------------------------------------------------------
// qvThreadTeamStorage

qvThreadTeam::qvThreadTeamStorage::qvThreadTeamStorage(qvJobQueue* pJobQueue)
    : m_pJobQueue(pJobQueue), m_bStopped(false), m_pTeam(nullptr)
{
}

qvThreadTeam::qvThreadTeamStorage::~qvThreadTeamStorage()
{
    m_pJobQueue = nullptr;
}

long qvThreadTeam::qvThreadTeamStorage::processNextJob()
{
    qvJobQueue::Job job;
    if (!takeJobToRun(job))
        return 0;
    const long nResult = runJob(job);
    finishJob();
    return nResult;
}

bool qvThreadTeam::qvThreadTeamStorage::takeJobToRun(qvJobQueue::Job& job)
{
    if (!m_pJobQueue->getJobAsSoleTaker(job))
        return false;
    if (m_pTeam)
        m_pTeam->jobTaken();
    // A job taken after the team began to stop its members is dropped: the team is going away
    // and nobody may wait for its jobs any more.
    if (isStopped()) {
        if (job.m_pDiscard)
            job.m_pDiscard(job.m_pThreadData);
        return false;
    }
    return true;
}

void qvThreadTeam::qvThreadTeamStorage::finishJob()
{
    m_pJobQueue->countJobDone();
    if (m_pTeam)
        m_pTeam->jobFinished(*m_pJobQueue);
}

long qvThreadTeam::qvThreadTeamStorage::runJob(const qvJobQueue::Job& job)
{
    return job.m_pThreadFunc ? runJob(job.m_pThreadFunc, job.m_pThreadData) : 0;
}

long qvThreadTeam::qvThreadTeamStorage::runJob(long (*pThreadFunc)(void*), void* pThreadData)
{
    // A job that throws gives -1 and the member goes on; the forced unwinding of a cancelled
    // member goes on to the thread's start, the sanitizers' stack state cleaned up first.
    return qvPlatform::Thread::callCatchingExceptions(pThreadFunc, pThreadData);
}

// ---------------------------------------------------------------------------------------------
// qvThreadTeam

qvThreadTeam::qvThreadTeam(unsigned int nMembers) : qvThreadTeam(nMembers, PLACEMENT_FEWEST_WAITING)
{
}

qvThreadTeam::qvThreadTeam(unsigned int nMembers, Placement ePlacement,
                           unsigned int nMaximumWaitingJobs)
    : qvThreadTeam(nMembers, DeferredStart(), ePlacement, nMaximumWaitingJobs)
{
    try {
        createTeamMembers();
    } catch (...) {
        stopTeamMembers();
        throw;
    }
}

qvThreadTeam::qvThreadTeam(unsigned int nMembers, DeferredStart, Placement ePlacement,
                           unsigned int nMaximumWaitingJobs)
    : m_JobQueues(nMembers, true), m_TeamMembers(nMembers, true), m_TeamStorages(nMembers, true),
      m_ePlacement(ePlacement), m_nRoomWaiters(0), m_nRoomChanges(0), m_nIdleWaiters(0),
      m_nIdleChanges(0)
{
    for (unsigned int n = 0; n < m_TeamStorages.getSize(); ++n) {
        m_TeamStorages[n] = nullptr;
        m_JobQueues[n].setMaximumWaitingJobs(nMaximumWaitingJobs);
    }
}

qvThreadTeam::~qvThreadTeam()
{
    stopTeamMembers();
}

void qvThreadTeam::createTeamMembers()
{
    for (unsigned int n = 0; n < m_TeamMembers.getSize(); ++n)
        startTeamMember(n, new qvThreadTeamStorage(&m_JobQueues[n]));
}

void qvThreadTeam::startTeamMember(unsigned int nPosition, qvThreadTeamStorage* pStorage)
{
    QV_ASSERT(!m_TeamStorages[nPosition], "source/Threading/qvThreadTeam.cpp");
    m_TeamStorages[nPosition] = pStorage;
    pStorage->m_pTeam = this;
    qvTuple<qvThread*, qvThreadData*>& member = m_TeamMembers[nPosition];
    member.m_First = new qvThread();
    member.m_Second = new qvThreadData(&teamMemberLoop, pStorage);
    member.m_First->run(member.m_Second);
}

void qvThreadTeam::stopTeamMembers()
{
    const unsigned int nMembers = m_TeamMembers.getSize();
    // First keep every member from starting another job, and let jobs of this team that wait
    // for room or for idle in it give up; then end the members in parallel, and only then wait
    // for each.
    for (unsigned int n = 0; n < nMembers; ++n) {
        if (m_TeamStorages[n])
            m_TeamStorages[n]->stop();
    }
    if (m_nRoomWaiters.load(std::memory_order_seq_cst) != 0)
        wakeWaiters(m_nRoomChanges);
    if (m_nIdleWaiters.load(std::memory_order_seq_cst) != 0)
        wakeWaiters(m_nIdleChanges);
    for (unsigned int n = 0; n < nMembers; ++n) {
        qvThread* pThread = m_TeamMembers[n].m_First;
        if (!pThread)
            continue;
        // A member that was run (it gets its thread data just before) may be inside a job: it is
        // woken if it waits for one, and ends after the job it runs has returned. It is never
        // terminated: a job cut off anywhere (killed, or cancelled into an unwinding that meets
        // a noexcept destructor or a catch-all) would leave what it holds as it was or take the
        // process down. A member that never ran has no code of ours or the user's to run and is
        // simply ended.
        if (m_TeamMembers[n].m_Second != nullptr) {
            m_JobQueues[n].wakeTaker();
        } else {
            try {
                pThread->terminate();
            } catch (const std::runtime_error&) {
                // Refused only for a thread that has already gone; join() returns at once.
            }
        }
    }
    for (unsigned int n = 0; n < nMembers; ++n) {
        qvTuple<qvThread*, qvThreadData*>& member = m_TeamMembers[n];
        if (member.m_First) {
            member.m_First->join();
            delete member.m_First;
            member.m_First = nullptr;
        }
        delete member.m_Second;
        member.m_Second = nullptr;
        delete m_TeamStorages[n];
        m_TeamStorages[n] = nullptr;
    }
}

bool qvThreadTeam::isStopRequested()
{
    const qvThreadTeamStorage* pMember = memberStorage();
    return pMember && pMember->isStopped();
}

bool qvThreadTeam::isStoppingForCaller() const
{
    const qvThreadTeamStorage* pMember = memberStorage();
    return pMember && pMember->m_pTeam == this && pMember->isStopped();
}

void qvThreadTeam::createJob(long (*pThreadFunc)(void*), void* pThreadData)
{
    queueJob(pThreadFunc, pThreadData, 0);
}

bool qvThreadTeam::createJobWithin(unsigned long nMilliseconds, long (*pThreadFunc)(void*),
                                   void* pThreadData)
{
    qvJobQueue::NewJob job;
    job.m_Job.m_pThreadFunc = pThreadFunc;
    job.m_Job.m_pThreadData = pThreadData;
    return queueNewJobWithin(job, nMilliseconds);
}

void qvThreadTeam::queueJob(long (*pThreadFunc)(void*), void* pThreadData, unsigned long id)
{
    qvJobQueue::NewJob job;
    job.m_Job.m_pThreadFunc = pThreadFunc;
    job.m_Job.m_pThreadData = pThreadData;
    queueNewJob(job, id);
}

void qvThreadTeam::queueNewJob(qvJobQueue::NewJob job, unsigned long id)
{
    if (m_JobQueues.getSize() == 0)
        QV_ASSERT_TEXT("nPos < m_nVectorSize", "include/Container/qvDynamicVector.h");
    job.m_Job.m_nJobID = id;
    if (!tryQueueNewJob(job))
        throw std::length_error("Job queue is full.");
}

bool qvThreadTeam::tryQueueNewJob(const qvJobQueue::NewJob& job)
{
    const unsigned int nQueues = m_JobQueues.getSize();
    if (nQueues == 0)
        return false;
    const bool bIdleFirst = m_ePlacement == PLACEMENT_IDLE_FIRST;
    unsigned int nBest = 0;
    unsigned int nSmallest = 0xFFFFFFFFu;
    // An empty (or idle) queue is the first one with the fewest: the ones after it need not be
    // read (each read is of a count that another member keeps changing).
    for (unsigned int n = 0; n < nQueues && nSmallest != 0; ++n) {
        const unsigned int nCount =
            bIdleFirst ? m_JobQueues[n].getLoad() : m_JobQueues[n].getNumberOfJobs();
        // Idle-first breaks a tie between busy members by the one chosen last: with jobs posted
        // one at a time, that is the member whose job has just signalled the poster and is about
        // to end, where the lowest position may be a member deep in a long job.
        if (nCount < nSmallest ||
            (bIdleFirst && nCount == nSmallest &&
             static_cast<std::int32_t>(m_JobQueues[n].getPlacementStamp() -
                                       m_JobQueues[nBest].getPlacementStamp()) > 0)) {
            nSmallest = nCount;
            nBest = n;
        }
    }
    if (tryAddJobTo(nBest, job))
        return true;
    // The snapshot was stale or every queue is full: try the others before refusing.
    for (unsigned int n = 0; n < nQueues; ++n) {
        if (n != nBest && tryAddJobTo(n, job))
            return true;
    }
    return false;
}

bool qvThreadTeam::tryAddJobTo(unsigned int nQueue, const qvJobQueue::NewJob& job)
{
    try {
        if (!m_JobQueues[nQueue].tryAddJob(job))
            return false;
    } catch (...) {
        // A callable whose copy threw gave back the room it had reserved: a producer that found
        // the queue full meanwhile waits for room that no member will report.
        if (m_nRoomWaiters.load(std::memory_order_seq_cst) != 0)
            wakeWaiters(m_nRoomChanges);
        throw;
    }
    if (m_ePlacement == PLACEMENT_IDLE_FIRST) {
        // The newest stamp: one past every queue's (a hint; concurrent adders may tie).
        std::uint32_t nNewest = m_JobQueues[nQueue].getPlacementStamp();
        for (unsigned int n = 0; n < m_JobQueues.getSize(); ++n) {
            const std::uint32_t nStamp = m_JobQueues[n].getPlacementStamp();
            if (static_cast<std::int32_t>(nStamp - nNewest) > 0)
                nNewest = nStamp;
        }
        m_JobQueues[nQueue].setPlacementStamp(nNewest + 1);
    }
    return true;
}

// Waiting for an event of the members (room, idle) without a lock in their way: the waiter
// counts itself, reads the word the members advance, then looks at the queues; a member changes
// its queue's counts, then looks at the count of waiters, and advances and wakes the word if
// someone waits. All of these are sequentially consistent, so either the waiter's look sees
// the member's change, or the member sees the waiter counted and the waiter's sleep on the word
// read before the change returns at once.
namespace {

template <class Condition>
bool waitForMembers(std::atomic<std::uint32_t>& nWaiters, std::atomic<std::uint32_t>& nChanges,
                    unsigned long nMilliseconds, Condition condition)
{
    if (condition())
        return true;
    if (nMilliseconds == 0)
        return false;
    const qvPlatform::Deadline deadline(nMilliseconds);
    struct Counted
    {
        std::atomic<std::uint32_t>& m_nWaiters;
        explicit Counted(std::atomic<std::uint32_t>& nCount) : m_nWaiters(nCount)
        {
            m_nWaiters.fetch_add(1, std::memory_order_seq_cst);
        }
        ~Counted() { m_nWaiters.fetch_sub(1, std::memory_order_seq_cst); }
    } counted(nWaiters);
    for (;;) {
        const std::uint32_t nSeen = nChanges.load(std::memory_order_seq_cst);
        if (condition())
            return true;
        if (deadline.isInfinite()) {
            qvPlatform::futexWait(nChanges, nSeen);
        } else {
            const std::uint64_t nLeft = deadline.remainingNanoseconds();
            if (nLeft == 0)
                return false;
            qvPlatform::futexWaitFor(nChanges, nSeen, nLeft);
        }
    }
}

void wakeWaiters(std::atomic<std::uint32_t>& nChanges)
{
    nChanges.fetch_add(1, std::memory_order_seq_cst);
    qvPlatform::futexWakeAll(nChanges);
}

} // namespace

bool qvThreadTeam::queueNewJobWithin(const qvJobQueue::NewJob& job, unsigned long nMilliseconds)
{
    if (m_JobQueues.getSize() == 0)
        return false;
    bool bQueued = false;
    // A job of this team stops waiting once the team stops: its members take no more jobs.
    waitForMembers(m_nRoomWaiters, m_nRoomChanges, nMilliseconds, [this, &job, &bQueued] {
        bQueued = tryQueueNewJob(job);
        return bQueued || isStoppingForCaller();
    });
    return bQueued;
}

bool qvThreadTeam::waitUntilIdle(unsigned long nMilliseconds)
{
    bool bIdle = false;
    waitForMembers(m_nIdleWaiters, m_nIdleChanges, nMilliseconds, [this, &bIdle] {
        bIdle = isIdleNow();
        return bIdle || isStoppingForCaller();
    });
    return bIdle;
}

// Two passes over the queues: each pass sees every queue idle, and the sums of the jobs added
// are equal. The counts only grow, so no job was added anywhere between the passes, and at the
// moment between them every queue was idle at once. One pass alone could see a queue idle
// before a job still running elsewhere added a job to it, then that job's queue idle after it
// finished.
bool qvThreadTeam::isIdleNow() const
{
    std::uint32_t nFirst = 0;
    std::uint32_t nSecond = 0;
    return collectIdle(nFirst) && collectIdle(nSecond) && nFirst == nSecond;
}

bool qvThreadTeam::collectIdle(std::uint32_t& nAddedSum) const
{
    for (unsigned int n = 0; n < m_JobQueues.getSize(); ++n) {
        std::uint32_t nDone = 0;
        std::uint32_t nAdded = 0;
        m_JobQueues[n].getCounts(nDone, nAdded);
        if (nDone != nAdded)
            return false;
        nAddedSum += nAdded;
    }
    return true;
}

void qvThreadTeam::jobTaken()
{
    // The take's count was stored sequentially consistent (qvJobQueue::takeFirst).
    if (m_nRoomWaiters.load(std::memory_order_seq_cst) != 0)
        wakeWaiters(m_nRoomChanges);
}

void qvThreadTeam::jobFinished(const qvJobQueue& queue)
{
    // Only the member whose queue runs empty can have made the team idle; while its queue holds
    // a job, the end of that job comes with a look of its own.
    if (m_nIdleWaiters.load(std::memory_order_seq_cst) != 0 && !queue.hasWaitingJob())
        wakeWaiters(m_nIdleChanges);
}

unsigned int qvThreadTeam::getNumberOfTeamMembers() const
{
    return m_TeamMembers.getSize();
}

long qvThreadTeam::teamMemberLoop(void* pStorage)
{
    qvThreadTeamStorage* pMemberStorage = static_cast<qvThreadTeamStorage*>(pStorage);
    // Without a slot (out of slots) its jobs only never learn that the team stops.
    static_cast<void>(memberSlot().set(pMemberStorage));
    // A member that finds its queue empty watches it for a moment (as long as that pays off)
    // before its job step counts it as a sleeper: a job that comes meanwhile is taken without
    // its adder having to wake anyone.
    while (!pMemberStorage->isStopped()) {
        if (!pMemberStorage->hasWaitingJob())
            qvPlatform::AdaptiveSpin::waitBriefly([pMemberStorage] {
                return pMemberStorage->hasWaitingJob() || pMemberStorage->isStopped();
            });
        pMemberStorage->processNextJob();
    }
    static_cast<void>(memberSlot().set(nullptr));
    return 0;
}
