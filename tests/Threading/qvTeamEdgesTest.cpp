// Tests of the edges of the teams' ordinary calls: destruction while jobs run or wait, callables
// that are aligned, move-only, empty, plain functions or add jobs themselves, and where the
// idle-first placement puts jobs posted one at a time.
//
// <atomic> comes first on purpose: on 32-bit MinGW the alignment of std::max_align_t depends on
// which standard header a unit includes first, and the teams' node layout must not.
#include <atomic>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvThreadTeam.h"
#include "qvConfig.h"
#include "qvTeamTestSupport.h"
#include "qvTestSupport.h"

using namespace qvTeamTest;

namespace {

constexpr unsigned long LONG_LIMIT =
    std::chrono::duration_cast<std::chrono::milliseconds>(qvTest::TIMEOUT).count();

// Counts the calls of callables whose address is not a multiple of their alignment.
template <std::size_t Alignment, std::size_t Size>
struct alignas(Alignment) AlignedCallable
{
    std::atomic<int>* m_pMisaligned;
    std::array<unsigned char, Size - sizeof(void*)> m_Padding{};
    explicit AlignedCallable(std::atomic<int>* pMisaligned) : m_pMisaligned(pMisaligned) {}
    void operator()() const
    {
        if (reinterpret_cast<std::uintptr_t>(this) % Alignment != 0)
            ++*m_pMisaligned;
    }
};

template <class Team>
void checkAlignment()
{
    std::atomic<int> nMisaligned{0};
    Team team(2);
    for (int n = 0; n < 200; ++n) {
        team.createJob(AlignedCallable<16, 32>(&nMisaligned));  // in the node
        team.createJob(AlignedCallable<16, 128>(&nMisaligned)); // on the heap
        team.createJob(AlignedCallable<64, 64>(&nMisaligned));  // on the heap, over-aligned
    }
    EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
    EXPECT_EQ(0, nMisaligned.load());
}

// A move-only callable that counts its calls.
template <std::size_t Size>
struct MoveOnly
{
    std::unique_ptr<std::atomic<int>*> m_pCalls;
    std::array<char, Size> m_Padding{};
    explicit MoveOnly(std::atomic<int>* pCalls)
        : m_pCalls(std::make_unique<std::atomic<int>*>(pCalls))
    {
    }
    void operator()() const { ++**m_pCalls; }
};

// Whether createJobWithin() queued the job, for either team.
bool queued(bool bQueued)
{
    return bQueued;
}
bool queued(unsigned long nJobID)
{
    return nJobID != qvJoinableThreadTeam::NO_JOB_ID;
}

// Refused adds leave a move-only callable where it was; once there is room it is taken.
template <class Team, class Callable>
void checkRefusalLeavesTheCallable()
{
    std::atomic<int> nCalls{0};
    Blocker blocker;
    Team team(1, Team::PLACEMENT_FEWEST_WAITING, 1);
    team.createJob(&blockJob, &blocker);
    ASSERT_TRUE(blocker.waitEntered());
    team.createJob(&countJob, &nCalls); // fills the one place
    Callable callable(&nCalls);
    EXPECT_THROW(team.createJob(std::move(callable)), std::length_error);
    ASSERT_TRUE(callable.m_pCalls) << "a refused job consumed the callable";
    EXPECT_FALSE(queued(team.createJobWithin(0, std::move(callable))));
    ASSERT_TRUE(callable.m_pCalls) << "a job not queued at once consumed the callable";
    EXPECT_FALSE(queued(team.createJobWithin(1, std::move(callable))));
    ASSERT_TRUE(callable.m_pCalls) << "a job not queued within its limit consumed the callable";
    blocker.release();
    EXPECT_TRUE(queued(team.createJobWithin(LONG_LIMIT, std::move(callable))));
    EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
    EXPECT_EQ(2, nCalls.load());
}

std::atomic<int> g_nTicks{0};
void tick()
{
    ++g_nTicks;
}

template <class Team, class F>
concept AcceptsJob = requires(Team& team, F&& function)
{
    team.createJob(std::forward<F>(function));
    team.createJobWithin(0ul, std::forward<F>(function));
};

// A job that waits in its own team: for idle (it waits for itself) or for room (its member is
// the one that would make room). Both wait without limit until the team is destroyed.
struct WaitingInItsOwnTeam
{
    qvThreadTeam* m_pTeam = nullptr;
    bool m_bForRoom = false;
    std::atomic<bool> m_bWaiting{false};
    std::atomic<int> m_nResult{-1};
};

long waitInOwnTeam(void* pArgument)
{
    WaitingInItsOwnTeam* pWait = static_cast<WaitingInItsOwnTeam*>(pArgument);
    if (pWait->m_bForRoom)
        pWait->m_pTeam->createJob(&countJob, nullptr); // fills the one place; never run
    pWait->m_bWaiting = true;
    const bool bDone = pWait->m_bForRoom ? pWait->m_pTeam->createJobWithin(qvSynch::WAIT_INFINITE,
                                                                           &countJob, nullptr)
                                         : pWait->m_pTeam->waitUntilIdle();
    pWait->m_nResult = bDone ? 1 : 0;
    return 0;
}

} // namespace

