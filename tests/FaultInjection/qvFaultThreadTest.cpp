// Threads under faults: the OS refusing to create a thread (a forked child that becomes an
// unprivileged user and lowers its process limit), and threads that end while they hold a
// qvSynch::Lock.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "MainLoop/qvProcessor.h"
#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvLocks.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvThread.h"
#include "Threading/qvThreadTeam.h"
#include "qvFaultAllocator.h"
#include "qvTestSupport.h"

namespace {

const std::string REFUSED = "Could not create thread: " + std::to_string(EAGAIN) + ".\n";

// In the forked child of a death test: becomes an unprivileged user (root is exempt from the
// process limit), runs check, and exits 0 when it returns an empty text, else prints it and
// exits 1.
[[noreturn]] void runAsUnprivilegedChild(const std::function<std::string()>& check)
{
    if (!qvTest::becomeUnprivilegedUser()) {
        std::fprintf(stderr, "could not become an unprivileged user\n");
        std::_Exit(3);
    }
    const std::string sstrProblem = check();
    if (sstrProblem.empty())
        std::_Exit(0);
    std::fprintf(stderr, "%s\n", sstrProblem.c_str());
    std::_Exit(1);
}

// Calls create, which must throw the refusal text, and checks that it left no thread and no
// block of memory behind.
std::string expectRefusal(const char* cstrWhat, const std::function<void()>& create)
{
    const int nThreadsBefore = qvTest::countThreads();
    const long nBlocksBefore = qvFault::liveBlocks();
    try {
        create();
        return std::string(cstrWhat) + ": created despite the limit";
    } catch (const std::runtime_error& error) {
        if (REFUSED != error.what())
            return std::string(cstrWhat) + ": wrong text: " + error.what();
    }
    // A member that was stopped ends, and lets go of its shared state, just after its join.
    if (!qvTest::waitUntil([&] { return qvTest::countThreads() == nThreadsBefore; }))
        return std::string(cstrWhat) + ": a thread was left behind";
    if (!qvTest::waitUntil([&] { return qvFault::liveBlocks() == nBlocksBefore; }))
        return std::string(cstrWhat) + ": " +
               std::to_string(qvFault::liveBlocks() - nBlocksBefore) + " blocks were left behind";
    return std::string();
}

std::string refusedCreationLeavesNothing()
{
    qvProcessor processor;
    // A sanitizer runtime may start a helper thread with the first thread the process creates:
    // let that happen before anything is counted.
    std::thread([] {}).join();
    const int nThreads = qvTest::countThreads();
    if (!qvTest::setThreadAllowance(0))
        return "could not lower the process limit";

    std::string sstrProblem = expectRefusal("qvThread", [] { qvThread thread; });
    if (!sstrProblem.empty())
        return sstrProblem;
    sstrProblem = expectRefusal("createMainLoop", [&] { processor.createMainLoop(); });
    if (!sstrProblem.empty())
        return sstrProblem;
    if (processor.getThreadID(2) != qvTest::NO_THREAD)
        return "createMainLoop: a loop was left behind";
    sstrProblem = expectRefusal("qvThreadTeam", [] { qvThreadTeam team(3); });
    if (!sstrProblem.empty())
        return sstrProblem;
    sstrProblem = expectRefusal("qvJoinableThreadTeam", [] { qvJoinableThreadTeam team(3); });
    if (!sstrProblem.empty())
        return sstrProblem;

    // One thread more allowed: the first member starts, the second is refused, and the first
    // is stopped again.
    if (!qvTest::setThreadAllowance(nThreads + 1))
        return "could not set the process limit";
    sstrProblem = expectRefusal("qvThreadTeam, second member", [] { qvThreadTeam team(3); });
    if (!sstrProblem.empty())
        return sstrProblem;
    sstrProblem =
        expectRefusal("qvJoinableThreadTeam, second member", [] { qvJoinableThreadTeam team(3); });
    if (!sstrProblem.empty())
        return sstrProblem;

    // With threads allowed again, the processor hands out the first id and the loop works.
    if (!qvTest::setThreadAllowance(qvTest::UNLIMITED_THREADS) && !qvTest::setThreadAllowance(64))
        return "could not raise the process limit again";
    const unsigned long id = processor.createMainLoop();
    if (id != 2)
        return "the failed creation used up id " + std::to_string(id - 1);
    processor.run(id);
    const qvAnyContainer answer = processor.getITC().sendSyncMessage(
        qvITC::MessageFunctor([](const qvITC::ArgumentVector&) { return qvMakeAny(5); }),
        qvITC::ArgumentVector(0, false), processor.getThreadID(id));
    if (!qvAnyCast<int>(answer) || *qvAnyCast<int>(answer) != 5)
        return "the loop created afterwards does not work";
    processor.shutdown(id);
    return std::string();
}

} // namespace

