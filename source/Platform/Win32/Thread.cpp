#include "Platform/Thread.h"

#include <windows.h>

#include "Platform/Check.h"
#include "Platform/Common/ThreadControl.h"
#include "Platform/Futex.h"
#include "Platform/Mutex.h"

namespace qvPlatform {

namespace {

// The start word (Common/ThreadControl.h), which the start gate, start() and terminate() go
// through. The suspension count is the OS's own: the word holds none, and never STOPPED.
// Leaving the gate is one atomic step that a concurrent terminate() cannot split: either the
// thread runs its body (and terminate() kills it) or it sees TERMINATED and ends without calling
// it.
typedef ThreadControl Control;

constexpr DWORD SUSPEND_FAILED = static_cast<DWORD>(-1);

// How long suspend() and terminate() look for a moment when their thread is outside every
// internal region before they give up (qvThread.h says what each does then). The library's own
// regions last microseconds; a thread stays in one for long only while it cannot run (a
// processor shared by many threads) or runs code that is not the library's own there.
constexpr ULONGLONG REGION_WAIT_LIMIT_MS = 5000;

} // namespace

struct Thread::State
{
    explicit State(Body pBody) : m_pBody(pBody) {}

    Body m_pBody;
    // From CreateThread, set before the wrapper exists.
    unsigned long m_nThreadId{0};
    std::atomic<void*> m_pArgument{nullptr};
    std::atomic<std::uint32_t> m_nControl{Control::PHASE_GATE};
    // 1 once the body can never run again (join() waits on the thread's handle instead).
    std::atomic<std::uint32_t> m_nEnded{0};
    std::atomic<std::uint32_t> m_nExitCode{0};
    std::atomic<bool> m_bFinished{false};
    // The wrapper and the running thread.
    std::atomic<std::uint32_t> m_nReferences{2};
    // 1 while the thread still holds its reference: a thread killed by TerminateThread never
    // lets go of it, so terminate() does that on its behalf once the OS has ended it. Whoever
    // exchanges this to 0 first drops the reference.
    std::atomic<std::uint32_t> m_nThreadHoldsReference{1};
    // The thread's count of internal regions and the address it last parked on (Futex.h),
    // written before its gate and published by m_bWaitRecordPublished; read by others only while
    // the thread is stopped. The record is the thread's own until terminate() takes it over to
    // kill it, and then the terminator's to free.
    WaitRecord m_WaitRecord{nullptr, nullptr};
    std::atomic<bool> m_bWaitRecordPublished{false};
    // Set by the terminate() that stops and kills the thread, so that one does; let go again when
    // it gives up (the thread stayed inside an internal region), so that a later one tries again.
    std::atomic<bool> m_bKilling{false};
    // Counts the terminate() calls that gave up; m_nKillError holds the error of the last one.
    // A terminate() that waited for another one's outcome reports that one's failure.
    std::atomic<std::uint32_t> m_nKillsGivenUp{0};
    std::atomic<int> m_nKillError{0};

