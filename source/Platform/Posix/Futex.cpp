#include "Platform/Futex.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Platform/Check.h"

namespace qvPlatform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "a futex word must be a plain 32-bit word");

namespace {

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer runs a signal's handler only when the thread next passes through one of its
// intercepted calls, and the kernel restarts a futex wait after its own handler returns
// (SA_RESTART). A thread asleep in a wait would never run a handler (a suspension would never
// stop an idle thread). So under ThreadSanitizer every wait wakes every 10 ms and passes
// through such a call (a query of the signal mask, which changes nothing); callers re-check
// anyway.
constexpr std::uint64_t SANITIZER_PERIOD_NS = 10 * 1000 * 1000;
const timespec s_SanitizerPeriod = {0, static_cast<long>(SANITIZER_PERIOD_NS)};
const timespec* const s_pWaitTimeout = &s_SanitizerPeriod;
inline void passSignalsOn()
{
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
}
#else
constexpr std::uint64_t SANITIZER_PERIOD_NS = UINT64_MAX; // no period
const timespec* const s_pWaitTimeout = nullptr;
inline void passSignalsOn() {}
#endif

} // namespace

namespace {

// The limit of one sleep: nNanoseconds (none for UINT64_MAX), under ThreadSanitizer at most its
// period.
const timespec* sleepLimit(std::uint64_t nNanoseconds, timespec& limit)
{
    if (nNanoseconds == UINT64_MAX)
        return s_pWaitTimeout;
    if (nNanoseconds > SANITIZER_PERIOD_NS)
        nNanoseconds = SANITIZER_PERIOD_NS;
    limit.tv_sec = static_cast<time_t>(nNanoseconds / 1000000000u);
    limit.tv_nsec = static_cast<long>(nNanoseconds % 1000000000u);
    return &limit;
}

void sleepOn(std::atomic<std::uint32_t>& word, std::uint32_t nExpected, std::uint64_t nNanoseconds)
{
    timespec limit;
    const long nResult =
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, nExpected,
                sleepLimit(nNanoseconds, limit), nullptr, 0);
    // EAGAIN: the word changed before we slept; EINTR: a signal arrived; ETIMEDOUT: the limit
    // (or the period above) ended. All mean "re-check".
    QV_PLATFORM_CHECK(nResult == 0 || errno == EAGAIN || errno == EINTR || errno == ETIMEDOUT);
    (void)nResult;
    passSignalsOn();
}

} // namespace

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t nExpected)
{
    sleepOn(word, nExpected, UINT64_MAX);
}

void futexWaitFor(std::atomic<std::uint32_t>& word, std::uint32_t nExpected,
                  std::uint64_t nNanoseconds)
{
    sleepOn(word, nExpected, nNanoseconds);
}

// Asynchronous cancellation is enabled only around the system call, as the C library does for
// its own cancellation points: a cancellation that arrives while the thread sleeps here ends it
// at once. The unwinding may then start at any instruction of this function, which is safe only
// because it has no cleanups of its own; it must never be inlined into a caller that has some.
// The caller's cancellation type and the sleep's limit are kept outside the stack: under
// AddressSanitizer an address-taken local would leave a poisoned redzone behind when a
// cancellation unwinds this frame, which the runtime then trips over while the unwinding goes on.
thread_local int t_nCallersCancelType = PTHREAD_CANCEL_DEFERRED;
thread_local timespec t_CancellableLimit;

// clang knows no noipa. noinline keeps the function out of its callers, and clang cannot infer
// that it throws nothing (pthread_setcanceltype is not declared so), so every call keeps its
// unwinding entry as GCC's noipa ensures.
#if defined(__clang__)
__attribute__((noinline))
#else
__attribute__((noipa))
#endif
static void
sleepCancellable(std::atomic<std::uint32_t>& word, std::uint32_t nExpected, const timespec* pLimit)
{
    // Asynchronous only around the system call, as explained above.
    // NOLINTNEXTLINE(concurrency-thread-canceltype-asynchronous)
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &t_nCallersCancelType);
    const long nResult = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word),
                                 FUTEX_WAIT_PRIVATE, nExpected, pLimit, nullptr, 0);
    const int nError = errno;
    pthread_setcanceltype(t_nCallersCancelType, nullptr);
    // EAGAIN: the word changed before we slept; EINTR: a signal (suspension) arrived;
    // ETIMEDOUT: the limit, or the sanitizer's period (see futexWait), ended.
    QV_PLATFORM_CHECK(nResult == 0 || nError == EAGAIN || nError == EINTR || nError == ETIMEDOUT);
    (void)nResult;
    (void)nError;
    passSignalsOn();
}

void futexWaitCancellable(std::atomic<std::uint32_t>& word, std::uint32_t nExpected)
{
    sleepCancellable(word, nExpected, s_pWaitTimeout);
}

void futexWaitCancellableFor(std::atomic<std::uint32_t>& word, std::uint32_t nExpected,
                             std::uint64_t nNanoseconds)
{
    sleepCancellable(word, nExpected, sleepLimit(nNanoseconds, t_CancellableLimit));
}

void prepareThreadForWaits() {}

// Initial-exec: one instruction away, with no call into the dynamic linker on the wait path.
static __attribute__((tls_model("initial-exec"))) thread_local std::atomic<std::uint32_t>
    t_nPollRecord{0};

std::atomic<std::uint32_t>* pollRecord()
{
    return &t_nPollRecord;
}

WaitRecord waitRecord()
{
    static const std::atomic<std::uint32_t> s_nNone{0};
    return WaitRecord{&s_nNone, nullptr};
}

// Linux keeps an affinity mask per thread: the one read is that of the thread that loads the
// library (read then, below), normally the main thread before it has restricted itself, which
// is what the process was started with (taskset, a container's CPU set).
bool haveSeveralProcessors()
{
    static const bool s_bSeveral = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        return sched_getaffinity(0, sizeof(set), &set) != 0 || CPU_COUNT(&set) > 1;
    }();
    return s_bSeveral;
}

namespace {
// haveSeveralProcessors() calls only sched_getaffinity and the CPU_* macros: nothing that throws.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool s_bProcessorsReadAtLoad = haveSeveralProcessors();
} // namespace

void futexWake(std::atomic<std::uint32_t>& word, int nCount)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, nCount, nullptr,
            nullptr, 0);
}

} // namespace qvPlatform
