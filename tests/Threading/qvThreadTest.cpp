// Tests of qvThread and qvThreadData: held-back creation, the suspension count, termination and
// destruction in every state, exit codes and the exception texts.
//
// A thread whose progress is watched makes one short sleep per step. That sleep is not for
// ordering: it gives each step a blocking call, which is a cancellation point (so that
// terminate() can end the thread on Linux) and, under ThreadSanitizer, the place where the
// sanitizer delivers the suspension signal. ThreadSanitizer defers asynchronous signals until the
// thread enters an intercepted library call; a pure computing loop would never see the signal
// there, and suspend() would wait for it. Without the sanitizer the signal stops any code.
//
// Termination differs between the platforms: Linux cancels a thread (it ends at its next
// cancellation point and its stack is unwound), Windows kills it wherever it is, without
// unwinding. Expectations that follow this ask qvTest::TERMINATION_CANCELS.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "Platform/Futex.h"
#include "Platform/Thread.h"
#include "Threading/qvLocks.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvSignal.h"
#include "Threading/qvThread.h"
#include "qvTestSupport.h"

#if defined(_WIN32)
#include <windows.h> // after the library's headers, whose names its macros would hide
#endif

namespace {

using namespace std::chrono_literals;

// What a start function saw.
struct Probe
{
    std::atomic<int> nCalls{0};
    std::atomic<unsigned long> nThreadId{0};
    long nResult = 0;
};

long recordCall(void* pArgument)
{
    Probe* pProbe = static_cast<Probe*>(pArgument);
    pProbe->nThreadId = qvThread::currentThreadId();
    ++pProbe->nCalls;
    return pProbe->nResult;
}

// Counts steps until told to stop.
struct Worker
{
    std::atomic<long> nSteps{0};
    std::atomic<bool> bStop{false};
};

long countSteps(void* pArgument)
{
    Worker* pWorker = static_cast<Worker*>(pArgument);
    while (!pWorker->bStop) {
        ++pWorker->nSteps;
        std::this_thread::sleep_for(1us);
    }
    return 7;
}

// Whether the OS still has the thread running (or held, or blocked).
bool osThreadExists(unsigned long nThreadId)
{
    return qvTest::isThreadAlive(nThreadId);
}

bool stepsStayAt(const Worker& worker, long nSteps)
{
    std::this_thread::sleep_for(qvTest::BLOCKED_WINDOW);
    return worker.nSteps == nSteps;
}

// Observes that a suspended worker makes no more progress. A step that was already past its
// check when the thread stopped may still be counted: take the count once it is stopped.
long stoppedSteps(const Worker& worker)
{
    return worker.nSteps.load();
}

} // namespace

// ---------------------------------------------------------------------------------------------
TEST(qvThreadDataTest, NullFunctionThrowsExactText)
{
    try {
        qvThreadData data(nullptr, nullptr);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("Could not create thread data with invalid null function pointer.\n",
                     error.what());
    }
}

TEST(qvThreadDataTest, InvokePassesArgumentAndReturnsResult)
{
    Probe probe;
    probe.nResult = 42;
    qvThreadData data(&recordCall, &probe);
    EXPECT_EQ(42, data.invoke());
    EXPECT_EQ(1, probe.nCalls);
}

// ---------------------------------------------------------------------------------------------
TEST(qvThreadTest, IdIsKnownBeforeRunAndIsTheThreadsOwn)
{
    Probe probe;
    qvThreadData data(&recordCall, &probe);
    qvThread thread;
    const unsigned long nId = thread.getID();
    EXPECT_NE(0u, nId);
    EXPECT_NE(qvThread::currentThreadId(), nId);
    EXPECT_TRUE(osThreadExists(nId));
    thread.run(&data);
    thread.join();
    EXPECT_EQ(nId, probe.nThreadId);
}

// On Linux the new thread publishes its id itself and the constructor does not wait for it:
// whenever getID() is first asked, and by whichever threads, it is the id the thread sees.
TEST(qvThreadTest, IdFirstAskedLaterOrElsewhereIsTheThreadsOwn)
{
    enum class FirstAsked
    {
        BY_TWO_OTHER_THREADS_AT_ONCE,
        AFTER_RUN,
        AFTER_JOIN
    };
    for (const FirstAsked when : {FirstAsked::BY_TWO_OTHER_THREADS_AT_ONCE, FirstAsked::AFTER_RUN,
                                  FirstAsked::AFTER_JOIN}) {
        SCOPED_TRACE(static_cast<int>(when));
        Probe probe;
        qvThreadData data(&recordCall, &probe);
        qvThread thread;
        std::atomic<unsigned long> nFirst{0};
        std::atomic<unsigned long> nSecond{0};
        if (when == FirstAsked::BY_TWO_OTHER_THREADS_AT_ONCE) {
            qvTest::AsyncCall first([&] { nFirst = thread.getID(); });
            qvTest::AsyncCall second([&] { nSecond = thread.getID(); });
            EXPECT_TRUE(first.finishedWithin());
            EXPECT_TRUE(second.finishedWithin());
        }
        thread.run(&data);
        if (when == FirstAsked::AFTER_RUN)
            nFirst = nSecond = thread.getID();
        thread.join();
        if (when == FirstAsked::AFTER_JOIN)
            nFirst = nSecond = thread.getID();
        EXPECT_EQ(probe.nThreadId.load(), nFirst.load());
        EXPECT_EQ(probe.nThreadId.load(), nSecond.load());
        EXPECT_EQ(probe.nThreadId.load(), thread.getID());
    }
}

namespace {

// Creates a thread, applies hold, checks that the thread function has not run within the
// negative-check window, applies release, joins, and checks that the function ran once.
void expectHeldUntilReleased(const std::function<void(qvThread&, qvThreadData&)>& hold,
                             const std::function<void(qvThread&, qvThreadData&)>& release)
{
    Probe probe;
    qvThreadData data(&recordCall, &probe);
    qvThread thread;
    hold(thread, data);
    std::this_thread::sleep_for(qvTest::BLOCKED_WINDOW);
    EXPECT_EQ(0, probe.nCalls);
    release(thread, data);
    thread.join();
    EXPECT_EQ(1, probe.nCalls);
}

void runWith(qvThread& thread, qvThreadData& data)
{
    thread.run(&data);
}

} // namespace

TEST(qvThreadTest, CreatedThreadRunsNothingBeforeRun)
{
    expectHeldUntilReleased([](qvThread&, qvThreadData&) {}, &runWith);
}

TEST(qvThreadTest, RunWithNullLeavesThreadWaiting)
{
    expectHeldUntilReleased([](qvThread& thread, qvThreadData&) { thread.run(nullptr); }, &runWith);
}

TEST(qvThreadTest, ResumeBeforeRunDoesNotStartIt)
{
    expectHeldUntilReleased([](qvThread& thread, qvThreadData&) { thread.resume(); }, &runWith);
}

TEST(qvThreadTest, SuspendBeforeRunNeedsOneMoreResume)
{
    expectHeldUntilReleased(
        [](qvThread& thread, qvThreadData& data) {
            thread.suspend();
            thread.run(&data);
        },
        [](qvThread& thread, qvThreadData&) { thread.resume(); });
}

