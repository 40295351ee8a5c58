// Tests of the worker pools and of inter-thread messages that count or fail heap allocations. This
// program replaces the global operator new, which is why it is a program of its own: the
// allocations of the thread that arms the hooks below are counted, and one of them can be made to
// fail. On Windows it sees the program's own allocations only (those of the header-only
// containers and queues), not those of the library's DLL, so the tests of the library's own
// allocations skip there.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "Container/qvPoolList.h"
#include "MainLoop/qvProcessor.h"
#include "Threading/qvJobQueue.h"
#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvThreadTeam.h"
#include "qvTestPlatform.h"
#include "qvTestSupport.h"

namespace {

// Hooks of the calling thread: counting, and failing its n-th allocation from now on.
thread_local bool t_bCounting = false;
thread_local long t_nAllocations = 0;
thread_local long t_nFailAt = 0;
// Allocations of this size are counted but never failed (see ConstructorFailure below).
thread_local std::size_t t_nSparedSize = 0;
// Blocks allocated and not yet freed, by every thread.
std::atomic<long> s_nLiveBlocks{0};

void releaseBlock(void* pMemory) noexcept
{
    if (pMemory) {
        s_nLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
        std::free(pMemory);
    }
}

// nAlignment: 0 for the default alignment (malloc's), else the one asked for.
void* allocate(std::size_t nSize, std::size_t nAlignment = 0)
{
    if (t_bCounting) {
        ++t_nAllocations;
        if (t_nFailAt > 0 && nSize != t_nSparedSize && --t_nFailAt == 0)
            throw std::bad_alloc();
    }
    if (!nSize)
        nSize = 1;
    if (void* pMemory =
            nAlignment ? qvTest::allocateAligned(nSize, nAlignment) : std::malloc(nSize)) {
        s_nLiveBlocks.fetch_add(1, std::memory_order_relaxed);
        return pMemory;
    }
    throw std::bad_alloc();
}

void releaseAlignedBlock(void* pMemory) noexcept
{
    if (pMemory) {
        s_nLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
        qvTest::freeAligned(pMemory);
    }
}

} // namespace

