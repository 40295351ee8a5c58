// Tests of what the thread teams offer beyond createJob(): the idle-first placement, waiting
// until a team is idle, waiting for room in full queues, and callable jobs.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvThreadTeam.h"
#include "qvConfig.h"
#include "qvTeamTestSupport.h"
#include "qvTestSupport.h"

using namespace qvTeamTest;

namespace {

constexpr unsigned long LONG_LIMIT =
    std::chrono::duration_cast<std::chrono::milliseconds>(qvTest::TIMEOUT).count();

// Reaches the queues of a team.
class TeamProbe : public qvThreadTeam
{
public:
    using qvThreadTeam::qvThreadTeam;

    std::vector<unsigned int> waitingJobs()
    {
        std::vector<unsigned int> counts;
        for (unsigned int n = 0; n < m_JobQueues.getSize(); ++n)
            counts.push_back(m_JobQueues[n].getNumberOfJobs());
        return counts;
    }
};

// A callable that counts its live copies and its calls; Padding makes it too large for a
// queue node.
template <std::size_t Padding>
struct Tracked
{
    static inline std::atomic<int> s_nLive{0};
    std::atomic<int>* m_pCalls;
    std::array<char, Padding> m_Padding{};

    explicit Tracked(std::atomic<int>* pCalls) : m_pCalls(pCalls) { ++s_nLive; }
    Tracked(const Tracked& other) : m_pCalls(other.m_pCalls) { ++s_nLive; }
    ~Tracked() { --s_nLive; }
    long operator()() const
    {
        ++*m_pCalls;
        return 7;
    }
};
typedef Tracked<1> SmallTracked;
typedef Tracked<128> LargeTracked;
static_assert(sizeof(SmallTracked) <= qvJobQueue::INLINE_CALLABLE_SIZE);
static_assert(sizeof(LargeTracked) > qvJobQueue::INLINE_CALLABLE_SIZE);

} // namespace

TEST(qvTeamWaitsTest, IdleFirstPlacementStartsJobsPostedOneAtATimeOnIdleMembers)
{
    Blocker blockers[3];
    std::atomic<int> nCount{0};
    TeamProbe team(3, qvThreadTeam::PLACEMENT_IDLE_FIRST);
    EXPECT_EQ(qvThreadTeam::PLACEMENT_IDLE_FIRST, team.getPlacement());
    // Each job starts while the ones before it still run: it went to an idle member.
    for (Blocker& blocker : blockers) {
        team.createJob(&blockJob, &blocker);
        ASSERT_TRUE(blocker.waitEntered());
    }
    EXPECT_NE(blockers[0].m_nThreadId.load(), blockers[1].m_nThreadId.load());
    EXPECT_NE(blockers[1].m_nThreadId.load(), blockers[2].m_nThreadId.load());
    // With every member busy, a burst spreads by jobs waiting or running, lowest position first.
    for (int n = 0; n < 4; ++n)
        team.createJob(&countJob, &nCount);
    EXPECT_EQ((std::vector<unsigned int>{2, 1, 1}), team.waitingJobs());
    for (Blocker& blocker : blockers)
        blocker.release();
    EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
    EXPECT_EQ(4, nCount.load());
}

// Both teams: false while a job runs or waits, true once all have finished; a waiter sleeps
// until then.
template <class Team>
void checkWaitUntilIdle()
{
    Team team(2);
    EXPECT_TRUE(team.waitUntilIdle(0));
    Blocker blocker;
    std::atomic<int> nCount{0};
    team.createJob(&blockJob, &blocker);
    team.createJob(&countJob, &nCount);
    EXPECT_FALSE(team.waitUntilIdle(0));
    EXPECT_FALSE(team.waitUntilIdle(20));
    qvTest::AsyncCall waiter([&] { EXPECT_TRUE(team.waitUntilIdle()); });
    EXPECT_TRUE(waiter.stillBlocked());
    blocker.release();
    ASSERT_TRUE(waiter.finishedWithin());
    EXPECT_TRUE(blocker.m_bLeft.load());
    EXPECT_EQ(1, nCount.load());
}

TEST(qvTeamWaitsTest, WaitUntilIdleReturnsOnceNoJobIsQueuedOrRunning)
{
    checkWaitUntilIdle<qvThreadTeam>();
    checkWaitUntilIdle<qvJoinableThreadTeam>();
}

