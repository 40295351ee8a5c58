#include "Platform/Futex.h"

#include <cerrno>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Platform/Check.h"

namespace qvPlatform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "a futex word must be a plain 32-bit word");

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t nExpected)
{
    const long nResult = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word),
                                 FUTEX_WAIT_PRIVATE, nExpected, nullptr, nullptr, 0);
    // EAGAIN: the word changed before we slept; EINTR: a signal arrived. Both mean "re-check".
    QV_PLATFORM_CHECK(nResult == 0 || errno == EAGAIN || errno == EINTR);
    (void)nResult;
}

void futexWake(std::atomic<std::uint32_t>& word, int nCount)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, nCount, nullptr,
            nullptr, 0);
}

} // namespace qvPlatform