TEST(qvFaultThreadCreationTest, RefusedThreadCreationThrowsAndLeavesNoThreadOrObject)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_THREAD_LIMIT);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runAsUnprivilegedChild(&refusedCreationLeavesNothing), testing::ExitedWithCode(0),
                "");
}

// ---------------------------------------------------------------------------------------------
// Threads that end while they hold a Lock

namespace {

struct HoldingThread
{
    qvSynch::Lock* pLock;
    qvTest::Gate* pHeld;
    qvTest::Gate* pEnd;
    qvSynch::Semaphore* pBlockOn; // null: return while holding; else block here, to be cancelled
};

long holdLockAndEnd(void* pArgument)
{
    HoldingThread* pHolding = static_cast<HoldingThread*>(pArgument);
    pHolding->pLock->acquire();
    pHolding->pHeld->open();
    if (pHolding->pBlockOn)
        pHolding->pBlockOn->P(); // a cancellation point; the lock stays held
    else
        pHolding->pEnd->waitFor();
    return 0;
}

// A waiter blocked in acquire() while the owner ends gets the lock; so do later acquirers.
void expectLockPassesOn(qvSynch::Lock& lock, qvThread& owner, qvTest::Gate& end, bool bTerminate)
{
    std::atomic<qvTest::ThreadId> nWaiter{0};
    std::atomic<bool> bGotIt{false};
    qvTest::AsyncCall waiter([&] {
        nWaiter = qvTest::currentTid();
        lock.acquire();
        bGotIt = true;
        lock.release();
    });
    ASSERT_TRUE(
        qvTest::waitUntil([&] { return nWaiter != 0 && qvTest::isParkedInKernel(nWaiter); }));
    EXPECT_FALSE(bGotIt.load());
    if (bTerminate)
        owner.terminate();
    else
        end.open();
    owner.join();
    ASSERT_TRUE(waiter.finishedWithin()) << "the waiter never got the abandoned lock";
    EXPECT_TRUE(bGotIt.load());
    // Usable as before.
    qvTest::AsyncCall later([&] {
        EXPECT_TRUE(lock.tryAcquire());
        lock.release();
        lock.acquire();
        lock.release();
    });
    ASSERT_TRUE(later.finishedWithin());
    EXPECT_TRUE(lock.tryAcquire());
    lock.release();
}

} // namespace

TEST(qvFaultLockTest, ThreadReturningWhileHoldingALockPassesItOn)
{
    qvSynch::Lock lock;
    qvTest::Gate held, end;
    HoldingThread holding{&lock, &held, &end, nullptr};
    qvThreadData data(&holdLockAndEnd, &holding);
    qvThread owner;
    owner.run(&data);
    ASSERT_TRUE(held.waitFor());
    expectLockPassesOn(lock, owner, end, false);
}

TEST(qvFaultLockTest, ThreadTerminatedWhileHoldingALockPassesItOn)
{
    qvSynch::Lock lock;
    qvSynch::Semaphore never(0, 1);
    qvTest::Gate held, end;
    HoldingThread holding{&lock, &held, &end, &never};
    qvThreadData data(&holdLockAndEnd, &holding);
    qvThread owner;
    owner.run(&data);
    ASSERT_TRUE(held.waitFor());
    expectLockPassesOn(lock, owner, end, true);
}
