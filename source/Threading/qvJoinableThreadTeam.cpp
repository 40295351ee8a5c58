#include "Threading/qvJoinableThreadTeam.h"

// The constants' definitions, so that the DLL carries and exports them: a user that binds one
// to a reference (EXPECT_EQ does) imports it from there on Windows.
constexpr int qvJoinableThreadTeam::JOB_PENDING;
constexpr int qvJoinableThreadTeam::JOB_DONE;
constexpr unsigned long qvJoinableThreadTeam::LAST_JOB_ID;

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
    long (*pThreadFunc)(void*) = nullptr;
    void* pThreadData = nullptr;
    unsigned long nJobID = 0;
    if (!m_pJobQueue->getJobAsSoleTaker(pThreadFunc, pThreadData, nJobID))
        return 0;
    // A job taken after the team began to stop its members is dropped: the team is going away
    // and nobody may join it any more.
    if (isStopped())
        return 0;
    const long nResult = pThreadFunc ? runJob(pThreadFunc, pThreadData) : 0;
    // The state first, so that a woken joiner already sees JOB_DONE.
    m_pStateTable->removeJob(nJobID);
    m_pSignalTable->notifyJobDone(nJobID);
    return nResult;
}

// ---------------------------------------------------------------------------------------------
// qvJoinableThreadTeam

qvJoinableThreadTeam::qvJoinableThreadTeam(unsigned int nMembers)
    : qvThreadTeam(nMembers, DeferredStart()), m_nLastJobID(0)
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
    m_JobIDLock.acquire();
    m_nLastJobID = (m_nLastJobID + 1) % (LAST_JOB_ID + 1);
    const unsigned long nJobID = m_nLastJobID;
    m_JobIDLock.release();

    // Both entries exist before the job is queued, so no job can finish before them.
    const bool bSignalEntered = m_SignalTable.registerJob(nJobID);
    bool bStateEntered = false;
    try {
        bStateEntered = m_StateTable.registerJob(nJobID);
        queueJob(pThreadFunc, pThreadData, nJobID);
    } catch (...) {
        // Take back what this call entered; a thread that already joins the id returns.
        if (bStateEntered)
            m_StateTable.removeJob(nJobID);
        if (bSignalEntered)
            m_SignalTable.notifyJobDone(nJobID);
        throw;
    }
    return nJobID;
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
    m_JobIDLock.acquire();
    m_nLastJobID = nLastJobID;
    m_JobIDLock.release();
}
