#ifndef QV_TEST_SUPPORT_H
#define QV_TEST_SUPPORT_H

// Helpers shared by the test programs. Threads are ordered with handshakes from the standard
// library (so that a broken primitive of ours cannot hide its own fault), and every positive
// wait has a deadline, so that a hang becomes a failure with a message. What the tests need of
// the operating system (thread ids, thread counts, ...) is in qvTestPlatform.h.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "qvTestPlatform.h"

namespace qvTest {

// Generous bound for anything that should happen "soon": a failure, never a stuck run.
inline constexpr std::chrono::seconds TIMEOUT{20};

// The one timed window allowed: how long a negative check ("still blocked") watches. A window
// can only miss a fault, never fail a correct implementation.
inline constexpr std::chrono::milliseconds BLOCKED_WINDOW{50};

// Polls pred (yielding, then sleeping briefly) until it holds or the deadline passes.
// Returns whether it held.
inline bool waitUntil(const std::function<bool()>& pred,
                      std::chrono::steady_clock::duration timeout = TIMEOUT)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int nSpins = 0; !pred(); ++nSpins) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (nSpins < 1000)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A one-shot gate: open() once, any number of threads wait for it with a deadline.
class Gate
{
public:
    Gate() : m_Future(m_Promise.get_future().share()) {}
    void open() { m_Promise.set_value(); }
    bool waitFor(std::chrono::steady_clock::duration timeout = TIMEOUT) const
    {
        return m_Future.wait_for(timeout) == std::future_status::ready;
    }
    bool isOpen() const { return waitFor(std::chrono::seconds(0)); }

private:
    std::promise<void> m_Promise;
    std::shared_future<void> m_Future;
};

// Runs a function on a thread of its own; the result future has a deadline-bounded wait.
// The destructor joins, so a test never leaves a thread behind.
class AsyncCall
{
public:
    explicit AsyncCall(std::function<void()> fn)
    {
        std::packaged_task<void()> task(std::move(fn));
        m_Future = task.get_future();
        m_Thread = std::thread(std::move(task));
    }
    ~AsyncCall()
    {
        if (m_Thread.joinable())
            m_Thread.join();
    }
    AsyncCall(const AsyncCall&) = delete;
    AsyncCall& operator=(const AsyncCall&) = delete;

    // True once the function has returned (or thrown) within the deadline.
    bool finishedWithin(std::chrono::steady_clock::duration timeout = TIMEOUT)
    {
        return m_Future.wait_for(timeout) == std::future_status::ready;
    }
    // Still running after the short negative-check window.
    bool stillBlocked() { return !finishedWithin(BLOCKED_WINDOW); }
    // Rethrows what the function threw; call after finishedWithin().
    void get() { m_Future.get(); }

private:
    std::future<void> m_Future;
    std::thread m_Thread;
};

// Keeps the calling thread busy for about the given time: to spread the moment of a racing
// call over another thread's time limit (a delay, never an ordering of threads).
inline void spinFor(std::chrono::steady_clock::duration duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
    }
}

// Rounds for a race test: all of them normally, a twentieth under valgrind (the memcheck run
// sets QV_MEMCHECK=1), where threads run one at a time and the run checks memory, not races.
inline int raceRounds(int nRounds)
{
    return std::getenv("QV_MEMCHECK") ? (nRounds + 19) / 20 : nRounds;
}

// How long a race test runs its rounds at most. A race test stops at whichever comes first, its
// number of rounds or this time, so that a slow or loaded machine runs fewer rounds instead of
// failing; TIMEOUT and the watchdog of exitWithVerdict stay for hangs alone.
inline constexpr std::chrono::seconds RACE_TIME{5};

// The rounds of a race test: nRounds of them (give raceRounds(n) where valgrind should run
// fewer), and none begun once the time given (RACE_TIME) has passed since construction; the first
// round always runs.
//   for (qvTest::RaceRounds rounds(qvTest::raceRounds(20000)); rounds.next();) ...
// Threads that must agree on the last round let one of them decide and pass the decision on.
class RaceRounds
{
public:
    explicit RaceRounds(int nRounds, std::chrono::steady_clock::duration time = RACE_TIME)
        : m_nRounds(nRounds), m_End(std::chrono::steady_clock::now() + time)
    {
    }
    // Whether another round is to run; counts it when it is.
    bool next()
    {
        if (m_nDone >= m_nRounds || (m_nDone > 0 && std::chrono::steady_clock::now() >= m_End))
            return false;
        ++m_nDone;
        return true;
    }
    // The rounds begun so far.
    int done() const { return m_nDone; }

private:
    const int m_nRounds;
    const std::chrono::steady_clock::time_point m_End;
    int m_nDone = 0;
};

// For a test whose fault is a hang or a crash, in a death-test child:
//   EXPECT_EXIT(qvTest::exitWithVerdict(body), testing::ExitedWithCode(0), "");
// body returns an empty text when all went well, else what failed; the child exits 0 or 1 with
// that text on stderr. A watchdog ends it with code 2 once the deadline (longer than the waits
// inside, which report their own failures) has passed, so a hang
// becomes a failure (the sleep is that deadline, not an ordering of threads).
[[noreturn]] inline void exitWithVerdict(const std::function<std::string()>& body,
                                         std::chrono::steady_clock::duration deadline = 3 * TIMEOUT)
{
    std::thread([deadline] {
        std::this_thread::sleep_for(deadline);
        std::fputs("still running after the deadline: something hangs\n", stderr);
        std::fflush(stderr);
        std::_Exit(2);
    }).detach();
    const std::string sstrFailure = body();
    if (!sstrFailure.empty()) {
        std::fprintf(stderr, "%s\n", sstrFailure.c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
    std::_Exit(0);
}

// What qvProcessor::getThreadID() answers for an id that names no created loop.
inline constexpr unsigned long NO_THREAD = 0xFFFFFFFFul;

} // namespace qvTest

#endif
