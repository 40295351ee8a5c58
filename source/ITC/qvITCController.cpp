#include "ITC/qvITCController.h"

#include "Platform/ThreadStorage.h"
#include "Threading/qvScopedLock.h"

#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace qvITC {

namespace {

typedef qvSynchDetail::ScopedLock<qvSynch::LWLock> LockGuard;

// The calling thread's id when no interface can tell it: matches no scheduler's thread.
constexpr unsigned long NO_THREAD = 0xFFFFFFFFul;

const char* const INVALID_INTERFACE = "Invalid ITC interface.";

// The hook handed to a loop: runs the scheduler's next task and keeps the scheduler alive for
// as long as the loop holds (or is calling) the hook.
class SchedulerHook
{
public:
    explicit SchedulerHook(Controller::InvokationTaskScheduler* pScheduler)
        : m_pScheduler(pScheduler)
    {
        m_pScheduler->ref();
    }
    SchedulerHook(const SchedulerHook& other) : m_pScheduler(other.m_pScheduler)
    {
        m_pScheduler->ref();
    }
    SchedulerHook& operator=(const SchedulerHook&) = delete;
    ~SchedulerHook() { m_pScheduler->unref(); }

    void operator()() { m_pScheduler->runNextTask(); }

private:
    Controller::InvokationTaskScheduler* m_pScheduler;
};

// The memory of one queue node whose task has run, kept for the calling thread's next message,
// so that a sender and the loop it feeds pass node memory back and forth instead of allocating
// on one thread and freeing on the other. Freed when the thread ends (a platform slot rather than
// a thread_local with a destructor, see Platform/ThreadStorage.h).
void releaseSpareNode(void* pMemory)
{
    ::operator delete(pMemory);
}

qvPlatform::ThreadStorage& spareNodeSlot()
{
    static qvPlatform::ThreadStorage s_Slot(&releaseSpareNode);
    return s_Slot;
}

// Tells every waiting sender of the tasks in list that its call will not run.
void discardAll(qvDCList<InvokationTask>& list)
{
    for (qvDCList<InvokationTask>::Node* pNode = list.getHead(); pNode; pNode = pNode->getNext())
        pNode->m_Value.discard();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// InvokationTaskScheduler

Controller::InvokationTaskScheduler::InvokationTaskScheduler(const qvVoidFunctor& wakeUp)
    : m_WakeUp(wakeUp), m_nQueued(0), m_bClosed(false), m_pSpareNode(nullptr), m_pSpentNode(nullptr)
{
}

Controller::InvokationTaskScheduler::~InvokationTaskScheduler()
{
    discardAll(m_TaskList);
    ::operator delete(m_pSpareNode);
    ::operator delete(m_pSpentNode);
}

template <class... Args>
Controller::InvokationTaskScheduler::NodePtr
Controller::InvokationTaskScheduler::makeNode(Args&&... args)
{
    qvPlatform::ThreadStorage& spareNode = spareNodeSlot();
    void* pMemory = spareNode.get();
    if (pMemory)
        spareNode.set(nullptr);
    else
        pMemory = ::operator new(sizeof(TaskNode));
    try {
        return NodePtr(new (pMemory) TaskNode(std::forward<Args>(args)...));
    } catch (...) {
        ::operator delete(pMemory);
        throw;
    }
}

bool Controller::InvokationTaskScheduler::addTask(const InvokationTask& task)
{
    return queue(makeNode(task));
}

bool Controller::InvokationTaskScheduler::queue(NodePtr upNode)
{
    LockGuard guard(m_Lock);
    if (m_bClosed)
        return false; // the node's deleter discards the task, after the lock is released
    const bool bWasEmpty = m_TaskList.isEmpty();
    m_TaskList.linkBack(upNode.release());
    // Sequentially consistent, like the loop's read in runNextTask(): a loop that has just
    // consumed an earlier wake-up, or whose pipeline empties now, still sees this task.
    m_nQueued.store(m_TaskList.getSize(), std::memory_order_seq_cst);
    // A queue that held tasks already has a wake-up on its way: the loop wakes itself again
    // whenever it leaves tasks behind.
    if (bWasEmpty)
        m_WakeUp();
    if (m_pSpareNode) {
        qvPlatform::ThreadStorage& spareNode = spareNodeSlot();
        if (!spareNode.get() && spareNode.set(m_pSpareNode))
            m_pSpareNode = nullptr;
    }
    return true;
}

void Controller::InvokationTaskScheduler::runNextTask()
{
    if (m_nQueued.load(std::memory_order_seq_cst) == 0)
        return;
    NodePtr upNode;
    bool bMoreQueued = false;
    void* pSurplus = nullptr;
    {
        LockGuard guard(m_Lock);
        // The memory of the task run last goes to the next sender.
        if (m_pSpareNode)
            pSurplus = m_pSpentNode;
        else
            m_pSpareNode = m_pSpentNode;
        m_pSpentNode = nullptr;
        upNode.reset(m_TaskList.unlinkFront());
        if (upNode) {
            m_nQueued.store(m_TaskList.getSize(), std::memory_order_relaxed);
            bMoreQueued = !m_TaskList.isEmpty();
        }
    }
    ::operator delete(pSurplus);
    if (!upNode)
        return;
    // The loop wakes itself outside the lock: it is running this hook, so it exists.
    if (bMoreQueued)
        m_WakeUp();
    upNode->m_Value.execute();
    // The task is destroyed here, on the loop's thread; its node's memory is kept. (A task that
    // ran the hook itself has left a node of its own there: that one is freed.)
    TaskNode* pNode = upNode.release();
    pNode->~TaskNode();
    void* pEarlier = m_pSpentNode;
    m_pSpentNode = pNode;
    ::operator delete(pEarlier);
}

void Controller::InvokationTaskScheduler::close()
{
    qvDCList<InvokationTask> discarded;
    {
        LockGuard guard(m_Lock);
        m_bClosed = true;
        m_TaskList.swap(discarded);
        m_nQueued.store(0, std::memory_order_relaxed);
    }
    // Outside the lock: destroying the tasks runs their functors' destructors.
    discardAll(discarded);
}

// ---------------------------------------------------------------------------------------------
// Controller

Controller::Controller() : m_pInterface(nullptr) {}

Controller::~Controller()
{
    std::map<unsigned long, InvokationTaskScheduler*> mapSchedulers;
    {
        LockGuard guard(m_MapLock);
        mapSchedulers.swap(m_mapTaskSchedulers);
    }
    for (auto itCurrTaskScheduler = mapSchedulers.begin(), itEndTaskScheduler = mapSchedulers.end();
         itCurrTaskScheduler != itEndTaskScheduler; ++itCurrTaskScheduler) {
        if (m_pInterface) {
            try {
                m_pInterface->detachSchedulerHook(itCurrTaskScheduler->first);
            } catch (...) {
                // The loop is gone already; its hook (if any) keeps the scheduler alive.
            }
        }
        itCurrTaskScheduler->second->close();
        itCurrTaskScheduler->second->unref();
    }
    deregisterInterface();
}

void Controller::registerInterface(Interface* pInterface)
{
    m_pInterface = pInterface;
}

void Controller::deregisterInterface()
{
    m_pInterface = nullptr;
}

void Controller::createInvokationTaskScheduler(unsigned long threadId)
{
    if (!m_pInterface)
        throw std::logic_error(INVALID_INTERFACE);
    if (hasInvokationTaskScheduler(threadId))
        return;
    InvokationTaskScheduler* pInvokationTaskScheduler =
        new InvokationTaskScheduler(m_pInterface->getWakeUpFunctor(threadId));
    pInvokationTaskScheduler->ref(); // the map's reference
    bool bInserted;
    try {
        LockGuard guard(m_MapLock);
        bInserted =
            m_mapTaskSchedulers.insert(std::make_pair(threadId, pInvokationTaskScheduler)).second;
    } catch (...) {
        pInvokationTaskScheduler->unref(); // not in the map: nobody else holds it
        throw;
    }
    if (!bInserted) {
        // An overlapping call for the same thread entered its scheduler first: that one stays,
        // with its hook; this one was never seen by anybody.
        pInvokationTaskScheduler->unref();
        return;
    }
    const qvVoidFunctor callback(SchedulerHook{pInvokationTaskScheduler});
    m_pInterface->attachSchedulerHook(threadId, callback);
}

void Controller::removeInvokationTaskScheduler(unsigned long threadId)
{
    if (!m_pInterface)
        throw std::logic_error(INVALID_INTERFACE);
    m_pInterface->detachSchedulerHook(threadId);
    InvokationTaskScheduler* pScheduler = nullptr;
    {
        LockGuard guard(m_MapLock);
        auto citFoundTaskScheduler = m_mapTaskSchedulers.find(threadId);
        if (citFoundTaskScheduler == m_mapTaskSchedulers.end())
            return;
        pScheduler = citFoundTaskScheduler->second;
        m_mapTaskSchedulers.erase(citFoundTaskScheduler);
    }
    pScheduler->close();
    pScheduler->unref();
}

void Controller::closeInvokationTaskScheduler(unsigned long threadId)
{
    InvokationTaskScheduler* pScheduler = acquireScheduler(threadId);
    if (!pScheduler)
        return;
    pScheduler->close();
    pScheduler->unref();
}

bool Controller::hasInvokationTaskScheduler(unsigned long threadId) const
{
    LockGuard guard(m_MapLock);
    return m_mapTaskSchedulers.count(threadId) != 0;
}

Controller::InvokationTaskScheduler* Controller::acquireScheduler(unsigned long threadId)
{
    LockGuard guard(m_MapLock);
    auto citFoundTaskScheduler = m_mapTaskSchedulers.find(threadId);
    if (citFoundTaskScheduler == m_mapTaskSchedulers.end())
        return nullptr;
    citFoundTaskScheduler->second->ref();
    return citFoundTaskScheduler->second;
}

void Controller::sendAsyncMessage(const MessageFunctor& message, const ArgumentVector& arguments,
                                  unsigned long threadId)
{
    InvokationTaskScheduler* pScheduler = acquireScheduler(threadId);
    if (!pScheduler)
        return;
    try {
        // Built in its queue node and run there: the task is never copied.
        pScheduler->queue(
            InvokationTaskScheduler::makeNode(std::in_place, message, arguments, nullptr, nullptr));
    } catch (...) {
        pScheduler->unref();
        throw;
    }
    pScheduler->unref();
}

qvAnyContainer Controller::sendSyncMessage(const MessageFunctor& message,
                                           const ArgumentVector& arguments, unsigned long threadId)
{
    const unsigned long nCallingThread =
        m_pInterface ? m_pInterface->getCurrentThreadID() : NO_THREAD;
    InvokationTaskScheduler* pScheduler =
        threadId != nCallingThread ? acquireScheduler(threadId) : nullptr;
    if (!pScheduler) {
        // Direct path: run here and now; the functor's exceptions reach the caller.
        InvokationTask newTask(message, arguments, new qvAnyContainer, nullptr);
        newTask.execute();
        return newTask.getResult();
    }
    try {
        std::unique_ptr<qvAnyContainer> pResult(new qvAnyContainer);
        std::unique_ptr<qvSynch::Signal> pSignal(new qvSynch::Signal(false));
        InvokationTask newTask(message, arguments, pResult.release(), pSignal.release());
        pScheduler->addTask(newTask);
        pScheduler->unref();
        pScheduler = nullptr;
        return newTask.getResult();
    } catch (...) {
        if (pScheduler)
            pScheduler->unref();
        throw;
    }
}

} // namespace qvITC