TEST(qvThreadTest, JoinOfNeverRunThreadWaitsUntilItRuns)
{
    Probe probe;
    qvThreadData data(&recordCall, &probe);
    qvThread thread;
    qvTest::AsyncCall joiner([&] { thread.join(); });
    EXPECT_TRUE(joiner.stillBlocked());
    thread.run(&data);
    EXPECT_TRUE(joiner.finishedWithin());
    EXPECT_EQ(1, probe.nCalls);
}

// ---------------------------------------------------------------------------------------------
TEST(qvThreadTest, SuspendStopsProgressAndResumeRestartsIt)
{
    Worker worker;
    qvThreadData data(&countSteps, &worker);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return worker.nSteps > 0; }));

    thread.suspend();
    const long nStopped = stoppedSteps(worker);
    EXPECT_TRUE(stepsStayAt(worker, nStopped));

    thread.resume();
    EXPECT_TRUE(qvTest::waitUntil([&] { return worker.nSteps > nStopped; }));
    worker.bStop = true;
    thread.join();
    EXPECT_EQ(7u, thread.getExitCode());
}

TEST(qvThreadTest, NestedSuspendsNeedAsManyResumes)
{
    Worker worker;
    qvThreadData data(&countSteps, &worker);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return worker.nSteps > 0; }));

    thread.suspend();
    thread.suspend();
    const long nStopped = stoppedSteps(worker);
    thread.resume();
    EXPECT_TRUE(stepsStayAt(worker, nStopped));

    thread.resume();
    EXPECT_TRUE(qvTest::waitUntil([&] { return worker.nSteps > nStopped; }));
    worker.bStop = true;
    thread.join();
}

TEST(qvThreadTest, SecondRunCountsAsOneResumeAndKeepsTheRunningFunction)
{
    Worker worker;
    Probe probe;
    qvThreadData data(&countSteps, &worker);
    qvThreadData other(&recordCall, &probe);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return worker.nSteps > 0; }));

    thread.suspend();
    const long nStopped = stoppedSteps(worker);
    thread.run(&other);
    EXPECT_TRUE(qvTest::waitUntil([&] { return worker.nSteps > nStopped; }));
    worker.bStop = true;
    thread.join();
    EXPECT_EQ(0, probe.nCalls);
    EXPECT_EQ(7u, thread.getExitCode());
}

TEST(qvThreadTest, ThreadSuspendingItselfWaitsForResume)
{
    struct SelfSuspend
    {
        qvThread* pThread = nullptr;
        std::atomic<bool> bBack{false};
    } context;
    qvThreadData data(
        [](void* pArgument) -> long {
            SelfSuspend* pContext = static_cast<SelfSuspend*>(pArgument);
            pContext->pThread->suspend();
            pContext->bBack = true;
            return 0;
        },
        &context);
    qvThread thread;
    context.pThread = &thread;
    thread.run(&data);
    std::this_thread::sleep_for(qvTest::BLOCKED_WINDOW);
    EXPECT_FALSE(context.bBack);
    // The thread may not have stopped yet: resume until it is through (each resume takes one
    // step off; surplus resumes do nothing).
    EXPECT_TRUE(qvTest::waitUntil([&] {
        thread.resume();
        return context.bBack.load();
    }));
    thread.join();
}

// ---------------------------------------------------------------------------------------------
TEST(qvThreadTest, ExitCodeIsTheStartFunctionsResult)
{
    Probe probe;
    probe.nResult = 5;
    qvThreadData data(&recordCall, &probe);
    qvThread thread;
    EXPECT_FALSE(thread.isFinished());
    thread.run(&data);
    thread.join();
    EXPECT_TRUE(thread.isFinished());
    EXPECT_EQ(5u, thread.getExitCode());
}

TEST(qvThreadTest, ResultMinusOneGivesAllBitsSet)
{
    Probe probe;
    probe.nResult = -1;
    qvThreadData data(&recordCall, &probe);
    qvThread thread;
    thread.run(&data);
    thread.join();
    EXPECT_EQ(0xFFFFFFFFu, thread.getExitCode());
}

TEST(qvThreadTest, ThrowingStartFunctionEndsThreadWithAllBitsSet)
{
    qvThreadData data([](void*) -> long { throw std::logic_error("job failed"); }, nullptr);
    qvThread thread;
    thread.run(&data);
    thread.join();
    EXPECT_TRUE(thread.isFinished());
    EXPECT_EQ(0xFFFFFFFFu, thread.getExitCode());
}

TEST(qvThreadTest, OperationsOnFinishedThreadDoNothing)
{
    Probe probe;
    Probe other;
    qvThreadData data(&recordCall, &probe);
    qvThreadData otherData(&recordCall, &other);
    qvThread thread;
    thread.run(&data);
    thread.join();
    thread.suspend();
    thread.resume();
    thread.run(&otherData);
    thread.join();
    thread.terminate();
    EXPECT_EQ(1, probe.nCalls);
    EXPECT_EQ(0, other.nCalls);
    EXPECT_TRUE(thread.isFinished());
}

TEST(qvThreadTest, ConcurrentJoinersAllReturn)
{
    Worker worker;
    qvThreadData data(&countSteps, &worker);
    qvThread thread;
    thread.run(&data);
    qvTest::AsyncCall first([&] { thread.join(); });
    qvTest::AsyncCall second([&] { thread.join(); });
    EXPECT_TRUE(first.stillBlocked());
    worker.bStop = true;
    EXPECT_TRUE(first.finishedWithin());
    EXPECT_TRUE(second.finishedWithin());
}

// ---------------------------------------------------------------------------------------------
namespace {

struct BlockedInP
{
    qvSynch::Semaphore semaphore{0, 5};
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bUnwound{false};
    std::atomic<bool> bPassed{false};
};

long waitOnSemaphore(void* pArgument)
{
    BlockedInP* pContext = static_cast<BlockedInP*>(pArgument);
    struct Unwound
    {
        BlockedInP* pContext;
        ~Unwound() { pContext->bUnwound = true; }
    } unwound{pContext};
    pContext->bEntered = true;
    pContext->semaphore.P();
    pContext->bPassed = true;
    return 3;
}

} // namespace

TEST(qvThreadTest, TerminateEndsThreadBlockedOnSemaphoreAndUnwindsIt)
{
    BlockedInP context;
    qvThreadData data(&waitOnSemaphore, &context);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return context.bEntered.load(); }));

    thread.terminate();
    qvTest::AsyncCall joiner([&] { thread.join(); });
    ASSERT_TRUE(joiner.finishedWithin());
    // Linux unwinds the cancelled thread's stack; Windows kills it, and no destructor runs.
    EXPECT_EQ(qvTest::TERMINATION_CANCELS, context.bUnwound.load());
    EXPECT_FALSE(context.bPassed);
    EXPECT_FALSE(thread.isFinished());
    EXPECT_EQ(0u, thread.getExitCode());
    EXPECT_FALSE(osThreadExists(thread.getID()));

    // The cancelled waiter took no unit: the next V() is there for the next P().
    context.semaphore.V();
    qvTest::AsyncCall taker([&] { context.semaphore.P(); });
    EXPECT_TRUE(taker.finishedWithin());
}

