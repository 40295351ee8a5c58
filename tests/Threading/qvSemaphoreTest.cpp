// Tests of qvSynch::Semaphore and of the platform semaphore under it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Platform/Semaphore.h"
#include "Threading/qvSemaphore.h"
#include "qvTestSupport.h"

TEST(qvSemaphoreTest, PBlocksUntilV)
{
    qvSynch::Semaphore semaphore(0, 5);
    qvTest::AsyncCall taker([&] { semaphore.P(); });
    EXPECT_TRUE(taker.stillBlocked());
    semaphore.V();
    EXPECT_TRUE(taker.finishedWithin());
}

TEST(qvSemaphoreTest, InitialCountLetsThatManyThrough)
{
    qvSynch::Semaphore semaphore(2, 5);
    semaphore.P();
    semaphore.P();
    qvTest::AsyncCall third([&] { semaphore.P(); });
    EXPECT_TRUE(third.stillBlocked());
    semaphore.V();
    EXPECT_TRUE(third.finishedWithin());
}

// With assertions off (NDEBUG) the same calls must pass silently.
TEST(qvSemaphoreTest, VBeyondMaximumAsserts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    qvSynch::Semaphore semaphore(1, 1);
    EXPECT_DEBUG_DEATH(semaphore.V(), "Assertion failed: 0, file source/Threading/qvSemaphore.cpp");
}

TEST(qvSemaphoreTest, InvalidArgumentsAssert)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEBUG_DEATH(qvSynch::Semaphore(3, 2),
                       "Assertion failed: 0, file source/Threading/qvSemaphore.cpp");
    EXPECT_DEBUG_DEATH(qvSynch::Semaphore(0, 0),
                       "Assertion failed: 0, file source/Threading/qvSemaphore.cpp");
}

// Each V() wakes a thread that is about to sleep or already sleeps; a lost wake-up hangs here.
TEST(qvSemaphoreTest, RacingVAndPLoseNoWakeUp)
{
    qvSynch::Semaphore request(0, 1);
    qvSynch::Semaphore reply(0, 1);
    constexpr int ROUNDS = 10000;
    qvTest::AsyncCall partner([&] {
        for (int nRound = 0; nRound < ROUNDS; ++nRound) {
            request.P();
            reply.V();
        }
    });
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        request.V();
        reply.P();
    }
    EXPECT_TRUE(partner.finishedWithin());
}

TEST(qvSemaphoreTest, ProducersAndConsumersLoseNoUnit)
{
    constexpr int UNITS = 20000;
    qvSynch::Semaphore semaphore(0, 2 * UNITS);
    std::atomic<int> nTaken{0};
    {
        std::vector<std::unique_ptr<qvTest::AsyncCall>> threads;
        for (int nConsumer = 0; nConsumer < 2; ++nConsumer)
            threads.push_back(std::make_unique<qvTest::AsyncCall>([&] {
                for (int n = 0; n < UNITS; ++n) {
                    semaphore.P();
                    ++nTaken;
                }
            }));
        for (int nProducer = 0; nProducer < 2; ++nProducer)
            threads.push_back(std::make_unique<qvTest::AsyncCall>([&] {
                for (int n = 0; n < UNITS; ++n)
                    semaphore.V();
            }));
        for (auto& pThread : threads)
            EXPECT_TRUE(pThread->finishedWithin());
    }
    EXPECT_EQ(2 * UNITS, nTaken);
}

TEST(qvSemaphoreTest, WaiterMayDestroySemaphoreOnReturn)
{
    for (int nRound = 0; nRound < 1000; ++nRound) {
        auto* pSemaphore = new qvSynch::Semaphore(0, 1);
        qvTest::AsyncCall waiter([&] {
            pSemaphore->P();
            delete pSemaphore;
        });
        pSemaphore->V();
        ASSERT_TRUE(waiter.finishedWithin());
    }
}

// ---------------------------------------------------------------------------------------------
// Without assertions a V() at the maximum must change nothing; the platform class reports it.
TEST(qvPlatformSemaphoreTest, PostAtMaximumChangesNothing)
{
    qvPlatform::Semaphore semaphore(1, 2);
    EXPECT_TRUE(semaphore.post());
    EXPECT_EQ(2u, semaphore.getCount());
    EXPECT_FALSE(semaphore.post());
    EXPECT_EQ(2u, semaphore.getCount());
    EXPECT_TRUE(semaphore.tryWait());
    EXPECT_TRUE(semaphore.tryWait());
    EXPECT_FALSE(semaphore.tryWait());
}