// These replacements take their memory from malloc and give it back with free; GCC sees only
// that free() is called in an operator delete and warns about a mismatch that is not there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t nSize)
{
    return allocate(nSize);
}
void* operator new[](std::size_t nSize)
{
    return allocate(nSize);
}
void operator delete(void* pMemory) noexcept
{
    releaseBlock(pMemory);
}
void operator delete[](void* pMemory) noexcept
{
    releaseBlock(pMemory);
}
void operator delete(void* pMemory, std::size_t) noexcept
{
    releaseBlock(pMemory);
}
void operator delete[](void* pMemory, std::size_t) noexcept
{
    releaseBlock(pMemory);
}
// The nothrow forms too: the sanitizers bring their own, which would not pair with these.
void* operator new(std::size_t nSize, const std::nothrow_t&) noexcept
{
    try {
        return allocate(nSize);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t nSize, const std::nothrow_t& nothrow) noexcept
{
    return operator new(nSize, nothrow);
}
void operator delete(void* pMemory, const std::nothrow_t&) noexcept
{
    releaseBlock(pMemory);
}
void operator delete[](void* pMemory, const std::nothrow_t&) noexcept
{
    releaseBlock(pMemory);
}
// The aligned forms: the teams' queue nodes and over-aligned callables come from them.
void* operator new(std::size_t nSize, std::align_val_t alignment)
{
    return allocate(nSize, static_cast<std::size_t>(alignment));
}
void operator delete(void* pMemory, std::align_val_t) noexcept
{
    releaseAlignedBlock(pMemory);
}
void operator delete(void* pMemory, std::size_t, std::align_val_t) noexcept
{
    releaseAlignedBlock(pMemory);
}

#pragma GCC diagnostic pop

namespace {

// Counts the allocations of the calling thread while it lives.
class CountAllocations
{
public:
    CountAllocations()
    {
        t_nAllocations = 0;
        t_nFailAt = 0;
        t_bCounting = true;
    }
    ~CountAllocations() { t_bCounting = false; }
    long count() const { return t_nAllocations; }
};

// Makes the n-th allocation of the calling thread (from now on) fail while it lives.
class FailAllocation
{
public:
    explicit FailAllocation(long nNth, std::size_t nSparedSize = 0)
    {
        t_nAllocations = 0;
        t_nFailAt = nNth;
        t_nSparedSize = nSparedSize;
        t_bCounting = true;
    }
    ~FailAllocation()
    {
        t_bCounting = false;
        t_nFailAt = 0;
        t_nSparedSize = 0;
    }
    bool failed() const { return t_nFailAt == 0; }
};

long countJob(void* pArgument)
{
    ++*static_cast<std::atomic<int>*>(pArgument);
    return 0;
}

struct Blocker
{
    qvSynch::Semaphore m_Release{0, 1};
    std::atomic<bool> m_bEntered{false};
};

long blockJob(void* pArgument)
{
    Blocker* pBlocker = static_cast<Blocker*>(pArgument);
    pBlocker->m_bEntered = true;
    pBlocker->m_Release.P();
    return 0;
}

int countTasks()
{
    return qvTest::countThreads();
}

// A lock policy that records how often it is held.
struct RecordingLock
{
    static inline int s_nHeld = 0;
    void acquire() { ++s_nHeld; }
    void release() { --s_nHeld; }
    bool tryAcquire() { return true; }
};

} // namespace

// ---------------------------------------------------------------------------------------------

TEST(qvPoolListAllocationTest, ConstructorFailureFreesEveryNodeAndThrows)
{
    for (long nNth = 1; nNth <= 4; ++nNth) {
        FailAllocation failure(nNth);
        EXPECT_THROW((qvPoolList<int, qvSynch::NullLock>(3)), std::bad_alloc);
    }
    // LeakSanitizer reports any node left behind.
}

TEST(qvPoolListAllocationTest, FailedReplacementOfTheLastFreeNodeChangesNothing)
{
    qvPoolList<int, RecordingLock> list(0);
    auto* pUsed = list.takeFreeNode();
    pUsed->m_Element = 1;
    list.pushBack(pUsed);
    {
        FailAllocation failure(1);
        EXPECT_THROW(list.takeFreeNode(), std::bad_alloc);
    }
    EXPECT_EQ(0, RecordingLock::s_nHeld);
    EXPECT_EQ(1u, list.getFreeSize());
    EXPECT_EQ(1u, list.getSize());
    auto* pNode = list.takeFreeNode();
    EXPECT_NE(pUsed, pNode);
    list.returnFreeNode(pNode);
    auto* pFirst = list.popFront();
    ASSERT_EQ(pUsed, pFirst);
    EXPECT_EQ(1, pFirst->m_Element);
    list.returnFreeNode(pFirst);
}

TEST(qvJobQueueAllocationTest, FailedAddLeavesTheQueueUnchangedAndUnlocked)
{
    qvJobQueue queue;
    for (unsigned long n = 0; n < 255; ++n)
        queue.addJob(&countJob, nullptr, n);
    ASSERT_EQ(1u, queue.getNumberOfFreeNodes());
    {
        FailAllocation failure(1);
        EXPECT_THROW(queue.addJob(&countJob, nullptr, 1000), std::bad_alloc);
        EXPECT_TRUE(failure.failed());
    }
    EXPECT_EQ(255u, queue.getNumberOfJobs());
    EXPECT_EQ(1u, queue.getNumberOfFreeNodes());

    // Another thread gets the lock: it was released.
    qvTest::AsyncCall adder([&] { queue.addJob(&countJob, nullptr, 255); });
    ASSERT_TRUE(adder.finishedWithin());
    for (unsigned long n = 0; n <= 255; ++n) {
        long (*pThreadFunc)(void*) = nullptr;
        void* pThreadData = nullptr;
        unsigned long nId = 0;
        ASSERT_TRUE(queue.getJob(pThreadFunc, pThreadData, nId));
        ASSERT_EQ(n, nId);
    }
}

TEST(qvThreadTeamAllocationTest, CreateJobAllocatesNothingBelowThe256thWaitingJob)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    Blocker blocker;
    std::atomic<int> nCount{0};
    qvThreadTeam team(1);
    team.createJob(&blockJob, &blocker);
    ASSERT_TRUE(qvTest::waitUntil([&] { return blocker.m_bEntered.load(); }));
    {
        CountAllocations counter;
        for (int n = 0; n < 255; ++n)
            team.createJob(&countJob, &nCount);
        EXPECT_EQ(0, counter.count());
        team.createJob(&countJob, &nCount);
        EXPECT_EQ(1, counter.count());
    }
    blocker.m_Release.V();
    ASSERT_TRUE(qvTest::waitUntil([&] { return nCount == 256; }));

    // Steady state: with fewer than 256 jobs waiting, nodes are only recycled.
    CountAllocations counter;
    for (int n = 0; n < 20000; ++n) {
        while (n - (nCount.load() - 256) > 200)
            std::this_thread::yield();
        team.createJob(&countJob, &nCount);
    }
    EXPECT_EQ(0, counter.count());
    EXPECT_TRUE(qvTest::waitUntil([&] { return nCount == 256 + 20000; }));
}