TEST(qvTeamEdgesTest, AlignedCallablesRunAtAddressesOfTheirAlignment)
{
    static_assert(alignof(AlignedCallable<16, 32>) <= qvJobQueue::INLINE_CALLABLE_ALIGNMENT &&
                  sizeof(AlignedCallable<16, 32>) <= qvJobQueue::INLINE_CALLABLE_SIZE);
    checkAlignment<qvThreadTeam>();
    checkAlignment<qvJoinableThreadTeam>();
}

TEST(qvTeamEdgesTest, RefusedMoveOnlyCallableIsLeftAsItWas)
{
    static_assert(sizeof(MoveOnly<8>) <= qvJobQueue::INLINE_CALLABLE_SIZE);
    static_assert(sizeof(MoveOnly<128>) > qvJobQueue::INLINE_CALLABLE_SIZE);
    checkRefusalLeavesTheCallable<qvThreadTeam, MoveOnly<8>>();
    checkRefusalLeavesTheCallable<qvThreadTeam, MoveOnly<128>>();
    checkRefusalLeavesTheCallable<qvJoinableThreadTeam, MoveOnly<8>>();
    checkRefusalLeavesTheCallable<qvJoinableThreadTeam, MoveOnly<128>>();
}

// Plain functions by name are callables; what cannot be called without arguments is no job.
TEST(qvTeamEdgesTest, PlainFunctionsAreAcceptedAndWrongArgumentsAreNot)
{
    static_assert(AcceptsJob<qvThreadTeam, void (&)()>);
    static_assert(AcceptsJob<qvJoinableThreadTeam, void (&)()>);
    static_assert(!AcceptsJob<qvThreadTeam, int>);
    static_assert(!AcceptsJob<qvThreadTeam, long (*)(void*)>);
    static_assert(!AcceptsJob<qvJoinableThreadTeam, std::function<void(int)>>);
    g_nTicks = 0;
    qvThreadTeam team(2);
    team.createJob(tick);
    EXPECT_TRUE(team.createJobWithin(LONG_LIMIT, tick));
    qvJoinableThreadTeam joinable(2);
    joinable.join(joinable.createJob(tick));
    EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
    EXPECT_EQ(3, g_nTicks.load());
}

// An empty callable would crash its member: it is refused at the call and nothing is queued.
TEST(qvTeamEdgesTest, EmptyCallablesAreRefusedAtTheCall)
{
    qvThreadTeam team(1);
    qvJoinableThreadTeam joinable(1);
    const qvVoidFunctor emptyFunctor;
    const std::function<void()> emptyFunction;
    void (*const pNoFunction)() = nullptr;
    EXPECT_THROW(team.createJob(emptyFunctor), std::invalid_argument);
    EXPECT_THROW(team.createJobWithin(0, emptyFunction), std::invalid_argument);
    EXPECT_THROW(team.createJob(pNoFunction), std::invalid_argument);
    EXPECT_THROW(joinable.createJob(emptyFunction), std::invalid_argument);
    EXPECT_THROW(joinable.createJobWithin(0, emptyFunctor), std::invalid_argument);
    EXPECT_TRUE(team.waitUntilIdle(0));
    EXPECT_TRUE(joinable.waitUntilIdle(0));
    // The ids drawn afterwards start where they would have: nothing was entered.
    EXPECT_EQ(1ul, joinable.createJob(tick));
}

// The copy of a callable is made with no lock of the team held: one whose copy adds a job to
// the same team leaves both jobs counted, so that the team is seen idle once both have run.
TEST(qvTeamEdgesTest, CallableWhoseCopyAddsAJobToTheSameTeamKeepsTheCountsRight)
{
    struct AddsOnCopy
    {
        qvThreadTeam* m_pTeam;
        std::atomic<int>* m_pCalls;
        AddsOnCopy(qvThreadTeam* pTeam, std::atomic<int>* pCalls) : m_pTeam(pTeam), m_pCalls(pCalls)
        {
        }
        AddsOnCopy(const AddsOnCopy& other) : m_pTeam(other.m_pTeam), m_pCalls(other.m_pCalls)
        {
            m_pTeam->createJob(&countJob, m_pCalls);
        }
        void operator()() const { ++*m_pCalls; }
    };
    for (const auto ePlacement :
         {qvThreadTeam::PLACEMENT_FEWEST_WAITING, qvThreadTeam::PLACEMENT_IDLE_FIRST}) {
        std::atomic<int> nCalls{0};
        qvThreadTeam team(1, ePlacement);
        const AddsOnCopy callable(&team, &nCalls);
        for (int n = 0; n < 20; ++n)
            team.createJob(callable);
        ASSERT_TRUE(team.waitUntilIdle(LONG_LIMIT)) << "the team's counts went wrong";
        EXPECT_EQ(40, nCalls.load());
    }
}

