#include "Threading/qvJoinableThreadTeam.h"

// The constants' definitions, so that the DLL carries and exports them: a user that binds one
// to a reference (EXPECT_EQ does) imports it from there on Windows.
constexpr int qvJoinableThreadTeam::JOB_PENDING;
constexpr int qvJoinableThreadTeam::JOB_DONE;
constexpr unsigned long qvJoinableThreadTeam::LAST_JOB_ID;
constexpr unsigned long qvJoinableThreadTeam::NO_JOB_ID;
constexpr qvJoinableThreadTeam::Placement qvJoinableThreadTeam::PLACEMENT_FEWEST_WAITING;
constexpr qvJoinableThreadTeam::Placement qvJoinableThreadTeam::PLACEMENT_IDLE_FIRST;

// ---------------------------------------------------------------------------------------------
// qvJoinableThreadTeamStorage

qvJoinableThreadTeam::qvJoinableThreadTeamStorage::qvJoinableThreadTeamStorage(
    qvJobQueue* pJobQueue, qvJobSignalTable* pSignalTable, qvJobStateTable* pStateTable)
    : qvThreadTeamStorage(pJobQueue), m_pSignalTable(pSignalTable), m_pStateTable(pStateTable)
{
}

qvJoinableThreadTeam::qvJoinableThreadTeamStorage::~qvJoinableThreadTeamStorage()
{
    m_pSignalTable = nullptr;
    m_pStateTable = nullptr;
}

long qvJoinableThreadTeam::qvJoinableThreadTeamStorage::processNextJob()
{
    qvJobQueue::Job job;
    if (!takeJobToRun(job))
        return 0;
    const long nResult = runJob(job);
    // The state first, so that a woken joiner already sees JOB_DONE; the team counts the job
    // finished (for waitUntilIdle) only once its joiners are released.
    m_pStateTable->removeJob(job.m_nJobID);
    m_pSignalTable->notifyJobDone(job.m_nJobID);
    finishJob();
    return nResult;
}

// ---------------------------------------------------------------------------------------------
// qvJoinableThreadTeam

qvJoinableThreadTeam::qvJoinableThreadTeam(unsigned int nMembers)
    : qvJoinableThreadTeam(nMembers, PLACEMENT_FEWEST_WAITING)
{
}

qvJoinableThreadTeam::qvJoinableThreadTeam(unsigned int nMembers, Placement ePlacement,
                                           unsigned int nMaximumWaitingJobs)
    : qvThreadTeam(nMembers, DeferredStart(), ePlacement, nMaximumWaitingJobs), m_nLastJobID(0)
{
    try {
        createTeamMembers();
    } catch (...) {
        // Before the tables go: the members started so far hold pointers to them.
        stopTeamMembers();
        throw;
    }
}

qvJoinableThreadTeam::~qvJoinableThreadTeam()
{
    // Members hold pointers to the tables, which are destroyed before the base part.
    stopTeamMembers();
}

void qvJoinableThreadTeam::createTeamMembers()
{
    for (unsigned int n = 0; n < m_TeamMembers.getSize(); ++n)
        startTeamMember(
            n, new qvJoinableThreadTeamStorage(&m_JobQueues[n], &m_SignalTable, &m_StateTable));
}

unsigned long qvJoinableThreadTeam::createJob(long (*pThreadFunc)(void*), void* pThreadData)
{
    qvJobQueue::NewJob job;
    job.m_Job.m_pThreadFunc = pThreadFunc;
    job.m_Job.m_pThreadData = pThreadData;
    return addJob(job, false, 0);
}

unsigned long qvJoinableThreadTeam::createJobWithin(unsigned long nMilliseconds,
                                                    long (*pThreadFunc)(void*), void* pThreadData)
{
    qvJobQueue::NewJob job;
    job.m_Job.m_pThreadFunc = pThreadFunc;
    job.m_Job.m_pThreadData = pThreadData;
    return addJob(job, true, nMilliseconds);
}

unsigned long qvJoinableThreadTeam::addJob(qvJobQueue::NewJob job, bool bWaitForRoom,
                                           unsigned long nMilliseconds)
{
    unsigned long nJobID;
    {
        qvSynchDetail::RegionLock<qvSynch::LWLock> lock(m_JobIDLock);
        m_nLastJobID = (m_nLastJobID + 1) % (LAST_JOB_ID + 1);
        nJobID = m_nLastJobID;
    }
    job.m_Job.m_nJobID = nJobID;

    // Both entries exist before the job is queued, so no job can finish before them.
    const bool bSignalEntered = m_SignalTable.registerJob(nJobID);
    bool bStateEntered = false;
    // Takes back what this call entered; a thread that already joins the id returns.
    const auto withdraw = [&] {
        if (bStateEntered)
            m_StateTable.removeJob(nJobID);
        if (bSignalEntered)
            m_SignalTable.notifyJobDone(nJobID);
    };
    try {
        bStateEntered = m_StateTable.registerJob(nJobID);
        if (!bWaitForRoom) {
            queueNewJob(job, nJobID);
        } else if (!queueNewJobWithin(job, nMilliseconds)) {
            withdraw();
            return NO_JOB_ID;
        }
    } catch (...) {
        withdraw();
        throw;
    }
    return nJobID;
}

bool qvJoinableThreadTeam::waitUntilIdle(unsigned long nMilliseconds)
{
    return qvThreadTeam::waitUntilIdle(nMilliseconds);
}

qvJoinableThreadTeam::Placement qvJoinableThreadTeam::getPlacement() const
{
    return qvThreadTeam::getPlacement();
}

int qvJoinableThreadTeam::jobState(unsigned long id)
{
    return m_StateTable.getJobState(id);
}

void qvJoinableThreadTeam::join(unsigned long id)
{
    m_SignalTable.waitForJob(id);
}

void qvJoinableThreadTeam::join(const qvDCList<unsigned long>& ids)
{
    for (qvDCList<unsigned long>::Node* pNode = ids.getHead(); pNode; pNode = pNode->getNext())
        join(pNode->m_Value);
}

unsigned int qvJoinableThreadTeam::getNumberOfTeamMembers() const
{
    return qvThreadTeam::getNumberOfTeamMembers();
}

void qvJoinableThreadTeam::setLastJobID(unsigned long nLastJobID)
{
    qvSynchDetail::RegionLock<qvSynch::LWLock> lock(m_JobIDLock);
    m_nLastJobID = nLastJobID;
}
