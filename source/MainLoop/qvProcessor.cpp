#include "MainLoop/qvProcessor.h"

#include <memory>
#include <stdexcept>

#include "Threading/qvThread.h"

namespace {

const char* const MAINLOOP_NOT_FOUND = "MainLoop not found!";
const char* const NO_MAINLOOP_FOR_THREAD = "No mainloop for thread available.";

constexpr unsigned long NO_THREAD = 0xFFFFFFFFul;

} // namespace

const unsigned long qvProcessor::PROCESSOR_MAINLOOP_ID = 0;

qvProcessor::qvProcessor() : m_nLastMainLoopID(1)
{
    m_ITC.registerInterface(this);
}

qvProcessor::~qvProcessor()
{
    // A suspended loop may have been stopped holding a lock that another loop needs in order to
    // end (the allocator's, say): every loop goes on before the first is ended.
    for (auto& entry : m_mapMainLoops)
        resumeFully(entry.second);
    for (auto& entry : m_mapMainLoops)
        endMainLoop(entry.second);
    m_mapMainLoops.clear();
    m_mapThreadToMainLoop.clear();
    m_ITC.deregisterInterface();
}

// The start function of a created loop's thread. When the loop's run() ends, by its condition or
// by an exception, the loop takes no more messages: its scheduler is closed before the thread
// ends, so no sender waits for a loop that cannot run its task. An exception then goes on to end
// the thread (exit code -1).
long qvProcessor::runMainLoop(void* pMainLoopData)
{
    MainLoopData* pData = static_cast<MainLoopData*>(pMainLoopData);
    try {
        pData->m_pMainLoop->run();
    } catch (...) {
        pData->m_pITC->closeInvokationTaskScheduler(pData->m_nThreadID);
        throw;
    }
    pData->m_pITC->closeInvokationTaskScheduler(pData->m_nThreadID);
    return 0;
}

unsigned long qvProcessor::createMainLoop()
{
    std::unique_ptr<qvMainLoop> pMainLoop(new qvMainLoop);
    std::unique_ptr<qvThread> pThread(new qvThread);
    const unsigned long nThreadID = pThread->getID();
    const unsigned long id = m_nLastMainLoopID + 1;

    MainLoopData data{pMainLoop.get(), pThread.get(), nullptr, &m_ITC, nThreadID, 0};
    m_mapMainLoops.insert(std::make_pair(id, data));
    try {
        m_mapThreadToMainLoop.insert(std::make_pair(nThreadID, id));
        m_ITC.createInvokationTaskScheduler(nThreadID);
    } catch (...) {
        try {
            m_ITC.removeInvokationTaskScheduler(nThreadID);
        } catch (...) {
            // Nothing was attached: there is nothing to undo.
        }
        m_mapThreadToMainLoop.erase(nThreadID);
        m_mapMainLoops.erase(id);
        throw;
    }
    m_nLastMainLoopID = id;
    // The map entry holds both pointers (data above) and owns them from here on.
    static_cast<void>(pMainLoop.release());
    static_cast<void>(pThread.release());
    return id;
}

void qvProcessor::run(unsigned long id)
{
    auto itFound = m_mapMainLoops.find(id);
    if (itFound == m_mapMainLoops.end())
        return;
    MainLoopData& data = itFound->second;
    if (!data.m_pThreadData) {
        data.m_pThreadData = new qvThreadData(&qvProcessor::runMainLoop, &data);
    } else if (data.m_nSuspendCount > 0) {
        // A second run() undoes one suspension, as a resume does.
        --data.m_nSuspendCount;
    }
    data.m_pThread->run(data.m_pThreadData);
}

void qvProcessor::run()
{
    m_MainLoop.run();
}

void qvProcessor::suspend(unsigned long id)
{
    auto itFound = m_mapMainLoops.find(id);
    if (itFound == m_mapMainLoops.end())
        return;
    itFound->second.m_pThread->suspend();
    ++itFound->second.m_nSuspendCount;
}

void qvProcessor::resume(unsigned long id)
{
    auto itFound = m_mapMainLoops.find(id);
    if (itFound == m_mapMainLoops.end())
        return;
    itFound->second.m_pThread->resume();
    if (itFound->second.m_nSuspendCount > 0)
        --itFound->second.m_nSuspendCount;
}

void qvProcessor::shutdown(unsigned long id)
{
    auto itFound = m_mapMainLoops.find(id);
    if (itFound == m_mapMainLoops.end())
        throw std::invalid_argument(MAINLOOP_NOT_FOUND);
    endMainLoop(itFound->second);
    const unsigned long nThreadID = itFound->second.m_nThreadID;
    m_mapMainLoops.erase(itFound);
    m_mapThreadToMainLoop.erase(nThreadID);
}

void qvProcessor::shutdown()
{
    m_MainLoop.shutdown();
}

void qvProcessor::resumeFully(MainLoopData& data)
{
    if (data.m_pThreadData) {
        for (; data.m_nSuspendCount > 0; --data.m_nSuspendCount)
            data.m_pThread->resume();
    }
}

void qvProcessor::endMainLoop(MainLoopData& data)
{
    // A suspended loop could never see its shutdown; and it may have been stopped anywhere,
    // holding a lock that the steps below need (its condition lock, its scheduler's lock, the
    // allocator's): let it go on before anything else.
    resumeFully(data);
    data.m_pMainLoop->shutdown();
    m_ITC.removeInvokationTaskScheduler(data.m_nThreadID);
    if (data.m_pThreadData)
        data.m_pThread->join();
    // A thread that was never run ends here without calling its start function.
    delete data.m_pThread;
    delete data.m_pThreadData;
    delete data.m_pMainLoop;
    data.m_pThread = nullptr;
    data.m_pThreadData = nullptr;
    data.m_pMainLoop = nullptr;
}

qvMainLoop& qvProcessor::getMainLoop(unsigned long id)
{
    auto itFound = m_mapMainLoops.find(id);
    if (itFound != m_mapMainLoops.end())
        return *itFound->second.m_pMainLoop;
    if (id == PROCESSOR_MAINLOOP_ID)
        return m_MainLoop;
    throw std::invalid_argument(MAINLOOP_NOT_FOUND);
}

unsigned long qvProcessor::getThreadID(unsigned long id) const
{
    auto citFoundMainLoop = m_mapMainLoops.find(id);
    return citFoundMainLoop == m_mapMainLoops.end() ? NO_THREAD
                                                    : citFoundMainLoop->second.m_pThread->getID();
}

qvMainLoop& qvProcessor::loopOfThread(unsigned long threadId)
{
    auto itFound = m_mapThreadToMainLoop.find(threadId);
    if (itFound == m_mapThreadToMainLoop.end())
        throw std::logic_error(NO_MAINLOOP_FOR_THREAD);
    return *m_mapMainLoops.find(itFound->second)->second.m_pMainLoop;
}

unsigned long qvProcessor::getCurrentThreadID()
{
    return qvThread::currentThreadId();
}

qvVoidFunctor qvProcessor::getWakeUpFunctor(unsigned long threadId)
{
    return qvVoidFunctor(&loopOfThread(threadId), &qvMainLoop::wakeUpIdle);
}

void qvProcessor::attachSchedulerHook(unsigned long threadId, const qvVoidFunctor& hook)
{
    loopOfThread(threadId).attachITCSchedulerHook(hook);
}

void qvProcessor::detachSchedulerHook(unsigned long threadId)
{
    loopOfThread(threadId).detachITCSchedulerHook();
}