// A callable job that fits the queue node costs no allocation of its own; a larger one costs
// one, its heap copy.
TEST(qvThreadTeamAllocationTest, SmallCallableJobAllocatesNothingLargeOneOnce)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    std::atomic<int> nCount{0};
    qvThreadTeam team(1);
    char aLarge[100] = {};
    for (int n = 0; n < 3; ++n) {
        {
            CountAllocations counter;
            team.createJob([&nCount] { ++nCount; });
            EXPECT_EQ(0, counter.count());
        }
        CountAllocations counter;
        team.createJob([&nCount, aLarge] { nCount += 1 + aLarge[0]; });
        EXPECT_EQ(1, counter.count());
    }
    EXPECT_TRUE(team.waitUntilIdle());
    EXPECT_EQ(6, nCount.load());
}

TEST(qvJoinableThreadTeamAllocationTest, FailedCreateJobLeavesNoEntryAndNoJob)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    Blocker blocker;
    std::atomic<int> nCount{0};
    qvJoinableThreadTeam team(1);
    const unsigned long nBlocking = team.createJob(&blockJob, &blocker);
    ASSERT_TRUE(qvTest::waitUntil([&] { return blocker.m_bEntered.load(); }));
    int nFailures = 0;
    unsigned long nId = 0;
    for (long nNth = 1;; ++nNth) {
        bool bThrown = false;
        {
            FailAllocation failure(nNth);
            try {
                nId = team.createJob(&countJob, &nCount);
            } catch (const std::bad_alloc&) {
                bThrown = true;
            }
        }
        if (!bThrown)
            break;
        ++nFailures;
        // The refused id has no entry: it reads as finished and its join returns at once.
        const unsigned long nRefused = nBlocking + static_cast<unsigned long>(nNth);
        EXPECT_EQ(qvJoinableThreadTeam::JOB_DONE, team.jobState(nRefused));
        team.join(nRefused);
        ASSERT_LT(nNth, 50) << "createJob never succeeded";
    }
    EXPECT_EQ(4, nFailures); // the signal, its event, one entry in each table
    blocker.m_Release.V();
    team.join(nBlocking);
    team.join(nId);
    EXPECT_EQ(1, nCount.load());
}

// Every allocation of a team's constructor is made to fail in turn: the constructor throws and
// no member thread is left behind, also when the failing allocation is the platform thread's
// wrapper, made after its OS thread was created.
template <class Team>
void checkConstructorFailures()
{
    const int nBaseline = countTasks();
    for (long nNth = 1;; ++nNth) {
        bool bThrown = false;
        {
            FailAllocation failure(nNth);
            try {
                Team team(3);
            } catch (const std::bad_alloc&) {
                bThrown = true;
            }
        }
        ASSERT_TRUE(qvTest::waitUntil([&] { return countTasks() == nBaseline; }))
            << "threads left behind after failing allocation " << nNth;
        if (!bThrown) {
            // 3 queues of 256 nodes each and the members' objects: hundreds of points.
            EXPECT_GT(nNth, 768);
            break;
        }
        ASSERT_LT(nNth, 5000) << "the constructor never succeeded";
    }
}

TEST(qvThreadTeamAllocationTest, ConstructorFailureAtAnyAllocationLeavesNoMemberBehind)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    checkConstructorFailures<qvThreadTeam>();
}

TEST(qvJoinableThreadTeamAllocationTest, ConstructorFailureAtAnyAllocationLeavesNoMemberBehind)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    checkConstructorFailures<qvJoinableThreadTeam>();
}

// ---------------------------------------------------------------------------------------------

namespace {

qvAnyContainer countRun(const qvITC::ArgumentVector& arguments)
{
    ++*qvAnyCast<long>(arguments[0]);
    return qvAnyContainer();
}

qvAnyContainer nothing(const qvITC::ArgumentVector&)
{
    return qvAnyContainer();
}

} // namespace

