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

// Wakes at most nCount threads sleeping on word (all of them for futexWakeAll).
void futexWake(std::atomic<std::uint32_t>& word, int nCount);
inline void futexWakeAll(std::atomic<std::uint32_t>& word)
{
    futexWake(word, 0x7fffffff);
}

// The number of the wait-on-address seam's own locks that the calling thread holds at the moment,
// for Thread::suspend(): on Windows the parking lot's buckets have locks, and a thread stopped
// while it holds one would hold up every wait and wake on the addresses of that bucket, so
// suspend() lets it run on until it has left. Linux keeps no such lock (always 0). The address
// stays valid for the thread's lifetime; other threads may read it.
const std::atomic<std::uint32_t>* heldWaitLocks();

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
