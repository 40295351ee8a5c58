#ifndef QV_PLATFORM_THREAD_H
#define QV_PLATFORM_THREAD_H

// An OS thread that is created held back, can be stopped and restarted by other threads, and
// can be ended from outside: what the library's thread wrapper needs of a Win32 thread.
//
// Common to both platforms:
// - Held back at creation. create() returns with the thread's id known; the thread then runs no
//   caller code until start() has handed it an argument and its suspension count is 0 (it
//   starts at 1, as a thread created suspended does). A thread released before start() (by
//   resume()) waits at a start gate for it.
// - Suspension count. suspend() adds one, resume() and start() take one off (never below 0);
//   the count stops growing at MAXIMUM_SUSPEND_COUNT. suspend() of a running thread returns
//   only once the thread is stopped, so from then on it executes nothing of its body until the
//   count is back to 0. A thread that has ended is not affected.
// - Termination. A thread still at its start gate (or held there by its suspension count) ends
//   without calling its body. What happens to a thread running its body differs, see below.
//   TERMINATION_UNWINDS_STACK (PlatformTypes.h) tells the library which of the two it has.
// - Results. The body's result, truncated to 32 bits, is the exit code; a body that threw gives
//   0xFFFFFFFF; a thread that was terminated, or never ran its body, gives 0. isFinished() is
//   true once the body has returned or thrown (not when the thread was terminated).
//
// Linux (pthreads):
// - create() returns as soon as the thread exists; it does not wait for it. The new thread's
//   kernel id (gettid) is known only on the thread itself: its first step publishes it, and
//   getId() waits for that if it is asked before (so only callers of getId() pay that round
//   trip). The thread then waits at the start gate.
// - A thread that is running its body is stopped by a real-time signal (SUSPEND_SIGNAL) whose
//   handler waits, with async-signal-safe futex calls only, while the count is above 0. Should
//   the thread not stop within 20 ms the signal is sent again (ThreadSanitizer defers signals to
//   its own safe points and can drop one); a surplus signal is harmless. Under ThreadSanitizer
//   every futex wait of the library (Futex.h), the cancellable one too, wakes every 10 ms and
//   passes through such a point, so a thread asleep in one is stopped all the same. POSIX cannot
//   stop a thread inside a system call: a thread blocked in the kernel is stopped when the call
//   returns or is interrupted by the signal, before it runs any more of its body.
// - terminate() never waits. A thread running its body is cancelled (pthread_cancel, deferred):
//   it ends at its next cancellation point, which is any POSIX cancellation point (read,
//   nanosleep, condition waits, ...) and every blocking wait of qvPlatform::Semaphore, or when
//   its body returns, whichever comes first. A stopped thread is released from its suspension so
//   that it can get there. Unlike TerminateThread, cancellation unwinds the thread's stack:
//   destructors of its frames run (so locks held through guards are released).
// - join(): the first joiner reaps the thread (pthread_join), one sleep until it has exited;
//   joiners that come meanwhile return once it has left its body. join() is no cancellation
//   point. Waits and wakes make system calls only when somebody really sleeps, so a thread that
//   is run at once and joined costs what a plain pthread_create + pthread_join costs, plus a
//   gettid.
// - The thread lets go of its shared state as the last step of its end, after which the
//   suspension handler no longer looks at it: a suspension signal still pending when the wrapper
//   goes is handled harmlessly on the thread's exit path.
//
// Windows (kernel32):
// - CreateThread with CREATE_SUSPENDED; the id comes with the handle. The OS's own suspension
//   count is the count: suspend() is SuspendThread (followed by GetThreadContext, which returns
//   only once the thread has really stopped; SuspendThread alone does not wait), resume() and
//   start() are ResumeThread. A thread is stopped wherever it is, inside a system call too.
// - suspend() and terminate() never leave a thread stopped inside one of the library's internal
//   regions (Futex.h: the parking lot's bucket locks, the queues' and maps' locks): one found
//   inside is resumed and stopped again until it is outside.
// - terminate() of a thread running its body is TerminateThread, made while the thread is
//   stopped outside the internal regions: nothing of it runs again, no destructor, no cleanup.
//   Hazard: whatever the thread's own code held stays as it was, a lock it held stays held for
//   ever (also a lock inside the C runtime, such as the heap's), an object it was changing stays
//   half-changed. Use it only on a thread whose state nobody depends on; the library's own
//   shutdown paths never do it to a thread that may run user code. A thread that has left its
//   body is not killed (its exit path holds the loader's lock): terminate() waits for its end.
//   After the kill it waits until the OS has ended the thread (which runs none of its code for
//   that), releases what the thread would have released itself, and wakes every sleeper of the
//   address the thread last slept on: a wake-up that had taken it off that address is not lost.
//   A thread at its start gate is released instead (ResumeThread until it runs) and leaves the
//   gate on its own, without calling its body.
// - join() waits for the OS thread to end (WaitForSingleObject); the exit code is the one
//   GetExitCodeThread reports.
//
// Lifetime: the state the thread writes (finished flag, exit code, start word) is shared by
// reference count between this object and the running thread, so the object may be destroyed
// while the thread still runs; the thread then never touches it. The destructor terminates the
// thread as terminate() does and releases the handle, without waiting for the thread's body.
//
// Threads: every operation may be called from any thread, also concurrently (join() from
// several threads, terminate() while another thread joins). suspend() of the calling thread
// itself returns once another thread has resumed it.
//
// Sanitizers (Linux): cancellation unwinds frames without the AddressSanitizer epilogues that
// unpoison their stack redzones, and the exit path of the thread reuses that stack. The entry
// procedure therefore unpoisons the unwound part of the stack before the unwinding leaves it
// (only in AddressSanitizer builds), and it tells the cancellation apart from C++ exceptions
// without binding a reference to abi::__forced_unwind (which UndefinedBehaviorSanitizer
// reports).

