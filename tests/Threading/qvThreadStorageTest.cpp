// Tests of the platform's per-thread slot, qvPlatform::ThreadStorage.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Platform/ThreadStorage.h"
#include "qvTestSupport.h"

namespace {

int s_nFirstValue = 0;
int s_nLateValue = 0;
std::atomic<int> s_nFirstReleased{0};
std::atomic<int> s_nLateReleased{0};

void countRelease(void* pValue)
{
    ++(pValue == &s_nLateValue ? s_nLateReleased : s_nFirstReleased);
}

qvPlatform::ThreadStorage& countingSlot()
{
    static qvPlatform::ThreadStorage s_Slot(&countRelease);
    return s_Slot;
}

// What code on a thread's exit path found in the counting slot and could keep there.
struct LateUse
{
    bool bFoundReleased = false;
    bool bKept = false;
    qvTest::Gate done;
};

// A slot made after the counting slot: both platforms release a thread's slots in the order
// they were made, so its release stands for code that runs on the exit path after the
// counting slot's release (as the thread_local destructors of a thread made with CreateThread do
// on Windows).
void useLate(void* pValue)
{
    LateUse* pUse = static_cast<LateUse*>(pValue);
    pUse->bFoundReleased = countingSlot().get() != nullptr && s_nFirstReleased.load() != 0;
    pUse->bKept = countingSlot().set(&s_nLateValue);
    pUse->done.open();
}

qvPlatform::ThreadStorage& lateSlot()
{
    static qvPlatform::ThreadStorage s_Slot(&useLate);
    return s_Slot;
}

} // namespace

// A value set on a thread's exit path after the slot's release would never be released.
TEST(qvThreadStorageTest, SetOnTheExitPathAfterTheReleaseKeepsNothing)
{
    countingSlot();
    lateSlot();
    LateUse use;
    std::thread thread([&use] {
        EXPECT_TRUE(lateSlot().set(&use));
        EXPECT_TRUE(countingSlot().set(&s_nFirstValue));
        EXPECT_EQ(&s_nFirstValue, countingSlot().get());
    });
    ASSERT_TRUE(use.done.waitFor());
    thread.join();
    EXPECT_FALSE(use.bFoundReleased) << "a released value is still there";
    // Whichever value the slot held last is released once, as the thread ends.
    std::atomic<int>& nLastReleased = use.bKept ? s_nLateReleased : s_nFirstReleased;
    EXPECT_TRUE(qvTest::waitUntil([&] { return nLastReleased.load() != 0; }))
        << "the slot took a value after its release";
    EXPECT_EQ(1, nLastReleased.load());
}