// Jobs posted one at a time, each as soon as the one before has signalled from its body, all
// start at once: none goes behind the member that is inside a long job.
TEST(qvTeamEdgesTest, IdleFirstNeverQueuesAJobPostedOneAtATimeBehindABusyMember)
{
    for (const unsigned int nMembers : {2u, 3u}) {
        Blocker blocker;
        qvSynch::Semaphore ran(0, 1);
        qvThreadTeam team(nMembers, qvThreadTeam::PLACEMENT_IDLE_FIRST);
        team.createJob(&blockJob, &blocker);
        ASSERT_TRUE(blocker.waitEntered());
        int nBehind = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int n = 0; n < 2000 && nBehind == 0; ++n) {
            team.createJob([&ran] { ran.V(); });
            if (!ran.P(LONG_LIMIT / 4))
                ++nBehind;
            // Bounded in time too: a slow machine shows fewer rounds, never a failure.
            if (std::chrono::steady_clock::now() - start > qvTest::TIMEOUT / 4)
                break;
        }
        EXPECT_EQ(0, nBehind) << nMembers << " members: a job went behind the long one";
        blocker.release();
        EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
    }
}

// Destroying a team: a job that waits in its own team gives up, and the destructor returns.
TEST(qvTeamEdgesTest, JobWaitingInItsOwnTeamGivesUpWhenTheTeamIsDestroyed)
{
    for (const bool bForRoom : {false, true}) {
        WaitingInItsOwnTeam wait;
        wait.m_bForRoom = bForRoom;
        auto* pTeam = new qvThreadTeam(1, qvThreadTeam::PLACEMENT_FEWEST_WAITING, 1);
        wait.m_pTeam = pTeam;
        pTeam->createJob(&waitInOwnTeam, &wait);
        ASSERT_TRUE(qvTest::waitUntil([&] { return wait.m_bWaiting.load(); }));
        qvTest::AsyncCall destroy([&] { delete pTeam; });
        ASSERT_TRUE(destroy.finishedWithin()) << (bForRoom ? "room" : "idle");
        EXPECT_EQ(0, wait.m_nResult.load());
    }
}

// A job polls isStopRequested() and returns once its team is being destroyed.
TEST(qvTeamEdgesTest, LongJobReturnsWhenItsTeamStops)
{
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bSawNoStop{false};
    auto* pTeam = new qvThreadTeam(2);
    pTeam->createJob([&] {
        bSawNoStop = !qvThreadTeam::isStopRequested();
        bEntered = true;
        while (!qvThreadTeam::isStopRequested())
            std::this_thread::yield();
    });
    ASSERT_TRUE(qvTest::waitUntil([&] { return bEntered.load(); }));
    EXPECT_TRUE(bSawNoStop.load());
    EXPECT_FALSE(qvThreadTeam::isStopRequested()) << "the test's thread is no member";
    qvTest::AsyncCall destroy([&] { delete pTeam; });
    ASSERT_TRUE(destroy.finishedWithin());
}

// A callable whose copy throws gives back the room it had reserved: a producer that found the
// team full meanwhile is woken and queues its job.
TEST(qvTeamEdgesTest, RoomGivenBackByAThrowingCopyWakesAProducerWaitingForRoom)
{
    struct ThrowsOnCopy
    {
        qvSynch::Semaphore* m_pCopying;
        qvSynch::Semaphore* m_pThrow;
        ThrowsOnCopy(qvSynch::Semaphore* pCopying, qvSynch::Semaphore* pThrow)
            : m_pCopying(pCopying), m_pThrow(pThrow)
        {
        }
        ThrowsOnCopy(const ThrowsOnCopy& other)
            : m_pCopying(other.m_pCopying), m_pThrow(other.m_pThrow)
        {
            m_pCopying->V();
            m_pThrow->P();
            throw std::runtime_error("copy failed");
        }
        void operator()() const {}
    };
    qvSynch::Semaphore copying(0, 1);
    qvSynch::Semaphore letThrow(0, 1);
    std::atomic<int> nCount{0};
    qvThreadTeam team(1, qvThreadTeam::PLACEMENT_FEWEST_WAITING, 1);
    const ThrowsOnCopy callable(&copying, &letThrow);
    qvTest::AsyncCall first([&] { EXPECT_THROW(team.createJob(callable), std::runtime_error); });
    ASSERT_TRUE(copying.P(LONG_LIMIT));
    std::atomic<qvTest::ThreadId> nSecond{0};
    qvTest::AsyncCall second([&] {
        nSecond = qvTest::currentTid();
        EXPECT_TRUE(team.createJobWithin(qvSynch::WAIT_INFINITE, &countJob, &nCount));
    });
    ASSERT_TRUE(
        qvTest::waitUntil([&] { return nSecond != 0 && qvTest::isParkedInKernel(nSecond); }));
    letThrow.V();
    ASSERT_TRUE(first.finishedWithin());
    const bool bWoken = second.finishedWithin();
    if (!bWoken)
        team.createJob(&countJob, &nCount); // a take wakes it, so that the test can end
    EXPECT_TRUE(bWoken) << "the producer waiting for room was never woken";
    ASSERT_TRUE(second.finishedWithin());
    EXPECT_TRUE(team.waitUntilIdle(LONG_LIMIT));
}