TEST(qvThreadTest, TerminateEndsThreadAtNextCancellationPoint)
{
    std::atomic<bool> bEntered{false};
    qvThreadData data(
        [](void* pArgument) -> long {
            // A first short sleep sets up the threads library's record of this thread (on
            // Windows it allocates and duplicates a handle; Wine does the latter under a
            // process-wide lock that a thread killed there keeps), so that the kill comes in
            // the long sleep. Shorter than a millisecond it would return before that.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            *static_cast<std::atomic<bool>*>(pArgument) = true;
            std::this_thread::sleep_for(std::chrono::hours(1));
            return 1;
        },
        &bEntered);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return bEntered.load(); }));
    thread.terminate();
    qvTest::AsyncCall joiner([&] { thread.join(); });
    EXPECT_TRUE(joiner.finishedWithin());
}

TEST(qvThreadTest, TerminateWhileAnotherThreadJoins)
{
    BlockedInP context;
    qvThreadData data(&waitOnSemaphore, &context);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return context.bEntered.load(); }));
    qvTest::AsyncCall joiner([&] { thread.join(); });
    EXPECT_TRUE(joiner.stillBlocked());
    thread.terminate();
    EXPECT_TRUE(joiner.finishedWithin());
}

TEST(qvThreadTest, TerminateReleasesSuspendedThread)
{
    Worker worker;
    qvThreadData data(&countSteps, &worker);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return worker.nSteps > 0; }));
    thread.suspend();
    thread.suspend();
    thread.terminate();
    qvTest::AsyncCall joiner([&] { thread.join(); });
    EXPECT_TRUE(joiner.finishedWithin());
    EXPECT_FALSE(thread.isFinished());
}

TEST(qvThreadTest, TerminateOfNeverRunThreadEndsItWithoutStartFunction)
{
    Probe probe;
    qvThreadData data(&recordCall, &probe);
    qvThread thread;
    thread.terminate();
    thread.join();
    EXPECT_FALSE(osThreadExists(thread.getID()));
    // Termination is final: a later run starts nothing, a second terminate changes nothing.
    thread.run(&data);
    thread.terminate();
    std::this_thread::sleep_for(qvTest::BLOCKED_WINDOW);
    EXPECT_EQ(0, probe.nCalls);
    EXPECT_EQ(0u, thread.getExitCode());
}

TEST(qvThreadTest, DestroyingNeverRunThreadEndsItWithoutStartFunction)
{
    Probe probe;
    qvThread* pThread = new qvThread;
    const unsigned long nId = pThread->getID();
    delete pThread;
    EXPECT_TRUE(qvTest::waitUntil([&] { return !osThreadExists(nId); }));
    EXPECT_EQ(0, probe.nCalls);
}

TEST(qvThreadTest, DestroyingBlockedThreadEndsIt)
{
    BlockedInP context;
    qvThreadData data(&waitOnSemaphore, &context);
    qvThread* pThread = new qvThread;
    const unsigned long nId = pThread->getID();
    pThread->run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return context.bEntered.load(); }));
    delete pThread;
    EXPECT_TRUE(qvTest::waitUntil([&] { return !osThreadExists(nId); }));
    EXPECT_EQ(qvTest::TERMINATION_CANCELS, context.bUnwound.load());
    EXPECT_FALSE(context.bPassed);
}

// The thread outlives its wrapper here: it runs no cancellation point, so it finishes its start
// function after the qvThread is gone, and must not write into the destroyed object.
TEST(qvThreadTest, ThreadOutlivingItsWrapperDoesNotTouchIt)
{
    QV_SKIP_ON_WINDOWS("destroying the wrapper kills the thread there, so it never outlives it "
                       "(TerminateEndsThreadSpinningInUserCode)");
    struct Spin
    {
        std::atomic<bool> bEntered{false};
        std::atomic<bool> bRelease{false};
        std::atomic<bool> bLeft{false};
    } spin;
    qvThreadData data(
        [](void* pArgument) -> long {
            Spin* pSpin = static_cast<Spin*>(pArgument);
            pSpin->bEntered = true;
            while (!pSpin->bRelease)
                std::this_thread::yield();
            pSpin->bLeft = true; // its last access to the test's memory
            return 9;
        },
        &spin);
    qvThread* pThread = new qvThread;
    const unsigned long nId = pThread->getID();
    pThread->run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return spin.bEntered.load(); }));
    delete pThread;
    spin.bRelease = true;
    EXPECT_TRUE(qvTest::waitUntil([&] { return spin.bLeft.load(); }));
    EXPECT_TRUE(qvTest::waitUntil([&] { return !osThreadExists(nId); }));
}

#if !defined(_WIN32)
namespace {

// One round of the suspension race below, shared by the test and the thread it creates.
struct PendingSuspension
{
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bSawSignal{false};
    qvTest::Gate deleted;
    std::atomic<bool> bUnblocked{false};
};

// Holds every signal of its thread back from the start function's first step to the thread's
// exit path, where its destructor (a thread-local one, so it runs after the start function has
// returned) waits until the wrapper has been deleted and then lets the held signals in.
struct SignalsHeldUntilDeleted
{
    PendingSuspension* pRound = nullptr;
    sigset_t previousMask;
    ~SignalsHeldUntilDeleted()
    {
        if (!pRound)
            return;
        pRound->deleted.waitFor();
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr); // a pending signal is handled here
        pRound->bUnblocked = true;
    }
};
thread_local SignalsHeldUntilDeleted t_HeldSignals;

bool realTimeSignalPending()
{
    sigset_t pending;
    sigpending(&pending);
    for (int nSignal = SIGRTMIN; nSignal <= SIGRTMAX; ++nSignal)
        if (sigismember(&pending, nSignal) == 1)
            return true;
    return false;
}

// Returns as soon as the suspension signal is pending, held back until the thread's exit path.
long returnWithSuspensionPending(void* pArgument)
{
    PendingSuspension* pRound = static_cast<PendingSuspension*>(pArgument);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &t_HeldSignals.previousMask);
    t_HeldSignals.pRound = pRound;
    pRound->bEntered = true;
    pRound->bSawSignal = qvTest::waitUntil(&realTimeSignalPending);
    return 0;
}

} // namespace

// A suspend() that races with the end of the start function sees the thread finished and
// returns while its signal is still pending; the wrapper is then deleted without join(), which
// frees the state it shared with the thread. The signal, handled on the thread's exit path
// (here: during its thread-local destructors), must not touch that state (AddressSanitizer
// reports the use after free). Each round forces that order; several threads run rounds at once.
TEST(qvThreadTest, SuspendSignalHandledAfterDeleteTouchesNoFreedState)
{
    constexpr int RACERS = 4;
    const int nRounds = qvTest::raceRounds(16);
    std::atomic<int> nFailures{0};
    auto runRounds = [&] {
        for (int nRound = 0; nRound < nRounds; ++nRound) {
            PendingSuspension round;
            qvThreadData data(&returnWithSuspensionPending, &round);
            qvThread* pThread = new qvThread;
            pThread->run(&data);
            const bool bEntered = qvTest::waitUntil([&] { return round.bEntered.load(); });
            pThread->suspend();
            pThread->resume();
            delete pThread;
            round.deleted.open();
            if (!bEntered || !qvTest::waitUntil([&] { return round.bUnblocked.load(); }) ||
                !round.bSawSignal)
                ++nFailures;
        }
    };
    std::vector<std::thread> racers;
    for (int nRacer = 0; nRacer < RACERS; ++nRacer)
        racers.emplace_back(runRounds);
    for (std::thread& racer : racers)
        racer.join();
    EXPECT_EQ(0, nFailures);
}
#endif

