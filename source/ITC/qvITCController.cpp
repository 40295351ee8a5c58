#include "ITC/qvITCController.h"

#include "ITC/qvITCSenderCache.h"
#include "ITC/qvITCTaskQueue.h"
#include "Threading/qvLocks.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

// The controller keeps its schedulers in a map and hands each loop a hook; a send finds its
// scheduler through the calling thread's sender cache (qvITCSenderCache.cpp), or in the map,
// and queues its task there (qvITCTaskQueue.cpp tells how a message travels).

namespace qvITC {

// The definition, so that the DLL carries and exports it: a user that binds it to a reference
// imports it from there on Windows.
constexpr unsigned long Interface::NO_THREAD_ID;

namespace {

typedef qvSynchDetail::RegionLock<qvSynch::LWLock> LockGuard;

const char* const INVALID_INTERFACE = "Invalid ITC interface.";
const char* const EMPTY_FUNCTOR = "ITC message functor is empty.";

// An empty functor would be called through a null target on the loop's thread: refused before
// anything is built or queued.
void refuseEmpty(const MessageFunctor& message)
{
    if (!message)
        throw std::invalid_argument(EMPTY_FUNCTOR);
}

// The hook handed to a loop: runs the scheduler's next task and keeps the scheduler alive for
// as long as the loop holds (or is calling) the hook.
class SchedulerHook
{
public:
    explicit SchedulerHook(Scheduler* pScheduler) : m_pScheduler(pScheduler)
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
    Scheduler* m_pScheduler;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Controller

// The map holds a null scheduler for a thread id whose scheduler was removed: its loop has
// ended, and a message for it is refused as a closed scheduler refuses it (never run on the
// sender), until createInvokationTaskScheduler() gives the id a scheduler again. NO_THREAD_ID
// names no loop at all and is refused the same way.
class Controller::Route
{
public:
    Route(Controller& controller, unsigned long threadId)
        : m_pState(senderState()), m_pScheduler(nullptr), m_pEntry(nullptr), m_bEnded(false)
    {
        const bool bCached = m_pState && ++m_pState->m_nDepth == 1 && !m_pState->m_bEnded;
        if (bCached) {
            m_pEntry = findEntry(*m_pState, &controller, threadId);
            if (m_pEntry) {
                m_pScheduler = m_pEntry->m_pScheduler;
                return;
            }
        }
        m_pScheduler = lookUp(controller, threadId, m_bEnded);
        if (bCached && m_pScheduler && !m_pScheduler->isClosed())
            m_pEntry = keepEntry(*m_pState, &controller, threadId, m_pScheduler);
    }
    ~Route()
    {
        if (m_pScheduler && !m_pEntry)
            m_pScheduler->unref();
        if (m_pState)
            --m_pState->m_nDepth;
    }
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;

    explicit operator bool() const { return m_pScheduler != nullptr; }
    // The thread id's loop has ended (or it names none): the message is refused.
    bool isEnded() const { return m_bEnded; }
    Scheduler* operator->() const { return m_pScheduler; }

    // A node for a task made from args, in node memory handed back by the loop if there is any.
    template <class... Args>
    Scheduler::NodePtr makeNode(Args&&... args)
    {
        void* pMemory = nullptr;
        if (m_pEntry) {
            if (!m_pEntry->m_pSpareNodes)
                m_pEntry->m_pSpareNodes = m_pScheduler->takeFreeNodes();
            pMemory = popBlock(m_pEntry->m_pSpareNodes);
        }
        return Scheduler::makeNode(pMemory, std::forward<Args>(args)...);
    }

private:
    // The scheduler for threadId with a reference taken for the route, or null; bEnded tells a
    // removed one from none.
    static Scheduler* lookUp(Controller& controller, unsigned long threadId, bool& bEnded)
    {
        LockGuard guard(controller.m_MapLock);
        auto citFoundTaskScheduler = controller.m_mapTaskSchedulers.find(threadId);
        if (citFoundTaskScheduler == controller.m_mapTaskSchedulers.end()) {
            bEnded = threadId == Interface::NO_THREAD_ID;
            return nullptr;
        }
        Scheduler* pScheduler = citFoundTaskScheduler->second;
        bEnded = !pScheduler;
        if (pScheduler)
            pScheduler->ref();
        return pScheduler;
    }

