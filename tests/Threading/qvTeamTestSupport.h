#ifndef QV_TEAM_TEST_SUPPORT_H
#define QV_TEAM_TEST_SUPPORT_H

// Jobs and probes shared by the thread-team tests.

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "Threading/qvSemaphore.h"
#include "Threading/qvThread.h"
#include "Threading/qvThreadTeam.h"
#include "qvTestSupport.h"

namespace qvTeamTest {

// A job that blocks on a semaphore (a cancellation point) until released.
struct Blocker
{
    qvSynch::Semaphore m_Release{0, 1};
    std::atomic<bool> m_bEntered{false};
    std::atomic<bool> m_bLeft{false};
    std::atomic<unsigned long> m_nThreadId{0};

    void release() { m_Release.V(); }
    bool waitEntered() const
    {
        return qvTest::waitUntil([this] { return m_bEntered.load(); });
    }
};

inline long blockJob(void* pArgument)
{
    Blocker* pBlocker = static_cast<Blocker*>(pArgument);
    pBlocker->m_nThreadId = qvThread::currentThreadId();
    pBlocker->m_bEntered = true;
    pBlocker->m_Release.P();
    pBlocker->m_bLeft = true;
    return 0;
}

// A job that sleeps in a cancellation point (a timed Semaphore::P) until its team is being
// destroyed, inside a catch-all and with a local whose destructor is noexcept: a cancellation of
// its thread would take the process down with it.
inline long blockUntilStopRequested(void* pArgument)
{
    struct Closer
    {
        std::atomic<int> m_nClosed{0};
        ~Closer() noexcept { ++m_nClosed; }
    };
    Blocker* pBlocker = static_cast<Blocker*>(pArgument);
    try {
        Closer closer;
        pBlocker->m_bEntered = true;
        while (!qvThreadTeam::isStopRequested())
            pBlocker->m_Release.P(5);
        pBlocker->m_bLeft = true;
        return 0;
    } catch (...) {
        return -1;
    }
}

// A job that spins, making no cancellation point, until released.
struct Spinner
{
    std::atomic<bool> m_bEntered{false};
    std::atomic<bool> m_bRelease{false};
    std::atomic<bool> m_bLeft{false};
};

inline long spinJob(void* pArgument)
{
    Spinner* pSpinner = static_cast<Spinner*>(pArgument);
    pSpinner->m_bEntered = true;
    while (!pSpinner->m_bRelease.load())
        std::this_thread::yield();
    pSpinner->m_bLeft = true;
    return 0;
}

inline long countJob(void* pArgument)
{
    ++*static_cast<std::atomic<int>*>(pArgument);
    return 0;
}

inline long throwRuntimeError(void*)
{
    throw std::runtime_error("job failed");
}

inline long throwInt(void*)
{
    throw 42;
}

inline int countTasks()
{
    return qvTest::countThreads();
}

inline bool taskExists(unsigned long nThreadId)
{
    return qvTest::isThreadAlive(nThreadId);
}

// In a child process: become an unprivileged user that may create exactly two more threads,
// then call build(), which is to construct a team of three members. Exits 0 when the
// constructor threw the thread-creation text and every thread it had started has ended.
// (Another process of that user may use up the allowance earlier; the outcome checked is the
// same, only the member that fails differs.)
template <class Build>
void buildWithoutAllowanceForTheLastMember(Build build)
{
    // A sanitizer runtime may start a helper thread of its own with the first thread the
    // process creates: let that happen before the baseline is taken.
    qvTest::ThreadId nThrowAway = 0;
    std::thread([&] { nThrowAway = qvTest::currentTid(); }).join();
    qvTest::waitUntil([&] { return !taskExists(nThrowAway); });
    const int nBaseline = countTasks();
    if (!qvTest::becomeUnprivilegedUser())
        std::_Exit(3);
    if (!qvTest::setThreadAllowance(nBaseline + 2))
        std::_Exit(4);
    const std::string sExpected = "Could not create thread: " + std::to_string(EAGAIN) + ".\n";
    try {
        build();
        std::_Exit(1);
    } catch (const std::runtime_error& error) {
        if (sExpected != error.what())
            std::_Exit(2);
    }
    // A joined thread leaves the task list just after its join returns.
    std::_Exit(qvTest::waitUntil([&] { return countTasks() == nBaseline; }) ? 0 : 5);
}

} // namespace qvTeamTest

#endif
