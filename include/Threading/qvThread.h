#ifndef QV_THREAD_H
#define QV_THREAD_H

/// \file

/// \class qvThread
/// qvThreadData is the start record of a thread: a start function and the untyped argument it
/// is called with. qvThread wraps one OS thread that is created held back ("suspended") and
/// begins to run its start record only when run() hands it one.
///
/// Ownership: the creator of a qvThread deletes it; the creator of a qvThreadData deletes that
/// separately and keeps it alive until the thread has started (the thread reads the record once,
/// as it leaves its start gate). Neither class owns what the argument points to.
///
/// Threads: the object has no lock of its own. run, suspend, resume and the destructor are the
/// controlling thread's to serialise; join, terminate, getID, isFinished and getExitCode may be
/// called from any thread at any time, also while another thread is inside join().
///
/// Lifetime: the flag and exit code the running thread writes live in state that the thread
/// shares with this object by reference count, so a qvThread may be destroyed while its thread
/// still runs; the thread never touches the destroyed object.
///
/// What the thread does, on both platforms:
///
/// - Creation. The OS thread exists when the constructor returns, and getID() returns its OS
///   thread id from then on (on Linux the id is known only once the new thread has made its
///   first step: the first getID() may wait microseconds for that; the constructor never does).
///   It runs none of the start function until run() has handed it a non-null record and its
///   suspension count is 0; the count starts at 1, as for a thread created suspended.
/// - suspend()/resume() keep a suspension count: each suspend() needs one resume() (run() with
///   a record counts as one resume()). suspend() of a thread that runs its start function
///   returns only once the thread has stopped, and from then on it runs no more of its start
///   function until the count is back to 0. A thread that has not started only counts.
/// - The exit code is the start function's result truncated to 32 bits; 0xFFFFFFFF when the
///   start function threw (the exception is dropped on the thread); 0 when the thread was
///   terminated or never started, and 0 while it has not ended.
/// - terminate() (and the destructor) end a thread that has not started its start function at
///   once; it never calls it. What they do to a thread inside its start function depends on the
///   platform:
///
/// Linux (pthreads; ids are kernel thread ids, error numbers pthread's):
/// - A running thread is stopped by a signal; a thread blocked in a system call stops when the
///   call returns or is interrupted. Under ThreadSanitizer, which delivers a signal only when the
///   thread passes through one of its intercepted calls, the library's own waits pass through
///   one every 10 ms, so suspend() of a thread asleep in them returns; a thread blocked in some
///   other uninterceptable call stops only when that call returns. A thread stopped inside the
///   C library's allocator holds that arena's lock: other threads that allocate from it (the
///   library's calls that allocate among them) block until resume().
/// - terminate() and the destructor never wait. A thread inside its start function is
///   cancelled: it ends at its next cancellation point (any blocking POSIX call that is one, such
///   as read or nanosleep or a condition wait, and every blocking qvSynch::Semaphore::P, where a
///   wake-up the thread had received and not acted on is handed to another waiter), or when
///   the start function returns, whichever comes first; it never starts anything of the start
///   function again. Until then it keeps running: terminate() does not stop code that makes no
///   such call. A suspended thread is released from its suspension so that it can get there.
///   Unlike a Win32 forced termination, the cancelled thread's stack is unwound: destructors of
///   its frames run (locks held through guards are released), catch (...) blocks see the
///   unwinding and must rethrow it. To wait until the thread can run no more user code, call
///   join() after terminate().
///   Cleanup in code that may be cancelled belongs in destructors: under AddressSanitizer a
///   catch (...) that rethrows the cancellation runs the sanitizer's no-return hook over the
///   stale redzones of the frames already unwound, which it reports. The library's own waits
///   are written that way.
///   AddressSanitizer has a further limit of its own: a thread cancelled while a frame of its
///   start function holds an object with a destructor and a deeper frame sleeps in a
///   cancellation point of the C library (nanosleep, read, a condition wait) may fail one of the
///   sanitizer's own checks as the cancellation unwinds (the sanitizer does not see the
///   unwinding leave the intercepted call). The program is right and runs so without the
///   sanitizer; under it, cancel threads in the library's own waits (which unpoison the stack
///   they unwind) rather than in such calls.
///
/// Windows (kernel32; ids from GetCurrentThreadId, error numbers from GetLastError):
/// - suspend() is SuspendThread, and the count is the OS's own; the thread stops wherever it is,
///   inside a system call too, with one exception:
/// - suspend() never leaves a thread stopped inside one of the library's own internal locks
///   (those of its waits, of its job queues and of its inter-thread calls): a thread found inside
///   one is let run on until it has left, then stopped. Limit: a thread that is inside such a
///   lock every time it is looked at for 5 seconds (one that cannot get to run, or that runs code
///   other than the library's own there) is left stopped where it is, as on Linux; the lock then
///   waits for resume(). A thread on its way to its start function (its start-up, under the
///   system's loader lock) counts as inside such a lock: suspend() right after run() lets it
///   reach its start function first. A thread stopped inside the process
///   heap's lock (any allocation, the library's or the C runtime's) holds up every allocation of
///   the process until resume(): the library's later calls that allocate (an inter-thread send,
///   creating a loop, a job queue that grows beyond 255 jobs) block until then.
/// - A thread killed by terminate() (by another thread or by itself) leaves no handle open
///   behind it: the library keeps its per-thread data in thread-local slots of its own and frees
///   a killed thread's wait record (an event and a thread handle) on its behalf. A thread that
///   sent inter-thread messages leaves its sender cache (some hundreds of bytes, and the node
///   memory it kept), which only the thread itself can free as it ends. What the thread's own
///   code made (a C++ thread_local of the program, which the C runtime's emulated TLS allocates
///   per thread) stays, as everything else of it.
/// - terminate() (and the destructor) of a thread inside its start function is TerminateThread:
///   the thread stops at once, and nothing of it runs again: no destructor, no catch block, no
///   cleanup. As with suspend(), it is first stopped outside the library's internal locks, so
///   every wait, wake and queue of the library goes on working for the other threads. A thread
///   killed in a wait of the library's Semaphore, Signal, LWLock or SpinLock, after a wake-up
///   was handed to it and before it acted on it, does not take that wake-up with it: terminate()
///   wakes the sleepers of the address the thread last slept on, who look again (at most a
///   needless wake-up). Hazard: what the thread's own code held stays held for ever (an LWLock or
///   SpinLock it owned, a lock inside the C runtime such as the heap's, which then stops every
///   allocation of the process) and what it was changing stays half-changed. Use it only on a
///   thread whose state nothing depends on. Limit: a thread that is inside one of the library's
///   internal locks every time it is looked at for 5 seconds is not killed: terminate() throws
///   "Could not terminate thread: 1460.\n" (ERROR_TIMEOUT) and the thread runs on, as if
///   terminate() had not been called: a thread that suspend() left stopped inside such a lock
///   waits for resume() as before, and a later terminate() tries again. A terminate() called
///   while another one is under way for the same thread waits for its outcome and reports the
///   same failure, or returns once the thread has ended. A thread that has already left its start
///   function is not killed (its exit path holds the loader's lock); terminate() waits for it to
///   end. terminate() returns once the OS has ended the thread, which runs none of its code for
///   that. Forced terminations of the process take turns (terminate() and the destructor of a
///   running thread wait for the one under way), so two threads that terminate each other both end:
///   the one whose turn it is kills the other while that one waits for its turn. A thread waiting
///   for its turn holds nothing of the library's, and the one whose turn it is gives it up while it
///   waits for its thread to leave an internal lock or to end on its own: a thread that ends
///   another inside the library's locks, or on its own exit path, gets its turn. Once termination
///   was asked for (until a terminate() gives up), resume() does nothing: the thread is ended held
///   or not, and a step off the count could let it run on into one of the library's internal locks
///   before it is killed. The library itself never terminates a thread that may run user code (its
///   teams and its processor end their threads by letting them return).
///
/// - A controlling thread that wants a thread to end whatever its state (never run, suspended,
///   running) first makes its start function return (for a main loop: shuts the loop down),
///   then calls terminate() (which ends a never-run thread and, on Linux, releases a suspended
///   one) and join().
///
/// Failures throw std::runtime_error with these texts (each ends in a line feed; the number is
/// the OS's error number in decimal):
///   "Could not create thread data with invalid null function pointer.\n"
///   "Could not create thread: <error>.\n"       (the constructor; no thread exists then)
///   "Could not terminate thread: <error>.\n"    (terminate)

