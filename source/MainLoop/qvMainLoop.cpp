#include "MainLoop/qvMainLoop.h"
#include "Platform/ThreadStorage.h"

#include "Threading/qvLocks.h"

// Replacing a functor while the loop's thread may be calling it:
//
// - Each slot points to a heap holder. A setter builds the new holder (the copy, which may
//   throw, comes first), swaps it in and puts the old one on the slot's retired list.
// - The loop's thread keeps m_nBusy raised while it may hold a holder (all of run() except the
//   sleep). A setter frees retired holders at once only when it reads m_nBusy as 0 after the
//   swap; with sequentially consistent operations on both sides, a loop that raises m_nBusy
//   later reads the new pointer. Otherwise the loop's thread frees them itself: between two
//   turns (it holds no holder there), before it sleeps and when run() ends.
// - Freeing happens outside m_RetireLock, so a functor's destructor may call the setters.

typedef qvSynchDetail::RegionLock<qvSynch::LWLock> RegionLock;
typedef qvSynchDetail::UserCodeLock<qvSynch::LWLock> UserCodeLock;

namespace {

// The defaults; the shutdown condition. Plain functions, shared by every loop.
void doNothing() {}
bool keepRunning()
{
    return true;
}
bool stopRunning()
{
    return false;
}

// The loop whose run() is active on the calling thread, if any: a wake-up from one of that
// loop's own callbacks (an ITC hook that leaves tasks behind, say) needs no signal, the loop is
// awake and only has to skip its next sleep. A slot of the library's own, not a C++ thread_local:
// a Windows thread killed after its first use of one would leave the runtime's record of it
// behind. Nothing is owned, so nothing is released when a thread ends.
void releaseNothing(void*) {}
qvPlatform::ThreadStorage& runningLoopSlot()
{
    static qvPlatform::ThreadStorage s_Slot(&releaseNothing);
    return s_Slot;
}
qvMainLoop* runningLoop()
{
    return static_cast<qvMainLoop*>(runningLoopSlot().get());
}

// Made when the library is loaded, not at a thread's first use: a Windows thread killed while it
// made the slot would leave it half-made, and every later thread would wait for it for ever.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool s_bRunningLoopSlotMadeAtLoad = (runningLoopSlot(), true);

template <class Holder, class F>
Holder* makeHolder(const F& functor, typename F::ResultType (*pDefault)())
{
    return new Holder{functor ? functor : F(pDefault), nullptr};
}

template <class Holder>
void deleteChain(Holder* pHolder)
{
    while (pHolder) {
        Holder* pNext = pHolder->m_pNextRetired;
        delete pHolder;
        pHolder = pNext;
    }
}

template <class Holder>
Holder* takeChain(Holder*& pRetired)
{
    Holder* pChain = pRetired;
    pRetired = nullptr;
    return pChain;
}

} // namespace

