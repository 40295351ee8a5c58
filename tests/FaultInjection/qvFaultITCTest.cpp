// Main loops and inter-thread messages under faults: allocation failures around
// sendAsyncMessage, sendSyncMessage and createMainLoop (on the caller's thread and on the loop's
// own thread), and loops whose functors throw while messages wait for them.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "MainLoop/qvProcessor.h"
#include "Threading/qvThread.h"
#include "qvFaultAllocator.h"
#include "qvTestSupport.h"

using qvITC::ArgumentVector;
using qvITC::MessageFunctor;

namespace {

const std::string DISCARDED = "ITC message was discarded before it ran.";

// Waits until the blocks live before a piece of work are all that is live again (threads that
// ended may free their shared state a moment after they were joined or let go).
bool noBlocksLeftAbove(long nBaseline)
{
    return qvTest::waitUntil([nBaseline] { return qvFault::liveBlocks() <= nBaseline; });
}

ArgumentVector noArguments()
{
    return ArgumentVector(0, false);
}

// A message that counts its runs in *pRuns and returns nValue.
MessageFunctor countingMessage(std::atomic<int>* pRuns, int nValue)
{
    return MessageFunctor([pRuns, nValue](const ArgumentVector&) {
        ++*pRuns;
        return qvMakeAny(nValue);
    });
}

// Makes sure the loop on nThread has run everything queued before: a synchronous message runs
// after every message queued earlier by this thread.
void flush(qvProcessor& processor, unsigned long nThread)
{
    std::atomic<int> nRuns{0};
    const qvAnyContainer result =
        processor.getITC().sendSyncMessage(countingMessage(&nRuns, -1), noArguments(), nThread);
    ASSERT_EQ(1, nRuns.load());
}

// One processor with one running loop, warmed up so that the library's lazily made statics
// do not count as leaks. Three calls also leave this thread holding the node memory that a
// sender keeps for its next message (the loop hands a run message's node back at its next
// take; the sender picks it up when it queues).
class qvFaultLoopTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Every test of this fixture fails allocations of the library (and on Windows the
        // program's count of live blocks misses what the library's DLL frees).
        QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
        {
            qvProcessor warmUp;
            const unsigned long id = warmUp.createMainLoop();
            warmUp.run(id);
            for (int n = 0; n < 3; ++n)
                flush(warmUp, warmUp.getThreadID(id));
        }
        m_nBaseline = qvFault::liveBlocks();
        m_upProcessor = std::make_unique<qvProcessor>();
        m_nLoop = m_upProcessor->createMainLoop();
        m_upProcessor->run(m_nLoop);
        m_nThread = m_upProcessor->getThreadID(m_nLoop);
    }

    void TearDown() override
    {
        if (IsSkipped())
            return;
        m_upProcessor.reset();
        EXPECT_TRUE(noBlocksLeftAbove(m_nBaseline))
            << qvFault::liveBlocks() - m_nBaseline << " blocks leaked";
    }