#include "qvExport.h"

namespace qvPlatform {
class Thread;
}

/// The start record of a thread: a start function and the untyped argument it is called with
/// (see qvThread for its ownership).
class QV_EXPORT qvThreadData
{
public:
    /// Throws std::runtime_error "Could not create thread data with invalid null function
    /// pointer.\n" when pThreadFunc is null.
    qvThreadData(long (*pThreadFunc)(void*), void* pThreadData);
    /// Clears both fields; frees nothing.
    ~qvThreadData();

    /// Calls the start function with the argument and returns its result.
    long invoke();

private:
    long (*m_pThreadFunc)(void*);
    void* m_pArgument;
};

class QV_EXPORT qvThread
{
public:
    /// Creates the OS thread, held back until run(). Throws std::runtime_error
    /// "Could not create thread: <error>.\n" when the OS refuses, std::bad_alloc when memory
    /// runs out; either way no thread is left behind.
    qvThread();
    /// Ends the thread as terminate() does and releases the handle; it does not wait for a
    /// thread that still runs (on Windows it waits, briefly, until the OS has ended a thread it
    /// killed).
    ~qvThread();
    qvThread(const qvThread&) = delete;
    qvThread& operator=(const qvThread&) = delete;

    /// Stores pData; unless the thread has finished, a non-null record lets a thread that has not
    /// started yet start (once its suspension count is 0) and takes one off the suspension count.
    /// A record handed over after the thread has started does not affect its start function.
    void run(qvThreadData* pData);
    ///@{
    /// Add one to / take one off the suspension count, unless the thread has finished.
    /// suspend() of a running thread returns once it has stopped.
    void suspend();
    void resume();
    ///@}
    /// Blocks without time limit until the thread has ended; returns at once if it has.
    /// A thread that is never run (nor terminated) keeps join() waiting.
    void join();
    /// Ends the thread as described above. Throws std::runtime_error
    /// "Could not terminate thread: <error>.\n" when the OS refuses (pthread_cancel,
    /// TerminateThread).
    void terminate();

    /// The thread's OS id, the same that currentThreadId() returns on the thread. Valid at once
    /// after construction, see above.
    unsigned long getID() const;
    /// The thread's 32-bit exit code, see above.
    unsigned long getExitCode() const;
    /// True once the start function has returned or thrown; never for a terminated thread.
    bool isFinished() const;

    /// The OS thread id of the calling thread.
    static unsigned long currentThreadId();

private:
    /// The platform thread holds the id: on Linux the new thread publishes it itself.
    qvPlatform::Thread* m_hThread;
    qvThreadData* m_pData;
};

#endif