#if defined(_WIN32)
// Windows' forced termination: a thread that runs user code without making any call ends all
// the same, and runs none of its code after that.
TEST(qvThreadTest, TerminateEndsThreadSpinningInUserCode)
{
    struct Spin
    {
        std::atomic<bool> bEntered{false};
        std::atomic<bool> bRelease{false};
        std::atomic<bool> bLeft{false};
    } spin;
    qvThreadData data(
        [](void* pArgument) -> long {
            Spin* pSpin = static_cast<Spin*>(pArgument);
            pSpin->bEntered = true;
            while (!pSpin->bRelease) // no call of any kind
                ;
            pSpin->bLeft = true;
            return 9;
        },
        &spin);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return spin.bEntered.load(); }));
    thread.terminate();
    qvTest::AsyncCall joiner([&] { thread.join(); });
    const bool bEnded = joiner.finishedWithin();
    spin.bRelease = true; // a thread that survived lets the test end
    ASSERT_TRUE(bEnded) << "terminate() did not end a thread spinning in user code";
    EXPECT_FALSE(osThreadExists(thread.getID()));
    EXPECT_FALSE(spin.bLeft.load());
    EXPECT_FALSE(thread.isFinished());
    EXPECT_EQ(0u, thread.getExitCode());
}
#endif

namespace {

// Holds a thread's exit open from a thread-local destructor (user code on its exit path) until
// the test lets it go. What it waits on is kept outside the object (see the ITC exit-path test).
struct ExitHoldContext
{
    qvTest::Gate entered;
    qvTest::Gate release;
    std::atomic<bool> bDone{false};
};
ExitHoldContext* s_pExitHold = nullptr;

struct ExitHold
{
    bool bArmed = false;
    ~ExitHold()
    {
        if (!bArmed || !s_pExitHold)
            return;
        s_pExitHold->entered.open();
        s_pExitHold->release.waitFor();
        s_pExitHold->bDone = true;
    }
};
thread_local ExitHold t_ExitHold;

long armExitHold(void*)
{
    t_ExitHold.bArmed = true;
    return 0;
}

} // namespace

// Every joiner returns only once the thread has exited, not only the one that reaps it.
TEST(qvThreadTest, SecondJoinerWaitsForTheThreadsExitPath)
{
    // Windows runs thread-local destructors under the loader lock, which the joiner threads
    // made below would need.
    QV_SKIP_ON_WINDOWS("the exit path holds the loader lock there");
    ExitHoldContext context;
    s_pExitHold = &context;
    qvThreadData data(&armExitHold, nullptr);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(context.entered.waitFor());
    std::atomic<int> nReturned{0};
    std::atomic<bool> bDoneAtFirstReturn{true};
    auto joinOnce = [&] {
        thread.join();
        if (nReturned.fetch_add(1) == 0)
            bDoneAtFirstReturn = context.bDone.load();
    };
    qvTest::AsyncCall first(joinOnce);
    qvTest::AsyncCall second(joinOnce);
    // A window for a wrong return; neither may return while the destructor is held.
    qvTest::waitUntil([&] { return nReturned.load() > 0; }, std::chrono::milliseconds(200));
    context.release.open();
    EXPECT_TRUE(first.finishedWithin());
    EXPECT_TRUE(second.finishedWithin());
    EXPECT_TRUE(bDoneAtFirstReturn) << "a join() returned while the thread was still exiting";
    s_pExitHold = nullptr;
}

TEST(qvThreadTest, TerminateThenDestroyReleasesEverything)
{
    BlockedInP context;
    qvThreadData data(&waitOnSemaphore, &context);
    qvThread* pThread = new qvThread;
    const unsigned long nId = pThread->getID();
    pThread->run(&data);
    ASSERT_TRUE(qvTest::waitUntil([&] { return context.bEntered.load(); }));
    pThread->terminate();
    delete pThread;
    EXPECT_TRUE(qvTest::waitUntil([&] { return !osThreadExists(nId); }));
    // On Linux the unwinding has left the semaphore before it reaches the marker.
    EXPECT_EQ(qvTest::TERMINATION_CANCELS, context.bUnwound.load());
}

namespace {

// A thread to be killed: it makes library calls (a lock, a semaphore) and is then killed either
// asleep in the semaphore's wait (its parking record queued) or spinning in its own code between
// library calls (its record not queued).
struct KillTarget
{
    qvSynch::Semaphore semaphore{0, 1};
    qvSynch::LWLock lock;
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bRelease{false};
    bool bPark = false;
};

long runKillTarget(void* pArgument)
{
    KillTarget* pTarget = static_cast<KillTarget*>(pArgument);
    pTarget->lock.acquire();
    pTarget->lock.release();
    pTarget->bEntered = true;
    if (pTarget->bPark)
        pTarget->semaphore.P();
    while (!pTarget->bRelease.load())
        ;
    return 0;
}

void killOneTarget(bool bPark)
{
    KillTarget target;
    // Linux cancels at a cancellation point only, which the spinning target never reaches.
    target.bPark = bPark || qvTest::TERMINATION_CANCELS;
    qvThreadData data(&runKillTarget, &target);
    {
        qvThread thread;
        thread.run(&data);
        qvTest::waitUntil([&] { return target.bEntered.load(); });
        thread.terminate();
        thread.join();
    }
    target.bRelease = true;
}

} // namespace

// Tests that terminate() of a running thread leaves no handle open: neither the thread's parking
// record (freed by the terminator, queued or not) nor a record of the C runtime's (the platform
// layer keeps its per-thread data in TLS slots of its own, not in C++ thread_locals). Under Wine
// on 32-bit, the system itself runs out after about 480 TerminateThread calls in one process:
// fewer kills there.
TEST(qvThreadTest, TerminateLeavesNoHandleOpen)
{
    const int KILLS = sizeof(void*) == 8 ? 1000 : 150;
    // The library's and the runtime's once-only things are made by the first rounds.
    for (int n = 0; n < 4; ++n)
        killOneTarget(n % 2 == 0);
    const int nBefore = qvTest::countOpenHandles();
    ASSERT_GE(nBefore, 0);
    int nKills = 0;
    for (qvTest::RaceRounds rounds(qvTest::raceRounds(KILLS), 4 * qvTest::RACE_TIME); rounds.next();
         ++nKills)
        killOneTarget(nKills % 2 == 0);
    const int nAfter = qvTest::countOpenHandles();
    RecordProperty("kills", nKills);
    RecordProperty("handlesBefore", nBefore);
    RecordProperty("handlesAfter", nAfter);
    EXPECT_LE(nAfter - nBefore, 8)
        << nKills << " kills: " << nBefore << " -> " << nAfter << " open handles";
}

