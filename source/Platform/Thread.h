#ifndef QV_PLATFORM_THREAD_H
#define QV_PLATFORM_THREAD_H

// An OS thread that is created held back, can be stopped and restarted by other threads, and
// can be ended from outside: what the library's thread wrapper needs of a Win32 thread, built on
// pthreads.
//
// - Held back at creation. create() returns once the new thread has published its kernel id
//   (gettid); the thread then waits at a start gate, running no caller code, until start() has
//   handed it an argument and its suspension count is 0 (it starts at 1, as a thread created
//   suspended does).
// - Suspension count. suspend() adds one, resume() and start() take one off (never below 0).
//   A thread that is running its body is stopped by a real-time signal (SUSPEND_SIGNAL) whose
//   handler waits, with async-signal-safe futex calls only, while the count is above 0.
//   suspend() returns only once the thread is stopped in that handler (or no longer runs its
//   body), so from then on it executes nothing of its body until the count is back to 0.
//   Should the thread not stop within 20 ms the signal is sent again (ThreadSanitizer defers
//   signals to its own safe points and can drop one); a surplus signal is harmless.
//   POSIX cannot stop a thread inside a system call: a thread blocked in the kernel is stopped
//   when the call returns or is interrupted by the signal, before it runs any more of its body.
// - Termination. terminate() never waits. A thread still at its start gate ends without calling
//   its body. A thread running its body is cancelled (pthread_cancel, deferred): it ends at its
//   next cancellation point, which is any POSIX cancellation point (read, nanosleep, condition
//   waits, ...) and every blocking wait of qvPlatform::Semaphore, or when its body returns,
//   whichever comes first. A stopped thread is released from its suspension so that it can get
//   there. Unlike TerminateThread, cancellation unwinds the thread's stack: destructors of its
//   frames run (so locks held through guards are released).
// - Results. The body's result, truncated to 32 bits, is the exit code; a body that threw gives
//   0xFFFFFFFF; a thread that was terminated, or never ran its body, gives 0. isFinished() is
//   true once the body has returned or thrown (not when it was cancelled).
//
// Lifetime: the state the thread writes (finished flag, exit code, suspension word) is shared
// by reference count between this object and the running thread, so the object may be
// destroyed while the thread still runs; the thread then never touches it. The thread lets go
// of that state as the last step of its end, after which its suspension handler no longer looks
// at it: a suspension signal still pending when the wrapper goes is handled harmlessly on the
// thread's exit path. The destructor terminates the thread as terminate() does and detaches it,
// without waiting.
//
// Threads: every operation may be called from any thread, also concurrently (join() from
// several threads, terminate() while another thread joins). suspend() of the calling thread
// itself returns once another thread has resumed it.
//
// Sanitizers: cancellation unwinds frames without the AddressSanitizer epilogues that unpoison
// their stack redzones, and the exit path of the thread reuses that stack. The entry procedure
// therefore unpoisons the unwound part of the stack before the unwinding leaves it (only in
// AddressSanitizer builds), and it tells the cancellation apart from C++ exceptions without
// binding a reference to abi::__forced_unwind (which UndefinedBehaviorSanitizer reports).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>

namespace qvPlatform {

class Thread
{
public:
    typedef long (*Body)(void* pArgument);

    // The real-time signal that stops a running thread (SIGRTMIN + this offset).
    static constexpr int SUSPEND_SIGNAL_OFFSET = 4;
    // Suspension counts stop growing here; a further suspend() does nothing (as on Win32).
    static constexpr std::uint32_t MAXIMUM_SUSPEND_COUNT = 127;

    // Creates the thread held at its start gate. Returns 0 and the new object in pThread, or
    // the pthread_create error number (pThread is then left untouched). An allocation failure
    // throws std::bad_alloc and leaves no thread behind (one already created is ended).
    static int create(Body pBody, Thread*& pThread);

    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // The thread's kernel id; valid from creation on.
    unsigned long getId() const { return m_nThreadId; }

    // Hands the thread its argument (the latest one counts until the thread reads it, once,
    // when it leaves the start gate) and takes one off the suspension count. Does nothing once
    // the body has ended or the thread was terminated.
    void start(void* pArgument);
    void suspend();
    void resume();
    // Returns 0, or the error number of the failed pthread_cancel.
    int terminate();
    // Blocks until the thread has ended (its body will never run again); returns at once when
    // it has. A thread that never gets start() keeps join() waiting.
    void join();

    bool isFinished() const;
    bool hasEnded() const;
    std::uint32_t getExitCode() const;

    static unsigned long currentId();

    struct State;

private:
    Thread(State* pState, pthread_t handle, unsigned long nThreadId);
    void requestTermination(int& nError);
    int signalThread();

    State* m_pState;
    pthread_t m_Handle;
    unsigned long m_nThreadId;
    // Guards the validity of m_Handle (cancel, signal, join, detach) and m_bReleased.
    std::mutex m_HandleLock;
    bool m_bReleased;
};

} // namespace qvPlatform

#endif
