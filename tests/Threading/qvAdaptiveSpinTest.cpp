// Tests of the rule by which waits learn how long to poll before they sleep: exact counts of
// polls, whatever the machine.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "Platform/AdaptiveSpin.h"

namespace {

using qvPlatform::AdaptiveSpin;

// Waits once on a condition that turns true at its nReadyAt-th look (never for -1); returns
// how many looks the wait took, and whether it ended ready.
struct Wait
{
    long nLooks;
    bool bReady;
};

Wait waitOnce(AdaptiveSpin::Record& record, long nReadyAt)
{
    long nLooks = 0;
    const bool bReady = AdaptiveSpin::waitBriefly(record, [&] { return ++nLooks == nReadyAt; });
    return Wait{nLooks, bReady};
}

// Fails every wait until the budget is down to nothing; returns how many waits that took.
int failUntilNoPolling(AdaptiveSpin::Record& record)
{
    int nWaits = 0;
    while (record.nBudget != 0) {
        EXPECT_FALSE(waitOnce(record, -1).bReady);
        ++nWaits;
    }
    return nWaits;
}

} // namespace

TEST(qvAdaptiveSpinTest, ThreadThatHasNotWaitedPollsInFull)
{
    const AdaptiveSpin::Record fresh = AdaptiveSpin::Record::unpack(0);
    EXPECT_EQ(AdaptiveSpin::MAXIMUM_PAUSES, fresh.nBudget);
    EXPECT_EQ(0u, fresh.nProbeShift);
    EXPECT_EQ(0u, fresh.nSleepsSincePoll);

    AdaptiveSpin::Record record = fresh;
    // A partner that answers quickly keeps the budget; one that never does costs the whole poll
    // (plus the last look before the sleep) and halves it.
    EXPECT_TRUE(waitOnce(record, 10).bReady);
    EXPECT_EQ(AdaptiveSpin::MAXIMUM_PAUSES, record.nBudget);
    const Wait failed = waitOnce(record, -1);
    EXPECT_FALSE(failed.bReady);
    EXPECT_EQ(long(AdaptiveSpin::MAXIMUM_PAUSES) + 1, failed.nLooks);
    EXPECT_EQ(AdaptiveSpin::MAXIMUM_PAUSES / 2, record.nBudget);
}

TEST(qvAdaptiveSpinTest, BudgetFollowsWhatPollingEarns)
{
    AdaptiveSpin::Record record = AdaptiveSpin::Record::unpack(0);
    // Halving: a dozen failed waits in a row and the thread no longer polls at all.
    EXPECT_EQ(12, failUntilNoPolling(record));
    EXPECT_EQ(1, waitOnce(record, -1).nLooks); // one look, no polling

    // A success grows the budget to twice what it took, plus a little, and never above the
    // maximum; it never shrinks it.
    record.nBudget = 40;
    EXPECT_TRUE(waitOnce(record, 31).bReady); // ready after 30 pauses
    EXPECT_EQ(30u * 2 + 16, record.nBudget);
    EXPECT_TRUE(waitOnce(record, 2).bReady);
    EXPECT_EQ(30u * 2 + 16, record.nBudget);
}

TEST(qvAdaptiveSpinTest, ProbesComeLessOftenWhileTheyDoNotPayOff)
{
    AdaptiveSpin::Record record = AdaptiveSpin::Record::unpack(0);
    failUntilNoPolling(record);
    // Each probe that fails waits twice as many sleeps for the next, up to the last interval.
    std::uint32_t nInterval = AdaptiveSpin::FIRST_PROBE_INTERVAL;
    for (int nProbe = 0; nProbe < 10; ++nProbe) {
        for (std::uint32_t nSleep = 1; nSleep < nInterval; ++nSleep)
            ASSERT_EQ(1, waitOnce(record, -1).nLooks) << "probe " << nProbe << ", sleep " << nSleep;
        EXPECT_EQ(1, waitOnce(record, -1).nLooks); // the interval-th sleep schedules the probe
        EXPECT_EQ(AdaptiveSpin::MAXIMUM_PAUSES, record.nBudget);
        EXPECT_EQ(1, failUntilNoPolling(record)) << "a probe that fails stops polling at once";
        if (nInterval < AdaptiveSpin::LAST_PROBE_INTERVAL)
            nInterval *= 2;
    }
    EXPECT_EQ(AdaptiveSpin::LAST_PROBE_INTERVAL,
              AdaptiveSpin::FIRST_PROBE_INTERVAL << record.nProbeShift);

    // A probe that pays off brings polling back and the probes to their first interval.
    for (std::uint32_t nSleep = 0; nSleep < AdaptiveSpin::LAST_PROBE_INTERVAL; ++nSleep)
        waitOnce(record, -1);
    EXPECT_TRUE(waitOnce(record, 100).bReady);
    EXPECT_EQ(AdaptiveSpin::MAXIMUM_PAUSES, record.nBudget);
    EXPECT_EQ(0u, record.nProbeShift);
}

TEST(qvAdaptiveSpinTest, RecordSurvivesPackingAndIsEachThreadsOwn)
{
    const AdaptiveSpin::Record record{123, 6, AdaptiveSpin::LAST_PROBE_INTERVAL - 1};
    const AdaptiveSpin::Record copy = AdaptiveSpin::Record::unpack(record.pack());
    EXPECT_EQ(record.nBudget, copy.nBudget);
    EXPECT_EQ(record.nProbeShift, copy.nProbeShift);
    EXPECT_EQ(record.nSleepsSincePoll, copy.nSleepsSincePoll);

    std::atomic<std::uint32_t>* pMine = qvPlatform::pollRecord();
    ASSERT_NE(nullptr, pMine);
    std::atomic<std::uint32_t>* pOther = nullptr;
    std::uint32_t nOtherAtStart = 1;
    std::thread other([&] {
        pOther = qvPlatform::pollRecord();
        nOtherAtStart = pOther ? pOther->load() : 1;
    });
    other.join();
    EXPECT_NE(pMine, pOther);
    EXPECT_EQ(0u, nOtherAtStart);
}