#if defined(_WIN32)
namespace {

// A platform thread that spends a while inside an internal region (as code that is not the
// library's own would, run under one of its locks), and what it does there.
struct RegionStay
{
    std::atomic<bool> bInside{false};
    std::atomic<bool> bLeave{false};
    std::atomic<bool> bLeft{false};
    std::atomic<bool> bStop{false};
    // Destroyed inside the region, when set: a destruction needs the termination lock.
    qvPlatform::Thread* pOther = nullptr;
};

long stayInRegion(void* pArgument)
{
    RegionStay* pStay = static_cast<RegionStay*>(pArgument);
    {
        qvPlatform::InternalRegion region;
        pStay->bInside = true;
        while (!pStay->bLeave.load())
            ;
        delete pStay->pOther;
    }
    pStay->bLeft = true;
    while (!pStay->bStop.load())
        ;
    return 0;
}

long neverCalled(void*)
{
    return 0;
}

std::string terminateWhileTargetDestroysAThreadInARegion()
{
    RegionStay stay;
    qvPlatform::Thread* pOther = nullptr;
    qvPlatform::Thread* pTarget = nullptr;
    if (qvPlatform::Thread::create(&neverCalled, pOther) != 0 ||
        qvPlatform::Thread::create(&stayInRegion, pTarget) != 0)
        return "no thread";
    stay.pOther = pOther;
    pTarget->start(&stay);
    if (!qvTest::waitUntil([&] { return stay.bInside.load(); }))
        return "the thread never entered its region";
    qvTest::AsyncCall terminator([&] { pTarget->terminate(); });
    // A window for the terminator to take the termination lock and wait for the region's end;
    // it can't return before, the target being inside.
    if (!terminator.stillBlocked())
        return "terminate() returned while its thread was inside a region";
    stay.bLeave = true;
    const bool bReturned = terminator.finishedWithin();
    stay.bStop = true;
    if (!bReturned)
        return "terminate() and the destruction inside the target's region wait for each other";
    pTarget->join();
    delete pTarget;
    return "";
}

} // namespace

// Tests that a terminate() waiting for its thread to leave an internal region holds nothing that
// the thread needs there: a thread that destroys another thread inside a region (which needs the
// process-wide termination lock) while it is being terminated ends, and both calls return.
TEST(qvThreadTest, TerminateOfAThreadDestroyingAnotherInsideARegionDoesNotDeadlock)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict(&terminateWhileTargetDestroysAThreadInARegion),
                testing::ExitedWithCode(0), "");
}

namespace {

// A platform thread that has entered its region, started on stay; null when it can't be made.
qvPlatform::Thread* startInRegion(RegionStay& stay)
{
    qvPlatform::Thread* pThread = nullptr;
    if (qvPlatform::Thread::create(&stayInRegion, pThread) != 0)
        return nullptr;
    pThread->start(&stay);
    if (!qvTest::waitUntil([&] { return stay.bInside.load(); })) {
        stay.bLeave = stay.bStop = true;
        pThread->join();
        delete pThread;
        return nullptr;
    }
    return pThread;
}

// Lets the thread leave its region and end, then joins and destroys it.
void endRegionStay(RegionStay& stay, qvPlatform::Thread* pThread)
{
    stay.bLeave = stay.bStop = true;
    pThread->join();
    delete pThread;
}

std::string stopAThreadThatStaysInARegion()
{
    // suspend() leaves it stopped inside after its limit: it does not get out until resumed.
    RegionStay suspended;
    qvPlatform::Thread* pSuspended = startInRegion(suspended);
    if (!pSuspended)
        return "no thread in its region";
    qvTest::AsyncCall suspender([&] { pSuspended->suspend(); });
    if (!suspender.finishedWithin()) {
        endRegionStay(suspended, pSuspended);
        return "suspend() of a thread that stays inside a region does not return";
    }
    suspended.bLeave = true;
    const bool bLeftWhileSuspended =
        qvTest::waitUntil([&] { return suspended.bLeft.load(); }, qvTest::BLOCKED_WINDOW);
    pSuspended->resume();
    const bool bLeftWhenResumed = qvTest::waitUntil([&] { return suspended.bLeft.load(); });
    endRegionStay(suspended, pSuspended);
    if (bLeftWhileSuspended || !bLeftWhenResumed)
        return "suspend() did not hold the thread, or resume() did not let it go";

    // terminate() gives up after its limit, reports it and leaves the thread running; a later one,
    // once the thread is out, kills it.
    RegionStay killed;
    qvPlatform::Thread* pKilled = startInRegion(killed);
    if (!pKilled)
        return "no thread in its region";
    int nError = 0;
    qvTest::AsyncCall terminator([&] { nError = pKilled->terminate(); });
    if (!terminator.finishedWithin()) {
        endRegionStay(killed, pKilled);
        return "terminate() of a thread that stays inside a region does not return";
    }
    if (nError == 0 || pKilled->hasEnded()) {
        endRegionStay(killed, pKilled);
        return "terminate() killed a thread inside a region";
    }
    killed.bLeave = true;
    if (!qvTest::waitUntil([&] { return killed.bLeft.load(); })) {
        endRegionStay(killed, pKilled);
        return "the thread given up on did not run on";
    }
    nError = pKilled->terminate();
    const bool bKilled = nError == 0 && !killed.bStop.load() &&
                         qvTest::waitUntil([&] { return pKilled->hasEnded(); });
    endRegionStay(killed, pKilled);
    if (!bKilled)
        return "the second terminate() did not kill the thread: " + std::to_string(nError);
    return "";
}

} // namespace

// Tests that suspend() and terminate() of a thread that stays inside an internal region return
// after their limit: terminate() reports an error and leaves the thread running (a later one tries
// again), suspend() leaves the thread stopped inside (as on Linux).
TEST(qvThreadTest, SuspendAndTerminateOfAThreadStayingInARegionReturnAfterTheirLimit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict(&stopAThreadThatStaysInARegion), testing::ExitedWithCode(0),
                "");
}

namespace {

std::string terminateTwiceAtOnceAThreadThatStaysInARegion()
{
    RegionStay stay;
    qvPlatform::Thread* pThread = startInRegion(stay);
    if (!pThread)
        return "no thread in its region";
    // Whichever call comes first stops and kills the thread, the other waits for its outcome:
    // both give up after the limit, the thread never having left its region.
    int nFirstError = 0;
    int nSecondError = 0;
    qvTest::AsyncCall first([&] { nFirstError = pThread->terminate(); });
    if (!first.stillBlocked()) {
        endRegionStay(stay, pThread);
        return "terminate() returned while its thread was inside a region";
    }
    qvTest::AsyncCall second([&] { nSecondError = pThread->terminate(); });
    const bool bReturned = first.finishedWithin() && second.finishedWithin();
    if (!bReturned || pThread->hasEnded()) {
        endRegionStay(stay, pThread);
        return "the two terminate() calls did not return, or killed the thread inside its region";
    }
    if (nFirstError == 0 || nSecondError == 0) {
        endRegionStay(stay, pThread);
        return "a terminate() reported success while the thread runs on: " +
               std::to_string(nFirstError) + ", " + std::to_string(nSecondError);
    }
    // Given up on, the thread runs on; out of its region, it is killed by the next terminate().
    stay.bLeave = true;
    if (!qvTest::waitUntil([&] { return stay.bLeft.load(); })) {
        endRegionStay(stay, pThread);
        return "the thread given up on did not run on";
    }
    const int nError = pThread->terminate();
    const bool bKilled = nError == 0 && qvTest::waitUntil([&] { return pThread->hasEnded(); });
    endRegionStay(stay, pThread);
    return bKilled ? ""
                   : "the third terminate() did not kill the thread: " + std::to_string(nError);
}

std::string terminateAThreadSuspendedInsideARegion()
{
    RegionStay stay;
    qvPlatform::Thread* pThread = startInRegion(stay);
    if (!pThread)
        return "no thread in its region";
    // suspend() leaves the thread stopped inside after its limit; terminate() gives up after its
    // own, which takes its mark back: resume() lets the thread go, a later terminate() kills it.
    qvTest::AsyncCall suspender([&] { pThread->suspend(); });
    if (!suspender.finishedWithin()) {
        endRegionStay(stay, pThread);
        return "suspend() of a thread that stays inside a region does not return";
    }
    stay.bLeave = true;
    int nError = 0;
    qvTest::AsyncCall terminator([&] { nError = pThread->terminate(); });
    if (!terminator.finishedWithin()) {
        pThread->resume();
        endRegionStay(stay, pThread);
        return "terminate() of a thread suspended inside a region does not return";
    }
    if (nError == 0 || pThread->hasEnded()) {
        endRegionStay(stay, pThread);
        return "terminate() killed a thread inside a region";
    }
    pThread->resume();
    if (!qvTest::waitUntil([&] { return stay.bLeft.load(); })) {
        // Still held: its terminate() left it for ever. Killed here so that the child can exit.
        stay.bStop = true;
        return "resume() after a terminate() that gave up does not let the thread go";
    }
    nError = pThread->terminate();
    const bool bKilled = nError == 0 && qvTest::waitUntil([&] { return pThread->hasEnded(); });
    endRegionStay(stay, pThread);
    return bKilled ? ""
                   : "the later terminate() did not kill the thread: " + std::to_string(nError);
}

} // namespace