TEST(qvPlatformSemaphoreTest, EveryPostReachesOneOfSeveralSleepers)
{
    qvPlatform::Semaphore semaphore(0, 100);
    std::atomic<int> nPassed{0};
    std::vector<std::unique_ptr<qvTest::AsyncCall>> sleepers;
    for (int n = 0; n < 4; ++n)
        sleepers.push_back(std::make_unique<qvTest::AsyncCall>([&] {
            semaphore.wait();
            ++nPassed;
        }));
    for (int n = 0; n < 4; ++n)
        semaphore.post();
    for (auto& pSleeper : sleepers)
        EXPECT_TRUE(pSleeper->finishedWithin());
    EXPECT_EQ(4, nPassed);
    EXPECT_EQ(0u, semaphore.getCount());
}

// The limit in milliseconds that the tests' positive waits give the library's timed waits.
constexpr unsigned long LONG_LIMIT =
    std::chrono::duration_cast<std::chrono::milliseconds>(qvTest::TIMEOUT).count();

TEST(qvSemaphoreTest, TriedAndTimedPTakeAUnitOnlyWhenThereIsOne)
{
    qvSynch::Semaphore semaphore(1, 2);
    EXPECT_TRUE(semaphore.tryP());
    EXPECT_FALSE(semaphore.tryP());
    EXPECT_FALSE(semaphore.P(0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.P(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30))
        << "a timed P() gave up before its limit";

    // Units given up on stay there for the next taker.
    semaphore.V();
    EXPECT_TRUE(semaphore.P(0));
    qvTest::AsyncCall taker([&] { EXPECT_TRUE(semaphore.P(LONG_LIMIT)); });
    EXPECT_TRUE(taker.stillBlocked());
    semaphore.V();
    EXPECT_TRUE(taker.finishedWithin());
    EXPECT_FALSE(semaphore.tryP());

    // The largest limits wait as long ones do (where unsigned long has 64 bits, beyond the
    // clock's range).
    qvTest::AsyncCall patient([&] { EXPECT_TRUE(semaphore.P(~0ul - 1)); });
    EXPECT_TRUE(patient.stillBlocked());
    semaphore.V();
    EXPECT_TRUE(patient.finishedWithin());
}

// Timed takers whose limit runs out just as units arrive: every unit is taken exactly once or
// is still there, and a wake-up taken by one that gives up reaches a sleeper that does not.
TEST(qvSemaphoreTest, TimedPExpiringAsTheUnitArrivesNeitherLosesNorDuplicatesIt)
{
    qvSynch::Semaphore semaphore(0, 1000);
    const int nRounds = qvTest::raceRounds(400);
    std::atomic<int> nRound{0};
    std::atomic<int> nTaken{0};
    std::atomic<int> nArrived{0};
    auto timedTaker = [&] {
        for (int n = 0; n < nRounds; ++n) {
            while (nRound.load() <= n)
                std::this_thread::yield();
            if (semaphore.P(1))
                ++nTaken;
            ++nArrived;
        }
    };
    qvTest::AsyncCall first(timedTaker);
    qvTest::AsyncCall second(timedTaker);
    int nGiven = 0;
    for (int n = 0; n < nRounds; ++n) {
        nRound.store(n + 1);
        // Spread over the takers' 1 ms limit: before, during and after their sleeps.
        qvTest::spinFor(std::chrono::microseconds(n % 24 * 100));
        if (n % 3 != 2) {
            semaphore.V();
            ++nGiven;
        }
        ASSERT_TRUE(qvTest::waitUntil([&] { return nArrived.load() == 2 * (n + 1); }));
    }
    EXPECT_TRUE(first.finishedWithin());
    EXPECT_TRUE(second.finishedWithin());
    int nLeft = 0;
    while (semaphore.tryP())
        ++nLeft;
    EXPECT_EQ(nGiven, nTaken.load() + nLeft);

    // One untimed sleeper and one timed one, one unit posted as the timed one gives up: if the
    // timed one did not take it, the sleeper does, also when the timed one took the wake-up.
    for (int n = 0; n < qvTest::raceRounds(100); ++n) {
        qvTest::AsyncCall sleeper([&] { semaphore.P(); });
        std::atomic<int> nTimed{-1};
        qvTest::AsyncCall timed([&] { nTimed.store(semaphore.P(1) ? 1 : 0); });
        qvTest::spinFor(std::chrono::microseconds(n % 24 * 100));
        semaphore.V();
        ASSERT_TRUE(timed.finishedWithin());
        if (nTimed.load() == 1)
            semaphore.V(); // that unit was the timed taker's: the sleeper needs another
        ASSERT_TRUE(sleeper.finishedWithin()) << "a wake-up was lost, round " << n;
        ASSERT_FALSE(semaphore.tryP());
    }
}