    void releaseReference()
    {
        if (m_nReferences.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    void releaseThreadReference()
    {
        if (m_nThreadHoldsReference.exchange(0, std::memory_order_acq_rel) == 1)
            releaseReference();
    }

    // Marks the thread as ended. Nobody sleeps on either word then: only the thread itself
    // waits on the start word (at its gate), and joiners wait on the handle.
    void markEnded()
    {
        Control::enterDone(m_nControl);
        m_nEnded.store(1, std::memory_order_release);
    }
};

namespace {

// The end of the thread, for the two ways it ends by itself. After this the thread touches
// nothing shared.
void finishThread(Thread::State* pState, std::uint32_t nExitCode, bool bFinished)
{
    pState->m_nExitCode.store(nExitCode, std::memory_order_relaxed);
    if (bFinished)
        pState->m_bFinished.store(true, std::memory_order_release);
    pState->markEnded();
    pState->releaseThreadReference();
}

// Sets TERMINATED for a thread that ends itself; true when it runs its body and so has to end
// now (false when terminate() was called before, or the body is already over).
bool markTerminatedBySelf(Thread::State* pState)
{
    const std::uint32_t nControl = Control::markTerminated(pState->m_nControl);
    return !(nControl & Control::TERMINATED) &&
           Control::phaseOf(nControl) == Control::PHASE_RUNNING;
}

// Waits at the start gate. Returns false when the thread was terminated before it started.
bool passStartGate(Thread::State* pState)
{
    std::atomic<std::uint32_t>& control = pState->m_nControl;
    return Control::passStartGate(control, control.load(std::memory_order_acquire),
                                  [&control](std::uint32_t nSeen) { futexWait(control, nSeen); });
}

// One thread at a time in the process stops another: terminate(), the destructor and suspend()
// of another thread take this lock before they look at their thread. A thread that waits for it
// is inside no internal region, so that two threads that stop each other do not wait for each
// other (the one holding it stops the other there); and since only a holder stops or kills
// another thread, no holder is ever stopped or killed, also while it waits for its target to
// leave an internal region. A mutex object, handed on all the same should its owner end without
// letting go.
// Made when the library is loaded (see s_bMadeAtLoad in Futex.cpp for why not at first use).
Mutex& terminationLock()
{
    static Mutex* const s_pLock = new Mutex(true);
    return *s_pLock;
}
// An allocation failing while the library loads may well end the process.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] Mutex& s_TerminationLockMadeAtLoad = terminationLock();

class TerminationGuard
{
public:
    TerminationGuard() { terminationLock().lock(); }
    ~TerminationGuard() { terminationLock().unlock(); }
    TerminationGuard(const TerminationGuard&) = delete;
    TerminationGuard& operator=(const TerminationGuard&) = delete;
};

// Whether the thread, stopped, is inside one of the library's internal regions (Futex.h). A thread
// that has not published its record yet is on its way from the OS's start-up (thread-attach
// notifications, under the loader's lock) through the making of its record (the records' heap,
// the FLS slot, kernel objects) to its gate: it counts as inside one, so that suspend() does not
// leave it stopped there either. terminate() never looks at such a thread (it is before its gate).
bool isInsideInternalRegion(const Thread::State* pState)
{
    if (!pState->m_bWaitRecordPublished.load(std::memory_order_acquire))
        return true;
    const std::atomic<std::uint32_t>* pRegions = pState->m_WaitRecord.m_pInternalRegions;
    return pRegions != nullptr && pRegions->load(std::memory_order_seq_cst) != 0;
}

// One turn of waiting for a thread that was found inside an internal region (and let go again):
// the termination lock is let go for the moment, so that no thread waits for it while this one
// waits for its target. The target itself may be among them, inside its region (code that
// destroys another qvThread there): holding the lock across the wait, each would wait for the
// other for ever. While it is let go, this thread holds nothing that the target may need.
void waitForRegionExit()
{
    terminationLock().unlock();
    ::SwitchToThread();
    terminationLock().lock();
}

// Whether the limit of waiting for a thread to leave its regions has passed since nStart.
bool regionWaitIsOver(ULONGLONG nStart)
{
    return ::GetTickCount64() - nStart >= REGION_WAIT_LIMIT_MS;
}

// Waits until SuspendThread has really stopped the thread (it only asks the OS to): reading its
// context returns only then.
void waitUntilStopped(HANDLE hThread)
{
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    ::GetThreadContext(hThread, &context);
}

// Runs the body. Every C++ exception becomes the result -1.
long invokeBody(Thread::State* pState, void* pArgument)
{
    try {
        return pState->m_pBody(pArgument);
    } catch (...) {
        return -1;
    }
}

DWORD WINAPI threadEntry(LPVOID pParameter)
{
    Thread::State* pState = static_cast<Thread::State*>(pParameter);
    // While the thread is at its gate, terminate() does not kill it: its first wait's set-up
    // is done here rather than at a moment when it may be killed half-way.
    pState->m_WaitRecord = waitRecord();
    pState->m_bWaitRecordPublished.store(true, std::memory_order_release);
    if (!passStartGate(pState)) {
        finishThread(pState, 0, false);
        return 0;
    }
    void* pArgument = pState->m_pArgument.load(std::memory_order_acquire);
    const auto nExitCode = static_cast<std::uint32_t>(invokeBody(pState, pArgument));
    finishThread(pState, nExitCode, true);
    return nExitCode;
}

} // namespace

// ---------------------------------------------------------------------------------------------

int Thread::launch(Body pBody, State*& pState, NativeThreadHandle& handle)
{
    pState = new State(pBody);
    DWORD nThreadId = 0;
    handle = ::CreateThread(nullptr, 0, &threadEntry, pState, CREATE_SUSPENDED, &nThreadId);
    if (handle == nullptr) {
        const DWORD nError = ::GetLastError();
        delete pState;
        pState = nullptr;
        return nError != 0 ? static_cast<int>(nError) : -1;
    }
    pState->m_nThreadId = nThreadId;
    return 0;
}

Thread::~Thread()
{
    State* pState = m_pState;
    m_pState = nullptr;
    if (::GetCurrentThreadId() == pState->m_nThreadId) {
        // A thread that destroys its own wrapper ends with it, as terminate() would end it.
        const bool bEndSelf = markTerminatedBySelf(pState);
        ::CloseHandle(m_Handle);
        if (bEndSelf) {
            finishThread(pState, 0, false);
            pState->releaseReference();
            releaseOwnWaitRecord();
            ::TerminateThread(::GetCurrentThread(), 0);
        }
        pState->releaseReference();
        return;
    }
    {
        TerminationGuard guard;
        m_pState = pState;
        int nError = 0;
        requestTermination(nError);
        m_pState = nullptr;
        ::CloseHandle(m_Handle);
        m_Handle = nullptr;
    }
    pState->releaseReference();
}

unsigned long Thread::getId() const
{
    return m_pState->m_nThreadId;
}

void Thread::start(void* pArgument)
{
    std::atomic<std::uint32_t>& control = m_pState->m_nControl;
    std::uint32_t nControl = control.load(std::memory_order_acquire);
    if (Control::isOver(nControl))
        return;
    m_pState->m_pArgument.store(pArgument, std::memory_order_release);
    if (!Control::markStarted(control, nControl))
        return;
    futexWakeAll(control);
    // One step off the OS count; a count of 0 stays 0.
    ::ResumeThread(m_Handle);
}

void Thread::resume()
{
    // Once termination was asked for, a suspend() holds nothing any more (it let the thread go,
    // or terminate() ends it held): a step off the count now could take off the step of a
    // terminate() that holds the thread stopped outside every internal region, and let it be
    // killed anywhere. A terminate() that gives up takes its mark back (giveUpKilling()).
    if (Control::isOver(m_pState->m_nControl.load(std::memory_order_acquire)))
        return;
    ::ResumeThread(m_Handle);
}

void Thread::suspend()
{
    std::atomic<std::uint32_t>& control = m_pState->m_nControl;
    if (Control::isOver(control.load(std::memory_order_acquire)))
        return;
    // Suspending oneself returns once another thread has resumed us (without any lock held:
    // terminate() must be able to end a thread that holds itself).
    if (::GetCurrentThreadId() == m_pState->m_nThreadId) {
        ::SuspendThread(m_Handle);
        return;
    }
    // Holding the lock, this thread is stopped by nobody while it may hold the other one stopped.
    TerminationGuard guard;
    const ULONGLONG nStart = ::GetTickCount64();
    for (;;) {
        const DWORD nPrevious = ::SuspendThread(m_Handle);
        if (nPrevious == SUSPEND_FAILED)
            return; // the thread has gone, or its count is at the maximum
        // A thread that ended or was terminated meanwhile is not held: undo the step
        // (terminate() may be releasing a thread at its gate, and must not miss this one).
        if (Control::isOver(control.load(std::memory_order_acquire))) {
            ::ResumeThread(m_Handle);
            return;
        }
        // A thread that was already held stays as it was.
        if (nPrevious != 0)
            return;
        waitUntilStopped(m_Handle);
        // Stopped now. One that got to its end meanwhile may have freed its thread-locals (the
        // count below is one): let it go, as above.
        if (Control::isOver(control.load(std::memory_order_acquire))) {
            ::ResumeThread(m_Handle);
            return;
        }
        // Stopped inside one of the library's internal locks (a parking-lot bucket, a queue's or
        // a map's lock), it would hold up every other thread that needs it: let it leave, then
        // again. One that stays inside past the limit is left stopped there, as on Linux: the
        // lock waits for resume().
        if (!isInsideInternalRegion(m_pState) || regionWaitIsOver(nStart))
            return;
        ::ResumeThread(m_Handle);
        waitForRegionExit();
    }
}

// Called with the termination lock held, TERMINATED set, for a thread
// that was running its body. Adds one to the thread's suspension count at a moment when it is
// outside every internal region, and reads the address it last parked on. STOPPED when the thread
// is to be killed (it is stopped then); LEFT_BODY when it has ended or left its body, STAYED_INSIDE
// when it was inside a region every time it was looked at until the limit (nothing is left
// stopped in either case).
int Thread::stopForTermination(const void*& pLastParked)
{
    const ULONGLONG nStart = ::GetTickCount64();
    for (;;) {
        const DWORD nPrevious = ::SuspendThread(m_Handle);
        if (nPrevious == SUSPEND_FAILED) {
            // Gone, or its count is at the maximum: then suspend() has already stopped it,
            // outside every internal region (or inside one, past its limit: then as below).
            if (::WaitForSingleObject(m_Handle, 0) == WAIT_OBJECT_0 ||
                Control::phaseOf(m_pState->m_nControl.load(std::memory_order_acquire)) ==
                    Control::PHASE_DONE)
                return LEFT_BODY;
            if (isInsideInternalRegion(m_pState))
                return STAYED_INSIDE;
            break;
        }
        waitUntilStopped(m_Handle);
        if (Control::phaseOf(m_pState->m_nControl.load(std::memory_order_acquire)) ==
            Control::PHASE_DONE) {
            ::ResumeThread(m_Handle);
            return LEFT_BODY;
        }
        // A count raised before need not mean a thread stopped outside every region: it may be
        // that of a suspend() on another thread that is still looking for such a moment (and
        // will let the thread go on). So the region is looked at whatever the count was.
        (void)nPrevious;
        if (!isInsideInternalRegion(m_pState))
            break;
        ::ResumeThread(m_Handle);
        if (regionWaitIsOver(nStart))
            return STAYED_INSIDE;
        waitForRegionExit();
        // Ended meanwhile (the lock was let go): the handle tells; nothing to stop any more.
        if (::WaitForSingleObject(m_Handle, 0) == WAIT_OBJECT_0)
            return LEFT_BODY;
    }
    const std::atomic<const void*>* pParked =
        m_pState->m_bWaitRecordPublished.load(std::memory_order_acquire)
            ? m_pState->m_WaitRecord.m_pLastParked
            : nullptr;
    pLastParked = pParked ? pParked->load(std::memory_order_seq_cst) : nullptr;
    return STOPPED;
}

// Called with the termination lock held.
void Thread::requestTermination(int& nError)
{
    // Nothing on the way allocates or takes a lock that the target may hold (the caller needs no
    // record of its own; the target's is freed on a heap of its own): once the thread is marked,
    // resume() does nothing, so that a target that suspend() stopped holding such a lock would
    // hold this call up for ever.
    const std::uint32_t nControl = Control::markTerminated(m_pState->m_nControl);
    if (nControl & Control::TERMINATED) {
        // Marked before. A terminate() that gave up on a thread that stayed inside an internal
        // region lets go of m_bKilling: this one tries again.
        if (Control::phaseOf(nControl) == Control::PHASE_RUNNING)
            killRunningThread(nError);
        return;
    }
    // Wakes a thread waiting at its start gate.
    futexWakeAll(m_pState->m_nControl);
    switch (Control::phaseOf(nControl)) {
    case Control::PHASE_GATE:
        // Held by its suspension count, perhaps: let it run to the gate, where it sees
        // TERMINATED and ends without calling its body.
        while (true) {
            const DWORD nPrevious = ::ResumeThread(m_Handle);
            if (nPrevious == SUSPEND_FAILED || nPrevious <= 1)
                break;
        }
        break;
    case Control::PHASE_RUNNING:
        killRunningThread(nError);
        break;
    default:
        break;
    }
}

// Called with the termination lock held, TERMINATED set, for a thread that was running its body.
// Killed only while stopped outside the library's internal regions (one killed inside would leave
// that lock held for every other thread), and only while still inside its body: one that has left
// it runs nothing of the caller's any more, and its exit path holds the loader's lock, which a
// kill would leave taken for the whole process.
void Thread::killRunningThread(int& nError)
{
    // One terminate() at a time stops and kills the thread (the termination lock is let go while
    // it waits for the thread to leave a region). Another waits for its outcome, with the lock let
    // go: the thread ended (success), or the first gave up (its failure, reported here too, so that
    // no terminate() returns as if it had ended a thread that lives on).
    const std::uint32_t nGivenUp = m_pState->m_nKillsGivenUp.load(std::memory_order_acquire);
    while (m_pState->m_bKilling.exchange(true, std::memory_order_acq_rel)) {
        terminationLock().unlock();
        const DWORD nWait = ::WaitForSingleObject(m_Handle, 1);
        terminationLock().lock();
        if (nWait == WAIT_OBJECT_0)
            return;
        if (m_pState->m_nKillsGivenUp.load(std::memory_order_acquire) != nGivenUp) {
            nError = m_pState->m_nKillError.load(std::memory_order_relaxed);
            return;
        }
    }
    const void* pLastParked = nullptr;
    const int nStop = stopForTermination(pLastParked);
    if (nStop == STAYED_INSIDE) {
        giveUpKilling(ERROR_TIMEOUT);
        nError = ERROR_TIMEOUT;
        return;
    }
    const bool bKill = nStop == STOPPED;
    // From the kill on, the thread's parking record is this call's to free: the thread would
    // have freed it as it ended.
    const bool bHasRecord = m_pState->m_bWaitRecordPublished.load(std::memory_order_acquire);
    if (bKill && bHasRecord)
        takeOverWaitRecord(m_pState->m_WaitRecord);
    if (bKill && !::TerminateThread(m_Handle, 0)) {
        const DWORD nTerminateError = ::GetLastError();
        // Refused because the thread has just ended by itself: nothing to do (it was stopped
        // outside its exit path, so that can only be an end of its own code's making).
        if (::WaitForSingleObject(m_Handle, 0) != WAIT_OBJECT_0) {
            if (bHasRecord)
                giveBackWaitRecord(m_pState->m_WaitRecord);
            ::ResumeThread(m_Handle);
            giveUpKilling(static_cast<int>(nTerminateError));
            nError = static_cast<int>(nTerminateError);
            return;
        }
    }
    // The OS ends the thread asynchronously, running none of its code for that. Once it
    // has, the thread's own end (marked ended, its reference dropped) is done here, unless
    // it got that far itself. A thread that has left its body runs its exit path (thread-local
    // destructors, which may end other threads and so need the termination lock): it is waited
    // for with the lock let go.
    if (bKill) {
        ::WaitForSingleObject(m_Handle, INFINITE);
    } else {
        terminationLock().unlock();
        ::WaitForSingleObject(m_Handle, INFINITE);
        terminationLock().lock();
    }
    if (m_pState->m_nEnded.load(std::memory_order_acquire) == 0)
        m_pState->markEnded();
    // A wake-up that took the thread off the address it slept on, and that it had no time to
    // act on, went with it: wake that address's sleepers, who look again (a needless
    // wake-up when there was none). The address may be that of an object that is gone; the
    // wake only hashes it.
    if (bKill && pLastParked)
        futexWakeAll(*static_cast<std::atomic<std::uint32_t>*>(const_cast<void*>(pLastParked)));
    if (bKill && bHasRecord)
        freeWaitRecordOfKilledThread(m_pState->m_WaitRecord);
    m_pState->releaseThreadReference();
}

// Called with the termination lock held by a terminate() that gives up on a thread that lives on.
// Its mark is taken back, as if it had not been called: resume() lets go of a thread that a
// suspend() left stopped inside a region (until then it stays there), and a later terminate()
// tries again. Then the terminate() calls that wait for this one's outcome are told.
void Thread::giveUpKilling(int nError)
{
    m_pState->m_nControl.fetch_and(~Control::TERMINATED);
    m_pState->m_nKillError.store(nError, std::memory_order_relaxed);
    m_pState->m_nKillsGivenUp.fetch_add(1, std::memory_order_acq_rel);
    m_pState->m_bKilling.store(false, std::memory_order_release);
}

int Thread::terminate()
{
    if (::GetCurrentThreadId() == m_pState->m_nThreadId) {
        // Ending oneself, without holding the termination lock (it would stay held for ever): the
        // thread's own end is done first, as nobody could do it afterwards. Nothing of the state
        // is read once it has let go of its reference. Its parking record, which its end would
        // have freed, is freed here: TerminateThread runs none of the thread's release callbacks.
        // Marked done before, the thread is neither stopped nor killed by another thread any more,
        // which would then look at the record (suspend() and terminate() let such a thread go).
        if (markTerminatedBySelf(m_pState)) {
            finishThread(m_pState, 0, false);
            releaseOwnWaitRecord();
            ::TerminateThread(::GetCurrentThread(), 0);
        }
        return 0;
    }
    TerminationGuard guard;
    int nError = 0;
    requestTermination(nError);
    return nError;
}

int Thread::signalThread()
{
    return 0; // Linux only: the suspension signal
}

// One sleep, on the thread's handle: it is signalled when the OS thread has ended, however it
// ended (by itself, or killed by terminate()).
void Thread::join()
{
    ::WaitForSingleObject(m_Handle, INFINITE);
}

bool Thread::isFinished() const
{
    return m_pState->m_bFinished.load(std::memory_order_acquire);
}

bool Thread::hasEnded() const
{
    return m_pState->m_nEnded.load(std::memory_order_acquire) != 0;
}

std::uint32_t Thread::getExitCode() const
{
    if (!hasEnded())
        return 0;
    DWORD nExitCode = 0;
    if (::WaitForSingleObject(m_Handle, 0) == WAIT_OBJECT_0 &&
        ::GetExitCodeThread(m_Handle, &nExitCode))
        return nExitCode;
    // Left its body, not yet ended by the OS: the code it is about to return.
    return m_pState->m_nExitCode.load(std::memory_order_relaxed);
}

unsigned long Thread::currentId()
{
    return ::GetCurrentThreadId();
}

void Thread::prepareToPassCancellationOn(void*) {}

long Thread::callCatchingExceptions(Body pBody, void* pArgument)
{
    try {
        return pBody(pArgument);
    } catch (...) {
        return -1;
    }
}

} // namespace qvPlatform