// Tests that two terminate() calls at once on a thread that stays inside an internal region both
// report the failure: the second waits for the outcome of the first instead of returning as if
// the thread had ended.
TEST(qvThreadTest, ConcurrentTerminateCallsOfAThreadStayingInARegionBothFail)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict(&terminateTwiceAtOnceAThreadThatStaysInARegion),
                testing::ExitedWithCode(0), "");
}

// Tests that a terminate() that gives up on a thread suspended inside an internal region leaves
// it to resume() and to a later terminate().
TEST(qvThreadTest, TerminateThatGivesUpOnASuspendedThreadLeavesItResumable)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict(&terminateAThreadSuspendedInsideARegion),
                testing::ExitedWithCode(0), "");
}

namespace {

// A thread that ends itself, by terminate() or by destroying its own qvThread.
struct SelfEnder
{
    qvThread* pThread = nullptr;
    bool bDestroy = false;
};

long endItself(void* pArgument)
{
    SelfEnder* pEnder = static_cast<SelfEnder*>(pArgument);
    qvSynch::Semaphore semaphore(1, 1); // a library wait: the thread has its parking record
    semaphore.P();
    if (pEnder->bDestroy)
        delete pEnder->pThread;
    else
        pEnder->pThread->terminate();
    return 0;
}

void endOneThreadByItself(bool bDestroy)
{
    SelfEnder ender;
    ender.bDestroy = bDestroy;
    qvThreadData data(&endItself, &ender);
    ender.pThread = new qvThread;
    // Its end is watched on a handle of its own: a thread that destroys its qvThread can't be
    // joined.
    const HANDLE hThread = ::OpenThread(SYNCHRONIZE, FALSE, ender.pThread->getID());
    ender.pThread->run(&data);
    ::WaitForSingleObject(hThread, 20000);
    ::CloseHandle(hThread);
    if (!bDestroy)
        delete ender.pThread;
}

} // namespace

// Tests that a thread that ends itself (terminate() or the destructor on its own qvThread) leaves
// nothing open behind it: its parking record is freed before it is killed.
TEST(qvThreadTest, ThreadEndingItselfLeavesNoHandleOpen)
{
    for (int n = 0; n < 4; ++n)
        endOneThreadByItself(n % 2 == 0);
    const int nBefore = qvTest::countOpenHandles();
    ASSERT_GE(nBefore, 0);
    const int ROUNDS = 100;
    for (int n = 0; n < ROUNDS; ++n)
        endOneThreadByItself(n % 2 == 0);
    const int nAfter = qvTest::countOpenHandles();
    EXPECT_LE(nAfter - nBefore, 8)
        << ROUNDS << " threads: " << nBefore << " -> " << nAfter << " open handles";
}

namespace {

long spinUntilStopped(void* pArgument)
{
    std::atomic<bool>* pStop = static_cast<std::atomic<bool>*>(pArgument);
    while (!pStop->load())
        std::this_thread::yield();
    return 0;
}

long setFlag(void* pArgument)
{
    static_cast<std::atomic<bool>*>(pArgument)->store(true);
    return 0;
}

std::string suspendRightAfterRunRounds()
{
    for (qvTest::RaceRounds rounds(qvTest::raceRounds(1000)); rounds.next();) {
        const int nRound = rounds.done() - 1;
        std::atomic<bool> bStop{false};
        qvThreadData data(&spinUntilStopped, &bStop);
        qvThread thread;
        thread.run(&data);
        // A varying moment of the new thread's start-up.
        qvTest::spinFor(std::chrono::microseconds(nRound % 64));
        thread.suspend();
        // Another thread must still start (and end): the suspended one holds no loader lock.
        std::atomic<bool> bRan{false};
        bool bStarted = false;
        {
            qvThreadData probeData(&setFlag, &bRan);
            qvThread probe;
            probe.run(&probeData);
            bStarted = qvTest::waitUntil([&] { return bRan.load(); });
            thread.resume();
            probe.join();
        }
        bStop = true;
        thread.join();
        if (!bStarted)
            return "no thread starts while one suspended right after run() is held, round " +
                   std::to_string(nRound);
    }
    return "";
}

} // namespace

// Tests that suspend() right after run() does not leave the new thread stopped in its start-up
// (the loader's lock, the making of its parking record): no other thread could start then.
TEST(qvThreadTest, SuspendRightAfterRunLeavesOtherThreadsStarting)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict(&suspendRightAfterRunRounds), testing::ExitedWithCode(0),
                "");
}
#endif

// ---------------------------------------------------------------------------------------------
namespace {

// In a child process: become an unprivileged user that may not have a single thread more,
// then try to create one. Exits 0 when the constructor threw the expected text.
void createThreadWithoutAllowance()
{
    // Root is exempt from the limit; the nobody user is not.
    if (!qvTest::becomeUnprivilegedUser())
        std::_Exit(3);
    if (!qvTest::setThreadAllowance(0))
        std::_Exit(4);
    const std::string sExpected = "Could not create thread: " + std::to_string(EAGAIN) + ".\n";
    try {
        qvThread thread;
        std::fprintf(stderr, "thread created\n");
        std::_Exit(1);
    } catch (const std::runtime_error& error) {
        if (sExpected == error.what())
            std::_Exit(0);
        std::fprintf(stderr, "text: %s", error.what());
        std::_Exit(2);
    }
}

} // namespace

TEST(qvThreadTest, RefusedCreationThrowsExactText)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_THREAD_LIMIT);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(createThreadWithoutAllowance(), testing::ExitedWithCode(0), "");
}

TEST(qvThreadTest, ManyThreadsCreatedRunAndJoined)
{
    for (int nRound = 0; nRound < 200; ++nRound) {
        Probe probe;
        probe.nResult = nRound;
        qvThreadData data(&recordCall, &probe);
        qvThread thread;
        thread.run(&data);
        thread.join();
        ASSERT_EQ(static_cast<unsigned long>(nRound), thread.getExitCode());
    }
}

// ---------------------------------------------------------------------------------------------
// terminate() and the library's waits: a thread ended while it waits or wakes costs the others
// nothing (beyond what it held itself). Each case runs in a child process, so that a hang (a
// lock of the wait machinery left held, a lost wake-up) fails the test instead of the run.

