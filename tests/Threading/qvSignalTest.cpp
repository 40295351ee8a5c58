#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "Threading/qvSignal.h"
#include "qvTestSupport.h"

TEST(qvSignalTest, SetSignalLetsEveryWaitThroughUntilReset)
{
    qvSynch::Signal signal(true);
    signal.wait();
    signal.wait();
    signal.reset();
    qvTest::AsyncCall waiter([&] { signal.wait(); });
    EXPECT_TRUE(waiter.stillBlocked());
    signal.signal();
    EXPECT_TRUE(waiter.finishedWithin());
}

TEST(qvSignalTest, WaitAndResetConsumesOneSignal)
{
    qvSynch::Signal signal(false);
    signal.signal(); // before anyone waits: not lost
    signal.waitAndReset();
    qvTest::AsyncCall waiter([&] { signal.waitAndReset(); });
    EXPECT_TRUE(waiter.stillBlocked());
    signal.signal();
    EXPECT_TRUE(waiter.finishedWithin()) << "waitAndReset() missed the next signal()";
}

TEST(qvSignalTest, WaitingHintFollowsWaitSignalAndReset)
{
    qvSynch::Signal signal(false);
    EXPECT_FALSE(signal.isWaiting());
    qvTest::AsyncCall waiter([&] { signal.wait(); });
    ASSERT_TRUE(qvTest::waitUntil([&] { return signal.isWaiting(); }));
    signal.signal();
    EXPECT_FALSE(signal.isWaiting()); // cleared by signal(), before the waiter resumes
    ASSERT_TRUE(waiter.finishedWithin());

    signal.wait(); // already set: returns at once and leaves the hint on
    EXPECT_TRUE(signal.isWaiting());
    signal.reset();
    EXPECT_FALSE(signal.isWaiting());
}

// Every thread waiting when signal() runs is released, even though the first one to wake resets
// the signal before the others have looked at it. A "while (!set) sleep" event strands them.
TEST(qvSignalTest, SignalReleasesAllWaitersEvenIfOneResetsAtOnce)
{
    constexpr int WAITERS = 4;
    for (int nRound = 0; nRound < 20; ++nRound) {
        qvSynch::Signal signal(false);
        std::atomic<int> nReturned{0};
        std::vector<qvTest::ThreadId> tids(WAITERS, 0);
        std::vector<std::unique_ptr<qvTest::AsyncCall>> waiters;
        for (int n = 0; n < WAITERS; ++n) {
            waiters.push_back(std::make_unique<qvTest::AsyncCall>([&, n] {
                __atomic_store_n(&tids[n], qvTest::currentTid(), __ATOMIC_RELEASE);
                signal.waitAndReset();
                ++nReturned;
            }));
        }
        ASSERT_TRUE(qvTest::waitUntil([&] {
            for (qvTest::ThreadId& nTid : tids) {
                const qvTest::ThreadId nSeen = __atomic_load_n(&nTid, __ATOMIC_ACQUIRE);
                if (nSeen == 0 || !qvTest::isParkedInKernel(nSeen))
                    return false;
            }
            return true;
        })) << "waiters never parked";
        signal.signal();
        for (auto& waiter : waiters)
            ASSERT_TRUE(waiter->finishedWithin()) << "a waiter was stranded by another's reset";
        EXPECT_EQ(WAITERS, nReturned.load());
    }
}

// A signal() racing the start of a wait is never lost.
TEST(qvSignalTest, NoLostWakeUpUnderRacingSignal)
{
    const int ROUNDS = qvTest::raceRounds(10000);
    qvSynch::Signal request(false);
    qvSynch::Signal reply(false);
    qvTest::AsyncCall responder([&] {
        for (int n = 0; n < ROUNDS; ++n) {
            request.waitAndReset();
            reply.signal();
        }
    });
    for (int n = 0; n < ROUNDS; ++n) {
        request.signal();
        reply.waitAndReset();
    }
    EXPECT_TRUE(responder.finishedWithin());
}

// The waiter owns the signal and destroys it as soon as its wait returns; signal() must be done
// with the object by then (AddressSanitizer reports any later touch).
TEST(qvSignalTest, WaiterMayDestroyTheSignalRightAfterWait)
{
    for (int n = 0; n < 2000; ++n) {
        auto* pSignal = new qvSynch::Signal(false);
        std::thread signaller([pSignal] { pSignal->signal(); });
        pSignal->wait();
        delete pSignal;
        signaller.join();
    }
}

TEST(qvSignalTest, TimedWaitsReturnWhetherTheSignalCame)
{
    constexpr unsigned long LONG_LIMIT =
        std::chrono::duration_cast<std::chrono::milliseconds>(qvTest::TIMEOUT).count();
    qvSynch::Signal signal(false);
    EXPECT_FALSE(signal.wait(0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(signal.waitAndReset(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

    signal.signal();
    EXPECT_TRUE(signal.wait(0));
    EXPECT_TRUE(signal.waitAndReset(10));
    EXPECT_FALSE(signal.wait(0)) << "waitAndReset() left the signal set";

    qvTest::AsyncCall waiter([&] { EXPECT_TRUE(signal.waitAndReset(LONG_LIMIT)); });
    EXPECT_TRUE(waiter.stillBlocked());
    signal.signal();
    EXPECT_TRUE(waiter.finishedWithin());
    EXPECT_FALSE(signal.wait(0));
}

// A timed waitAndReset() whose limit runs out as the signal comes either took and cleared it,
// or left it set: a signal is never cleared by a waiter that reports it did not see it.
TEST(qvSignalTest, TimedWaitAndResetExpiringAsTheSignalComesLeavesItForOthers)
{
    qvSynch::Signal signal(false);
    std::atomic<int> nRound{0};
    std::atomic<int> nFinished{0};
    std::atomic<bool> bSaw{false};
    const int nRounds = qvTest::raceRounds(400);
    qvTest::AsyncCall waiter([&] {
        for (int n = 0; n < nRounds; ++n) {
            while (nRound.load() <= n)
                std::this_thread::yield();
            bSaw.store(signal.waitAndReset(1));
            ++nFinished;
        }
    });
    for (int n = 0; n < nRounds; ++n) {
        nRound.store(n + 1);
        qvTest::spinFor(std::chrono::microseconds(n % 24 * 100));
        signal.signal();
        ASSERT_TRUE(qvTest::waitUntil([&] { return nFinished.load() == n + 1; }));
        ASSERT_NE(bSaw.load(), signal.wait(0)) << "round " << n;
        signal.reset();
    }
    EXPECT_TRUE(waiter.finishedWithin());
}
