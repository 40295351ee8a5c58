// Tests of qvJoinableThreadTeam: job ids and their wrap-around, job states, join of one id, of a
// list and by several threads at once, jobs that throw, refused jobs, destruction, a member that
// cannot be created, and a stress run of producers and joiners.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Threading/qvJoinableThreadTeam.h"
#include "qvTeamTestSupport.h"
#include "qvTestSupport.h"

using namespace qvTeamTest;

namespace {

// Reaches the tables and the id counter of a joinable team.
class JoinableProbe : public qvJoinableThreadTeam
{
public:
    using qvJoinableThreadTeam::qvJoinableThreadTeam;
    using qvJoinableThreadTeam::setLastJobID;

    unsigned int signalEntries() { return m_SignalTable.getSize(); }
    unsigned int stateEntries() { return m_StateTable.getSize(); }
    unsigned long memberId(unsigned int nPosition)
    {
        return m_TeamMembers[nPosition].m_First->getID();
    }
};

} // namespace

TEST(qvJoinableThreadTeamTest, MemberCountIsTheOneGiven)
{
    qvJoinableThreadTeam defaultTeam;
    EXPECT_EQ(2u, defaultTeam.getNumberOfTeamMembers());
    qvJoinableThreadTeam team(5);
    EXPECT_EQ(5u, team.getNumberOfTeamMembers());
}

TEST(qvJoinableThreadTeamTest, FirstIdsCountUpFromOne)
{
    std::atomic<int> nCount{0};
    JoinableProbe team(2);
    EXPECT_EQ(1ul, team.createJob(&countJob, &nCount));
    EXPECT_EQ(2ul, team.createJob(&countJob, &nCount));
    EXPECT_EQ(3ul, team.createJob(&countJob, &nCount));
    for (unsigned long nId = 1; nId <= 3; ++nId)
        team.join(nId);
    EXPECT_EQ(3, nCount.load());
    EXPECT_EQ(0u, team.signalEntries());
    EXPECT_EQ(0u, team.stateEntries());
}

TEST(qvJoinableThreadTeamTest, IdsWrapToZeroAfterTheLargest)
{
    std::atomic<int> nCount{0};
    JoinableProbe team(2);
    team.setLastJobID(2147483645ul);
    const unsigned long aIds[3] = {team.createJob(&countJob, &nCount),
                                   team.createJob(&countJob, &nCount),
                                   team.createJob(&countJob, &nCount)};
    EXPECT_EQ(2147483646ul, aIds[0]);
    EXPECT_EQ(0ul, aIds[1]);
    EXPECT_EQ(1ul, aIds[2]);
    for (unsigned long nId : aIds)
        team.join(nId);
    EXPECT_EQ(3, nCount.load());
    EXPECT_EQ(0u, team.signalEntries());
}

TEST(qvJoinableThreadTeamTest, JobStateIsPendingUntilTheFunctionHasReturned)
{
    Blocker blocker;
    JoinableProbe team(1);
    const unsigned long nId = team.createJob(&blockJob, &blocker);
    EXPECT_EQ(qvJoinableThreadTeam::JOB_PENDING, team.jobState(nId));
    ASSERT_TRUE(blocker.waitEntered());
    EXPECT_EQ(qvJoinableThreadTeam::JOB_PENDING, team.jobState(nId));
    EXPECT_EQ(qvJoinableThreadTeam::JOB_DONE, team.jobState(nId + 1000));

    blocker.release();
    EXPECT_TRUE(
        qvTest::waitUntil([&] { return team.jobState(nId) == qvJoinableThreadTeam::JOB_DONE; }));
    EXPECT_TRUE(blocker.m_bLeft.load());
}

TEST(qvJoinableThreadTeamTest, JoinReturnsAtOnceForFinishedAndUnknownIds)
{
    std::atomic<int> nCount{0};
    JoinableProbe team(1);
    const unsigned long nId = team.createJob(&countJob, &nCount);
    ASSERT_TRUE(qvTest::waitUntil([&] { return team.signalEntries() == 0; }));
    qvTest::AsyncCall joins([&] {
        team.join(nId);
        team.join(nId + 1);
        team.join(12345);
    });
    EXPECT_TRUE(joins.finishedWithin());
}