    SenderState* m_pState; // null: no cache for this send
    Scheduler* m_pScheduler;
    CacheEntry* m_pEntry; // null: m_pScheduler holds a reference of this route's own
    bool m_bEnded;
};

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
        if (!itCurrTaskScheduler->second)
            continue; // removed already: its loop was detached then
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
    forgetEntries(this, nullptr);
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
        // A thread id whose loop has ended gets a loop again: its messages are taken from now.
        auto itEntry =
            m_mapTaskSchedulers.insert(std::make_pair(threadId, pInvokationTaskScheduler)).first;
        bInserted = itEntry->second == pInvokationTaskScheduler || !itEntry->second;
        if (!itEntry->second)
            itEntry->second = pInvokationTaskScheduler;
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
    // A sender that came between the map and the hook found the loop idle and woke it, and the
    // loop turned without the hook: the idle flag stays cleared, so no later sender would wake
    // it. Now that the hook is there, the loop turns once more.
    pInvokationTaskScheduler->wakeUpIfWokenBeforeHook();
}

void Controller::removeInvokationTaskScheduler(unsigned long threadId)
{
    if (!m_pInterface)
        throw std::logic_error(INVALID_INTERFACE);
    m_pInterface->detachSchedulerHook(threadId);
    InvokationTaskScheduler* pScheduler = nullptr;
    {
        LockGuard guard(m_MapLock);
        auto itFoundTaskScheduler = m_mapTaskSchedulers.find(threadId);
        if (itFoundTaskScheduler == m_mapTaskSchedulers.end() || !itFoundTaskScheduler->second)
            return;
        pScheduler = itFoundTaskScheduler->second;
        // The id stays, as ended: its messages are refused, not run on their senders.
        itFoundTaskScheduler->second = nullptr;
    }
    pScheduler->close();
    forgetEntries(this, pScheduler);
    pScheduler->unref();
}

void Controller::closeInvokationTaskScheduler(unsigned long threadId)
{
    InvokationTaskScheduler* pScheduler = acquireScheduler(threadId);
    if (!pScheduler)
        return;
    pScheduler->close();
    forgetEntries(this, pScheduler);
    pScheduler->unref();
}

bool Controller::hasInvokationTaskScheduler(unsigned long threadId) const
{
    LockGuard guard(m_MapLock);
    auto citFoundTaskScheduler = m_mapTaskSchedulers.find(threadId);
    return citFoundTaskScheduler != m_mapTaskSchedulers.end() && citFoundTaskScheduler->second;
}

Controller::InvokationTaskScheduler* Controller::acquireScheduler(unsigned long threadId)
{
    LockGuard guard(m_MapLock);
    auto citFoundTaskScheduler = m_mapTaskSchedulers.find(threadId);
    if (citFoundTaskScheduler == m_mapTaskSchedulers.end() || !citFoundTaskScheduler->second)
        return nullptr;
    citFoundTaskScheduler->second->ref();
    return citFoundTaskScheduler->second;
}

void Controller::sendAsyncMessage(const MessageFunctor& message, const ArgumentVector& arguments,
                                  unsigned long threadId)
{
    refuseEmpty(message);
    Route route(*this, threadId);
    if (!route)
        return; // no scheduler: dropped; an ended loop: refused, as a closed scheduler does
    // Built in its queue node and run there: the task is never copied.
    route->queue(route.makeNode(message, arguments, static_cast<qvAnyContainer*>(nullptr),
                                static_cast<qvSynch::Signal*>(nullptr)));
}

qvAnyContainer Controller::sendSyncMessage(const MessageFunctor& message,
                                           const ArgumentVector& arguments, unsigned long threadId)
{
    refuseEmpty(message);
    const unsigned long nCallingThread =
        m_pInterface ? m_pInterface->getCurrentThreadID() : Interface::NO_THREAD_ID;
    if (threadId != nCallingThread || threadId == Interface::NO_THREAD_ID) {
        // The sender's own task; the loop runs a copy of it, which shares result and outcome.
        std::optional<InvokationTask> newTask;
        {
            Route route(*this, threadId);
            if (route || route.isEnded()) {
                std::unique_ptr<qvAnyContainer> upResult(new qvAnyContainer);
                std::unique_ptr<qvSynch::Signal> upSignal(new qvSynch::Signal(false));
                newTask.emplace(message, arguments, upResult.release(), upSignal.release());
                if (route)
                    route->queue(route.makeNode(*newTask));
                else
                    newTask->discard(); // refused as a closed scheduler refuses it
            }
        }
        if (newTask)
            return newTask->getResult();
    }
    // Direct path: run here and now; the functor's exceptions reach the caller.
    InvokationTask newTask(message, arguments, new qvAnyContainer, nullptr);
    newTask.execute();
    return newTask.getResult();
}

} // namespace qvITC