    long m_nBaseline = 0;
    std::unique_ptr<qvProcessor> m_upProcessor;
    unsigned long m_nLoop = 0;
    unsigned long m_nThread = 0;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Allocation failures on the sender's thread

TEST_F(qvFaultLoopTest, SendAsyncMessageUnderAllocationFailureQueuesOnceOrNotAtAll)
{
    // The test's own bookkeeping is made ready outside the armed call.
    std::vector<std::unique_ptr<std::atomic<int>>> runs;
    std::vector<int> expected;
    runs.push_back(std::make_unique<std::atomic<int>>(0));
    expected.push_back(0);
    const auto result = qvFault::sweepAllocations(
        [&] {
            m_upProcessor->getITC().sendAsyncMessage(countingMessage(runs.back().get(), 1),
                                                     noArguments(), m_nThread);
            expected.back() = 1;
        },
        [&](bool) {
            flush(*m_upProcessor, m_nThread);
            for (std::size_t n = 0; n < runs.size(); ++n)
                ASSERT_EQ(expected[n], runs[n]->load()) << "message " << n;
            runs.push_back(std::make_unique<std::atomic<int>>(0));
            expected.push_back(0);
        });
    EXPECT_GT(result.nFailures, 0u);
    EXPECT_LT(result.nSteps, 2000u);
}

TEST_F(qvFaultLoopTest, SendSyncMessageUnderAllocationFailureRunsOnceOrNotAtAll)
{
    std::atomic<int> nRuns{0};
    int nExpectedRuns = 0;
    qvAnyContainer answer;
    const auto result = qvFault::sweepAllocations(
        [&] {
            answer = m_upProcessor->getITC().sendSyncMessage(countingMessage(&nRuns, 42),
                                                             noArguments(), m_nThread);
            ++nExpectedRuns;
        },
        [&](bool bThrew) {
            flush(*m_upProcessor, m_nThread);
            ASSERT_EQ(nExpectedRuns, nRuns.load());
            if (!bThrew) {
                ASSERT_NE(nullptr, qvAnyCast<int>(answer));
                EXPECT_EQ(42, *qvAnyCast<int>(answer));
            }
            answer = qvAnyContainer();
        });
    EXPECT_GT(result.nFailures, 0u);
    EXPECT_LT(result.nSteps, 2000u);
}

TEST_F(qvFaultLoopTest, DirectSyncMessageUnderAllocationFailureRunsOnceOrNotAtAll)
{
    // A thread without a scheduler: the call runs on the caller.
    std::atomic<int> nRuns{0};
    int nExpectedRuns = 0;
    const auto result = qvFault::sweepAllocations(
        [&] {
            const qvAnyContainer answer = m_upProcessor->getITC().sendSyncMessage(
                countingMessage(&nRuns, 7), noArguments(), qvTest::NO_THREAD - 1);
            ++nExpectedRuns;
            ASSERT_NE(nullptr, qvAnyCast<int>(answer));
        },
        [&](bool) {
            // The functor itself allocates its result: a failure there follows its run.
            EXPECT_LE(nExpectedRuns, nRuns.load());
            nExpectedRuns = nRuns.load();
        });
    EXPECT_GT(result.nFailures, 0u);
}

TEST_F(qvFaultLoopTest, CreateMainLoopUnderAllocationFailureAddsALoopOrNothing)
{
    const int nThreadsBefore = qvTest::countThreads();
    unsigned long nNextId = m_nLoop + 1;
    const auto result = qvFault::sweepAllocations(
        [&] {
            const unsigned long id = m_upProcessor->createMainLoop();
            ASSERT_EQ(nNextId, id);
        },
        [&](bool bThrew) {
            if (bThrew) {
                // Nothing of the attempt is left: no loop, no id used up, no thread.
                EXPECT_EQ(qvTest::NO_THREAD, m_upProcessor->getThreadID(nNextId));
                EXPECT_THROW(m_upProcessor->getMainLoop(nNextId), std::invalid_argument);
                EXPECT_TRUE(qvTest::waitUntil([&] {
                    return qvTest::countThreads() == nThreadsBefore;
                })) << qvTest::countThreads() - nThreadsBefore
                    << " threads left behind";
                return;
            }
            // The new loop works: it runs and takes messages; then it goes again.
            m_upProcessor->run(nNextId);
            flush(*m_upProcessor, m_upProcessor->getThreadID(nNextId));
            m_upProcessor->shutdown(nNextId);
            ++nNextId;
        });
    EXPECT_GT(result.nFailures, 0u);
    // The first loop is still served.
    flush(*m_upProcessor, m_nThread);
}

// ---------------------------------------------------------------------------------------------
// Allocation failures on the loop's own thread

namespace {

// The state one step of the loop-thread sweep shares with the loop.
struct LoopSweepStep
{
    static constexpr int ASYNC = 4;
    static constexpr int SYNC = 2;
    unsigned int nFailAt = 0;
    std::atomic<int> asyncRuns[ASYNC] = {};
    std::atomic<int> syncRuns[SYNC] = {};
};

} // namespace

// Every allocation the loop's thread makes while it runs queued messages (copies of the tasks,
// the functors' results) fails in turn. The loop may end with the failure (run() catches
// nothing), but no message runs twice, the asynchronous ones run in order, and every waiting
// sender is released: with its result, with the functor's exception, or with the discard error.
TEST(qvFaultLoopThreadTest, AllocationFailureOnTheLoopThreadReleasesEverySender)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    bool bDone = false;
    for (unsigned int nFailAt = 1; !bDone && nFailAt < 200; ++nFailAt) {
        SCOPED_TRACE("failing allocation " + std::to_string(nFailAt) + " of the loop's thread");
        LoopSweepStep step;
        step.nFailAt = nFailAt;
        qvProcessor processor;
        const unsigned long id = processor.createMainLoop();
        const unsigned long nThread = processor.getThreadID(id);
        processor.getMainLoop(id).setEntry(
            qvVoidFunctor([&step] { qvFault::armAllocationFailure(step.nFailAt); }));
        for (int n = 0; n < LoopSweepStep::ASYNC; ++n)
            processor.getITC().sendAsyncMessage(countingMessage(&step.asyncRuns[n], n),
                                                noArguments(), nThread);

        // Synchronous senders, queued behind the asynchronous messages before the loop runs.
        std::atomic<int> outcomes[LoopSweepStep::SYNC] = {}; // 1 result, 2 threw, 3 discarded
        std::atomic<qvTest::ThreadId> tids[LoopSweepStep::SYNC] = {};
        std::vector<std::unique_ptr<qvTest::AsyncCall>> senders;
        for (int n = 0; n < LoopSweepStep::SYNC; ++n) {
            senders.push_back(std::make_unique<qvTest::AsyncCall>([&, n] {
                tids[n] = qvTest::currentTid();
                try {
                    processor.getITC().sendSyncMessage(countingMessage(&step.syncRuns[n], n),
                                                       noArguments(), nThread);
                    outcomes[n] = 1;
                } catch (const std::bad_alloc&) {
                    outcomes[n] = 2;
                } catch (const std::runtime_error& error) {
                    outcomes[n] = error.what() == DISCARDED ? 3 : 4;
                }
            }));
            ASSERT_TRUE(qvTest::waitUntil(
                [&] { return tids[n] != 0 && qvTest::isParkedInKernel(tids[n]); }));
        }
        processor.run(id);

        for (auto& upSender : senders)
            ASSERT_TRUE(upSender->finishedWithin()) << "a sender was never released";
        for (int n = 0; n < LoopSweepStep::SYNC; ++n) {
            EXPECT_NE(4, outcomes[n].load());
            EXPECT_EQ(outcomes[n] == 3 ? 0 : 1, step.syncRuns[n].load()) << "sender " << n;
        }
        bool bPrefix = true;
        for (int n = 0; n < LoopSweepStep::ASYNC; ++n) {
            EXPECT_LE(step.asyncRuns[n].load(), 1);
            if (step.asyncRuns[n] == 0)
                bPrefix = false;
            else
                EXPECT_TRUE(bPrefix) << "asynchronous message " << n << " ran out of order";
        }

        // Still running? Then ask the loop's thread how far it counted: fewer allocations than
        // nFailAt means every allocation of the run has failed once.
        try {
            const qvAnyContainer counted =
                processor.getITC().sendSyncMessage(MessageFunctor([](const ArgumentVector&) {
                                                       const unsigned int nCounted =
                                                           qvFault::disarm();
                                                       return qvMakeAny(nCounted);
                                                   }),
                                                   noArguments(), nThread);
            bDone = *qvAnyCast<unsigned int>(counted) < nFailAt;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(DISCARDED, error.what()); // the loop has ended
        }
        processor.shutdown(id);
    }
    EXPECT_TRUE(bDone);
}

