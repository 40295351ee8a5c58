#include <gtest/gtest.h>

#include "Threading/qvSignal.h"

TEST(qvSignalTest, SignalledSignalLetsWaitThrough)
{
    qvSynch::Signal signal(true);
    signal.wait();
    signal.waitAndReset();
    SUCCEED();
}
