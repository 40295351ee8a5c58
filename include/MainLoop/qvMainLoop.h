#ifndef QV_MAINLOOP_H
#define QV_MAINLOOP_H

/// \file

/// \class qvMainLoop
/// qvMainLoop: the loop a thread runs for its whole working life. run() calls the entry function
/// once, then turn after turn:
///   1. calls the ITC scheduler hook;
///   2. runs one pass of its function pipeline, or, when the pipeline is empty, sleeps until it
///      is woken (the turn then goes on without a pass);
///   3. asks the loop condition, holding m_LoopConditionLock while it runs;
/// and when the condition says no, calls the exit function and returns. The first turn always
/// runs; the condition is first asked after it.
///
/// Defaults: the hook, entry and exit do nothing; the condition returns true. shutdown() installs
/// a condition that returns false; it stays installed until setLoopCondition() replaces it, so a
/// later run() makes exactly one turn.
///
/// Ownership: the loop owns its pipeline and a copy of every functor given to it.
///
/// Threads:
/// - run() executes on one thread at a time, the loop's thread.
/// - shutdown() and wakeUpIdle() may be called from any thread at any time while the loop exists,
///   also from the loop's own callbacks and while it is being shut down.
/// - Functions may be added to the pipeline from any thread through getFunctionPipeLine().
/// - The setters, attachITCSchedulerHook() and detachITCSchedulerHook() take no lock of the loop
///   and may be called from any thread, also while the loop runs and from its own callbacks.
///
/// Guarantees:
/// - A sleeping loop is woken by shutdown() whatever its pipeline holds, by wakeUpIdle() when its
///   pipeline is empty, and by a function arriving in its empty pipeline; none of these wake-ups
///   is lost if it comes between the loop's emptiness test and its sleep. An idle loop blocks and
///   uses no processor time.
/// - A wakeUpIdle() that finds functions in the pipeline is not lost either: the loop's next turn
///   calls the hook, also when the pipeline has been emptied (flushed, assigned) before the loop
///   looked at it again; the loop then makes that turn instead of sleeping.
/// - A replaced functor is destroyed only when the loop's thread no longer runs it: a callback
///   may replace itself (detach the hook from inside the hook, shut down from the condition).
/// - The condition never runs while shutdown() installs the shutdown condition, and
///   m_LoopConditionLock is released also when the condition throws.
/// - A turn with a non-empty pipeline takes one lock (around the condition) and allocates nothing.
/// Non-guarantees:
/// - A replacement made from another thread takes effect at the next call of that functor; the
///   call in progress finishes with the old one.
/// - m_LoopConditionLock is held while the user's condition runs, so it is not one of the
///   library's internal regions (qvLocks.h): on Windows a loop thread suspended inside the
///   condition holds it until resume(), and shutdown() from another thread waits for it; one
///   killed there leaves it held. Every other lock of the loop is a region.
/// - Wake-ups are not counted: several before the loop sleeps again give one extra turn. A
///   function that arrives just as the loop decides to sleep may also cause one later extra turn.
/// - Work queued for the hook does not by itself keep the loop turning; the hook calls
///   wakeUpIdle() when it leaves work behind.
///
/// Failures: run() catches nothing. An exception from the entry function, the hook, a pipeline
/// function or the condition ends run() at once and reaches its caller; the exit function is not
/// called. No operation throws by itself (only the allocator's exception when a functor is
/// copied). An empty (default-constructed) functor given to a setter installs that slot's
/// default: do nothing, or return true for the condition.
///
/// Lifetime: the loop must not be running, and no other thread may call it, when it is destroyed.

#include <atomic>

#include "MainLoop/qvFunctionPipeLine.h"
#include "Threading/qvLocks.h"
#include "Threading/qvSignal.h"
#include "qvConfig.h"
#include "qvExport.h"

class QV_EXPORT qvMainLoop
{
public:
    /// A loop that is not running, with an empty pipeline, the default hook, entry, exit and
    /// condition (see Defaults above) and its idle signal not set. Starts no thread: run() runs
    /// the loop on its caller. Throws only the allocator's exception.
    qvMainLoop();
    /// Destroys the pipeline's functions and the loop's functors. The loop must not be running.
    ~qvMainLoop();
    qvMainLoop(const qvMainLoop&) = delete;
    qvMainLoop& operator=(const qvMainLoop&) = delete;

