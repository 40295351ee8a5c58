// Tests of qvSynch::RCSignal: the signal follows the count reaching exactly zero.

#include <gtest/gtest.h>

#include "Threading/qvRCSignal.h"
#include "qvTestSupport.h"

namespace {
// Whether wait() returns at once (checked on another thread, so a failure does not hang).
bool isSignalled(qvSynch::RCSignal& signal)
{
    qvTest::AsyncCall waiter([&] { signal.wait(); });
    if (waiter.stillBlocked()) {
        signal.signal(); // release the waiter before it is joined
        EXPECT_TRUE(waiter.finishedWithin());
        signal.reset();
        return false;
    }
    return true;
}
} // namespace

TEST(qvRCSignalTest, LastUnrefSignalsAndReleasesWaiter)
{
    qvSynch::RCSignal signal(false, 2);
    qvTest::AsyncCall waiter([&] { signal.wait(); });
    signal.unref();
    EXPECT_TRUE(waiter.stillBlocked());
    signal.unref();
    EXPECT_TRUE(waiter.finishedWithin());
}

TEST(qvRCSignalTest, RefThenUnrefOfSameAmountSignals)
{
    qvSynch::RCSignal signal(false);
    signal.ref(3);
    signal.unref(3);
    EXPECT_TRUE(isSignalled(signal));
}

TEST(qvRCSignalTest, RefAfterZeroLeavesItSignalled)
{
    qvSynch::RCSignal signal(false);
    signal.ref();
    signal.unref();
    signal.ref();
    EXPECT_TRUE(isSignalled(signal));
}

TEST(qvRCSignalTest, UnrefPastZeroWrapsWithoutSignal)
{
    qvSynch::RCSignal signal(false);
    signal.unref();
    EXPECT_FALSE(isSignalled(signal));
    // The count is now 0xFFFFFFFF: taking that much off reaches exactly 0, which signals.
    signal.unref(0xFFFFFFFFu);
    EXPECT_TRUE(isSignalled(signal));
}

TEST(qvRCSignalTest, WaitAndResetConsumesTheZeroSignal)
{
    qvSynch::RCSignal signal(false, 1);
    signal.unref();
    signal.waitAndReset();
    EXPECT_FALSE(isSignalled(signal));
}

TEST(qvRCSignalTest, ConcurrentHoldersSignalOnce)
{
    constexpr unsigned HOLDERS = 8;
    qvSynch::RCSignal signal(false, HOLDERS);
    std::vector<std::unique_ptr<qvTest::AsyncCall>> holders;
    for (unsigned n = 0; n < HOLDERS; ++n)
        holders.push_back(std::make_unique<qvTest::AsyncCall>([&] {
            for (int nRound = 0; nRound < 1000; ++nRound) {
                signal.ref();
                signal.unref();
            }
            signal.unref();
        }));
    qvTest::AsyncCall waiter([&] { signal.wait(); });
    EXPECT_TRUE(waiter.finishedWithin());
    for (auto& pHolder : holders)
        EXPECT_TRUE(pHolder->finishedWithin());
}
