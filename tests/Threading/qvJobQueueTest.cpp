// Tests of qvJobQueue: node counts, FIFO order, blocking takers, waking a taker without a job,
// the capacity limit, several producers and takers, and a taker cancelled while it waits.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Threading/qvJobQueue.h"
#include "Threading/qvThread.h"
#include "qvTestSupport.h"

namespace {

long jobA(void*)
{
    return 1;
}
long jobB(void*)
{
    return 2;
}
long jobC(void*)
{
    return 3;
}

struct TakenJob
{
    long (*pThreadFunc)(void*) = nullptr;
    void* pThreadData = nullptr;
    unsigned long nJobID = 0;
};

TakenJob take(qvJobQueue& queue)
{
    TakenJob job;
    EXPECT_TRUE(queue.getJob(job.pThreadFunc, job.pThreadData, job.nJobID));
    return job;
}

// Takes jobs from a queue until told to stop; started on a qvThread so that it can be
// terminated while it waits.
struct Taker
{
    qvJobQueue* pQueue = nullptr;
    std::atomic<bool> bWaiting{false};
    std::atomic<int> nTaken{0};
};

long takeForever(void* pArgument)
{
    Taker* pTaker = static_cast<Taker*>(pArgument);
    for (;;) {
        long (*pThreadFunc)(void*) = nullptr;
        void* pThreadData = nullptr;
        unsigned long nJobID = 0;
        pTaker->bWaiting = true;
        if (pTaker->pQueue->getJob(pThreadFunc, pThreadData, nJobID))
            ++pTaker->nTaken;
    }
}

} // namespace

TEST(qvJobQueueTest, NewQueueHas256FreeNodesAndNoJobs)
{
    qvJobQueue queue;
    EXPECT_EQ(256u, queue.getNumberOfFreeNodes());
    EXPECT_EQ(0u, queue.getNumberOfJobs());
}

TEST(qvJobQueueTest, GetJobBlocksUntilAJobIsAdded)
{
    qvJobQueue queue;
    TakenJob job;
    qvTest::AsyncCall taker([&] { job = take(queue); });
    EXPECT_TRUE(taker.stillBlocked());
    int nArgument = 0;
    queue.addJob(&jobB, &nArgument, 7);
    ASSERT_TRUE(taker.finishedWithin());
    EXPECT_EQ(&jobB, job.pThreadFunc);
    EXPECT_EQ(&nArgument, job.pThreadData);
    EXPECT_EQ(7ul, job.nJobID);
}

TEST(qvJobQueueTest, JobsAreTakenInTheOrderAdded)
{
    qvJobQueue queue;
    queue.addJob(&jobA, nullptr, 1);
    queue.addJob(&jobB, nullptr, 2);
    queue.addJob(&jobC, nullptr, 3);
    EXPECT_EQ(3u, queue.getNumberOfJobs());
    EXPECT_EQ(&jobA, take(queue).pThreadFunc);
    EXPECT_EQ(&jobB, take(queue).pThreadFunc);
    const TakenJob last = take(queue);
    EXPECT_EQ(&jobC, last.pThreadFunc);
    EXPECT_EQ(3ul, last.nJobID);
    EXPECT_EQ(0u, queue.getNumberOfJobs());
}

TEST(qvJobQueueTest, ThreeHundredJobsGrowThePoolOneNodeAtATime)
{
    qvJobQueue queue;
    for (unsigned long n = 0; n < 300; ++n)
        queue.addJob(&jobA, nullptr, n);
    EXPECT_EQ(300u, queue.getNumberOfJobs());
    EXPECT_EQ(1u, queue.getNumberOfFreeNodes());
    for (unsigned long n = 0; n < 300; ++n)
        ASSERT_EQ(n, take(queue).nJobID);
    EXPECT_EQ(0u, queue.getNumberOfJobs());
    EXPECT_EQ(301u, queue.getNumberOfFreeNodes());
}

TEST(qvJobQueueTest, JobAddedAfterTheQueueEmptiedIsTakenNext)
{
    qvJobQueue queue;
    queue.addJob(&jobA, nullptr, 1);
    take(queue);
    queue.addJob(&jobB, nullptr, 2);
    queue.addJob(&jobC, nullptr, 3);
    EXPECT_EQ(2ul, take(queue).nJobID);
    EXPECT_EQ(3ul, take(queue).nJobID);
}

