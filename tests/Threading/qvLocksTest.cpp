#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Threading/qvLocks.h"
#include "qvTestSupport.h"

// The three real locks share one contract; each test runs against all of them.
template <class LockType>
class qvLockContractTest : public ::testing::Test
{
protected:
    LockType m_Lock;
};

// A spin lock that really spins before it sleeps, so the contended path with spinning runs too.
class SpinningLock : public qvSynch::SpinLock
{
public:
    SpinningLock() : qvSynch::SpinLock(4000) {}
};

typedef ::testing::Types<qvSynch::LWLock, qvSynch::SpinLock, SpinningLock, qvSynch::Lock> RealLocks;
TYPED_TEST_SUITE(qvLockContractTest, RealLocks);

TYPED_TEST(qvLockContractTest, OwnerReentersAndMustReleaseEachTime)
{
    this->m_Lock.acquire();
    this->m_Lock.acquire();
    EXPECT_TRUE(this->m_Lock.tryAcquire());
    this->m_Lock.release();
    this->m_Lock.release();

    // Still held once: another thread cannot take it.
    bool bOtherGot = true;
    std::thread([&] { bOtherGot = this->m_Lock.tryAcquire(); }).join();
    EXPECT_FALSE(bOtherGot);

    this->m_Lock.release();
    std::thread([&] {
        bOtherGot = this->m_Lock.tryAcquire();
        if (bOtherGot)
            this->m_Lock.release();
    }).join();
    EXPECT_TRUE(bOtherGot);
}

TYPED_TEST(qvLockContractTest, AcquireBlocksUntilTheOwnerReleases)
{
    this->m_Lock.acquire();
    std::atomic<bool> bInside{false};
    qvTest::AsyncCall waiter([&] {
        this->m_Lock.acquire();
        bInside = true;
        this->m_Lock.release();
    });
    EXPECT_TRUE(waiter.stillBlocked());
    EXPECT_FALSE(bInside);
    this->m_Lock.release();
    ASSERT_TRUE(waiter.finishedWithin()) << "acquire() was not released by release()";
    EXPECT_TRUE(bInside);
}

// A read-modify-write split by yields loses updates unless the lock excludes the others.
TYPED_TEST(qvLockContractTest, ExcludesOtherThreads)
{
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 2000;
    int nShared = 0;
    std::vector<std::thread> threads;
    for (int n = 0; n < THREADS; ++n) {
        threads.emplace_back([&] {
            for (int i = 0; i < ROUNDS; ++i) {
                this->m_Lock.acquire();
                const int nRead = nShared;
                if (i % 64 == 0)
                    std::this_thread::yield();
                nShared = nRead + 1;
                this->m_Lock.release();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(THREADS * ROUNDS, nShared);
}

TEST(qvNullLockTest, DoesNothingInAnyOrder)
{
    qvSynch::NullLock lock;
    lock.release();
    lock.acquire();
    lock.acquire();
    EXPECT_TRUE(lock.tryAcquire());
    lock.release();
}

TEST(qvSpinLockTest, DefaultSpinCountIsZero)
{
    EXPECT_EQ(0, qvSynch::SpinLock().getSpinCount());
    EXPECT_EQ(4000, qvSynch::SpinLock(4000).getSpinCount());
}

TEST(qvLockTest, TryAcquireFromAnotherThreadFailsWhileHeld)
{
    qvSynch::Lock lock;
    lock.acquire();
    qvTest::AsyncCall other([&] { EXPECT_FALSE(lock.tryAcquire()); });
    ASSERT_TRUE(other.finishedWithin()) << "tryAcquire() blocked";
    lock.release();
}

// An owner that ends without releasing hands the mutex on: the next acquirer holds it, and it
// stays a working lock for everyone after.
TEST(qvLockTest, AbandonedByADeadOwnerPassesToTheNextAcquirer)
{
    qvSynch::Lock lock;
    std::thread([&] { lock.acquire(); }).join();
    qvTest::AsyncCall next([&] {
        lock.acquire();
        lock.release();
    });
    ASSERT_TRUE(next.finishedWithin()) << "acquire() of an abandoned Lock did not return";

    std::thread([&] {
        lock.acquire();
        lock.acquire();
    }).join();
    EXPECT_TRUE(lock.tryAcquire()); // abandoned: tryAcquire succeeds and now holds it
    bool bOtherGot = true;
    std::thread([&] { bOtherGot = lock.tryAcquire(); }).join();
    EXPECT_FALSE(bOtherGot);
    lock.release();
}

TEST(qvLockTest, ReleaseByANonOwnerIsIgnored)
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer reports every unlock by a thread that does not hold the mutex, which is
    // exactly the misuse this test commits on purpose.
    GTEST_SKIP() << "deliberate unlock by a non-owner";
#endif
    qvSynch::Lock lock;
    lock.acquire();
    std::thread([&] { lock.release(); }).join();
    bool bOtherGot = true;
    std::thread([&] { bOtherGot = lock.tryAcquire(); }).join();
    EXPECT_FALSE(bOtherGot);
    lock.release();
}
