#include "Platform/Futex.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Platform/Check.h"

namespace qvPlatform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "a futex word must be a plain 32-bit word");

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t nExpected)
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer runs a signal's handler only when the thread next passes through one of
    // its intercepted calls, and the kernel restarts this wait after its own handler returns.
    // A thread asleep here would never run a handler (a suspension would never stop an idle
    // thread). So under ThreadSanitizer the wait wakes every 10 ms and passes through such a
    // call (a query of the signal mask, which changes nothing); callers re-check anyway.
    const timespec period = {0, 10 * 1000 * 1000};
    const timespec* pTimeout = &period;
#else
    const timespec* pTimeout = nullptr;
#endif
    const long nResult = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word),
                                 FUTEX_WAIT_PRIVATE, nExpected, pTimeout, nullptr, 0);
    // EAGAIN: the word changed before we slept; EINTR: a signal arrived; ETIMEDOUT: the period
    // above ended. All mean "re-check".
    QV_PLATFORM_CHECK(nResult == 0 || errno == EAGAIN || errno == EINTR || errno == ETIMEDOUT);
    (void)nResult;
#if defined(__SANITIZE_THREAD__)
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
#endif
}

void prepareThreadForWaits() {}

const std::atomic<std::uint32_t>* heldWaitLocks()
{
    static const std::atomic<std::uint32_t> s_nNone{0};
    return &s_nNone;
}

void futexWake(std::atomic<std::uint32_t>& word, int nCount)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, nCount, nullptr,
            nullptr, 0);
}

} // namespace qvPlatform