namespace {

// A thread that runs a function once; the flag says whether the function got past its wait.
struct Waiter
{
    std::function<void()> wait;
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bPassed{false};
    qvThreadData data{&Waiter::body, this};
    qvThread thread;

    explicit Waiter(std::function<void()> fn) : wait(std::move(fn)) { thread.run(&data); }
    static long body(void* pArgument)
    {
        Waiter* pWaiter = static_cast<Waiter*>(pArgument);
        pWaiter->bEntered = true;
        pWaiter->wait();
        pWaiter->bPassed = true;
        return 0;
    }
    bool parks() const
    {
        return qvTest::waitUntil([this] { return bEntered.load(); }) &&
               qvTest::waitUntil([this] { return qvTest::isParkedInKernel(thread.getID()); });
    }
};

// A primitive with one waiting operation and the release that lets exactly one waiter go.
struct WakeCase
{
    const char* cstrName;
    std::function<std::string()> run; // the rounds; "" when all went well
};

// Rounds of: a victim parks, a survivor parks behind it, one waiter is released, the victim is
// terminated at once. On Windows the victim is suspended before the release, so the wake-up
// takes it off the address and it can never act on it; on Linux the cancellation usually
// reaches the woken victim before it has taken anything. Either way the survivor must go on,
// unless the victim itself got through (then what it took is its own).
template <class Primitive>
std::string killWokenWaiterRounds(int nRounds, const std::function<void(Primitive&)>& hold,
                                  const std::function<void(Primitive&)>& wait,
                                  const std::function<void(Primitive&)>& release)
{
    for (qvTest::RaceRounds rounds(nRounds); rounds.next();) {
        const int nRound = rounds.done() - 1;
        Primitive primitive;
        hold(primitive);
        Waiter victim([&] { wait(primitive); });
        if (!victim.parks())
            return "the victim never parked";
        if (qvTest::ON_WINDOWS)
            victim.thread.suspend();
        Waiter survivor([&] { wait(primitive); });
        if (!survivor.parks())
            return "the survivor never parked";
        release(primitive);
        victim.thread.terminate();
        victim.thread.join();
        if (victim.bPassed)
            release(primitive); // the victim's own (Linux only: a cancellation waits for it)
        if (!qvTest::waitUntil([&] { return survivor.bPassed.load(); }))
            return "round " + std::to_string(nRound) +
                   ": the survivor sleeps on although the victim took nothing";
        survivor.thread.join();
    }
    return "";
}

struct SemaphoreOfOne : qvSynch::Semaphore
{
    SemaphoreOfOne() : qvSynch::Semaphore(0, 2) {}
};

const WakeCase WAKE_CASES[] = {
    {"Semaphore",
     [] {
         return killWokenWaiterRounds<SemaphoreOfOne>(
             qvTest::ON_WINDOWS ? 3 : qvTest::raceRounds(40), [](SemaphoreOfOne&) {},
             [](SemaphoreOfOne& s) { s.P(); }, [](SemaphoreOfOne& s) { s.V(); });
     }},
    {"LWLock",
     [] {
         return killWokenWaiterRounds<qvSynch::LWLock>(
             3, [](qvSynch::LWLock& l) { l.acquire(); },
             [](qvSynch::LWLock& l) {
                 l.acquire();
                 l.release();
             },
             [](qvSynch::LWLock& l) { l.release(); });
     }},
    {"SpinLock",
     [] {
         return killWokenWaiterRounds<qvSynch::SpinLock>(
             3, [](qvSynch::SpinLock& l) { l.acquire(); },
             [](qvSynch::SpinLock& l) {
                 l.acquire();
                 l.release();
             },
             [](qvSynch::SpinLock& l) { l.release(); });
     }},
};

} // namespace

TEST(qvThreadTest, TerminatingAWokenWaiterPassesItsWakeUpOn)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const WakeCase& wakeCase : WAKE_CASES) {
        SCOPED_TRACE(wakeCase.cstrName);
        EXPECT_EXIT(qvTest::exitWithVerdict(wakeCase.run), testing::ExitedWithCode(0), "");
    }
}

namespace {

// The platform semaphore under a qvSynch::Semaphore (its only member), whose address decides
// the wait machinery's lock that its waits and wakes take.
const void* platformSemaphoreOf(const qvSynch::Semaphore& semaphore)
{
    return *reinterpret_cast<const void* const*>(&semaphore);
}

// One that shares the parking lot's lock (Windows: 256 buckets by address) with pOther.
// Candidates are kept until the end, so that the allocator does not hand back the same block.
std::unique_ptr<qvSynch::Semaphore> semaphoreSharingLockWith(const void* pOther)
{
    std::vector<std::unique_ptr<qvSynch::Semaphore>> candidates;
    for (int n = 0; n < 4096; ++n) {
        auto pCandidate = std::make_unique<qvSynch::Semaphore>(0, 1);
        const auto nMine = reinterpret_cast<std::uintptr_t>(platformSemaphoreOf(*pCandidate));
        const auto nOther = reinterpret_cast<std::uintptr_t>(pOther);
        if (((nMine >> 2) & 255) == ((nOther >> 2) & 255))
            return pCandidate;
        candidates.push_back(std::move(pCandidate));
    }
    return std::make_unique<qvSynch::Semaphore>(0, 1);
}

struct PingPong
{
    qvSynch::Semaphore ping{0, 1000000};
    qvSynch::Semaphore pong{0, 1000000};
    std::atomic<long> nPings{0};
    std::atomic<long> nPongs{0};
};

long pingLoop(void* pArgument)
{
    PingPong* p = static_cast<PingPong*>(pArgument);
    for (;;) {
        p->ping.P();
        ++p->nPings;
        p->pong.V();
    }
}

long pongLoop(void* pArgument)
{
    PingPong* p = static_cast<PingPong*>(pArgument);
    for (;;) {
        p->pong.P();
        ++p->nPongs;
        p->ping.V();
    }
}

// Two threads play ping-pong on two semaphores and one is terminated at a random moment: the
// other one, the main thread and a waiter on an unrelated semaphore that shares the wait
// machinery's lock with the ping all go on.
std::string killPingPongRounds()
{
    std::mt19937 random(20261208);
    for (qvTest::RaceRounds rounds(qvTest::raceRounds(40)); rounds.next();) {
        const int nRound = rounds.done() - 1;
        PingPong game;
        qvThreadData pingData(&pingLoop, &game);
        qvThreadData pongData(&pongLoop, &game);
        qvThread pinger;
        qvThread ponger;
        pinger.run(&pingData);
        ponger.run(&pongData);
        game.ping.V();
        const long nTarget = 1 + static_cast<long>(random() % 100);
        if (!qvTest::waitUntil([&] { return game.nPongs >= nTarget; }))
            return "the game did not get going";
        // On Windows, every other round another thread suspends and resumes the pinger
        // meanwhile: a suspension still looking for a moment outside the library's regions must
        // not pass for one that found it, nor a resume() take off the kill's own suspension.
        // (On Linux a suspension is a signal and a termination a cancellation: nothing to race.)
        std::atomic<bool> bKilled{false};
        std::thread suspender;
        if (qvTest::ON_WINDOWS && nRound % 2 == 1)
            suspender = std::thread([&] {
                while (!bKilled.load()) {
                    pinger.suspend();
                    pinger.resume();
                }
            });
        pinger.terminate();
        bKilled.store(true);
        if (suspender.joinable())
            suspender.join();
        pinger.join();
        // The survivor waits for a pong (or is about to): one more lets it through once more.
        const long nPongs = game.nPongs;
        game.pong.V();
        if (!qvTest::waitUntil([&] { return game.nPongs > nPongs; }))
            return "round " + std::to_string(nRound) + ": the surviving player is stuck";
        game.ping.P();
        auto pBystander = semaphoreSharingLockWith(platformSemaphoreOf(game.ping));
        Waiter bystander([&] { pBystander->P(); });
        if (!qvTest::waitUntil([&] { return bystander.bEntered.load(); }))
            return "the bystander never started";
        pBystander->V();
        if (!qvTest::waitUntil([&] { return bystander.bPassed.load(); }))
            return "round " + std::to_string(nRound) + ": a waiter on another semaphore is stuck";
        bystander.thread.join();
        ponger.terminate();
        ponger.join();
    }
    return "";
}

// Two threads that terminate each other at the same moment: both end (one killed, or both
// cancelled on Linux), neither waits for the other for ever, also while a third one suspends
// and resumes one of them.
struct MutualEnd
{
    qvThread* pOther = nullptr;
    std::atomic<int>* pReady = nullptr;
    std::atomic<bool>* pGo = nullptr;
    std::atomic<int>* pReturned = nullptr;
};

long terminateTheOther(void* pArgument)
{
    MutualEnd* pEnd = static_cast<MutualEnd*>(pArgument);
    ++*pEnd->pReady;
    while (!pEnd->pGo->load()) {
    }
    pEnd->pOther->terminate();
    ++*pEnd->pReturned;
    return 0;
}

std::string terminateEachOtherRounds()
{
    for (qvTest::RaceRounds rounds(qvTest::raceRounds(40)); rounds.next();) {
        const int nRound = rounds.done() - 1;
        std::atomic<int> nReady{0};
        std::atomic<bool> bGo{false};
        std::atomic<int> nReturned{0};
        qvThread first;
        qvThread second;
        MutualEnd firstEnd{&second, &nReady, &bGo, &nReturned};
        MutualEnd secondEnd{&first, &nReady, &bGo, &nReturned};
        qvThreadData firstData(&terminateTheOther, &firstEnd);
        qvThreadData secondData(&terminateTheOther, &secondEnd);
        first.run(&firstData);
        second.run(&secondData);
        if (!qvTest::waitUntil([&] { return nReady.load() == 2; }))
            return "the threads did not start";
        bGo.store(true);
        std::atomic<bool> bJoined{false};
        std::thread joiner([&] {
            first.join();
            second.join();
            bJoined.store(true);
        });
        // Every other round a third thread suspends and resumes one of them meanwhile: a thread
        // must never be left stopped while it is the one ending another.
        std::thread suspender;
        if (nRound % 2 == 1)
            suspender = std::thread([&] {
                while (!bJoined.load()) {
                    first.suspend();
                    first.resume();
                }
            });
        if (!qvTest::waitUntil([&] { return bJoined.load(); })) {
            joiner.detach();
            if (suspender.joinable())
                suspender.detach();
            return "round " + std::to_string(nRound) + ": two threads ending each other hang";
        }
        joiner.join();
        if (suspender.joinable())
            suspender.join();
    }
    return "";
}

} // namespace