// ---------------------------------------------------------------------------------------------
// Loops whose functors throw while messages wait

namespace {

// Starts nSenders synchronous senders to nThread and waits until each is parked (queued and
// waiting). outcomes: 1 result, 2 the functor's exception, 3 discarded, 4 anything else.
struct ParkedSenders
{
    ParkedSenders(qvProcessor& processor, unsigned long nThread, int nSenders,
                  const MessageFunctor& message)
        : outcomes(nSenders), tids(nSenders)
    {
        for (int n = 0; n < nSenders; ++n) {
            calls.push_back(std::make_unique<qvTest::AsyncCall>([&, n, nThread, message] {
                tids[n] = qvTest::currentTid();
                try {
                    processor.getITC().sendSyncMessage(message, noArguments(), nThread);
                    outcomes[n] = 1;
                } catch (const std::logic_error&) {
                    outcomes[n] = 2;
                } catch (const std::runtime_error& error) {
                    outcomes[n] = error.what() == DISCARDED ? 3 : 4;
                }
            }));
            EXPECT_TRUE(qvTest::waitUntil(
                [&] { return tids[n] != 0 && qvTest::isParkedInKernel(tids[n]); }));
        }
    }

    std::vector<std::atomic<int>> outcomes;
    std::vector<std::atomic<qvTest::ThreadId>> tids;
    std::vector<std::unique_ptr<qvTest::AsyncCall>> calls;
};

// After its loop has ended by an exception: messages are refused, before the loop is shut
// down and after (they never run on the caller).
void expectEndedLoopRefusesMessages(qvProcessor& processor, unsigned long id, unsigned long nThread)
{
    std::atomic<int> nRuns{0};
    for (const bool bShutDown : {false, true}) {
        if (bShutDown)
            processor.shutdown(id);
        try {
            processor.getITC().sendSyncMessage(countingMessage(&nRuns, 1), noArguments(), nThread);
            ADD_FAILURE() << "an ended loop took a message, shut down: " << bShutDown;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(DISCARDED, error.what());
        }
        processor.getITC().sendAsyncMessage(countingMessage(&nRuns, 2), noArguments(), nThread);
    }
    EXPECT_EQ(0, nRuns.load());
}

} // namespace

