// Tests of qvSynch::Barrier: single-thread barriers, release of a phase, and many cycles over
// both phases with the last arrival varied (where a stranded waiter shows as a hang).

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "Threading/qvBarrier.h"
#include "qvTestSupport.h"

TEST(qvBarrierTest, BarrierForOneThreadLetsEveryWaitThrough)
{
    qvSynch::Barrier barrier;
    barrier.init(1);
    for (int n = 0; n < 5; ++n)
        barrier.wait();
    SUCCEED();
}

TEST(qvBarrierTest, WaitBeforeInitReturnsAtOnce)
{
    qvSynch::Barrier barrier;
    barrier.wait();
    SUCCEED();
}

TEST(qvBarrierTest, CountBelowOneActsAsOne)
{
    qvSynch::Barrier barrier;
    barrier.init(0);
    barrier.wait();
    barrier.init(-4);
    barrier.wait();
    SUCCEED();
}

TEST(qvBarrierTest, LastOfThreeReleasesTheOthersOnBothPhases)
{
    qvSynch::Barrier barrier;
    barrier.init(3);
    for (int nCycle = 0; nCycle < 3; ++nCycle) {
        qvTest::AsyncCall first([&] { barrier.wait(); });
        qvTest::AsyncCall second([&] { barrier.wait(); });
        EXPECT_TRUE(first.stillBlocked());
        EXPECT_TRUE(second.stillBlocked());
        barrier.wait(); // the third arrival returns at once
        EXPECT_TRUE(first.finishedWithin());
        EXPECT_TRUE(second.finishedWithin());
    }
}

namespace {

// nThreads threads meet nCycles times, or as often as qvTest::RACE_TIME allows. Before each
// wait a thread counts its arrival in the cycle; after the wait all arrivals of that cycle must
// be in. Threads yield at different moments, so that each of them is sometimes the last to
// arrive. Found under load: a fixed number of cycles against one deadline failed a slow machine.
void runCycles(int nThreads, int nCycles)
{
    qvSynch::Barrier barrier;
    barrier.init(nThreads);
    std::vector<std::atomic<int>> arrivals(static_cast<size_t>(nCycles));
    std::atomic<bool> bOvertaken{false};
    // Thread 0 decides in each cycle, before it arrives, whether the next one runs; the others
    // read it after that cycle's wait, so that every thread stops after the same cycle.
    qvTest::RaceRounds rounds(nCycles);
    rounds.next(); // the first cycle
    std::atomic<int> nEnd{nCycles};
    std::vector<std::unique_ptr<qvTest::AsyncCall>> threads;
    for (int nThread = 0; nThread < nThreads; ++nThread)
        threads.push_back(std::make_unique<qvTest::AsyncCall>([&, nThread] {
            for (int nCycle = 0; nCycle < nEnd.load(); ++nCycle) {
                if ((nCycle + nThread) % (nThreads + 1) == 0)
                    std::this_thread::yield();
                ++arrivals[static_cast<size_t>(nCycle)];
                if (nThread == 0 && !rounds.next())
                    nEnd.store(nCycle + 1);
                barrier.wait();
                if (arrivals[static_cast<size_t>(nCycle)] != nThreads)
                    bOvertaken = true;
            }
        }));
    for (auto& pThread : threads)
        ASSERT_TRUE(pThread->finishedWithin()) << "a waiter is stranded";
    EXPECT_FALSE(bOvertaken);
}

} // namespace

TEST(qvBarrierTest, TwoThreadsCycleThousandsOfTimes)
{
    runCycles(2, 5000);
}

TEST(qvBarrierTest, ThreeThreadsCycleThousandsOfTimes)
{
    runCycles(3, 5000);
}

TEST(qvBarrierTest, InitStartsAfreshWithAnotherCount)
{
    qvSynch::Barrier barrier;
    barrier.init(2);
    {
        qvTest::AsyncCall other([&] { barrier.wait(); });
        barrier.wait();
        EXPECT_TRUE(other.finishedWithin());
    }
    barrier.init(3);
    qvTest::AsyncCall first([&] { barrier.wait(); });
    qvTest::AsyncCall second([&] { barrier.wait(); });
    EXPECT_TRUE(first.stillBlocked());
    barrier.wait();
    EXPECT_TRUE(first.finishedWithin());
    EXPECT_TRUE(second.finishedWithin());
}
