// Tests of qvSynch::Semaphore and of the platform semaphore under it.

#include <gtest/gtest.h>

#include <atomic>
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