TEST(qvJoinableThreadTeamTest, JoinOfARunningJobReturnsOnlyAfterItsFunctionReturned)
{
    Blocker blocker;
    JoinableProbe team(2);
    const unsigned long nId = team.createJob(&blockJob, &blocker);
    ASSERT_TRUE(blocker.waitEntered());
    int nStateAfterJoin = -1;
    bool bLeftBeforeJoinReturned = false;
    qvTest::AsyncCall joiner([&] {
        team.join(nId);
        bLeftBeforeJoinReturned = blocker.m_bLeft;
        nStateAfterJoin = team.jobState(nId);
    });
    EXPECT_TRUE(joiner.stillBlocked());
    blocker.release();
    ASSERT_TRUE(joiner.finishedWithin());
    EXPECT_TRUE(bLeftBeforeJoinReturned);
    EXPECT_EQ(qvJoinableThreadTeam::JOB_DONE, nStateAfterJoin);
    EXPECT_EQ(0u, team.signalEntries());
    EXPECT_EQ(0u, team.stateEntries());
}

TEST(qvJoinableThreadTeamTest, JoinOfAnEmptyListReturnsAtOnce)
{
    qvJoinableThreadTeam team(1);
    qvDCList<unsigned long> ids;
    qvTest::AsyncCall joiner([&] { team.join(ids); });
    EXPECT_TRUE(joiner.finishedWithin());
}

TEST(qvJoinableThreadTeamTest, JoinOfAListReturnsWhenEveryJobHasFinished)
{
    Blocker blockers[3];
    JoinableProbe team(3);
    unsigned long aIds[3];
    for (int n = 0; n < 3; ++n)
        aIds[n] = team.createJob(&blockJob, &blockers[n]);
    qvDCList<unsigned long> ids;
    ids.pushBack(aIds[2]);
    ids.pushBack(aIds[0]);
    ids.pushBack(aIds[1]);
    qvTest::AsyncCall joiner([&] { team.join(ids); });

    blockers[2].release();
    EXPECT_TRUE(joiner.stillBlocked());
    blockers[0].release();
    EXPECT_TRUE(joiner.stillBlocked());
    blockers[1].release();
    ASSERT_TRUE(joiner.finishedWithin());
    for (unsigned long nId : aIds)
        EXPECT_EQ(qvJoinableThreadTeam::JOB_DONE, team.jobState(nId));
}

TEST(qvJoinableThreadTeamTest, SeveralJoinersOfOneJobAllReturn)
{
    constexpr int JOINERS = 6;
    Blocker blocker;
    JoinableProbe team(1);
    const unsigned long nId = team.createJob(&blockJob, &blocker);
    ASSERT_TRUE(blocker.waitEntered());

    std::atomic<qvTest::ThreadId> aJoinerIds[JOINERS];
    std::atomic<int> nReturned{0};
    std::vector<std::thread> joiners;
    for (int n = 0; n < JOINERS; ++n) {
        aJoinerIds[n] = 0;
        joiners.emplace_back([&, n] {
            aJoinerIds[n] = qvTest::currentTid();
            team.join(nId);
            ++nReturned;
        });
    }
    // Everyone parked on the job's signal before it finishes.
    for (int n = 0; n < JOINERS; ++n) {
        ASSERT_TRUE(qvTest::waitUntil(
            [&] { return aJoinerIds[n] != 0 && qvTest::isParkedInKernel(aJoinerIds[n]); }));
    }
    EXPECT_EQ(0, nReturned.load());
    blocker.release();
    const bool bAllReturned = qvTest::waitUntil([&] { return nReturned == JOINERS; });
    if (!bAllReturned) {
        for (std::thread& joiner : joiners)
            joiner.detach();
        FAIL() << "a joiner was stranded";
    }
    for (std::thread& joiner : joiners)
        joiner.join();
    EXPECT_EQ(0u, team.signalEntries());
}

TEST(qvJoinableThreadTeamTest, JoinersRacingTheFinishingJobAllReturn)
{
    std::atomic<int> nCount{0};
    JoinableProbe team(2);
    for (int nRound = 0; nRound < 300; ++nRound) {
        const unsigned long nId = team.createJob(&countJob, &nCount);
        std::thread first([&] { team.join(nId); });
        std::thread second([&] { team.join(nId); });
        team.join(nId);
        EXPECT_EQ(qvJoinableThreadTeam::JOB_DONE, team.jobState(nId));
        first.join();
        second.join();
    }
    EXPECT_EQ(300, nCount.load());
    EXPECT_EQ(0u, team.signalEntries());
    EXPECT_EQ(0u, team.stateEntries());
}

