#include "MainLoop/qvProcessor.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>

#include "Threading/qvThread.h"

namespace {

const char* const MAINLOOP_NOT_FOUND_TEXT = "MainLoop not found!";
const char* const NO_MAINLOOP_FOR_THREAD = "No mainloop for thread available.";
const char* const SHUTDOWN_ON_OWN_THREAD = "MainLoop cannot be shut down from its own thread.";

// The start record of a created loop's thread, made by the first run(id), with what the
// controlling thread may ask about the loop from then on: the loop's thread stores how its
// run() ended (the exception first, then the state, with release), getMainLoopState() and
// getMainLoopException() read it (acquire). It lives until the thread has been joined.
class LoopStart : public qvThreadData
{
public:
    LoopStart(long (*pThreadFunc)(void*), void* pArgument)
        : qvThreadData(pThreadFunc, pArgument), m_nState(qvProcessor::MAINLOOP_RUNNING)
    {
    }

    std::atomic<int> m_nState;       // a qvProcessor::MainLoopState
    std::exception_ptr m_pException; // what ended run(), for MAINLOOP_FAILED
};

// Whether the calling thread is the one that runs a loop (on thread nThreadID, wrapped by
// thread): inside its start function, so that waiting for it would wait for itself. A thread
// whose start function has returned may have left its id to a new thread (Linux reuses ids once
// a thread has ended, joined or not).
bool isCallingThread(unsigned long nThreadID, const qvThread& thread)
{
    return nThreadID == qvThread::currentThreadId() && !thread.isFinished();
}

// The start record of a created loop, as its first run(id) made it; null before.
LoopStart* startOf(qvThreadData* pThreadData)
{
    return static_cast<LoopStart*>(pThreadData);
}

} // namespace

const unsigned long qvProcessor::PROCESSOR_MAINLOOP_ID = 0;
// The definition, so that the DLL carries and exports it: a user that binds it to a reference
// (EXPECT_EQ does) imports it from there on Windows.
constexpr unsigned long qvProcessor::NO_THREAD_ID;

qvProcessor::qvProcessor() : m_nLastMainLoopID(1)
{
    m_ITC.registerInterface(this);
}

qvProcessor::~qvProcessor()
{
    // On a created loop's thread the destructor would wait for itself (that thread is inside the
    // loop's run()), and not waiting would leave the loop running on freed state. A destructor
    // cannot report it: the process ends, saying why, before anything is torn down.
    for (const auto& entry : m_mapMainLoops) {
        if (isCallingThread(entry.second.m_nThreadID, *entry.second.m_pThread)) {
            static_cast<void>(std::fprintf(
                stderr, "qvProcessor destroyed on the thread of its own main loop %lu.\n",
                entry.first));
            static_cast<void>(std::fflush(stderr));
            std::terminate();
        }
    }
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
    LoopStart& start = *startOf(pData->m_pThreadData); // made before the thread started
    try {
        pData->m_pMainLoop->run();
    } catch (...) {
        pData->m_pITC->closeInvokationTaskScheduler(pData->m_nThreadID);
        start.m_pException = std::current_exception();
        start.m_nState.store(MAINLOOP_FAILED, std::memory_order_release);
        throw;
    }
    pData->m_pITC->closeInvokationTaskScheduler(pData->m_nThreadID);
    start.m_nState.store(MAINLOOP_FINISHED, std::memory_order_release);
    return 0;
}

unsigned long qvProcessor::createMainLoop()
{
    std::unique_ptr<qvMainLoop> pMainLoop(new qvMainLoop);
    std::unique_ptr<qvThread> pThread(new qvThread);
    const unsigned long nThreadID = pThread->getID();
    const unsigned long id = m_nLastMainLoopID + 1;

    // Linux gives an ended thread's id to a new thread: a loop that ended by itself and was not
    // shut down yet may still hold this id. It gives the id up: its messages are refused from
    // now on, as for any ended loop, and its shutdown no longer touches the id.
    const auto itStale = m_mapThreadToMainLoop.find(nThreadID);
    if (itStale != m_mapThreadToMainLoop.end()) {
        m_ITC.removeInvokationTaskScheduler(nThreadID);
        const auto itStaleLoop = m_mapMainLoops.find(itStale->second);
        if (itStaleLoop != m_mapMainLoops.end())
            itStaleLoop->second.m_nThreadID = NO_THREAD_ID;
        m_mapThreadToMainLoop.erase(itStale);
    }

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
        data.m_pThreadData = new LoopStart(&qvProcessor::runMainLoop, &data);
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
        throw std::invalid_argument(MAINLOOP_NOT_FOUND_TEXT);
    // The loop's thread would wait for itself in the join below.
    if (isCallingThread(itFound->second.m_nThreadID, *itFound->second.m_pThread))
        throw std::logic_error(SHUTDOWN_ON_OWN_THREAD);
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
    // A loop that gave its thread id up to a new loop was detached then (createMainLoop).
    if (data.m_nThreadID != NO_THREAD_ID)
        m_ITC.removeInvokationTaskScheduler(data.m_nThreadID);
    if (data.m_pThreadData)
        data.m_pThread->join();
    // A thread that was never run ends here without calling its start function.
    delete data.m_pThread;
    delete startOf(data.m_pThreadData); // as made, a LoopStart
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
    throw std::invalid_argument(MAINLOOP_NOT_FOUND_TEXT);
}

unsigned long qvProcessor::getThreadID(unsigned long id) const
{
    auto citFoundMainLoop = m_mapMainLoops.find(id);
    return citFoundMainLoop == m_mapMainLoops.end() ? NO_THREAD_ID
                                                    : citFoundMainLoop->second.m_nThreadID;
}

qvProcessor::MainLoopState qvProcessor::getMainLoopState(unsigned long id) const
{
    auto citFoundMainLoop = m_mapMainLoops.find(id);
    if (citFoundMainLoop == m_mapMainLoops.end())
        return MAINLOOP_NOT_FOUND;
    const LoopStart* pStart = startOf(citFoundMainLoop->second.m_pThreadData);
    if (!pStart)
        return MAINLOOP_CREATED;
    return static_cast<MainLoopState>(pStart->m_nState.load(std::memory_order_acquire));
}

std::exception_ptr qvProcessor::getMainLoopException(unsigned long id) const
{
    if (getMainLoopState(id) != MAINLOOP_FAILED)
        return nullptr;
    // Written by the loop's thread before its state, and never again.
    return startOf(m_mapMainLoops.find(id)->second.m_pThreadData)->m_pException;
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
