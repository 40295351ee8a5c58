// Threads under faults: the OS refusing to create a thread (a forked child that becomes an
// unprivileged user and lowers its process limit), threads that end while they hold a
// qvSynch::Lock, and threads terminated at random moments while they use each primitive.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MainLoop/qvProcessor.h"
#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvLocks.h"
#include "Threading/qvRCSignal.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvSignal.h"
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

// ---------------------------------------------------------------------------------------------
// Threads terminated at random moments while they use the library
//
// For each primitive, three workers use it in a loop; round after round one of them, chosen at
// random, is terminated after a random number of its steps and a random spin, and a fresh
// worker takes its place. After every kill each survivor must go on making progress. What a
// killed thread may take with it, and how the rounds allow for it:
// - Linux: termination is a cancellation. It acts at the worker's cancellation points (its
//   explicit one, a nanosleep, and a blocking Semaphore::P) and unwinds the stack, so a killed
//   worker holds nothing and has taken nothing beyond a unit a cancelled P() never takes.
// - Windows: the thread is killed wherever it is, outside the library's own internal regions.
//   Semaphore: a unit it had taken is gone (the issuer allows one per kill). Signal, Lock (the
//   next owner takes an abandoned mutex), a team job (the queue's locks are internal regions,
//   and creating a job allocates nothing while fewer than 256 wait), a joinable team's job, its
//   state and its join (its tables' and job-id locks are internal regions, and so are the
//   allocations of its tables), an RCSignal's ref() and unref() (its count lock is an internal
//   region): anywhere. LWLock and
//   SpinLock: a lock it held would stay held for ever (the documented hazard), and an
//   inter-thread send allocates (a kill inside the heap's lock would stop every allocation of
//   the process): there the kill comes only while the worker is outside acquire..release or
//   outside the send (the test suspends it, looks, and resumes it to try again).

namespace {

using namespace std::chrono_literals;

struct TortureArena
{
    qvSynch::Semaphore units{0, 1 << 30};
    std::atomic<long> nIssued{0};
    std::atomic<long> nTaken{0};
    std::atomic<long> nKills{0};
    qvSynch::Signal signal{false};
    qvSynch::LWLock lwLock;
    qvSynch::SpinLock spinLock{50};
    qvSynch::Lock lock;
    qvThreadTeam team{2};
    qvJoinableThreadTeam joinableTeam{2};
    qvSynch::RCSignal rcSignal{false};
    qvProcessor processor;
    unsigned long nLoopThread = 0;
    std::atomic<bool> bStop{false};
};

struct TortureWorker
{
    TortureArena* pArena = nullptr;
    void (*pStep)(TortureArena&, TortureWorker&) = nullptr;
    std::atomic<long> nProgress{0};
    std::atomic<long> nSent{0};
    // 0 while the worker holds a lock or is inside a send (see above), 1 otherwise.
    std::atomic<int> nOutside{1};
    std::atomic<bool> bEnded{false};
    qvSynch::Semaphore jobDone{0, 1 << 30};
    // Made before the worker starts: nothing it does allocates, but the send.
    qvITC::MessageFunctor message;
    qvThreadData data{&TortureWorker::run, this};
    qvThread thread;

