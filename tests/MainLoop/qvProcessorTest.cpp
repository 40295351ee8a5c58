#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

#include "MainLoop/qvProcessor.h"
#include "Threading/qvThread.h"
#include "qvTestSupport.h"

using qvITC::ArgumentVector;
using qvITC::MessageFunctor;

namespace {

const ArgumentVector NO_ARGUMENTS(0, false);

MessageFunctor returning(const qvAnyContainer& value)
{
    return MessageFunctor([value](const ArgumentVector&) { return value; });
}

// Runs fn and expects std::invalid_argument "MainLoop not found!".
template <class Fn>
void expectMainLoopNotFound(Fn fn)
{
    try {
        fn();
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("MainLoop not found!", e.what());
    }
}

} // namespace

TEST(qvProcessorTest, IdsStartAtTwoAndUnknownIdsAreRefused)
{
    qvProcessor processor;
    EXPECT_EQ(2u, processor.createMainLoop());
    EXPECT_EQ(3u, processor.createMainLoop());
    EXPECT_EQ(qvTest::NO_THREAD, processor.getThreadID(qvProcessor::PROCESSOR_MAINLOOP_ID));
    EXPECT_NE(0u, processor.getThreadID(2));
    EXPECT_NE(processor.getThreadID(2), qvThread::currentThreadId());
    EXPECT_EQ(&processor.getMainLoop(qvProcessor::PROCESSOR_MAINLOOP_ID),
              &processor.getMainLoop(0));
    expectMainLoopNotFound([&] { processor.getMainLoop(1); });
    expectMainLoopNotFound([&] { processor.shutdown(qvProcessor::PROCESSOR_MAINLOOP_ID); });
    processor.run(qvProcessor::PROCESSOR_MAINLOOP_ID); // ignored
    processor.suspend(99);
    processor.resume(99);
}

TEST(qvProcessorTest, LoopRunsOnTheThreadItsIdNames)
{
    std::promise<unsigned long> seen; // outlives the processor and so the loop's thread
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.getMainLoop(id).setEntry(
        qvVoidFunctor([&seen] { seen.set_value(qvThread::currentThreadId()); }));
    processor.run(id);
    auto future = seen.get_future();
    ASSERT_EQ(std::future_status::ready, future.wait_for(qvTest::TIMEOUT));
    EXPECT_EQ(processor.getThreadID(id), future.get());
}

TEST(qvProcessorTest, ShutdownOfASleepingLoopRunsExitOnceAndForgetsIt)
{
    std::atomic<int> nEntries{0};
    std::atomic<int> nExits{0};
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.getMainLoop(id).setEntry(qvVoidFunctor([&] { ++nEntries; }));
    processor.getMainLoop(id).setExit(qvVoidFunctor([&] { ++nExits; }));
    const unsigned long nThread = processor.getThreadID(id);
    processor.run(id);
    ASSERT_TRUE(qvTest::waitUntil([&] { return nEntries == 1; }));
    processor.shutdown(id);
    EXPECT_EQ(1, nExits.load());
    EXPECT_EQ(1, nEntries.load());
    expectMainLoopNotFound([&] { processor.getMainLoop(id); });
    expectMainLoopNotFound([&] { processor.shutdown(id); });
    EXPECT_EQ(qvTest::NO_THREAD, processor.getThreadID(id));
    EXPECT_FALSE(processor.getITC().hasInvokationTaskScheduler(nThread));
}

TEST(qvProcessorTest, SecondRunDoesNotStartTheLoopTwice)
{
    std::atomic<int> nEntries{0};
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.getMainLoop(id).setEntry(qvVoidFunctor([&] { ++nEntries; }));
    processor.run(id);
    processor.run(id);
    // A message round trip proves the loop turns, with its entry called once.
    EXPECT_TRUE(
        processor.getITC()
            .sendSyncMessage(returning(qvMakeAny(1)), NO_ARGUMENTS, processor.getThreadID(id))
            .getImpl());
    EXPECT_EQ(1, nEntries.load());
}

TEST(qvProcessorTest, SyncMessageReturnsTheFunctorsRecord)
{
    const qvAnyContainer value = qvMakeAny(std::string("snapshot"));
    std::atomic<unsigned long> nRanOn{0};
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.run(id);
    const qvAnyContainer result = processor.getITC().sendSyncMessage(
        MessageFunctor([&](const ArgumentVector& arguments) {
            nRanOn = qvThread::currentThreadId();
            return arguments[0];
        }),
        [&] {
            ArgumentVector arguments(1, true);
            arguments[0] = value;
            return arguments;
        }(),
        processor.getThreadID(id));
    EXPECT_TRUE(result == value);
    EXPECT_EQ(processor.getThreadID(id), nRanOn.load());
}

