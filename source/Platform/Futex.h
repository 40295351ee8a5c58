#ifndef QV_PLATFORM_FUTEX_H
#define QV_PLATFORM_FUTEX_H

// Waiting on an address for process-private 32-bit words: the kernel's futex on Linux; on
// Windows a parking lot in which every thread sleeps on a kernel event of its own (see
// Win32/Futex.cpp for why not WaitOnAddress). The library's own event, light mutex and semaphore
// keep their state in one atomic word and call into the OS only when a thread really has to
// sleep or someone sleeps, so uncontended operations make no system call.
//
// A wake may name the address of an object that a woken thread has already destroyed: the wake
// only compares or hashes the address and never reads the word, so that is harmless; callers
// never read their object after the atomic operation that lets waiters go.

#include <atomic>
#include <cstdint>

namespace qvPlatform {

// Sleeps while word holds nExpected. May return spuriously; callers re-check their condition.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t nExpected);

// As futexWait, and the sleep is a cancellation point on Linux: a thread that Thread's
// terminate() cancels while it sleeps here ends at once, unwinding from this call (its caller
// must be ready for that). On Windows, which has no cancellation, the same as futexWait.
void futexWaitCancellable(std::atomic<std::uint32_t>& word, std::uint32_t nExpected);

// As futexWait and futexWaitCancellable, sleeping for at most nNanoseconds (rounded up to the
// platform's granularity: nanoseconds on Linux, milliseconds on Windows). Like every futex wait
// they may return early; callers re-check their condition and their deadline (Deadline.h).
void futexWaitFor(std::atomic<std::uint32_t>& word, std::uint32_t nExpected,
                  std::uint64_t nNanoseconds);
void futexWaitCancellableFor(std::atomic<std::uint32_t>& word, std::uint32_t nExpected,
                             std::uint64_t nNanoseconds);

// Wakes at most nCount threads sleeping on word (all of them for futexWakeAll).
void futexWake(std::atomic<std::uint32_t>& word, int nCount);
inline void futexWakeAll(std::atomic<std::uint32_t>& word)
{
    futexWake(word, 0x7fffffff);
}

// The library's own internal locks, for Thread::suspend() and Thread::terminate() on Windows,
// which stop a thread wherever it is: a thread stopped or killed while it holds one of them
// would hold up every other thread that needs it (the parking lot's bucket locks below, the
// queues and maps of the teams and of the inter-thread calls). Such a region is entered before
// the lock is taken and left after it is released; suspend() and terminate() let a thread that
// is inside one run on until it has left, then stop it. Regions nest. On Linux no region is ever
// counted: cancellation acts only at cancellation points, and no region has one; a suspension
// stops a thread inside a region as anywhere else (its lock waits for resume()).
#if defined(_WIN32)
void enterInternalRegion();
void leaveInternalRegion();
#else
inline void enterInternalRegion() {}
inline void leaveInternalRegion() {}
#endif

class InternalRegion
{
public:
    InternalRegion() { enterInternalRegion(); }
    ~InternalRegion() { leaveInternalRegion(); }
    InternalRegion(const InternalRegion&) = delete;
    InternalRegion& operator=(const InternalRegion&) = delete;
};

// What another thread needs to know of a thread in order to stop it safely, valid for the
// thread's lifetime and read by Thread while the thread is stopped:
// - m_pInternalRegions: the number of internal regions (see above) the thread is inside (always
//   0 on Linux);
// - m_pLastParked: the address the thread last slept on in futexWait (Windows; null on Linux,
//   where no sleep is ever killed: cancellation unwinds it instead). A thread killed after a
//   wake-up took it off that address and before it acted on the wake-up takes the wake-up with
//   it; Thread::terminate() then wakes every sleeper of that address, who re-check.
// - m_pParker: the record that holds both (Windows: the thread's parking record, which the
//   thread frees as it ends; null on Linux).
// On Windows both pointers are null when the record could not be made (out of memory or
// handles). The calling thread's record is made at the first call.
struct WaitRecord
{
    const std::atomic<std::uint32_t>* m_pInternalRegions;
    const std::atomic<const void*>* m_pLastParked;
    void* m_pParker = nullptr;
};
WaitRecord waitRecord();

#if defined(_WIN32)
// For Thread::terminate(), which kills a thread that would have freed its record as it ended.
// takeOverWaitRecord: called while the thread is stopped, right before it is killed; from then on
// the record is the caller's to free (a waker that finds it queued takes it off and leaves it).
// giveBackWaitRecord: the kill failed and the thread lives on; the record is its own again.
// freeWaitRecordOfKilledThread: once the OS has ended the thread, takes the record off the queue
// it may be on and frees it with its handles. None of them allocates or takes a lock that a
// killed thread may have held (the records have a heap of their own).
void takeOverWaitRecord(const WaitRecord& record);
void giveBackWaitRecord(const WaitRecord& record);
void freeWaitRecordOfKilledThread(const WaitRecord& record);
// For a thread that kills itself (TerminateThread runs none of its release callbacks): frees the
// calling thread's record, which is queued nowhere then, and empties its slots. The thread waits
// no more after this.
void releaseOwnWaitRecord();
#endif

// Sets up what the calling thread needs in order to wait (nothing on Linux; its parking record
// on Windows), so that its first wait allocates and opens nothing. The library's own threads
// call it before their body runs: a thread that Thread::terminate() kills inside its first
// wait then holds no heap or handle-table lock when it dies.
void prepareThreadForWaits();

// The calling thread's word for AdaptiveSpin's record of its recent polls (zero at first);
// null when the thread has none (on Windows, a thread whose parking record could not be made).
// Only the calling thread uses it.
std::atomic<std::uint32_t>* pollRecord();

// Whether this process may run on more than one processor, read once at the first call: with
// a single one, polling for another thread's store only delays that thread.
bool haveSeveralProcessors();

// One step of a spin before a sleep: tells the processor that this is a wait loop, which
// frees resources for a sibling hardware thread and costs tens of cycles.
inline void relaxProcessor()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

} // namespace qvPlatform

#endif