// Marks the stretches of run() in which the loop's thread may be calling its functors. Leaving
// (also by an exception) frees what was retired meanwhile.
class qvMainLoop::BusyScope
{
public:
    explicit BusyScope(qvMainLoop& loop) : m_Loop(loop), m_bBusy(false) { enter(); }
    ~BusyScope()
    {
        if (m_bBusy)
            leave();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

    void enter()
    {
        m_Loop.m_nBusy.fetch_add(1, std::memory_order_seq_cst);
        m_bBusy = true;
    }
    void leave()
    {
        m_bBusy = false;
        if (m_Loop.m_nBusy.fetch_sub(1, std::memory_order_seq_cst) == 1) {
            if (m_Loop.m_bRetiredPending.load(std::memory_order_seq_cst))
                m_Loop.reclaimRetired(true);
            m_Loop.m_FunctionPipeLine.reclaimBetweenPasses(0);
        }
    }

private:
    qvMainLoop& m_Loop;
    bool m_bBusy;
};

qvMainLoop::qvMainLoop()
    : m_ITCSchedulerHook(makeHolder<FunctorHolder<qvVoidFunctor>>(qvVoidFunctor(), &doNothing)),
      m_Entry(makeHolder<FunctorHolder<qvVoidFunctor>>(qvVoidFunctor(), &doNothing)),
      m_Exit(makeHolder<FunctorHolder<qvVoidFunctor>>(qvVoidFunctor(), &doNothing)),
      m_LoopCondition(makeHolder<FunctorHolder<qvBoolFunctor>>(qvBoolFunctor(), &keepRunning)),
      m_IdleSignal(false), m_nBusy(0), m_bRetiredPending(false), m_bSleeping(false),
      m_bWakeUpDeferred(false), m_bTurnAgain(false)
{
    m_FunctionPipeLine.m_pWakeUpSignal = &m_IdleSignal;
    m_FunctionPipeLine.m_pbOwnerSleeping = &m_bSleeping;
    m_FunctionPipeLine.m_pnPassDepth = &m_nBusy;
}

qvMainLoop::~qvMainLoop()
{
    m_FunctionPipeLine.m_pWakeUpSignal = nullptr;
    m_FunctionPipeLine.m_pbOwnerSleeping = nullptr;
    m_FunctionPipeLine.m_pnPassDepth = &m_FunctionPipeLine.m_nPassDepth;
}

// Marks the calling thread as running loop for the duration of run() (restoring an outer loop
// whose callback runs another loop).
class qvMainLoop::RunningScope
{
public:
    // A slot that cannot be set (out of slots) only costs the loop's own wake-ups a signal.
    explicit RunningScope(qvMainLoop* pLoop) : m_pOuter(runningLoop())
    {
        static_cast<void>(runningLoopSlot().set(pLoop));
    }
    ~RunningScope() { static_cast<void>(runningLoopSlot().set(m_pOuter)); }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

private:
    qvMainLoop* m_pOuter;
};

void qvMainLoop::run()
{
    RunningScope running(this);
    BusyScope busy(*this);
    m_Entry.m_pCurrent.load(std::memory_order_seq_cst)->m_Functor();
    bool bGoOn;
    do {
        // A safe point: no functor of the loop is running on this thread.
        if (m_bRetiredPending.load(std::memory_order_relaxed) &&
            m_nBusy.load(std::memory_order_relaxed) == 1)
            reclaimRetired(true);
        m_FunctionPipeLine.reclaimBetweenPasses(1);
        // The hook called now serves every wake-up deferred so far, also those of the loop's
        // own thread. (Sequentially consistent: a deferral that this misses is seen by the sleep
        // decision below.)
        if (m_bWakeUpDeferred.load(std::memory_order_relaxed))
            m_bWakeUpDeferred.exchange(false, std::memory_order_seq_cst);
        m_bTurnAgain = false;
        m_ITCSchedulerHook.m_pCurrent.load(std::memory_order_seq_cst)->m_Functor();
        if (m_FunctionPipeLine.isEmpty()) {
            // Woken by its own hook (tasks left): the next turn follows without a sleep.
            if (!m_bTurnAgain) {
                busy.leave();
                sleepUntilWoken();
                busy.enter();
            }
        } else {
            // The busy count announces the pass (the pipeline counts passes with it).
            m_FunctionPipeLine.runPass();
        }
        // The condition is user code: the lock held around it is no region, so the thread stays
        // stoppable while it runs (qvLocks.h, UserCodeLock).
        UserCodeLock lock(m_LoopConditionLock);
        bGoOn = m_LoopCondition.m_pCurrent.load(std::memory_order_seq_cst)->m_Functor();
    } while (bGoOn);
    m_Exit.m_pCurrent.load(std::memory_order_seq_cst)->m_Functor();
}

void qvMainLoop::sleepUntilWoken()
{
    // The flag goes up before the last emptiness test; addFunction() announces the function
    // before it reads the flag. So either this test sees the function or the adder wakes us.
    m_bSleeping.store(true, std::memory_order_seq_cst);
    // A wake-up deferred while the pipeline held functions (emptied since) is served by another
    // turn instead of a sleep. wakeUpIdle() defers before its second emptiness test, so either
    // this exchange sees the deferral or that test sees the emptied pipeline and sets the signal.
    if (m_FunctionPipeLine.isEmpty() &&
        !m_bWakeUpDeferred.exchange(false, std::memory_order_seq_cst))
        m_IdleSignal.waitAndReset();
    m_bSleeping.store(false, std::memory_order_relaxed);
}

void qvMainLoop::shutdown()
{
    FunctorHolder<qvBoolFunctor>* pHolder =
        makeHolder<FunctorHolder<qvBoolFunctor>>(qvBoolFunctor(), &stopRunning);
    {
        // The lock held around the condition (user code): not a region, see run().
        UserCodeLock lock(m_LoopConditionLock);
        install(m_LoopCondition, pHolder);
    }
    // Unconditionally: a loop asleep must end even if functions reached its pipeline meanwhile.
    m_IdleSignal.signal();
}

void qvMainLoop::wakeUpIdle()
{
    if (runningLoop() == this) {
        // From the loop's own thread, inside run(): it is awake, and skips its next sleep.
        m_bTurnAgain = true;
        return;
    }
    if (m_FunctionPipeLine.isEmpty()) {
        m_IdleSignal.signal();
        return;
    }
    // The loop turns on while its pipeline holds functions, and its next turn calls the hook,
    // which is what a wake-up is for (a task queued for the hook). But the pipeline may be
    // emptied before the loop looks at it again, and then the loop would sleep: leave a note
    // that its sleep decision reads, and look again in case the pipeline emptied meanwhile (the
    // loop may have decided already). No system call unless the loop is about to sleep.
    m_bWakeUpDeferred.store(true, std::memory_order_seq_cst);
    if (m_FunctionPipeLine.isEmpty())
        m_IdleSignal.signal();
}

void qvMainLoop::attachITCSchedulerHook(
    const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& hook)
{
    install(m_ITCSchedulerHook, makeHolder<FunctorHolder<qvVoidFunctor>>(hook, &doNothing));
}

void qvMainLoop::detachITCSchedulerHook()
{
    install(m_ITCSchedulerHook,
            makeHolder<FunctorHolder<qvVoidFunctor>>(qvVoidFunctor(), &doNothing));
}

void qvMainLoop::setEntry(const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& entry)
{
    install(m_Entry, makeHolder<FunctorHolder<qvVoidFunctor>>(entry, &doNothing));
}

void qvMainLoop::setExit(const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& exit)
{
    install(m_Exit, makeHolder<FunctorHolder<qvVoidFunctor>>(exit, &doNothing));
}

void qvMainLoop::setLoopCondition(
    const Loki::Functor<bool, Loki::NullType, Loki::SingleThreaded>& condition)
{
    install(m_LoopCondition, makeHolder<FunctorHolder<qvBoolFunctor>>(condition, &keepRunning));
}

void qvMainLoop::setFunctionPipeLine(const qvFunctionPipeLine& pipeLine)
{
    m_FunctionPipeLine = pipeLine;
}

template <class F>
void qvMainLoop::install(FunctorSlot<F>& slot, FunctorHolder<F>* pHolder)
{
    {
        RegionLock lock(m_RetireLock);
        FunctorHolder<F>* pOld = slot.m_pCurrent.exchange(pHolder, std::memory_order_seq_cst);
        pOld->m_pNextRetired = slot.m_pRetired;
        slot.m_pRetired = pOld;
        m_bRetiredPending.store(true, std::memory_order_seq_cst);
    }
    reclaimRetired(false);
}

// bLoopThread: called by the loop's thread where it runs no functor; otherwise only while the
// loop's thread is not busy.
void qvMainLoop::reclaimRetired(bool bLoopThread)
{
    FunctorHolder<qvVoidFunctor>* pHooks;
    FunctorHolder<qvVoidFunctor>* pEntries;
    FunctorHolder<qvVoidFunctor>* pExits;
    FunctorHolder<qvBoolFunctor>* pConditions;
    {
        RegionLock lock(m_RetireLock);
        if (!m_bRetiredPending.load(std::memory_order_relaxed))
            return;
        if (!bLoopThread && m_nBusy.load(std::memory_order_seq_cst) != 0)
            return;
        pHooks = takeChain(m_ITCSchedulerHook.m_pRetired);
        pEntries = takeChain(m_Entry.m_pRetired);
        pExits = takeChain(m_Exit.m_pRetired);
        pConditions = takeChain(m_LoopCondition.m_pRetired);
        m_bRetiredPending.store(false, std::memory_order_relaxed);
    }
    deleteChain(pHooks);
    deleteChain(pEntries);
    deleteChain(pExits);
    deleteChain(pConditions);
}