// Jobs that add jobs (a binary tree of them, spread over the members): the wait returns only
// after the last one, however the additions and the finishing interleave with its looks.
TEST(qvTeamWaitsTest, WaitUntilIdleWaitsForJobsThatJobsAdd)
{
    constexpr int DEPTH = 5;
    constexpr int JOBS = (1 << (DEPTH + 1)) - 1;
    for (qvThreadTeam::Placement ePlacement :
         {qvThreadTeam::PLACEMENT_FEWEST_WAITING, qvThreadTeam::PLACEMENT_IDLE_FIRST}) {
        qvThreadTeam team(4, ePlacement);
        std::atomic<int> nCount{0};
        std::function<void(int)> grow = [&](int nDepth) {
            if (nDepth < DEPTH) {
                team.createJob([&grow, nDepth] { grow(nDepth + 1); });
                team.createJob([&grow, nDepth] { grow(nDepth + 1); });
            }
            ++nCount;
        };
        for (int nRound = 0; nRound < qvTest::raceRounds(300); ++nRound) {
            nCount = 0;
            team.createJob([&grow] { grow(0); });
            ASSERT_TRUE(team.waitUntilIdle(LONG_LIMIT));
            ASSERT_EQ(JOBS, nCount.load()) << "round " << nRound;
        }
    }
}

TEST(qvTeamWaitsTest, FullTeamHoldsProducersBackUntilThereIsRoom)
{
    Blocker blockers[2];
    std::atomic<int> nCount{0};
    qvThreadTeam team(2, qvThreadTeam::PLACEMENT_IDLE_FIRST, 1);
    for (Blocker& blocker : blockers) {
        ASSERT_TRUE(team.createJobWithin(0, &blockJob, &blocker));
        ASSERT_TRUE(blocker.waitEntered());
    }
    team.createJob(&countJob, &nCount);
    team.createJob(&countJob, &nCount);
    // Full: refused at once, after the limit, or by createJob() as before.
    EXPECT_FALSE(team.createJobWithin(0, &countJob, &nCount));
    EXPECT_FALSE(team.createJobWithin(20, [&nCount] { ++nCount; }));
    try {
        team.createJob(&countJob, &nCount);
        ADD_FAILURE() << "a full team took a job";
    } catch (const std::length_error& error) {
        EXPECT_STREQ("Job queue is full.", error.what());
    }
    qvTest::AsyncCall producer(
        [&] { EXPECT_TRUE(team.createJobWithin(qvSynch::WAIT_INFINITE, &countJob, &nCount)); });
    EXPECT_TRUE(producer.stillBlocked());
    blockers[1].release();
    ASSERT_TRUE(producer.finishedWithin());
    blockers[0].release();
    EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
    EXPECT_EQ(3, nCount.load());

    // Several producers at the limit: every job is queued once and run once.
    constexpr int PRODUCERS = 4;
    const int nJobs = qvTest::raceRounds(500);
    nCount = 0;
    std::vector<std::unique_ptr<qvTest::AsyncCall>> producers;
    for (int n = 0; n < PRODUCERS; ++n)
        producers.push_back(std::make_unique<qvTest::AsyncCall>([&] {
            for (int nJob = 0; nJob < nJobs; ++nJob)
                ASSERT_TRUE(team.createJobWithin(LONG_LIMIT, &countJob, &nCount));
        }));
    for (auto& pProducer : producers)
        EXPECT_TRUE(pProducer->finishedWithin());
    EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
    EXPECT_EQ(PRODUCERS * nJobs, nCount.load());
}

TEST(qvTeamWaitsTest, JoinableJobNotQueuedInTimeHasNoId)
{
    Blocker blocker;
    qvJoinableThreadTeam team(1, qvJoinableThreadTeam::PLACEMENT_IDLE_FIRST, 1);
    team.createJob(&blockJob, &blocker);
    ASSERT_TRUE(blocker.waitEntered());
    std::atomic<int> nCount{0};
    const unsigned long nQueued = team.createJobWithin(0, &countJob, &nCount);
    ASSERT_NE(qvJoinableThreadTeam::NO_JOB_ID, nQueued);
    EXPECT_EQ(qvJoinableThreadTeam::NO_JOB_ID, team.createJobWithin(10, &countJob, &nCount));
    team.join(qvJoinableThreadTeam::NO_JOB_ID); // returns at once
    blocker.release();
    team.join(nQueued);
    EXPECT_EQ(1, nCount.load());
}