TEST(qvProcessorTest, AsyncMessagesToABusyLoopRunInOrderOnePerTurn)
{
    std::atomic<int> nTurn{0};
    std::vector<std::pair<int, int>> runs; // (message, turn); written on the loop's thread only
    std::atomic<int> nRuns{0};
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    qvMainLoop& loop = processor.getMainLoop(id);
    loop.getFunctionPipeLine().addFunction(qvVoidFunctor([&] { ++nTurn; }));
    for (int n = 1; n <= 3; ++n) {
        processor.getITC().sendAsyncMessage(MessageFunctor([&, n](const ArgumentVector&) {
                                                runs.emplace_back(n, nTurn.load());
                                                ++nRuns;
                                                return qvAnyContainer();
                                            }),
                                            NO_ARGUMENTS, processor.getThreadID(id));
    }
    processor.run(id);
    ASSERT_TRUE(qvTest::waitUntil([&] { return nRuns == 3; }));
    processor.shutdown(id);
    ASSERT_EQ(3u, runs.size());
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(n + 1, runs[n].first);
    EXPECT_LT(runs[0].second, runs[1].second);
    EXPECT_LT(runs[1].second, runs[2].second);
}

// Many tasks queued to a sleeping loop at once: the loop keeps turning until all have run, so
// a synchronous sender queued behind them is released without any further wake-up.
TEST(qvProcessorTest, QueuedTasksNeverWaitForAnUnrelatedWakeUp)
{
    std::atomic<int> nRuns{0};
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.run(id);
    const unsigned long nThread = processor.getThreadID(id);
    qvTest::AsyncCall sender([&] {
        for (int n = 0; n < 200; ++n) {
            processor.getITC().sendAsyncMessage(MessageFunctor([&](const ArgumentVector&) {
                                                    ++nRuns;
                                                    return qvAnyContainer();
                                                }),
                                                NO_ARGUMENTS, nThread);
        }
        processor.getITC().sendSyncMessage(returning(qvAnyContainer()), NO_ARGUMENTS, nThread);
    });
    ASSERT_TRUE(sender.finishedWithin()) << "queued tasks waited for a wake-up that never came";
    EXPECT_EQ(200, nRuns.load());
}

// A task queued while the pipeline still holds a function gets no wake-up (the loop keeps
// turning anyway); if the pipeline is emptied before the loop next looks at it, the loop must
// not go to sleep with the task in its queue. Forced here: the first message runs after the
// hook has looked at the queue, has another thread queue the second, then flushes the pipeline.
TEST(qvProcessorTest, TaskQueuedJustBeforeThePipeLineEmptiesIsNotLeftAsleep)
{
    qvTest::Gate secondRan;
    std::atomic<bool> bSent{false};
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    qvMainLoop& loop = processor.getMainLoop(id);
    qvITC::Controller& itc = processor.getITC();
    const unsigned long nThread = processor.getThreadID(id);
    loop.getFunctionPipeLine().addFunction(qvVoidFunctor([] {}));
    const MessageFunctor second([&](const ArgumentVector&) {
        secondRan.open();
        return qvAnyContainer();
    });
    itc.sendAsyncMessage(MessageFunctor([&](const ArgumentVector&) {
                             qvTest::AsyncCall sender(
                                 [&] { itc.sendAsyncMessage(second, NO_ARGUMENTS, nThread); });
                             bSent = sender.finishedWithin();
                             loop.getFunctionPipeLine().flush();
                             return qvAnyContainer();
                         }),
                         NO_ARGUMENTS, nThread);
    processor.run(id);
    EXPECT_TRUE(secondRan.waitFor()) << "the loop went to sleep with a task in its queue";
    EXPECT_TRUE(bSent);
    processor.shutdown(id);
}

TEST(qvProcessorTest, LoopThatEndedByItselfTakesNoMoreMessages)
{
    qvTest::Gate ended;
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    qvMainLoop& loop = processor.getMainLoop(id);
    // A busy loop (it never sleeps) whose condition ends it after its first turn.
    loop.getFunctionPipeLine().addFunction(qvVoidFunctor([] {}));
    loop.setLoopCondition(qvBoolFunctor([] { return false; }));
    loop.setExit(qvVoidFunctor([&] { ended.open(); }));
    const unsigned long nThread = processor.getThreadID(id);
    processor.run(id);
    ASSERT_TRUE(ended.waitFor());
    ASSERT_TRUE(qvTest::waitUntil([&] {
        try {
            processor.getITC().sendSyncMessage(returning(qvAnyContainer()), NO_ARGUMENTS, nThread);
            return false;
        } catch (const std::runtime_error& e) {
            return std::string("ITC message was discarded before it ran.") == e.what();
        }
    })) << "a sender would have waited for a loop that has ended";
    processor.shutdown(id);
}