#include <atomic>
#include <cstdint>

#include "PlatformTypes.h"

namespace qvPlatform {

class Thread
{
public:
    typedef long (*Body)(void* pArgument);

    // Linux: the real-time signal that stops a running thread (SIGRTMIN + this offset).
    static constexpr int SUSPEND_SIGNAL_OFFSET = 4;
    // Whether terminate() of a thread that runs its body unwinds its stack (Linux: cancellation)
    // or stops it dead (Windows: TerminateThread). Only in the first case may the library end a
    // thread that may be running user code that way.
    static constexpr bool TERMINATION_UNWINDS_STACK = qvPlatform::TERMINATION_UNWINDS_STACK;
    // Suspension counts stop growing here; a further suspend() does nothing (as on Win32).
    static constexpr std::uint32_t MAXIMUM_SUSPEND_COUNT = 127;

    // Creates the thread held at its start gate. Returns 0 and the new object in pThread, or
    // the OS's error number (pthread_create's result, GetLastError()) and leaves pThread
    // untouched. An allocation failure throws std::bad_alloc and leaves no thread behind (one
    // already created is ended).
    static int create(Body pBody, Thread*& pThread);

    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // The thread's OS id, valid from creation on. Linux: the first call may wait until the new
    // thread has published its id (its first step, microseconds after creation).
    unsigned long getId() const;

    // Hands the thread its argument (the latest one counts until the thread reads it, once,
    // when it leaves the start gate) and takes one off the suspension count. Does nothing once
    // the body has ended or the thread was terminated.
    void start(void* pArgument);
    void suspend();
    void resume();
    // Returns 0, or the error number of the failed pthread_cancel / TerminateThread.
    int terminate();
    // Blocks until the thread has ended (its body will never run again); returns at once when
    // it has. A thread that never gets start() keeps join() waiting.
    void join();

    bool isFinished() const;
    bool hasEnded() const;
    std::uint32_t getExitCode() const;

    static unsigned long currentId();

    // Calls pBody(pArgument) on the calling thread and returns its result, or -1 when it throws
    // a C++ exception (which is dropped). A cancellation that unwinds the call goes on to the
    // thread's start: for a body inside a body (a team member's job) that must keep its thread
    // after a throwing call. Under AddressSanitizer the unwound part of the stack is unpoisoned
    // before the unwinding goes on, as the entry procedure does (see above); a plain
    // catch (...) and rethrow there would run the sanitizer's no-return hook over the stale
    // redzones of the frames already unwound.
    static long callCatchingExceptions(Body pBody, void* pArgument);

    // For a catch (...) of the library's own that passes a cancellation's forced unwinding on
    // with "throw;" (one that has no current exception): call it first, with the catching
    // function's __builtin_frame_address(0). Under AddressSanitizer it unpoisons the calling
    // thread's stack below that frame, as callCatchingExceptions() does; nothing elsewhere.
    static void prepareToPassCancellationOn(void* pCatchingFrame);

    struct State;

private:
    Thread(State* pState, NativeThreadHandle handle);
    // The platform's part of create(): makes the shared state and the OS thread, held at its
    // start gate. Returns 0, or the OS's error number with nothing left behind.
    static int launch(Body pBody, State*& pState, NativeThreadHandle& handle);
    void requestTermination(int& nError);
#if defined(_WIN32)
    enum StopResult
    {
        STOPPED,
        LEFT_BODY,
        STAYED_INSIDE
    };
    int stopForTermination(const void*& pLastParked);
    void killRunningThread(int& nError);
    void giveUpKilling(int nError);
#endif
    int signalThread();

    // The id, the lock that guards the handle and the rest live in the shared state.
    State* m_pState;
    NativeThreadHandle m_Handle;
};

} // namespace qvPlatform

#endif
