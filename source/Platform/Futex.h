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

// Wakes at most nCount threads sleeping on word (all of them for futexWakeAll).
void futexWake(std::atomic<std::uint32_t>& word, int nCount);
inline void futexWakeAll(std::atomic<std::uint32_t>& word)
{
    futexWake(word, 0x7fffffff);
}

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