TEST(qvThreadTest, TwoThreadsTerminatingEachOtherDoNotHang)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict(&terminateEachOtherRounds), testing::ExitedWithCode(0), "");
}

namespace {

// A thread let go towards its start gate and suspended there at once may be stopped inside the
// heap's lock (its start-up allocates). A terminate() from a thread that has never waited, whose
// own first allocations then wait for that lock, returns once the controller resumes the thread
// (resume() must still work then). Between suspend() and resume() the controlling thread
// allocates nothing: it would wait for the heap's lock itself.
bool becomesWithin(const std::atomic<bool>& bFlag, std::chrono::steady_clock::duration timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!bFlag.load()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

std::string terminateSuspendedStartersRounds()
{
    for (qvTest::RaceRounds rounds(qvTest::raceRounds(500)); rounds.next();) {
        const int nRound = rounds.done() - 1;
        qvThread thread;
        std::atomic<bool> bGo{false};
        std::atomic<bool> bTerminated{false};
        std::thread terminator([&] {
            while (!bGo.load())
                std::this_thread::yield();
            thread.terminate();
            bTerminated.store(true);
        });
        thread.resume();
        thread.suspend();
        bGo.store(true);
        // The controller resumes the thread after a moment, whether or not terminate() has
        // returned by then (after it has, resume() does nothing).
        becomesWithin(bTerminated, std::chrono::milliseconds(20));
        thread.resume();
        const bool bReturned = becomesWithin(bTerminated, qvTest::TIMEOUT);
        terminator.join();
        if (!bReturned)
            return "terminate() of a thread suspended on its way to its gate does not return, "
                   "round " +
                   std::to_string(nRound);
    }
    return "";
}

} // namespace

TEST(qvThreadTest, TerminateOfAThreadSuspendedOnItsWayToItsGateReturns)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict(&terminateSuspendedStartersRounds),
                testing::ExitedWithCode(0), "");
}

TEST(qvThreadTest, TerminateAtARandomMomentLeavesTheWaitsOfOthersWorking)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict(&killPingPongRounds), testing::ExitedWithCode(0), "");
}

namespace {

// A thread asleep in one of the library's waits can be suspended (suspend() returns), resumed,
// and then released from the wait. Under ThreadSanitizer, which holds a signal back until the
// thread passes through one of its intercepted calls, every such wait must pass through one now
// and then for the suspension to arrive.
struct SuspendCase
{
    const char* cstrName;
    std::function<void()> wait;
    std::function<void()> release;
};

std::string suspendSleepers(const SuspendCase& suspendCase)
{
    Waiter sleeper(suspendCase.wait);
    if (!sleeper.parks())
        return "the thread never went to sleep";
    qvTest::AsyncCall suspender([&] { sleeper.thread.suspend(); });
    if (!suspender.finishedWithin())
        return "suspend() of a thread asleep in the wait does not return";
    sleeper.thread.resume();
    suspendCase.release();
    if (!qvTest::waitUntil([&] { return sleeper.bPassed.load(); }))
        return "the resumed thread did not leave its wait";
    sleeper.thread.join();
    return "";
}

} // namespace

TEST(qvThreadTest, SuspendOfAThreadAsleepInALibraryWaitReturns)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    qvSynch::Semaphore semaphore(0, 1);
    qvSynch::LWLock lock;
    std::unique_ptr<qvSynch::Signal> pSignal = std::make_unique<qvSynch::Signal>(false);
    const SuspendCase CASES[] = {
        {"Semaphore::P", [&] { semaphore.P(); }, [&] { semaphore.V(); }},
        {"Signal::wait", [&] { pSignal->wait(); }, [&] { pSignal->signal(); }},
        {"LWLock::acquire",
         [&] {
             lock.acquire();
             lock.release();
         },
         [&] { lock.release(); }},
    };
    for (const SuspendCase& suspendCase : CASES) {
        SCOPED_TRACE(suspendCase.cstrName);
        EXPECT_EXIT(qvTest::exitWithVerdict([&] {
                        if (&suspendCase == &CASES[2])
                            lock.acquire();
                        return suspendSleepers(suspendCase);
                    }),
                    testing::ExitedWithCode(0), "");
    }
}