TEST(qvProcessorTest, ThrowingMessageEndsTheLoopAndReachesTheSender)
{
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.run(id);
    EXPECT_THROW(processor.getITC().sendSyncMessage(
                     MessageFunctor([](const ArgumentVector&) -> qvAnyContainer {
                         throw std::domain_error("no");
                     }),
                     NO_ARGUMENTS, processor.getThreadID(id)),
                 std::domain_error);
    processor.shutdown(id); // the loop's thread has ended: shutdown joins it at once
}

TEST(qvProcessorTest, DestructionEndsRunningNeverRunAndSuspendedLoops)
{
    std::atomic<int> nNeverRunEntries{0};
    std::atomic<int> nExits{0};
    qvTest::AsyncCall destroy([&] {
        qvProcessor processor;
        const unsigned long running = processor.createMainLoop();
        const unsigned long neverRun = processor.createMainLoop();
        const unsigned long suspended = processor.createMainLoop();
        processor.getMainLoop(neverRun).setEntry(qvVoidFunctor([&] { ++nNeverRunEntries; }));
        for (unsigned long id : {running, suspended})
            processor.getMainLoop(id).setExit(qvVoidFunctor([&] { ++nExits; }));
        processor.run(running);
        processor.run(suspended);
        processor.getITC().sendSyncMessage(returning(qvAnyContainer()), NO_ARGUMENTS,
                                           processor.getThreadID(suspended));
        processor.suspend(suspended);
        processor.suspend(suspended);
    });
    ASSERT_TRUE(destroy.finishedWithin()) << "the processor's destructor waited for ever";
    EXPECT_EQ(0, nNeverRunEntries.load());
    EXPECT_EQ(2, nExits.load());
}

// A loop suspended while it holds something that another loop needs in order to end (here
// something its pipeline function gives up only when let go, as a loop stopped inside the
// allocator holds the allocator's lock) is let go before the destructor ends the other loop,
// whatever their ids.
TEST(qvProcessorTest, DestructionResumesEveryLoopBeforeEndingAny)
{
    qvTest::Gate holding;
    qvTest::Gate letGo;
    qvTest::Gate givenUp;
    std::atomic<bool> bFirstGotIt{false};
    qvTest::AsyncCall destroy([&] {
        qvProcessor processor;
        const unsigned long first = processor.createMainLoop();
        const unsigned long second = processor.createMainLoop();
        processor.getMainLoop(first).setExit(
            qvVoidFunctor([&] { bFirstGotIt = givenUp.waitFor(); }));
        bool bHeldOnce = false;
        processor.getMainLoop(second).getFunctionPipeLine().addFunction(qvVoidFunctor([&] {
            if (bHeldOnce)
                return;
            bHeldOnce = true;
            holding.open();
            letGo.waitFor();
            givenUp.open();
        }));
        processor.run(first);
        processor.run(second);
        ASSERT_TRUE(holding.waitFor());
        // Asleep in the kernel, not inside the threads library's own locks (which a suspended
        // thread would keep, on Windows, from the open() below).
        const qvTest::ThreadId nSecond = processor.getThreadID(second);
        ASSERT_TRUE(qvTest::waitUntil([&] { return qvTest::isParkedInKernel(nSecond); }));
        processor.suspend(second);
        letGo.open(); // seen by the second loop only once it is resumed
    });
    ASSERT_TRUE(destroy.finishedWithin()) << "the processor's destructor waited for ever";
    EXPECT_TRUE(bFirstGotIt) << "the first loop was ended while the second was suspended";
}

TEST(qvProcessorTest, OwnLoopRunsOnTheCallerAndShutsDownFromAnotherThread)
{
    std::atomic<unsigned long> nRanOn{0};
    qvProcessor processor;
    processor.getMainLoop(qvProcessor::PROCESSOR_MAINLOOP_ID).setEntry(qvVoidFunctor([&] {
        nRanOn = qvThread::currentThreadId();
    }));
    qvTest::AsyncCall stopper([&] {
        ASSERT_TRUE(qvTest::waitUntil([&] { return nRanOn != 0; }));
        processor.shutdown();
    });
    processor.run();
    EXPECT_EQ(qvThread::currentThreadId(), nRanOn.load());
    EXPECT_TRUE(stopper.finishedWithin());
}
