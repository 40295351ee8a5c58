#include "Threading/qvThreadTeam.h"

#include <exception>
#include <stdexcept>

#include "Platform/AdaptiveSpin.h"
#include "Platform/Thread.h"
#include "qvAssert.h"

// ---------------------------------------------------------------------------------------------
// qvThreadTeamStorage

qvThreadTeam::qvThreadTeamStorage::qvThreadTeamStorage(qvJobQueue* pJobQueue)
    : m_pJobQueue(pJobQueue), m_bStopped(false)
{
}

qvThreadTeam::qvThreadTeamStorage::~qvThreadTeamStorage()
{
    m_pJobQueue = nullptr;
}

long qvThreadTeam::qvThreadTeamStorage::processNextJob()
{
    long (*pThreadFunc)(void*) = nullptr;
    void* pThreadData = nullptr;
    unsigned long nJobID = 0;
    if (!m_pJobQueue->getJobAsSoleTaker(pThreadFunc, pThreadData, nJobID))
        return 0;
    // A job taken after the team began to stop its members is dropped.
    if (isStopped() || !pThreadFunc)
        return 0;
    return runJob(pThreadFunc, pThreadData);
}

long qvThreadTeam::qvThreadTeamStorage::runJob(long (*pThreadFunc)(void*), void* pThreadData)
{
    // A job that throws gives -1 and the member goes on; the forced unwinding of a cancelled
    // member goes on to the thread's start, the sanitizers' stack state cleaned up first.
    return qvPlatform::Thread::callCatchingExceptions(pThreadFunc, pThreadData);
}

// ---------------------------------------------------------------------------------------------
// qvThreadTeam

qvThreadTeam::qvThreadTeam(unsigned int nMembers) : qvThreadTeam(nMembers, DeferredStart())
{
    try {
        createTeamMembers();
    } catch (...) {
        stopTeamMembers();
        throw;
    }
}

qvThreadTeam::qvThreadTeam(unsigned int nMembers, DeferredStart)
    : m_JobQueues(nMembers, true), m_TeamMembers(nMembers, true), m_TeamStorages(nMembers, true)
{
    for (unsigned int n = 0; n < m_TeamStorages.getSize(); ++n)
        m_TeamStorages[n] = nullptr;
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
    qvTuple<qvThread*, qvThreadData*>& member = m_TeamMembers[nPosition];
    member.m_First = new qvThread();
    member.m_Second = new qvThreadData(&teamMemberLoop, pStorage);
    member.m_First->run(member.m_Second);
}

void qvThreadTeam::stopTeamMembers()
{
    const unsigned int nMembers = m_TeamMembers.getSize();
    // First keep every member from starting another job, then end them all, so that they end
    // in parallel; only then wait for each.
    for (unsigned int n = 0; n < nMembers; ++n) {
        if (m_TeamStorages[n])
            m_TeamStorages[n]->stop();
    }
    for (unsigned int n = 0; n < nMembers; ++n) {
        qvThread* pThread = m_TeamMembers[n].m_First;
        if (!pThread)
            continue;
        // A member that was run (it gets its thread data just before) may be inside a job. One
        // waiting for a job is woken and ends. One inside a job ends when the job returns; where
        // the platform's termination unwinds the thread's stack (cancellation), the job is also
        // cancelled at its next cancellation point. A forced termination that does not unwind
        // (Windows) is never used on a thread that may run user code: it could leave any lock the
        // job holds taken for ever. A member that never ran has no code of ours or the user's to
        // run and is simply ended.
        const bool bRan = m_TeamMembers[n].m_Second != nullptr;
        if (bRan)
            m_JobQueues[n].wakeTaker();
        if (!bRan || qvPlatform::Thread::TERMINATION_UNWINDS_STACK) {
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

void qvThreadTeam::createJob(long (*pThreadFunc)(void*), void* pThreadData)
{
    queueJob(pThreadFunc, pThreadData, 0);
}

void qvThreadTeam::queueJob(long (*pThreadFunc)(void*), void* pThreadData, unsigned long id)
{
    const unsigned int nQueues = m_JobQueues.getSize();
    if (nQueues == 0) {
        QV_ASSERT_TEXT("nPos < m_nVectorSize", "include/Container/qvDynamicVector.h");
        throw std::length_error("Job queue is full.");
    }
    unsigned int nBest = 0;
    unsigned int nSmallest = 0xFFFFFFFFu;
    // An empty queue is the first one with the fewest: the ones after it need not be read (each
    // read is of a count that another member keeps changing).
    for (unsigned int n = 0; n < nQueues && nSmallest != 0; ++n) {
        const unsigned int nWaiting = m_JobQueues[n].getNumberOfJobs();
        if (nWaiting < nSmallest) {
            nSmallest = nWaiting;
            nBest = n;
        }
    }
    if (m_JobQueues[nBest].tryAddJob(pThreadFunc, pThreadData, id))
        return;
    // The snapshot was stale or every queue is full: try the others before refusing.
    for (unsigned int n = 0; n < nQueues; ++n) {
        if (n != nBest && m_JobQueues[n].tryAddJob(pThreadFunc, pThreadData, id))
            return;
    }
    throw std::length_error("Job queue is full.");
}

unsigned int qvThreadTeam::getNumberOfTeamMembers() const
{
    return m_TeamMembers.getSize();
}

long qvThreadTeam::teamMemberLoop(void* pStorage)
{
    qvThreadTeamStorage* pMemberStorage = static_cast<qvThreadTeamStorage*>(pStorage);
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
    return 0;
}