// An asynchronous message costs its sender the queue node, the functor's clone and the argument
// vector's storage, nothing more: its task is built in the node and never copied, and its empty
// result, signal and outcome pointers allocate no reference counts. Once the loop has run a
// message, that node's memory comes back to the sender, so a sender that its loop keeps up with
// allocates no nodes at all.
TEST(qvITCAllocationTest, AsyncMessageAllocatesItsFunctorAndArgumentsAndReusesNodes)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    const unsigned long nThread = processor.getThreadID(id);
    processor.run(id);
    const qvITC::MessageFunctor message(&countRun);
    const qvITC::ArgumentVector arguments = qvITC::makeArguments(0L);
    // This thread's sender cache is made by its first send (once per thread); a message to a
    // thread without a scheduler is dropped before anything else is allocated.
    processor.getITC().sendAsyncMessage(message, arguments, nThread + 1);
    {
        CountAllocations counter;
        processor.getITC().sendAsyncMessage(message, arguments, nThread);
        EXPECT_EQ(3, counter.count());
    }
    // When a synchronous message returns, the loop has run every message queued before it and
    // passed their nodes' memory back. The synchronous message's own node may still be on its
    // way back (the loop recycles it after the call has released its sender), so while the
    // sender's nodes are only that one, the next message needs a node of its own: at most once.
    constexpr long ROUNDS = 100;
    long nNodesAllocated = 0;
    for (long n = 0; n < ROUNDS; ++n) {
        processor.getITC().sendSyncMessage(qvITC::MessageFunctor(&nothing),
                                           qvITC::ArgumentVector(0, false), nThread);
        CountAllocations counter;
        processor.getITC().sendAsyncMessage(message, arguments, nThread);
        ASSERT_GE(counter.count(), 2) << "message " << n;
        ASSERT_LE(counter.count(), 3) << "message " << n;
        nNodesAllocated += counter.count() - 2;
    }
    EXPECT_LE(nNodesAllocated, 1) << "a sender with two nodes needs no more";
    processor.getITC().sendSyncMessage(qvITC::MessageFunctor(&nothing),
                                       qvITC::ArgumentVector(0, false), nThread);
    EXPECT_EQ(1 + ROUNDS, *qvAnyCast<long>(arguments[0]));
    processor.shutdown(id);
}

// A burst of messages that the loop cannot keep up with leaves its nodes' memory behind. What of
// it stays held once the loop has caught up (by the idle loop, and by a sender that takes the
// handed-back memory into its cache) is bounded, whatever the size of the burst.
TEST(qvITCAllocationTest, MemoryHeldAfterABurstIsBounded)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    constexpr long BURST = 20000;
    // The scheduler keeps at most 256 blocks and a batch of 16 for the senders; a sender cache
    // entry, what it took. Anything of the order of the burst is a leak in all but name.
    constexpr long BOUND = 2 * (256 + 16) + 64;
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    const unsigned long nThread = processor.getThreadID(id);
    processor.run(id);
    auto drain = [&] {
        processor.getITC().sendSyncMessage(qvITC::MessageFunctor(&nothing),
                                           qvITC::ArgumentVector(0, false), nThread);
    };
    drain(); // this thread's sender cache and the loop's first node exist from here on
    const long nBefore = s_nLiveBlocks.load();

    qvTest::Gate release;
    processor.getITC().sendAsyncMessage(
        qvITC::MessageFunctor([&release](const qvITC::ArgumentVector&) {
            EXPECT_TRUE(release.waitFor());
            return qvAnyContainer();
        }),
        qvITC::ArgumentVector(0, false), nThread);
    const qvITC::MessageFunctor message(&nothing);
    const qvITC::ArgumentVector noArguments(0, false);
    for (long n = 0; n < BURST; ++n)
        processor.getITC().sendAsyncMessage(message, noArguments, nThread);
    release.open();
    drain();
    EXPECT_LE(s_nLiveBlocks.load() - nBefore, BOUND) << "held after the burst";

    // Another thread takes what the loop handed back, then ends: nothing beyond the bound
    // either way.
    std::thread([&] { drain(); }).join();
    drain();
    EXPECT_LE(s_nLiveBlocks.load() - nBefore, BOUND) << "held after another sender came";
    processor.shutdown(id);
}