    /// Runs the loop on the calling thread until the condition returns false (see above).
    void run();
    /// Installs the shutdown condition (under m_LoopConditionLock), then wakes the loop if it
    /// sleeps. A running loop ends after the turn in progress. Does not wait for the loop to end.
    void shutdown();
    /// Wakes a loop that sleeps on its empty pipeline; while the pipeline holds functions it
    /// only makes sure the loop's next turn comes (and calls the hook) even if the pipeline is
    /// emptied first. A wake-up given while the loop is not asleep makes its next sleep return at
    /// once. Never blocks; makes a system call only to wake a loop that sleeps, and from the
    /// loop's own thread inside run() (its hook, say) writes one flag of the loop.
    void wakeUpIdle();

    /// Replaces the ITC scheduler hook, called at the start of every turn.
    void
    attachITCSchedulerHook(const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& hook);
    /// Installs the do-nothing hook.
    void detachITCSchedulerHook();
    /// Replaces the entry function, called once when run() begins.
    void setEntry(const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& entry);
    /// Replaces the exit function, called once when run() ends.
    void setExit(const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& exit);
    /// Replaces the loop condition, also the shutdown condition: the loop then goes on.
    void
    setLoopCondition(const Loki::Functor<bool, Loki::NullType, Loki::SingleThreaded>& condition);
    /// Pipeline assignment: the loop's own functions are removed, the argument's copied in. A pass
    /// in progress ends after its current function; a sleeping loop is woken if functions arrive.
    void setFunctionPipeLine(const qvFunctionPipeLine& pipeLine);
    ///@{
    /// The loop's own pipeline, to add functions in place.
    qvFunctionPipeLine& getFunctionPipeLine() { return m_FunctionPipeLine; }
    const qvFunctionPipeLine& getFunctionPipeLine() const { return m_FunctionPipeLine; }
    ///@}

private:
    class BusyScope;
    class RunningScope;

    /// A functor lives in a holder of its own, so that replacing it swaps one pointer and the old
    /// holder can wait until the loop's thread no longer runs it.
    template <class F>
    struct FunctorHolder
    {
        F m_Functor;
        FunctorHolder* m_pNextRetired;
    };

    template <class F>
    struct FunctorSlot
    {
        explicit FunctorSlot(FunctorHolder<F>* pHolder) : m_pCurrent(pHolder), m_pRetired(nullptr)
        {
        }
        ~FunctorSlot()
        {
            delete m_pCurrent.load(std::memory_order_relaxed);
            while (FunctorHolder<F>* pHolder = m_pRetired) {
                m_pRetired = pHolder->m_pNextRetired;
                delete pHolder;
            }
        }
        FunctorSlot(const FunctorSlot&) = delete;
        FunctorSlot& operator=(const FunctorSlot&) = delete;
        std::atomic<FunctorHolder<F>*> m_pCurrent;
        FunctorHolder<F>* m_pRetired; ///< replaced holders, guarded by m_RetireLock
    };

    template <class F>
    void install(FunctorSlot<F>& slot, FunctorHolder<F>* pHolder);
    void reclaimRetired(bool bLoopThread);
    void sleepUntilWoken();

    qvFunctionPipeLine m_FunctionPipeLine;
    FunctorSlot<qvVoidFunctor> m_ITCSchedulerHook;
    FunctorSlot<qvVoidFunctor> m_Entry;
    FunctorSlot<qvVoidFunctor> m_Exit;
    FunctorSlot<qvBoolFunctor> m_LoopCondition;
    qvSynch::LWLock m_LoopConditionLock;
    qvSynch::Signal m_IdleSignal;

    /// Guards the retired lists of the four slots.
    qvSynch::LWLock m_RetireLock;
    /// Raised by the loop's thread while it may be running one of the functors (from the start of
    /// run() to its end, except while it sleeps). Retired holders are freed only while it is 0,
    /// or by the loop's thread itself between two calls.
    std::atomic<unsigned int> m_nBusy;
    /// Some slot has retired holders waiting to be freed.
    std::atomic<bool> m_bRetiredPending;
    /// The loop is about to sleep or sleeps on its empty pipeline (read by addFunction()).
    std::atomic<bool> m_bSleeping;
    /// A wakeUpIdle() found functions in the pipeline and left the wake-up to the loop's next
    /// turn; cleared by that turn before it calls the hook. If the pipeline has been emptied
    /// meanwhile, the loop turns once more instead of sleeping.
    std::atomic<bool> m_bWakeUpDeferred;
    /// A wakeUpIdle() from the loop's own thread during run(): the turn skips its sleep. Cleared
    /// before each call of the hook; touched only by the loop's thread.
    bool m_bTurnAgain;
};

#endif