    static long run(void* pArgument)
    {
        TortureWorker* pWorker = static_cast<TortureWorker*>(pArgument);
        while (!pWorker->pArena->bStop) {
            if (!qvTest::ON_WINDOWS)
                std::this_thread::sleep_for(1ns); // a cancellation point
            pWorker->pStep(*pWorker->pArena, *pWorker);
        }
        pWorker->bEnded = true;
        return 0;
    }
};

template <class LockType>
void lockStep(LockType& lock, TortureWorker& worker)
{
    worker.nOutside = 0;
    lock.acquire();
    ++worker.nProgress;
    lock.release();
    worker.nOutside = 1;
}

long postJob(void* pArgument)
{
    static_cast<qvSynch::Semaphore*>(pArgument)->V();
    return 0;
}

struct TortureRow
{
    const char* cstrName;
    bool bOnlyOutsideOnWindows;
    void (*pStep)(TortureArena&, TortureWorker&);
};

const TortureRow TORTURE_ROWS[] = {
    {"Semaphore", false,
     [](TortureArena& arena, TortureWorker& worker) {
         arena.units.P();
         ++arena.nTaken;
         ++worker.nProgress;
     }},
    {"Signal", false,
     [](TortureArena& arena, TortureWorker& worker) {
         arena.signal.wait();
         ++worker.nProgress;
     }},
    {"LWLock", true,
     [](TortureArena& arena, TortureWorker& worker) { lockStep(arena.lwLock, worker); }},
    {"SpinLock", true,
     [](TortureArena& arena, TortureWorker& worker) { lockStep(arena.spinLock, worker); }},
    {"Lock", false,
     [](TortureArena& arena, TortureWorker& worker) { lockStep(arena.lock, worker); }},
    {"team job", false,
     [](TortureArena& arena, TortureWorker& worker) {
         arena.team.createJob(&postJob, &worker.jobDone);
         worker.jobDone.P();
         ++worker.nProgress;
     }},
    {"joinable team job", false,
     [](TortureArena& arena, TortureWorker& worker) {
         const unsigned long nID = arena.joinableTeam.createJob(&postJob, &worker.jobDone);
         static_cast<void>(arena.joinableTeam.jobState(nID));
         arena.joinableTeam.join(nID);
         worker.jobDone.P();
         ++worker.nProgress;
     }},
    {"RCSignal", false,
     [](TortureArena& arena, TortureWorker& worker) {
         arena.rcSignal.ref();
         arena.rcSignal.unref();
         ++worker.nProgress;
     }},
    {"inter-thread send", true,
     [](TortureArena& arena, TortureWorker& worker) {
         // A few messages in flight at most: the loop's queue stays short.
         if (worker.nSent - worker.nProgress >= 4) {
             std::this_thread::yield();
             return;
         }
         worker.nOutside = 0;
         ++worker.nSent;
         arena.processor.getITC().sendAsyncMessage(worker.message, qvITC::ArgumentVector(0, false),
                                                   arena.nLoopThread);
         worker.nOutside = 1;
     }},
};

// Keeps the semaphore's units and the signal coming while the workers run: units up to two
// per worker beyond what the workers took, plus one for each kill (a unit the victim took).
void feed(TortureArena& arena, std::atomic<bool>& bFeeding)
{
    while (bFeeding) {
        if (arena.nIssued - arena.nTaken < 6 + arena.nKills) {
            ++arena.nIssued;
            arena.units.V();
        }
        arena.signal.signal();
        std::this_thread::yield();
        arena.signal.reset();
    }
}

std::unique_ptr<TortureWorker> startWorker(TortureArena& arena, const TortureRow& row)
{
    auto pWorker = std::make_unique<TortureWorker>();
    pWorker->pArena = &arena;
    pWorker->pStep = row.pStep;
    std::atomic<long>* pProgress = &pWorker->nProgress;
    pWorker->message = qvITC::MessageFunctor([pProgress](const qvITC::ArgumentVector&) {
        ++*pProgress;
        return qvAnyContainer();
    });
    pWorker->thread.run(&pWorker->data);
    return pWorker;
}

std::string tortureRow(const TortureRow& row, std::mt19937& random,
                       std::chrono::steady_clock::duration budget)
{
    constexpr int WORKERS = 3;
    const std::string sstrRow = std::string(row.cstrName) + ": ";
    TortureArena arena;
    const unsigned long nLoop = arena.processor.createMainLoop();
    arena.processor.run(nLoop);
    arena.nLoopThread = arena.processor.getThreadID(nLoop);
    // Workers stay until the end, the killed ones too: jobs and messages may still name them.
    std::vector<std::unique_ptr<TortureWorker>> all;
    std::vector<TortureWorker*> live;
    all.reserve(WORKERS + 64);
    for (int n = 0; n < WORKERS; ++n) {
        all.push_back(startWorker(arena, row));
        live.push_back(all.back().get());
    }
    std::atomic<bool> bFeeding{true};
    std::thread feeder([&] { feed(arena, bFeeding); });
    std::string sstrFailure;
    const auto end = std::chrono::steady_clock::now() + budget;
    for (int nRound = 0; nRound < 60 && std::chrono::steady_clock::now() < end; ++nRound) {
        const std::size_t nVictim = random() % WORKERS;
        TortureWorker& victim = *live[nVictim];
        const long nTarget = victim.nProgress + 1 + static_cast<long>(random() % 20);
        if (!qvTest::waitUntil([&] { return victim.nProgress >= nTarget; })) {
            sstrFailure = sstrRow + "a worker made no progress before its kill";
            break;
        }
        for (unsigned int nSpin = random() % 2000; nSpin > 0; --nSpin)
            std::atomic_signal_fence(std::memory_order_seq_cst);
        if (qvTest::ON_WINDOWS && row.bOnlyOutsideOnWindows) {
            for (;;) {
                victim.thread.suspend();
                if (victim.nOutside)
                    break;
                victim.thread.resume();
                std::this_thread::yield();
            }
        }
        ++arena.nKills;
        victim.thread.terminate();
        victim.thread.join();
        // Every survivor goes on.
        for (std::size_t n = 0; n < live.size() && sstrFailure.empty(); ++n) {
            if (n == nVictim)
                continue;
            const long nBefore = live[n]->nProgress;
            if (!qvTest::waitUntil([&] { return live[n]->nProgress >= nBefore + 3; }))
                sstrFailure = sstrRow + "round " + std::to_string(nRound) +
                              ": a surviving worker is stuck after a kill";
        }
        if (!sstrFailure.empty())
            break;
        all.push_back(startWorker(arena, row));
        live[nVictim] = all.back().get();
    }
    arena.bStop = true;
    for (TortureWorker* pWorker : live) {
        if (!qvTest::waitUntil([&] { return pWorker->bEnded.load(); }) && sstrFailure.empty())
            sstrFailure = sstrRow + "a worker did not end";
        pWorker->thread.join();
    }
    bFeeding = false;
    feeder.join();
    arena.processor.shutdown(nLoop);
    return sstrFailure;
}

} // namespace

TEST(qvFaultTerminationTest, ThreadsKilledAtRandomMomentsCostTheSurvivorsNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const TortureRow& row : TORTURE_ROWS) {
        SCOPED_TRACE(row.cstrName);
        EXPECT_EXIT(qvTest::exitWithVerdict([&row] {
                        std::mt19937 random(20261208u + static_cast<unsigned>(row.cstrName[0]));
                        return tortureRow(row, random, std::chrono::milliseconds(500));
                    }),
                    testing::ExitedWithCode(0), "");
    }
}