TEST(qvFaultThrowingLoopTest, PipelineFunctionThrowingWhileSendersWaitReleasesThemAsDiscarded)
{
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    const unsigned long nThread = processor.getThreadID(id);
    qvTest::Gate release;
    std::atomic<bool> bEntered{false};
    processor.getMainLoop(id).getFunctionPipeLine().addFunction(qvVoidFunctor([&] {
        bEntered = true;
        if (!release.waitFor())
            return;
        throw std::logic_error("pipeline function failed");
    }));
    processor.run(id);
    ASSERT_TRUE(qvTest::waitUntil([&] { return bEntered.load(); }));

    std::atomic<int> nRuns{0};
    for (int n = 0; n < 3; ++n)
        processor.getITC().sendAsyncMessage(countingMessage(&nRuns, n), noArguments(), nThread);
    {
        ParkedSenders senders(processor, nThread, 3, countingMessage(&nRuns, 9));
        release.open();
        for (std::size_t n = 0; n < senders.calls.size(); ++n) {
            ASSERT_TRUE(senders.calls[n]->finishedWithin()) << "sender " << n << " stranded";
            EXPECT_EQ(3, senders.outcomes[n].load()) << "sender " << n;
        }
    }
    EXPECT_EQ(0, nRuns.load());
    expectEndedLoopRefusesMessages(processor, id, nThread);
}

TEST(qvFaultThrowingLoopTest, MessageThrowingWhileOthersWaitReachesItsSenderAndDiscardsTheRest)
{
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    const unsigned long nThread = processor.getThreadID(id);
    std::atomic<int> nRuns{0};
    // Queued before the loop runs: the throwing message first, the others behind it.
    ParkedSenders thrower(processor, nThread, 1,
                          MessageFunctor([&nRuns](const ArgumentVector&) -> qvAnyContainer {
                              ++nRuns;
                              throw std::logic_error("message failed");
                          }));
    processor.getITC().sendAsyncMessage(countingMessage(&nRuns, 1), noArguments(), nThread);
    ParkedSenders waiting(processor, nThread, 2, countingMessage(&nRuns, 2));
    processor.run(id);

    ASSERT_TRUE(thrower.calls[0]->finishedWithin());
    EXPECT_EQ(2, thrower.outcomes[0].load());
    for (std::size_t n = 0; n < waiting.calls.size(); ++n) {
        ASSERT_TRUE(waiting.calls[n]->finishedWithin()) << "sender " << n << " stranded";
        EXPECT_EQ(3, waiting.outcomes[n].load()) << "sender " << n;
    }
    EXPECT_EQ(1, nRuns.load());
    expectEndedLoopRefusesMessages(processor, id, nThread);
}

// ---------------------------------------------------------------------------------------------
// Regressions

// The loop's thread takes a message off its queue without allocating (the task runs in its
// queue node), so a lack of memory there can neither lose a message nor leave the scheduler's
// lock held by an ending loop, which would hang every later sender.
TEST(qvFaultRegressionTest, TakingAMessageOnTheLoopThreadAllocatesNothing)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    const unsigned long nThread = processor.getThreadID(id);
    processor.getMainLoop(id).setEntry(qvVoidFunctor([] { qvFault::armAllocationFailure(1); }));
    std::atomic<int> nRuns{0};
    {
        // Its functor allocates nothing either: it returns an empty container.
        ParkedSenders first(processor, nThread, 1, MessageFunctor([&nRuns](const ArgumentVector&) {
                                ++nRuns;
                                return qvAnyContainer();
                            }));
        processor.run(id);
        ASSERT_TRUE(first.calls[0]->finishedWithin());
        EXPECT_EQ(1, first.outcomes[0].load());
    }
    const qvAnyContainer counted =
        processor.getITC().sendSyncMessage(MessageFunctor([](const ArgumentVector&) {
                                               const unsigned int nCounted = qvFault::disarm();
                                               return qvMakeAny(nCounted);
                                           }),
                                           noArguments(), nThread);
    EXPECT_EQ(0u, *qvAnyCast<unsigned int>(counted)) << "the loop's thread allocated";
    EXPECT_EQ(1, nRuns.load());
    processor.shutdown(id);
}

