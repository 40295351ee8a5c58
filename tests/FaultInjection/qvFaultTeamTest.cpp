// Worker pools under allocation failures: addJob on a job queue, createJob on both kinds of
// team. Each call queues its job or throws std::bad_alloc and queues nothing; every job accepted
// before or after runs exactly once; refused ones never run; nothing leaks.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "Threading/qvJobQueue.h"
#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvThreadTeam.h"
#include "qvFaultAllocator.h"
#include "qvTestSupport.h"

namespace {

long countRun(void* pArgument)
{
    ++*static_cast<std::atomic<int>*>(pArgument);
    return 0;
}

// A job that holds its member until released, so that later jobs wait in the queue.
struct Hold
{
    std::atomic<bool> bEntered{false};
    qvSynch::Semaphore release{0, 1};
};

long holdMember(void* pArgument)
{
    Hold* pHold = static_cast<Hold*>(pArgument);
    pHold->bEntered = true;
    pHold->release.P();
    return 0;
}

// One counter per job, made ready outside the armed call.
struct JobCounters
{
    std::vector<std::unique_ptr<std::atomic<int>>> runs;
    std::vector<int> expected; // 1 accepted, 0 refused

    std::atomic<int>* next()
    {
        runs.push_back(std::make_unique<std::atomic<int>>(0));
        expected.push_back(0);
        return runs.back().get();
    }
    bool allAsExpected() const
    {
        for (std::size_t n = 0; n < runs.size(); ++n)
            if (runs[n]->load() != expected[n])
                return false;
        return true;
    }
};

} // namespace

TEST(qvFaultTeamTest, AddJobUnderAllocationFailureQueuesOnceOrNotAtAll)
{
    const long nBaseline = qvFault::liveBlocks();
    {
        qvJobQueue queue;
        // The spare nodes are used up first: from the 256th waiting job on, a job needs a node.
        unsigned long nNextId = 0;
        for (; nNextId < qvJobQueue::SPARE_NODES + 1; ++nNextId)
            queue.addJob(&countRun, nullptr, nNextId);
        std::vector<unsigned long> vecAccepted;
        for (unsigned long n = 0; n < nNextId; ++n)
            vecAccepted.push_back(n);
        vecAccepted.reserve(vecAccepted.size() + 100);
        for (int nRound = 0; nRound < 3; ++nRound) {
            const auto result = qvFault::sweepAllocations(
                [&] {
                    queue.addJob(&countRun, nullptr, nNextId);
                    vecAccepted.push_back(nNextId);
                },
                [&](bool) {
                    EXPECT_EQ(vecAccepted.size(), queue.getNumberOfJobs());
                    ++nNextId;
                });
            EXPECT_GT(result.nFailures, 0u);
        }
        // Every accepted job is there, in order; the refused ids are not.
        for (const unsigned long nExpectedId : vecAccepted) {
            long (*pThreadFunc)(void*) = nullptr;
            void* pThreadData = nullptr;
            unsigned long nId = 0;
            ASSERT_TRUE(queue.getJob(pThreadFunc, pThreadData, nId));
            EXPECT_EQ(nExpectedId, nId);
        }
        EXPECT_EQ(0u, queue.getNumberOfJobs());
    }
    EXPECT_EQ(nBaseline, qvFault::liveBlocks());
}

TEST(qvFaultTeamTest, CreateJobUnderAllocationFailureRunsTheJobOnceOrNever)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    const long nBaseline = qvFault::liveBlocks();
    JobCounters counters;
    {
        qvThreadTeam team(2);
        // Both members held: the first takes the first job; a job waiting in its queue sends
        // the second hold to the other member.
        Hold hold[2];
        team.createJob(&holdMember, &hold[0]);
        ASSERT_TRUE(qvTest::waitUntil([&] { return hold[0].bEntered.load(); }));
        team.createJob(&countRun, counters.next());
        counters.expected.back() = 1;
        team.createJob(&holdMember, &hold[1]);
        ASSERT_TRUE(qvTest::waitUntil([&] { return hold[1].bEntered.load(); }));
        // Fill both queues past their spare nodes, so that jobs need new nodes.
        for (unsigned int n = 0; n < 2 * (qvJobQueue::SPARE_NODES + 1); ++n) {
            std::atomic<int>* pRuns = counters.next();
            team.createJob(&countRun, pRuns);
            counters.expected.back() = 1;
        }
        std::atomic<int>* pRuns = counters.next();
        for (int nRound = 0; nRound < 4; ++nRound) {
            const auto result = qvFault::sweepAllocations(
                [&] {
                    team.createJob(&countRun, pRuns);
                    counters.expected.back() = 1;
                },
                [&](bool) { pRuns = counters.next(); });
            EXPECT_GT(result.nFailures, 0u);
        }
        hold[0].release.V();
        hold[1].release.V();
        EXPECT_TRUE(qvTest::waitUntil([&] { return counters.allAsExpected(); }))
            << "an accepted job did not run once, or a refused one ran";
    }
    EXPECT_TRUE(counters.allAsExpected());
    counters = JobCounters();
    EXPECT_TRUE(qvTest::waitUntil([&] { return qvFault::liveBlocks() <= nBaseline; }))
        << qvFault::liveBlocks() - nBaseline << " blocks leaked";
}

TEST(qvFaultTeamTest, JoinableCreateJobUnderAllocationFailureRunsTheJobOnceOrNever)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    const long nBaseline = qvFault::liveBlocks();
    JobCounters counters;
    {
        qvJoinableThreadTeam team(2);
        std::vector<unsigned long> vecIds;
        vecIds.reserve(64);
        unsigned long nId = 0;
        std::atomic<int>* pRuns = counters.next();
        for (int nRound = 0; nRound < 8; ++nRound) {
            const auto result = qvFault::sweepAllocations(
                [&] {
                    nId = team.createJob(&countRun, pRuns);
                    counters.expected.back() = 1;
                },
                [&](bool bThrew) {
                    if (!bThrew)
                        vecIds.push_back(nId);
                    pRuns = counters.next();
                });
            EXPECT_GT(result.nFailures, 0u);
        }
        // Every accepted job can be joined (by two threads at once) and ran once.
        qvTest::AsyncCall otherJoiner([&] {
            for (const unsigned long nJobId : vecIds)
                team.join(nJobId);
        });
        for (const unsigned long nJobId : vecIds)
            team.join(nJobId);
        ASSERT_TRUE(otherJoiner.finishedWithin());
        EXPECT_TRUE(counters.allAsExpected());
    }
    counters = JobCounters();
    EXPECT_TRUE(qvTest::waitUntil([&] { return qvFault::liveBlocks() <= nBaseline; }))
        << qvFault::liveBlocks() - nBaseline << " blocks leaked";
}