TEST(qvJoinableThreadTeamTest, ThrowingJobStillFinishesAndItsMemberGoesOn)
{
    std::atomic<int> nCount{0};
    JoinableProbe team(1);
    const unsigned long nMemberId = team.memberId(0);
    const unsigned long nFirst = team.createJob(&throwRuntimeError, nullptr);
    const unsigned long nSecond = team.createJob(&throwInt, nullptr);
    const unsigned long nThird = team.createJob(&countJob, &nCount);
    qvTest::AsyncCall joiner([&] {
        team.join(nFirst);
        team.join(nSecond);
        team.join(nThird);
    });
    ASSERT_TRUE(joiner.finishedWithin());
    EXPECT_EQ(qvJoinableThreadTeam::JOB_DONE, team.jobState(nFirst));
    EXPECT_EQ(1, nCount.load());
    EXPECT_TRUE(taskExists(nMemberId));
}

TEST(qvJoinableThreadTeamTest, NullJobFunctionFinishes)
{
    JoinableProbe team(1);
    const unsigned long nId = team.createJob(nullptr, nullptr);
    qvTest::AsyncCall joiner([&] { team.join(nId); });
    EXPECT_TRUE(joiner.finishedWithin());
}

TEST(qvJoinableThreadTeamTest, RefusedJobLeavesNoEntry)
{
    Blocker blocker;
    std::atomic<int> nCount{0};
    JoinableProbe team(1);
    const unsigned long nBlocking = team.createJob(&blockJob, &blocker);
    ASSERT_TRUE(blocker.waitEntered());
    for (unsigned int n = 0; n < qvJobQueue::MAXIMUM_WAITING_JOBS; ++n)
        team.createJob(&countJob, &nCount);
    const unsigned int nEntries = qvJobQueue::MAXIMUM_WAITING_JOBS + 1;
    ASSERT_EQ(nEntries, team.signalEntries());
    ASSERT_EQ(nEntries, team.stateEntries());

    try {
        team.createJob(&countJob, &nCount);
        FAIL() << "no exception";
    } catch (const std::length_error& error) {
        EXPECT_EQ(std::string("Job queue is full."), error.what());
    }
    EXPECT_EQ(nEntries, team.signalEntries());
    EXPECT_EQ(nEntries, team.stateEntries());
    const unsigned long nRefused = nBlocking + nEntries;
    EXPECT_EQ(qvJoinableThreadTeam::JOB_DONE, team.jobState(nRefused));
    qvTest::AsyncCall joiner([&] { team.join(nRefused); });
    EXPECT_TRUE(joiner.finishedWithin());

    // The id is used up; the next accepted job gets the one after it.
    blocker.release();
    ASSERT_TRUE(qvTest::waitUntil([&] { return team.stateEntries() == 0; }));
    EXPECT_EQ(nRefused + 1, team.createJob(&countJob, &nCount));
}

// A job asleep in a cancellation point, with a catch-all and a local whose destructor is
// noexcept: destroying the team waits for it (a cancellation would abort the process there) and
// runs none of the jobs behind it.
TEST(qvJoinableThreadTeamTest, DestroyingNeverCancelsARunningJobAndRunsNoWaitingJob)
{
    Blocker blocker;
    std::atomic<int> nCount{0};
    auto* pTeam = new qvJoinableThreadTeam(1);
    pTeam->createJob(&blockUntilStopRequested, &blocker);
    ASSERT_TRUE(blocker.waitEntered());
    for (int n = 0; n < 10; ++n)
        pTeam->createJob(&countJob, &nCount);
    qvTest::AsyncCall destroy([&] { delete pTeam; });
    ASSERT_TRUE(destroy.finishedWithin());
    EXPECT_TRUE(blocker.m_bLeft.load());
    EXPECT_EQ(0, nCount.load());
}

namespace {

// A job whose frame holds an address-taken buffer (sanitizer builds put redzones around it) and
// that runs until its team is being destroyed.
long runUntilStopRequestedWithBuffer(void* pArgument)
{
    char aBuffer[256];
    std::snprintf(aBuffer, sizeof(aBuffer), "%p", pArgument);
    EXPECT_FALSE(qvJoinableThreadTeam::isStopRequested());
    static_cast<Blocker*>(pArgument)->m_bEntered = true;
    while (!qvJoinableThreadTeam::isStopRequested())
        std::this_thread::yield();
    static_cast<Blocker*>(pArgument)->m_bLeft = true;
    return aBuffer[0];
}

} // namespace