namespace {

// An interface for a controller without processor: every thread id names a loop that needs no
// wake-up and takes any hook.
class StubInterface : public qvITC::Interface
{
public:
    unsigned long getCurrentThreadID() override { return 1; }
    qvVoidFunctor getWakeUpFunctor(unsigned long) override { return qvVoidFunctor(&doNothing); }
    void attachSchedulerHook(unsigned long, const qvVoidFunctor&) override {}
    void detachSchedulerHook(unsigned long) override {}

private:
    static void doNothing() {}
};

} // namespace

// A scheduler that could not be entered into the controller's map used to stay allocated.
TEST(qvFaultRegressionTest, SchedulerWhoseMapEntryCannotBeMadeIsFreed)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    StubInterface stub;
    qvITC::Controller controller;
    controller.registerInterface(&stub);
    // Once a scheduler has been entered for 7, removing it keeps 7's map entry (its loop has
    // ended): one block more than the baseline from then on. (One captured reference for both,
    // so that the check's std::function allocates nothing after the baseline.)
    struct
    {
        long nBaseline;
        bool bEntered;
    } blocks{qvFault::liveBlocks(), false};
    const auto result = qvFault::sweepAllocations(
        [&] { controller.createInvokationTaskScheduler(7); },
        [&](bool bThrew) {
            // A hook that could not be made leaves the scheduler entered, without hook.
            if (!bThrew) {
                EXPECT_TRUE(controller.hasInvokationTaskScheduler(7));
            }
            blocks.bEntered = blocks.bEntered || controller.hasInvokationTaskScheduler(7);
            controller.removeInvokationTaskScheduler(7);
            EXPECT_EQ(blocks.nBaseline + (blocks.bEntered ? 1 : 0), qvFault::liveBlocks());
        });
    EXPECT_GT(result.nFailures, 0u);
}

// A thread whose wrapper object could not be allocated used to wait at its start gate for ever.
TEST(qvFaultRegressionTest, ThreadWhoseWrapperCannotBeAllocatedIsEnded)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    const int nThreadsBefore = qvTest::countThreads();
    {
        qvThread warmUp;
    }
    ASSERT_TRUE(qvTest::waitUntil([&] { return qvTest::countThreads() == nThreadsBefore; }));
    const long nBaseline = qvFault::liveBlocks();
    const auto result = qvFault::sweepAllocations(
        [] { qvThread thread; },
        [&](bool) {
            EXPECT_TRUE(qvTest::waitUntil([&] { return qvTest::countThreads() == nThreadsBefore; }))
                << "a thread was left behind";
            EXPECT_TRUE(noBlocksLeftAbove(nBaseline));
        });
    EXPECT_GT(result.nFailures, 0u);
}

// A loop suspended while it held its condition lock (or any lock that shutting it down needs)
// used to keep shutdown(id) waiting for ever: the shutdown condition was installed before the
// loop was resumed.
TEST(qvFaultRegressionTest, ShutdownOfALoopSuspendedInsideItsConditionReturns)
{
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    std::atomic<bool> bInside{false};
    std::atomic<bool> bRelease{false};
    processor.getMainLoop(id).getFunctionPipeLine().addFunction(qvVoidFunctor([] {}));
    processor.getMainLoop(id).setLoopCondition(qvBoolFunctor([&] {
        bInside = true;
        while (!bRelease) // no system call: the loop is stopped right here, lock held
            ;
        return true;
    }));
    processor.run(id);
    ASSERT_TRUE(qvTest::waitUntil([&] { return bInside.load(); }));
    processor.suspend(id);
    bRelease = true;
    qvTest::AsyncCall shutdown([&] { processor.shutdown(id); });
    EXPECT_TRUE(shutdown.finishedWithin()) << "shutdown(id) waits for the suspended loop";
}
