#include "Platform/Semaphore.h"

#include <bit>
#include <cerrno>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Platform/Check.h"

namespace qvPlatform {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the count must be the low half of the state word");
static_assert(sizeof(std::atomic<std::uint64_t>) == sizeof(std::uint64_t),
              "the state must be a plain 64-bit word");

constexpr std::uint64_t SLEEPER = std::uint64_t(1) << 32;

inline std::uint32_t countOf(std::uint64_t nState)
{
    return static_cast<std::uint32_t>(nState);
}
inline std::uint32_t sleepersOf(std::uint64_t nState)
{
    return static_cast<std::uint32_t>(nState >> 32);
}

std::uint32_t* countWord(std::atomic<std::uint64_t>& state)
{
    return reinterpret_cast<std::uint32_t*>(&state);
}

// Sleeps while the count is 0. Asynchronous cancellation is enabled only around the system
// call, as the C library does for its own cancellation points: a cancellation that arrives
// while the thread sleeps here ends it at once. The unwinding may then start at any instruction
// of this function, which is safe only because it has no cleanups of its own; it must never be
// inlined into a caller that has some.
// The caller's cancellation type, kept outside the stack: under AddressSanitizer an
// address-taken local would leave a poisoned redzone behind when a cancellation unwinds this
// frame, which the runtime then trips over while the unwinding goes on.
thread_local int t_nCallersCancelType = PTHREAD_CANCEL_DEFERRED;

__attribute__((noipa)) void sleepWhileEmpty(std::atomic<std::uint64_t>& state)
{
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &t_nCallersCancelType);
    const long nResult =
        syscall(SYS_futex, countWord(state), FUTEX_WAIT_PRIVATE, 0u, nullptr, nullptr, 0);
    const int nError = errno;
    pthread_setcanceltype(t_nCallersCancelType, nullptr);
    // EAGAIN: the count changed before we slept; EINTR: a signal (suspension) arrived.
    QV_PLATFORM_CHECK(nResult == 0 || nError == EAGAIN || nError == EINTR);
    (void)nResult;
    (void)nError;
}

void wakeOne(std::atomic<std::uint64_t>& state)
{
    syscall(SYS_futex, countWord(state), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

} // namespace

Semaphore::Semaphore(std::uint32_t nInitial, std::uint32_t nMaximum)
    : m_nState(nInitial), m_nMaximum(nMaximum)
{
}

bool Semaphore::tryWait()
{
    std::uint64_t nState = m_nState.load(std::memory_order_relaxed);
    while (countOf(nState) > 0) {
        if (m_nState.compare_exchange_weak(nState, nState - 1, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return true;
    }
    return false;
}

void Semaphore::wait()
{
    if (tryWait())
        return;
    // Register as a sleeper before looking at the count again: post() either sees us and wakes
    // one sleeper, or its unit is visible to the look below (both are one total order).
    std::uint64_t nState = m_nState.fetch_add(SLEEPER, std::memory_order_seq_cst) + SLEEPER;
    // Undoes the registration when a cancellation unwinds the sleep. A destructor rather than
    // catch (...) and rethrow: it needs no rethrow, so nothing runs AddressSanitizer's
    // no-return hook in the middle of the unwinding.
    struct SleeperGuard
    {
        Semaphore* pSemaphore;
        ~SleeperGuard()
        {
            if (pSemaphore)
                pSemaphore->leaveSleepers();
        }
    } guard{this};
    for (;;) {
        while (countOf(nState) > 0) {
            if (m_nState.compare_exchange_weak(nState, nState - 1 - SLEEPER,
                                               std::memory_order_seq_cst,
                                               std::memory_order_seq_cst)) {
                guard.pSemaphore = nullptr;
                return;
            }
        }
        sleepWhileEmpty(m_nState);
        nState = m_nState.load(std::memory_order_seq_cst);
    }
}

// A cancelled sleeper may have consumed the wake-up meant for a unit it never took: if units
// and sleepers are left, hand the wake-up on.
void Semaphore::leaveSleepers()
{
    const std::uint64_t nState = m_nState.fetch_sub(SLEEPER, std::memory_order_seq_cst) - SLEEPER;
    if (countOf(nState) > 0 && sleepersOf(nState) > 0)
        wakeOne(m_nState);
}

bool Semaphore::post()
{
    std::uint64_t nState = m_nState.load(std::memory_order_relaxed);
    do {
        if (countOf(nState) >= m_nMaximum)
            return false;
    } while (!m_nState.compare_exchange_weak(nState, nState + 1, std::memory_order_seq_cst,
                                             std::memory_order_relaxed));
    // Wake a sleeper only when the sleepers outnumber the units already there: a woken
    // sleeper stays counted until it takes its unit, so waking one per post while any is
    // counted would make a system call for nearly every unit of a busy queue.
    // From here on the object may be gone; the wake only names the address.
    if (sleepersOf(nState) > countOf(nState))
        wakeOne(m_nState);
    return true;
}

std::uint32_t Semaphore::getCount() const
{
    return countOf(m_nState.load(std::memory_order_acquire));
}

} // namespace qvPlatform
