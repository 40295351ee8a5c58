#include "Platform/Thread.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <linux/futex.h>
#include <mutex>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Platform/Check.h"
#include "Platform/Common/ThreadControl.h"
#include "Platform/Futex.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace qvPlatform {

namespace {

// The control word (Common/ThreadControl.h) holds the suspension count here, and STOPPED while
// the thread sits in the suspension handler.
typedef ThreadControl Control;

int suspendSignal()
{
    return SIGRTMIN + Thread::SUSPEND_SIGNAL_OFFSET;
}

// How often the start gate gives way (sched_yield) before it sleeps in the kernel.
constexpr int SHORT_WAIT_TRIES = 64;

constexpr long RESEND_INTERVAL_NS = 20L * 1000 * 1000;

// Sleeps while word holds nExpected, at most nTimeoutNs. False when the time ran out.
bool futexWaitFor(std::atomic<std::uint32_t>& word, std::uint32_t nExpected, long nTimeoutNs)
{
    struct timespec timeout = {0, nTimeoutNs};
    const long nResult = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word),
                                 FUTEX_WAIT_PRIVATE, nExpected, &timeout, nullptr, 0);
    return nResult == 0 || errno != ETIMEDOUT;
}

// A futex word with a count of the threads asleep on it, so that a change that nobody waits for
// costs no system call. Sleepers register before they look at the word a last time, and wakers
// look at the count after their change; both sides are sequentially consistent, so either the
// sleeper sees the change (and does not sleep, or the kernel refuses the wait because the word
// differs) or the waker sees the sleeper (and wakes it). Async-signal-safe: the suspension
// handler sleeps this way too.
struct CountedWord
{
    explicit CountedWord(std::uint32_t nInitial) : m_nValue(nInitial) {}

    // Sleeps while the word holds nExpected; may return spuriously.
    void sleepWhile(std::uint32_t nExpected)
    {
        m_nSleepers.fetch_add(1, std::memory_order_seq_cst);
        if (m_nValue.load(std::memory_order_seq_cst) == nExpected)
            futexWait(m_nValue, nExpected);
        m_nSleepers.fetch_sub(1, std::memory_order_relaxed);
    }
    // As sleepWhile, at most nTimeoutNs. False when the time ran out.
    bool sleepWhileFor(std::uint32_t nExpected, long nTimeoutNs)
    {
        m_nSleepers.fetch_add(1, std::memory_order_seq_cst);
        bool bWoken = true;
        if (m_nValue.load(std::memory_order_seq_cst) == nExpected)
            bWoken = futexWaitFor(m_nValue, nExpected, nTimeoutNs);
        m_nSleepers.fetch_sub(1, std::memory_order_relaxed);
        return bWoken;
    }
    // Called after every change of the word that may let a sleeper go on (made with a
    // sequentially consistent operation).
    void wakeSleepers()
    {
        if (m_nSleepers.load(std::memory_order_seq_cst) != 0)
            futexWakeAll(m_nValue);
    }

    std::atomic<std::uint32_t> m_nValue;
    std::atomic<std::uint32_t> m_nSleepers{0};
};

} // namespace

struct Thread::State
{
    explicit State(Body pBody) : m_pBody(pBody) {}

    Body m_pBody;
    std::atomic<void*> m_pArgument{nullptr};
    // The control word (see above). Every change of it is sequentially consistent and followed
    // by wakeSleepers() where it may release someone: the start gate, a stopped thread (in its
    // suspension handler), a suspend() that waits for the thread to stop.
    CountedWord m_Control{Control::COUNT_STEP | Control::PHASE_GATE};
    // The kernel id; 0 until the new thread has published it, which is its first step.
    CountedWord m_ThreadId{0};
    // 1 once the body can never run again.
    CountedWord m_Ended{0};
    // Counts the pthread_join calls that have returned; a join() that finds another one inside
    // pthread_join waits on it, so that it too returns only once the thread has exited (its
    // thread-local destructors, which may be user code, included).
    CountedWord m_ReapsDone{0};
    std::atomic<std::uint32_t> m_nExitCode{0};
    std::atomic<bool> m_bFinished{false};
    // The wrapper and the running thread.
    std::atomic<std::uint32_t> m_nReferences{2};
    // Lowest address of the thread's stack, for unpoisoning after cancellation.
    void* m_pStackLow{nullptr};