// Both ways of taking: with the takers' lock, and as the queue's only taker.
TEST(qvJobQueueTest, WakeTakerEndsOneWaitForAJobOnceTheQueueIsEmpty)
{
    using GetJob = bool (qvJobQueue::*)(long (*&)(void*), void*&, unsigned long&);
    for (GetJob getJob : {&qvJobQueue::getJob, &qvJobQueue::getJobAsSoleTaker}) {
        qvJobQueue queue;
        long (*pThreadFunc)(void*) = nullptr;
        void* pThreadData = nullptr;
        unsigned long nJobID = 0;
        // A job queued before the wake is taken first; the wake then ends one wait, not two.
        queue.addJob(&jobA, nullptr, 1);
        queue.wakeTaker();
        EXPECT_TRUE((queue.*getJob)(pThreadFunc, pThreadData, nJobID));
        EXPECT_EQ(1ul, nJobID);
        EXPECT_FALSE((queue.*getJob)(pThreadFunc, pThreadData, nJobID));
        EXPECT_EQ(1ul, nJobID);

        // A taker asleep on the empty queue is woken and returns without a job.
        bool bTook = true;
        qvTest::AsyncCall taker([&] { bTook = (queue.*getJob)(pThreadFunc, pThreadData, nJobID); });
        EXPECT_TRUE(taker.stillBlocked());
        queue.wakeTaker();
        ASSERT_TRUE(taker.finishedWithin());
        EXPECT_FALSE(bTook);
        queue.addJob(&jobB, nullptr, 2);
        EXPECT_TRUE((queue.*getJob)(pThreadFunc, pThreadData, nJobID));
        EXPECT_EQ(2ul, nJobID);
    }
}

TEST(qvJobQueueTest, FullQueueRefusesTheNextJobAndKeepsTheOthers)
{
    qvJobQueue queue;
    for (unsigned long n = 0; n < qvJobQueue::MAXIMUM_WAITING_JOBS; ++n)
        ASSERT_TRUE(queue.tryAddJob(&jobA, nullptr, n));
    EXPECT_FALSE(queue.tryAddJob(&jobB, nullptr, 99999));
    try {
        queue.addJob(&jobB, nullptr, 99999);
        FAIL() << "no exception";
    } catch (const std::length_error& error) {
        EXPECT_EQ(std::string("Job queue is full."), error.what());
    }
    EXPECT_EQ(qvJobQueue::MAXIMUM_WAITING_JOBS, queue.getNumberOfJobs());
    EXPECT_EQ(0ul, take(queue).nJobID);
    EXPECT_TRUE(queue.tryAddJob(&jobC, nullptr, 100000));
    for (unsigned long n = 1; n < qvJobQueue::MAXIMUM_WAITING_JOBS; ++n)
        ASSERT_EQ(n, take(queue).nJobID);
    const TakenJob last = take(queue);
    EXPECT_EQ(&jobC, last.pThreadFunc);
    EXPECT_EQ(100000ul, last.nJobID);
}

TEST(qvJobQueueTest, SeveralProducersAndTakersTakeEveryJobOnce)
{
    constexpr int PRODUCERS = 3;
    constexpr int TAKERS = 2;
    constexpr unsigned long JOBS_EACH = 20000;
    qvJobQueue queue;
    std::vector<std::atomic<int>> taken(PRODUCERS * JOBS_EACH + 1);
    std::vector<std::thread> threads;
    for (int nProducer = 0; nProducer < PRODUCERS; ++nProducer) {
        threads.emplace_back([&, nProducer] {
            for (unsigned long n = 0; n < JOBS_EACH; ++n) {
                const unsigned long nId = nProducer * JOBS_EACH + n + 1;
                while (!queue.tryAddJob(&jobA, nullptr, nId))
                    std::this_thread::yield();
            }
        });
    }
    // Each taker ends on a job with id 0, one per taker, added after all the others.
    for (int nTaker = 0; nTaker < TAKERS; ++nTaker) {
        threads.emplace_back([&] {
            for (;;) {
                const TakenJob job = take(queue);
                if (job.nJobID == 0)
                    return;
                ++taken[job.nJobID];
            }
        });
    }
    for (int n = 0; n < PRODUCERS; ++n)
        threads[n].join();
    for (int n = 0; n < TAKERS; ++n)
        queue.addJob(&jobA, nullptr, 0);
    for (int n = PRODUCERS; n < PRODUCERS + TAKERS; ++n)
        threads[n].join();
    for (unsigned long n = 1; n < taken.size(); ++n)
        ASSERT_EQ(1, taken[n].load()) << "job " << n;
    EXPECT_EQ(0u, queue.getNumberOfJobs());
}

TEST(qvJobQueueTest, TakerCancelledWhileWaitingTakesNoJob)
{
    qvJobQueue queue;
    Taker taker;
    taker.pQueue = &queue;
    qvThreadData data(&takeForever, &taker);
    qvThread thread;
    thread.run(&data);
    ASSERT_TRUE(qvTest::waitUntil(
        [&] { return taker.bWaiting && qvTest::isParkedInKernel(thread.getID()); }));
    thread.terminate();
    thread.join();
    EXPECT_EQ(0, taker.nTaken.load());

    // The queue is whole: the job added now is counted and found by the next taker.
    queue.addJob(&jobB, nullptr, 5);
    EXPECT_EQ(1u, queue.getNumberOfJobs());
    EXPECT_EQ(5ul, take(queue).nJobID);
}