// A long job learns that its team is going and returns; the destructor waits for it.
TEST(qvJoinableThreadTeamTest, LongJobLearnsThatItsTeamIsStopping)
{
    EXPECT_FALSE(qvJoinableThreadTeam::isStopRequested());
    for (int nRound = 0; nRound < 3; ++nRound) {
        Blocker blocker;
        auto* pTeam = new qvJoinableThreadTeam(2);
        pTeam->createJob(&runUntilStopRequestedWithBuffer, &blocker);
        ASSERT_TRUE(blocker.waitEntered());
        qvTest::AsyncCall destroy([&] { delete pTeam; });
        ASSERT_TRUE(destroy.finishedWithin());
        EXPECT_TRUE(blocker.m_bLeft.load());
    }
}

TEST(qvJoinableThreadTeamTest, MemberThatCannotBeCreatedStopsTheOnesStartedBefore)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_THREAD_LIMIT);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(buildWithoutAllowanceForTheLastMember([] { qvJoinableThreadTeam team(3); }),
                testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------------
// Stress: producers create jobs while joiners join them, some ids by two joiners at once.

namespace {

constexpr int STRESS_JOBS = 200000;
constexpr int PRODUCERS = 3;
constexpr int JOINERS = 3;

// Ids handed from the producers to the joiners; a negative index ends a joiner.
class IdChannel
{
public:
    void push(unsigned long nId, int nIndex)
    {
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            m_Items.emplace_back(nId, nIndex);
        }
        m_Ready.notify_one();
    }
    bool pop(std::pair<unsigned long, int>& item)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (!m_Ready.wait_for(lock, qvTest::TIMEOUT, [this] { return !m_Items.empty(); }))
            return false;
        item = m_Items.front();
        m_Items.pop_front();
        return true;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<std::pair<unsigned long, int>> m_Items;
};

} // namespace

TEST(qvJoinableThreadTeamTest, StressEveryJobRunsOnceAndEveryJoinReturns)
{
    std::vector<std::atomic<int>> runs(STRESS_JOBS);
    std::atomic<int> nJoined{0};
    std::atomic<int> nRefusals{0};
    std::atomic<bool> bFailed{false};
    JoinableProbe team(2);
    IdChannel channel;

    std::vector<std::thread> producers;
    for (int nProducer = 0; nProducer < PRODUCERS; ++nProducer) {
        producers.emplace_back([&, nProducer] {
            for (int nIndex = nProducer; nIndex < STRESS_JOBS; nIndex += PRODUCERS) {
                unsigned long nId = 0;
                for (;;) {
                    try {
                        nId = team.createJob(&countJob, &runs[nIndex]);
                        break;
                    } catch (const std::length_error&) {
                        ++nRefusals;
                        std::this_thread::yield();
                    }
                }
                channel.push(nId, nIndex);
                if (nIndex % 10 == 0)
                    channel.push(nId, nIndex);
            }
        });
    }
    std::vector<std::thread> joiners;
    for (int nJoiner = 0; nJoiner < JOINERS; ++nJoiner) {
        joiners.emplace_back([&] {
            std::pair<unsigned long, int> item;
            while (channel.pop(item)) {
                if (item.second < 0)
                    return;
                team.join(item.first);
                if (runs[item.second].load() != 1 ||
                    team.jobState(item.first) != qvJoinableThreadTeam::JOB_DONE)
                    bFailed = true;
                ++nJoined;
            }
            bFailed = true; // the channel ran dry: a producer or a join was stuck
        });
    }
    for (std::thread& producer : producers)
        producer.join();
    for (int n = 0; n < JOINERS; ++n)
        channel.push(0, -1);
    for (std::thread& joiner : joiners)
        joiner.join();

    EXPECT_FALSE(bFailed.load());
    EXPECT_EQ(STRESS_JOBS + (STRESS_JOBS + 9) / 10, nJoined.load());
    for (int n = 0; n < STRESS_JOBS; ++n)
        ASSERT_EQ(1, runs[n].load()) << "job " << n;
    EXPECT_EQ(0u, team.signalEntries());
    EXPECT_EQ(0u, team.stateEntries());
    RecordProperty("refusals", nRefusals.load());
}
