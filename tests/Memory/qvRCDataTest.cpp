#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Memory/qvRCData.h"

namespace {

// Counts its own destruction, so tests see exactly when (and how often) unref() destroyed it.
class CountedData : public qvRCData
{
public:
    explicit CountedData(int* pDestroyed) : m_pDestroyed(pDestroyed) {}

protected:
    ~CountedData() override { ++*m_pDestroyed; }

private:
    int* m_pDestroyed;
};

} // namespace

TEST(qvRCDataTest, NewObjectHasCountZero)
{
    int nDestroyed = 0;
    CountedData* pData = new CountedData(&nDestroyed);
    EXPECT_EQ(0u, pData->getRefCount());
    pData->ref();
    pData->unref();
    EXPECT_EQ(1, nDestroyed);
}

TEST(qvRCDataTest, LastUnrefDestroysThroughDerivedDestructor)
{
    int nDestroyed = 0;
    CountedData* pData = new CountedData(&nDestroyed);
    pData->ref();
    pData->ref();
    pData->unref();
    EXPECT_EQ(1u, pData->getRefCount());
    EXPECT_EQ(0, nDestroyed);
    pData->unref();
    EXPECT_EQ(1, nDestroyed);
}

TEST(qvRCDataTest, UnrefNoDeleteNeverDestroys)
{
    int nDestroyed = 0;
    CountedData* pData = new CountedData(&nDestroyed);
    pData->ref();
    pData->unrefNoDelete();
    EXPECT_EQ(0u, pData->getRefCount());
    EXPECT_EQ(0, nDestroyed);
    pData->ref();
    pData->unref();
    EXPECT_EQ(1, nDestroyed);
}

TEST(qvRCDataDeathTest, UnrefAtZeroNamesThePrecondition)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the assertion is compiled out (NDEBUG); qvNoAssertionsTests "
                    "checks these calls without it";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            int nDestroyed = 0;
            (new CountedData(&nDestroyed))->unref();
        },
        "0 < m_nRefCount, file include/Memory/qvRCData.h");
    EXPECT_DEATH(
        {
            int nDestroyed = 0;
            CountedData* pData = new CountedData(&nDestroyed);
            pData->unrefNoDelete();
        },
        "0 < m_nRefCount");
}

// Holders on several threads share one object: exactly one of them destroys it, and only after
// every other release. With a plain count two releases can read the same value and the object
// is destroyed twice or never.
TEST(qvRCDataTest, CountIsAtomicAcrossThreads)
{
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 2000;
    for (int nRound = 0; nRound < ROUNDS / 100; ++nRound) {
        int nDestroyed = 0;
        CountedData* pData = new CountedData(&nDestroyed);
        pData->ref(); // the test's own reference
        std::atomic<bool> bGo{false};
        std::vector<std::thread> threads;
        for (int n = 0; n < THREADS; ++n) {
            threads.emplace_back([&] {
                while (!bGo.load())
                    std::this_thread::yield();
                for (int i = 0; i < 100; ++i) {
                    pData->ref();
                    pData->unref();
                }
            });
        }
        bGo = true;
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(1u, pData->getRefCount());
        EXPECT_EQ(0, nDestroyed);
        pData->unref();
        EXPECT_EQ(1, nDestroyed);
    }
}