    // Guards the validity of the pthread handle. A call that names it (cancel, kill, detach)
    // is made under this lock and only while the phase is not PHASE_DONE; the thread passes
    // through the lock right after it has entered PHASE_DONE, before it can exit. So no such
    // call reaches a thread that a concurrent pthread_join may already have reaped (its
    // handle then may name a new thread).
    std::mutex m_HandleLock;
    bool m_bReleased{false}; // joined or detached
    bool m_bReaping{false};  // a join() is inside pthread_join

    void releaseReference()
    {
        if (m_nReferences.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
};

namespace {

// The state of the thread this is, for the suspension handler, for exactly as long as the thread
// holds its reference to it: set before the thread can be signalled, cleared before it lets go
// of the reference (finishThread). Initial-exec, so that reading it in the handler never
// allocates, and it stays readable until the thread is gone. Only this thread and its handler
// use it (and suspend(), to tell whether a thread suspends itself); a lock-free atomic with
// signal fences orders the two.
__attribute__((tls_model("initial-exec"))) thread_local std::atomic<Thread::State*> t_pOwnState{
    nullptr};

// ---------------------------------------------------------------------------------------------
// Suspension handler. Runs on the stopped thread; only atomics and futex system calls.
// It has no cleanups of its own, so a cancellation that arrives while it runs (possible when it
// interrupted an asynchronously cancellable wait) unwinds through it cleanly; a sleep it leaves
// that way stays counted, which only costs wakers of that ending thread a needless wake.
extern "C" void suspensionHandler(int, siginfo_t*, void*)
{
    const int nSavedErrno = errno;
    Thread::State* pState = t_pOwnState.load(std::memory_order_relaxed);
    if (!pState) {
        errno = nSavedErrno;
        return;
    }
    CountedWord& control = pState->m_Control;
    std::uint32_t nControl = control.m_nValue.load(std::memory_order_acquire);
    for (;;) {
        const bool bStay = Control::phaseOf(nControl) == Control::PHASE_RUNNING &&
                           !(nControl & Control::TERMINATED) && Control::countOf(nControl) > 0;
        if (!bStay) {
            if (!(nControl & Control::STOPPED))
                break;
            if (control.m_nValue.compare_exchange_weak(nControl, nControl & ~Control::STOPPED)) {
                control.wakeSleepers();
                break;
            }
            continue;
        }
        if (!(nControl & Control::STOPPED)) {
            if (control.m_nValue.compare_exchange_weak(nControl, nControl | Control::STOPPED)) {
                nControl |= Control::STOPPED;
                control.wakeSleepers(); // suspend() waits for this
            }
            continue;
        }
        control.sleepWhile(nControl);
        nControl = control.m_nValue.load(std::memory_order_acquire);
    }
    errno = nSavedErrno;
}

void installSuspensionHandler()
{
    struct sigaction action = {};
    action.sa_sigaction = &suspensionHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    const int nResult = sigaction(suspendSignal(), &action, nullptr);
    QV_PLATFORM_CHECK(nResult == 0);
    (void)nResult;
}

// ---------------------------------------------------------------------------------------------
// The end of the thread, for every way it ends (also the cancellation's). After this the thread
// touches nothing shared.
//
// Entering PHASE_DONE ends every use of the thread's handle by others (see State::m_HandleLock):
// the pass through the lock waits for a cancel or kill that was decided before. The thread holds
// the lock only in PHASE_DONE, where the suspension handler never stops it.
//
// A suspension signal can still be on its way here: suspend() sends it while the body runs, then
// sees the body end and returns, and the wrapper may be deleted at once, without join(), which
// frees the state as soon as this thread lets go of it. The signal is then handled anywhere on the
// rest of the exit path (thread-local destructors, the C library's thread exit). The handler
// runs on this thread, between two of its instructions, so the thread-local is cleared before the
// reference goes: a handler that comes later finds nothing and returns; one that came earlier
// has run to its end before the thread got here.
void finishThread(Thread::State* pState, std::uint32_t nExitCode, bool bFinished)
{
    pState->m_nExitCode.store(nExitCode, std::memory_order_relaxed);
    if (bFinished)
        pState->m_bFinished.store(true, std::memory_order_release);
    CountedWord& control = pState->m_Control;
    Control::enterDone(control.m_nValue);
    control.wakeSleepers();
    {
        std::lock_guard<std::mutex> guard(pState->m_HandleLock);
    }
    pState->m_Ended.m_nValue.store(1);
    pState->m_Ended.wakeSleepers();
    t_pOwnState.store(nullptr, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pState->releaseReference();
}

// Waits at the start gate. Returns false when the thread was terminated before it started.
bool passStartGate(Thread::State* pState)
{
    CountedWord& control = pState->m_Control;
    std::uint32_t nControl = control.m_nValue.load(std::memory_order_acquire);
    // A creator that runs the thread at once does so within microseconds, usually before the
    // thread gets here: give way a bounded number of times (which lets a creator on the same
    // processor go on) before sleeping.
    for (int nTry = 0;
         nTry < SHORT_WAIT_TRIES && !(nControl & (Control::TERMINATED | Control::STARTED));
         ++nTry) {
        sched_yield();
        nControl = control.m_nValue.load(std::memory_order_acquire);
    }
    return Control::passStartGate(control.m_nValue, nControl,
                                  [&control](std::uint32_t nSeen) { control.sleepWhile(nSeen); });
}

__attribute__((noinline)) void recordStackBounds(Thread::State* pState)
{
#if defined(__SANITIZE_ADDRESS__)
    pthread_attr_t attributes;
    void* pLow = nullptr;
    size_t nSize = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &pLow, &nSize);
        pthread_attr_destroy(&attributes);
    }
    pState->m_pStackLow = pLow;
#else
    (void)pState;
#endif
}

// Runs the body. Cancellation is enabled only here, so it can act only inside the body.
// Every exception becomes the result -1, also one of another language's runtime. The
// cancellation's forced unwinding ends the thread here and must go on to the thread's start, so
// it is rethrown; it is caught by its type, a reference to which UndefinedBehaviorSanitizer takes
// for a null one (the unwinding has no object), hence the attribute.
__attribute__((noinline, no_sanitize("null"))) long invokeBody(Thread::State* pState,
                                                               void* pArgument, void* pEntryFrame)
{
    long nResult;
    try {
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        nResult = pState->m_pBody(pArgument);
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    } catch (abi::__forced_unwind&) {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        // The unwound frames never ran their epilogues, so their redzones are still poisoned,
        // and the thread's exit path (thread-local destructors) reuses that stack. Everything
        // below the entry procedure's frame is dead.
        Thread::prepareToPassCancellationOn(pEntryFrame);
        finishThread(pState, 0, false);
        throw;
    } catch (...) {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        nResult = -1;
    }
    return nResult;
}

__attribute__((noinline)) void runThread(Thread::State* pState, void* pEntryFrame)
{
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    // The id first: a getId() that was called meanwhile waits for it.
    pState->m_ThreadId.m_nValue.store(static_cast<std::uint32_t>(gettid()));
    pState->m_ThreadId.wakeSleepers();
    recordStackBounds(pState);
    t_pOwnState.store(pState, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);

    if (!passStartGate(pState)) {
        finishThread(pState, 0, false);
        return;
    }
    void* pArgument = pState->m_pArgument.load(std::memory_order_acquire);
    const long nResult = invokeBody(pState, pArgument, pEntryFrame);
    finishThread(pState, static_cast<std::uint32_t>(nResult), true);
}

// The start routine. It keeps no locals of its own in memory, so that nothing of its frame is
// left poisoned when a cancellation unwinds through it.
extern "C" void* threadEntry(void* pParameter)
{
    runThread(static_cast<Thread::State*>(pParameter), __builtin_frame_address(0));
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------------------------------------

int Thread::launch(Body pBody, State*& pState, pthread_t& handle)
{
    static std::once_flag s_HandlerInstalled;
    std::call_once(s_HandlerInstalled, installSuspensionHandler);

    pState = new State(pBody);
    const int nResult = pthread_create(&handle, nullptr, &threadEntry, pState);
    if (nResult != 0) {
        delete pState;
        pState = nullptr;
        return nResult;
    }
    // No waiting for the new thread here: its id is published by its first step, and only
    // getId() waits for that.
    return 0;
}

Thread::~Thread()
{
    {
        std::lock_guard<std::mutex> guard(m_pState->m_HandleLock);
        int nError = 0;
        requestTermination(nError);
        // A join() inside pthread_join (of another thread: a caller that destroys the object
        // while joining it breaks the calling rules) releases the handle itself.
        if (!m_pState->m_bReleased && !m_pState->m_bReaping) {
            pthread_detach(m_Handle);
            m_pState->m_bReleased = true;
        }
    }
    m_pState->releaseReference();
    m_pState = nullptr;
}

unsigned long Thread::getId() const
{
    CountedWord& threadId = m_pState->m_ThreadId;
    std::uint32_t nThreadId = threadId.m_nValue.load(std::memory_order_acquire);
    while (nThreadId == 0) {
        threadId.sleepWhile(0);
        nThreadId = threadId.m_nValue.load(std::memory_order_acquire);
    }
    return nThreadId;
}

void Thread::start(void* pArgument)
{
    CountedWord& control = m_pState->m_Control;
    std::uint32_t nControl = control.m_nValue.load(std::memory_order_acquire);
    if (Control::isOver(nControl))
        return;
    m_pState->m_pArgument.store(pArgument, std::memory_order_release);
    if (Control::markStarted(control.m_nValue, nControl))
        control.wakeSleepers();
}

void Thread::resume()
{
    CountedWord& control = m_pState->m_Control;
    if (Control::takeSuspension(control.m_nValue))
        control.wakeSleepers();
}

void Thread::suspend()
{
    CountedWord& control = m_pState->m_Control;
    std::uint32_t nControl = control.m_nValue.load(std::memory_order_acquire);
    if (!Control::addSuspension(control.m_nValue, nControl, MAXIMUM_SUSPEND_COUNT))
        return;
    // A higher count releases nobody: no wake. At the gate the count alone holds the thread
    // back.
    if (Control::phaseOf(nControl) != Control::PHASE_RUNNING)
        return;
    // Only the step from 0 to 1 needs a signal; with a count above 0 the thread is stopped or
    // a signal is on its way.
    const bool bFirstStep = Control::countOf(nControl) == 0;
    if (t_pOwnState.load(std::memory_order_relaxed) == m_pState) {
        // Suspending oneself: the handler runs before the signalling call returns and stays
        // there until another thread resumes us. No lock may be held meanwhile.
        if (bFirstStep)
            pthread_kill(pthread_self(), suspendSignal());
        return;
    }
    if (bFirstStep) {
        const int nResult = signalThread();
        if (nResult != 0) {
            // Refused: either the thread has just left its body (nothing to stop), or the
            // queue of real-time signals is full. Undo the step either way.
            QV_PLATFORM_CHECK(nResult < 0 ||
                              Control::phaseOf(control.m_nValue.load(std::memory_order_acquire)) !=
                                  Control::PHASE_RUNNING);
            resume();
            return;
        }
    }
    // Wait until the thread has stopped, has left its body, or no longer needs to stop. The
    // kernel never loses the signal, but ThreadSanitizer, which defers signals to its own safe
    // points, can: should the thread not stop within a while, the signal is sent again. A
    // surplus signal is harmless (the handler returns at once when the count is 0).
    nControl = control.m_nValue.load(std::memory_order_acquire);
    while (Control::phaseOf(nControl) == Control::PHASE_RUNNING &&
           !(nControl & (Control::STOPPED | Control::TERMINATED)) &&
           Control::countOf(nControl) > 0) {
        if (!control.sleepWhileFor(nControl, RESEND_INTERVAL_NS))
            signalThread();
        nControl = control.m_nValue.load(std::memory_order_acquire);
    }
}

// Sends the suspension signal. Returns the pthread result, or -1 when the thread has left its
// body (its handle may be gone).
int Thread::signalThread()
{
    std::lock_guard<std::mutex> guard(m_pState->m_HandleLock);
    if (m_pState->m_bReleased || Control::phaseOf(m_pState->m_Control.m_nValue.load(
                                     std::memory_order_acquire)) == Control::PHASE_DONE)
        return -1;
    return pthread_kill(m_Handle, suspendSignal());
}

// Called with m_HandleLock held.
void Thread::requestTermination(int& nError)
{
    CountedWord& control = m_pState->m_Control;
    const std::uint32_t nControl = Control::markTerminated(control.m_nValue);
    if (nControl & Control::TERMINATED)
        return;
    // Wakes the start gate, a stopped thread and anyone waiting in suspend().
    control.wakeSleepers();
    if (Control::phaseOf(nControl) == Control::PHASE_RUNNING && !m_pState->m_bReleased) {
        const int nResult = pthread_cancel(m_Handle);
        if (nResult != 0 && nResult != ESRCH)
            nError = nResult;
    }
}

int Thread::terminate()
{
    std::lock_guard<std::mutex> guard(m_pState->m_HandleLock);
    int nError = 0;
    requestTermination(nError);
    return nError;
}

// The first joiner reaps the thread with pthread_join, a single sleep until the thread has
// exited; joiners that come while it does wait until the thread has left everything of ours.
// join() is no cancellation point (it never was): a joining thread that is terminated goes on
// waiting, and the cancellation acts at its next cancellation point after the join.
void Thread::join()
{
    CountedWord& reapsDone = m_pState->m_ReapsDone;
    for (;;) {
        bool bReap = false;
        std::uint32_t nReapsDone = 0;
        {
            std::lock_guard<std::mutex> guard(m_pState->m_HandleLock);
            if (m_pState->m_bReleased)
                break; // reaped (the thread has exited) or detached (wait for its end below)
            nReapsDone = reapsDone.m_nValue.load(std::memory_order_seq_cst);
            if (!m_pState->m_bReaping) {
                m_pState->m_bReaping = true;
                bReap = true;
            }
        }
        if (!bReap) {
            // Another join() is inside pthread_join: wait until that call has returned.
            reapsDone.sleepWhile(nReapsDone);
            continue;
        }
        int nCancelState = PTHREAD_CANCEL_DISABLE;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &nCancelState);
        // Fails (EDEADLK) only for the thread itself, which then waits below for ever, as a
        // thread that joins itself does; another joiner then takes over.
        const bool bJoined = pthread_join(m_Handle, nullptr) == 0;
        pthread_setcancelstate(nCancelState, nullptr);
        {
            std::lock_guard<std::mutex> guard(m_pState->m_HandleLock);
            m_pState->m_bReaping = false;
            m_pState->m_bReleased = m_pState->m_bReleased || bJoined;
            reapsDone.m_nValue.fetch_add(1, std::memory_order_seq_cst);
        }
        reapsDone.wakeSleepers();
        if (bJoined)
            return;
        break;
    }
    CountedWord& ended = m_pState->m_Ended;
    while (ended.m_nValue.load(std::memory_order_acquire) == 0)
        ended.sleepWhile(0);
}

bool Thread::isFinished() const
{
    return m_pState->m_bFinished.load(std::memory_order_acquire);
}

bool Thread::hasEnded() const
{
    return m_pState->m_Ended.m_nValue.load(std::memory_order_acquire) != 0;
}

std::uint32_t Thread::getExitCode() const
{
    if (!hasEnded())
        return 0;
    return m_pState->m_nExitCode.load(std::memory_order_relaxed);
}

unsigned long Thread::currentId()
{
    return static_cast<unsigned long>(gettid());
}

void Thread::prepareToPassCancellationOn(void* pCatchingFrame)
{
#if defined(__SANITIZE_ADDRESS__)
    State* pState = t_pOwnState.load(std::memory_order_relaxed);
    char* pLow = pState ? static_cast<char*>(pState->m_pStackLow) : nullptr;
    char* pHigh = static_cast<char*>(pCatchingFrame);
    if (pLow && pHigh > pLow)
        __asan_unpoison_memory_region(pLow, static_cast<size_t>(pHigh - pLow));
#else
    (void)pCatchingFrame;
#endif
}

// The cancellation's forced unwinding is caught by its type (an exception of another language's
// runtime has no current exception either, and is dropped like a C++ one); a reference to it is
// what UndefinedBehaviorSanitizer takes for a null one (the unwinding has no object).
__attribute__((noinline, no_sanitize("null"))) long Thread::callCatchingExceptions(Body pBody,
                                                                                   void* pArgument)
{
    try {
        return pBody(pArgument);
    } catch (abi::__forced_unwind&) {
        // Every frame below this one is dead.
        prepareToPassCancellationOn(__builtin_frame_address(0));
        throw;
    } catch (...) {
        return -1;
    }
}

} // namespace qvPlatform