// Small callables live in the queue node, large ones on the heap; either way each copy runs
// once (its result is the job's) and is destroyed once, also when it throws or is dropped.
template <class Team, class Callable>
void checkCallableJobs()
{
    std::atomic<int> nCalls{0};
    {
        Team team(2, Team::PLACEMENT_IDLE_FIRST);
        const Callable callable(&nCalls);
        for (int n = 0; n < 50; ++n) {
            team.createJob(callable);
            team.createJob(Callable(&nCalls));
            ASSERT_TRUE(team.createJobWithin(LONG_LIMIT, callable));
        }
        team.createJob([callable] {
            callable();
            throw std::runtime_error("job failed");
        });
        team.createJob(qvVoidFunctor([&nCalls] { ++nCalls; }));
        EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
        EXPECT_EQ(152, nCalls.load());
        EXPECT_EQ(1, Callable::s_nLive.load()) << "only the test's own copy is left";
    }
    EXPECT_EQ(0, Callable::s_nLive.load());
}

TEST(qvTeamWaitsTest, CallableJobsRunOnceAndAreDestroyedOnce)
{
    checkCallableJobs<qvThreadTeam, SmallTracked>();
    checkCallableJobs<qvThreadTeam, LargeTracked>();
    checkCallableJobs<qvJoinableThreadTeam, SmallTracked>();
    checkCallableJobs<qvJoinableThreadTeam, LargeTracked>();

    qvJoinableThreadTeam team(2);
    std::atomic<int> nCalls{0};
    const unsigned long nId = team.createJob(SmallTracked(&nCalls));
    team.join(nId);
    EXPECT_EQ(qvJoinableThreadTeam::JOB_DONE, team.jobState(nId));
    EXPECT_EQ(1, nCalls.load());
}

// Callables still queued when the team goes are destroyed unrun; the one that was running
// returns (it learns that its team stops) and is destroyed after its call.
TEST(qvTeamWaitsTest, DestroyingDropsQueuedCallablesAndDestroysThem)
{
    std::atomic<int> nCalls{0};
    Blocker blocker;
    {
        auto* pTeam = new qvThreadTeam(1);
        pTeam->createJob(
            [&blocker, tracked = SmallTracked(&nCalls)] { blockUntilStopRequested(&blocker); });
        ASSERT_TRUE(blocker.waitEntered());
        for (int n = 0; n < 5; ++n) {
            pTeam->createJob(SmallTracked(&nCalls));
            pTeam->createJob(LargeTracked(&nCalls));
        }
        qvTest::AsyncCall destroy([&] { delete pTeam; });
        ASSERT_TRUE(destroy.finishedWithin());
    }
    EXPECT_EQ(0, nCalls.load());
    EXPECT_EQ(0, SmallTracked::s_nLive.load());
    EXPECT_EQ(0, LargeTracked::s_nLive.load());
}

namespace {

struct ThrowingCopy
{
    static inline bool s_bThrow = false;
    std::atomic<int>* m_pCalls;
    explicit ThrowingCopy(std::atomic<int>* pCalls) : m_pCalls(pCalls) {}
    ThrowingCopy(const ThrowingCopy& other) : m_pCalls(other.m_pCalls)
    {
        if (s_bThrow)
            throw std::runtime_error("copy failed");
    }
    void operator()() const { ++*m_pCalls; }
};

} // namespace

// A copy into the queue node that throws leaves the queue as it was, with its room given back,
// and the exception reaches the caller.
TEST(qvTeamWaitsTest, CallableWhoseCopyThrowsIsNotQueued)
{
    std::atomic<int> nCalls{0};
    qvJoinableThreadTeam team(1);
    const ThrowingCopy callable(&nCalls);
    ThrowingCopy::s_bThrow = true;
    EXPECT_THROW(team.createJob(callable), std::runtime_error);
    EXPECT_THROW(team.createJobWithin(0, callable), std::runtime_error);
    ThrowingCopy::s_bThrow = false;
    team.join(team.createJob(callable));
    EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
    EXPECT_EQ(1, nCalls.load());
}
