#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "MainLoop/qvMainLoop.h"
#include "qvMainLoopTestSupport.h"
#include "qvTestSupport.h"

using qvMainLoopTest::makeBool;
using qvMainLoopTest::makeCountedBool;
using qvMainLoopTest::makeCountedVoid;
using qvMainLoopTest::makeVoid;
using qvMainLoopTest::ShutdownOnExit;
using qvMainLoopTest::Trace;

namespace {

std::vector<std::string> events(std::initializer_list<const char*> list)
{
    return std::vector<std::string>(list.begin(), list.end());
}

qvVoidFunctor tracing(Trace& trace, const char* pName)
{
    return makeVoid([&trace, pName] { trace.add(pName); });
}

qvVoidFunctor counting(std::atomic<int>& nCount)
{
    return makeVoid([&nCount] { nCount.fetch_add(1); });
}

// A loop whose hook, entry, exit and condition count their calls.
struct CountedLoop
{
    CountedLoop()
    {
        loop.setEntry(counting(nEntries));
        loop.setExit(counting(nExits));
        loop.attachITCSchedulerHook(counting(nHooks));
        loop.setLoopCondition(makeBool([this] {
            nConditions.fetch_add(1);
            return true;
        }));
    }
    // The hook count stays put for the negative-check window: the loop sleeps.
    bool staysAsleep()
    {
        const int nBefore = nHooks.load();
        std::this_thread::sleep_for(qvTest::BLOCKED_WINDOW);
        return nHooks.load() == nBefore;
    }

    std::atomic<int> nEntries{0};
    std::atomic<int> nExits{0};
    std::atomic<int> nHooks{0};
    std::atomic<int> nConditions{0};
    qvMainLoop loop;
};

} // namespace

// Tests that a new loop on a thread calls its entry once, then sleeps (using no processor time:
// its hook is not called again) until shutdown(), after which exit runs once and run() returns.
TEST(qvMainLoopTest, NewLoopSleepsUntilShutdownWithEntryAndExitOnce)
{
    CountedLoop counted;
    qvTest::AsyncCall runner([&] { counted.loop.run(); });
    ShutdownOnExit stopper(counted.loop);
    ASSERT_TRUE(qvTest::waitUntil([&] { return counted.nHooks.load() == 1; }));
    EXPECT_TRUE(counted.staysAsleep());
    EXPECT_TRUE(runner.stillBlocked());
    EXPECT_EQ(counted.nEntries.load(), 1);
    EXPECT_EQ(counted.nConditions.load(), 0);
    EXPECT_EQ(counted.nExits.load(), 0);
    counted.loop.shutdown();
    ASSERT_TRUE(runner.finishedWithin());
    runner.get();
    EXPECT_EQ(counted.nEntries.load(), 1);
    EXPECT_EQ(counted.nExits.load(), 1);
}

// Tests the turn of a loop shut down before run() with an empty pipeline: entry, the hook, no
// sleep (the shutdown left the idle signal set), exit.
TEST(qvMainLoopTest, ShutdownBeforeRunWithEmptyPipeLineMakesOneTurn)
{
    Trace trace;
    qvMainLoop loop;
    loop.setEntry(tracing(trace, "entry"));
    loop.attachITCSchedulerHook(tracing(trace, "hook"));
    loop.setExit(tracing(trace, "exit"));
    loop.shutdown();
    qvTest::AsyncCall runner([&] { loop.run(); });
    ASSERT_TRUE(runner.finishedWithin());
    EXPECT_EQ(trace.get(), events({"entry", "hook", "exit"}));
}

// Tests the turn of a loop shut down before run() with functions: entry, hook, one pass, exit.
TEST(qvMainLoopTest, ShutdownBeforeRunWithFunctionsMakesOnePass)
{
    Trace trace;
    qvMainLoop loop;
    loop.setEntry(tracing(trace, "entry"));
    loop.attachITCSchedulerHook(tracing(trace, "hook"));
    loop.setExit(tracing(trace, "exit"));
    loop.getFunctionPipeLine().addFunction(tracing(trace, "a"));
    loop.getFunctionPipeLine().addFunction(tracing(trace, "b"));
    loop.shutdown();
    qvTest::AsyncCall runner([&] { loop.run(); });
    ASSERT_TRUE(runner.finishedWithin());
    EXPECT_EQ(trace.get(), events({"entry", "hook", "a", "b", "exit"}));
}

// Tests that shutdown() from a pipeline function lets the rest of the pass run, then exits.
TEST(qvMainLoopTest, ShutdownFromAPipeLineFunctionFinishesThePassThenExits)
{
    Trace trace;
    qvMainLoop loop;
    loop.attachITCSchedulerHook(tracing(trace, "hook"));
    loop.setExit(tracing(trace, "exit"));
    qvFunctionPipeLine pipeLine;
    pipeLine.addFunction(tracing(trace, "a"));
    pipeLine.addFunction(makeVoid([&] {
        trace.add("stopper");
        loop.shutdown();
    }));
    pipeLine.addFunction(tracing(trace, "c"));
    loop.setFunctionPipeLine(pipeLine);
    qvTest::AsyncCall runner([&] { loop.run(); });
    ASSERT_TRUE(runner.finishedWithin());
    EXPECT_EQ(trace.get(), events({"hook", "a", "stopper", "c", "exit"}));
}

// Tests that wakeUpIdle() on a sleeping loop gives exactly one more turn: the condition is asked,
// the hook called again, and the loop sleeps again.
TEST(qvMainLoopTest, WakeUpIdleOnASleepingLoopGivesOneMoreTurn)
{
    CountedLoop counted;
    qvTest::AsyncCall runner([&] { counted.loop.run(); });
    ShutdownOnExit stopper(counted.loop);
    ASSERT_TRUE(qvTest::waitUntil([&] { return counted.nHooks.load() == 1; }));
    counted.loop.wakeUpIdle();
    ASSERT_TRUE(qvTest::waitUntil([&] { return counted.nHooks.load() == 2; }));
    EXPECT_TRUE(counted.staysAsleep());
    EXPECT_EQ(counted.nHooks.load(), 2);
    EXPECT_EQ(counted.nConditions.load(), 1);
    counted.loop.shutdown();
    ASSERT_TRUE(runner.finishedWithin());
}

// Tests that wakeUpIdle() while the pipeline holds functions leaves nothing behind: once the
// pipeline is emptied, the loop sleeps at once.
TEST(qvMainLoopTest, WakeUpIdleWithFunctionsInThePipeLineDoesNothing)
{
    CountedLoop counted;
    counted.loop.getFunctionPipeLine().addFunction(makeVoid([&] {
        counted.loop.wakeUpIdle();
        counted.loop.getFunctionPipeLine().flush();
    }));
    qvTest::AsyncCall runner([&] { counted.loop.run(); });
    ShutdownOnExit stopper(counted.loop);
    ASSERT_TRUE(qvTest::waitUntil([&] { return counted.nHooks.load() == 2; }));
    EXPECT_TRUE(counted.staysAsleep());
    EXPECT_EQ(counted.nHooks.load(), 2);
    counted.loop.shutdown();
    ASSERT_TRUE(runner.finishedWithin());
}

// Tests that a detached hook is the do-nothing hook of a new loop.
TEST(qvMainLoopTest, DetachedHookIsNoLongerCalled)
{
    std::atomic<int> nHooks{0};
    qvMainLoop loop;
    loop.attachITCSchedulerHook(counting(nHooks));
    loop.detachITCSchedulerHook();
    loop.shutdown();
    qvTest::AsyncCall runner([&] { loop.run(); });
    ASSERT_TRUE(runner.finishedWithin());
    EXPECT_EQ(nHooks.load(), 0);
}

// Tests that setLoopCondition() after shutdown() replaces the shutdown condition.
TEST(qvMainLoopTest, SetLoopConditionAfterShutdownKeepsTheLoopRunning)
{
    std::atomic<int> nPasses{0};
    qvMainLoop loop;
    loop.getFunctionPipeLine().addFunction(counting(nPasses));
    loop.shutdown();
    int nAsked = 0;
    loop.setLoopCondition(makeBool([&nAsked] { return ++nAsked < 3; }));
    qvTest::AsyncCall runner([&] { loop.run(); });
    ASSERT_TRUE(runner.finishedWithin());
    EXPECT_EQ(nPasses.load(), 3);
}

// Tests that the shutdown condition stays installed: a second run() makes exactly one turn.
TEST(qvMainLoopTest, RunAfterShutdownMakesExactlyOneTurn)
{
    std::atomic<int> nPasses{0};
    qvMainLoop loop;
    loop.getFunctionPipeLine().addFunction(counting(nPasses));
    loop.shutdown();
    for (int nRun = 1; nRun <= 2; ++nRun) {
        qvTest::AsyncCall runner([&] { loop.run(); });
        ASSERT_TRUE(runner.finishedWithin());
        EXPECT_EQ(nPasses.load(), nRun);
    }
}

// Tests that an exception from a pipeline function leaves run() without calling exit.
TEST(qvMainLoopTest, ThrowingPipeLineFunctionLeavesRunWithoutExit)
{
    std::atomic<int> nExits{0};
    qvMainLoop loop;
    loop.setExit(counting(nExits));
    loop.getFunctionPipeLine().addFunction(makeVoid([] { throw std::runtime_error("failed"); }));
    qvTest::AsyncCall runner([&] { loop.run(); });
    ASSERT_TRUE(runner.finishedWithin());
    EXPECT_THROW(runner.get(), std::runtime_error);
    EXPECT_EQ(nExits.load(), 0);
}

// Tests that a throwing loop condition does not leave m_LoopConditionLock held: shutdown() from
// another thread, which takes it, still returns, and the loop runs again afterwards.
TEST(qvMainLoopTest, ThrowingConditionReleasesTheConditionLock)
{
    // Leaked on failure: a thread blocked on a leaked lock cannot be joined.
    auto* pLoop = new qvMainLoop;
    std::atomic<int> nExits{0};
    pLoop->setExit(counting(nExits));
    pLoop->getFunctionPipeLine().addFunction(makeVoid([] {}));
    pLoop->setLoopCondition(makeBool([]() -> bool { throw std::logic_error("condition failed"); }));
    {
        qvTest::AsyncCall runner([pLoop] { pLoop->run(); });
        ASSERT_TRUE(runner.finishedWithin());
        EXPECT_THROW(runner.get(), std::logic_error);
    }
    auto pDone = std::make_shared<std::promise<void>>();
    std::future<void> done = pDone->get_future();
    std::thread([pLoop, pDone] {
        pLoop->shutdown();
        pLoop->run();
        pDone->set_value();
    }).detach();
    ASSERT_EQ(done.wait_for(qvTest::TIMEOUT), std::future_status::ready)
        << "the condition lock stayed held after the condition threw";
    EXPECT_EQ(nExits.load(), 1);
    delete pLoop;
}

// Tests that a function added from another thread to the empty pipeline of a sleeping loop gets
// it running without any other call.
TEST(qvMainLoopTest, FunctionAddedToASleepingLoopRunsWithoutAWakeUp)
{
    CountedLoop counted;
    std::atomic<int> nPasses{0};
    qvTest::AsyncCall runner([&] { counted.loop.run(); });
    ShutdownOnExit stopper(counted.loop);
    ASSERT_TRUE(qvTest::waitUntil([&] { return counted.nHooks.load() == 1; }));
    ASSERT_TRUE(counted.staysAsleep());
    counted.loop.getFunctionPipeLine().addFunction(counting(nPasses));
    ASSERT_TRUE(qvTest::waitUntil([&] { return nPasses.load() >= 3; }));
    counted.loop.shutdown();
    ASSERT_TRUE(runner.finishedWithin());
}

// Tests that a pipeline handed over whole to a sleeping loop also wakes it.
TEST(qvMainLoopTest, PipeLineSetOnASleepingLoopRunsWithoutAWakeUp)
{
    CountedLoop counted;
    std::atomic<int> nPasses{0};
    qvTest::AsyncCall runner([&] { counted.loop.run(); });
    ShutdownOnExit stopper(counted.loop);
    ASSERT_TRUE(qvTest::waitUntil([&] { return counted.nHooks.load() == 1; }));
    qvFunctionPipeLine pipeLine;
    pipeLine.addFunction(counting(nPasses));
    counted.loop.setFunctionPipeLine(pipeLine);
    ASSERT_TRUE(qvTest::waitUntil([&] { return nPasses.load() >= 1; }));
    counted.loop.shutdown();
    ASSERT_TRUE(runner.finishedWithin());
}

// Tests that shutdown() ends a loop that went to sleep on an empty pipeline into which functions
// arrived afterwards (wakeUpIdle() alone would see a non-empty pipeline and do nothing).
TEST(qvMainLoopTest, ShutdownEndsASleepingLoopWhosePipeLineFilledMeanwhile)
{
    CountedLoop counted;
    qvTest::AsyncCall runner([&] { counted.loop.run(); });
    ShutdownOnExit stopper(counted.loop);
    ASSERT_TRUE(qvTest::waitUntil([&] { return counted.nHooks.load() == 1; }));
    counted.loop.getFunctionPipeLine().addFunction(makeVoid([] {}));
    counted.loop.shutdown();
    ASSERT_TRUE(runner.finishedWithin());
    EXPECT_EQ(counted.nExits.load(), 1);
}

// Tests that callbacks replacing themselves during their own call (the hook detaching itself,
// the condition replaced and shut down, entry and exit replaced) are not destroyed under it, and
// are destroyed once the loop is done with them.
TEST(qvMainLoopTest, CallbackReplacingItselfIsNotDestroyedUnderItsCall)
{
    std::atomic<int> nAlive{0};
    std::atomic<int> nBroken{0};
    qvMainLoop loop;
    auto check = [&](auto& self) {
        if (!self.isIntact())
            nBroken.fetch_add(1);
    };
    loop.setEntry(makeCountedVoid(&nAlive, [&](auto& self) {
        loop.setEntry(makeVoid([] {}));
        check(self);
    }));
    loop.attachITCSchedulerHook(makeCountedVoid(&nAlive, [&](auto& self) {
        loop.detachITCSchedulerHook();
        check(self);
    }));
    loop.setLoopCondition(makeCountedBool(&nAlive, [&](auto& self) {
        loop.setLoopCondition(makeBool([] { return true; }));
        loop.shutdown();
        check(self);
        return true;
    }));
    loop.setExit(makeCountedVoid(&nAlive, [&](auto& self) {
        loop.setExit(makeVoid([] {}));
        check(self);
    }));
    EXPECT_EQ(nAlive.load(), 4);
    loop.getFunctionPipeLine().addFunction(makeVoid([] {}));
    qvTest::AsyncCall runner([&] { loop.run(); });
    ASSERT_TRUE(runner.finishedWithin());
    EXPECT_EQ(nBroken.load(), 0);
    EXPECT_EQ(nAlive.load(), 0);
}

// Tests that detaching the hook from another thread while the loop's thread runs it neither
// waits for the call nor destroys the hook under it; the old hook is freed afterwards.
TEST(qvMainLoopTest, DetachingTheHookFromAnotherThreadKeepsTheRunningHookAlive)
{
    std::atomic<int> nAlive{0};
    std::atomic<bool> bIntact{false};
    std::atomic<int> nAliveDuringCall{-1};
    qvTest::Gate entered;
    qvTest::Gate detached;
    qvMainLoop loop;
    loop.attachITCSchedulerHook(makeCountedVoid(&nAlive, [&](auto& self) {
        entered.open();
        EXPECT_TRUE(detached.waitFor());
        nAliveDuringCall = nAlive.load();
        bIntact = self.isIntact();
    }));
    qvTest::AsyncCall runner([&] { loop.run(); });
    ShutdownOnExit stopper(loop);
    ASSERT_TRUE(entered.waitFor());
    qvTest::AsyncCall detacher([&] { loop.detachITCSchedulerHook(); });
    ASSERT_TRUE(detacher.finishedWithin());
    detached.open();
    // Freed when the loop goes to sleep after that turn.
    ASSERT_TRUE(qvTest::waitUntil([&] { return nAlive.load() == 0; }));
    EXPECT_TRUE(bIntact.load());
    EXPECT_EQ(nAliveDuringCall.load(), 1);
    loop.shutdown();
    ASSERT_TRUE(runner.finishedWithin());
}

// Tests that a flush() from another thread during a pass of a running loop does not destroy the
// running function, and that the loop then goes to sleep and frees it.
TEST(qvMainLoopTest, FlushFromAnotherThreadDuringAPassOfTheLoop)
{
    std::atomic<int> nAlive{0};
    std::atomic<bool> bIntact{false};
    qvTest::Gate entered;
    qvTest::Gate flushed;
    CountedLoop counted;
    counted.loop.getFunctionPipeLine().addFunction(makeCountedVoid(&nAlive, [&](auto& self) {
        entered.open();
        EXPECT_TRUE(flushed.waitFor());
        bIntact = self.isIntact();
    }));
    qvTest::AsyncCall runner([&] { counted.loop.run(); });
    ShutdownOnExit stopper(counted.loop);
    ASSERT_TRUE(entered.waitFor());
    counted.loop.getFunctionPipeLine().flush();
    flushed.open();
    ASSERT_TRUE(qvTest::waitUntil([&] { return nAlive.load() == 0; }));
    EXPECT_TRUE(bIntact.load());
    // Second turn: the hook, then sleep on the emptied pipeline.
    ASSERT_TRUE(qvTest::waitUntil([&] { return counted.nHooks.load() == 2; }));
    EXPECT_TRUE(counted.staysAsleep());
    counted.loop.shutdown();
    ASSERT_TRUE(runner.finishedWithin());
}

// Tests that setters racing with a busy loop (hook, condition and pipeline replaced over and over
// from another thread) never run a destroyed functor and leak nothing.
TEST(qvMainLoopTest, SettersRacingWithARunningLoopStaySafe)
{
    const int ROUNDS = qvTest::raceRounds(3000);
    std::atomic<int> nAlive{0};
    std::atomic<int> nBroken{0};
    std::atomic<long> nCalls{0};
    auto body = [&](auto& self) {
        if (!self.isIntact())
            nBroken.fetch_add(1);
        nCalls.fetch_add(1, std::memory_order_relaxed);
    };
    qvVoidFunctor hook = makeCountedVoid(&nAlive, body);
    qvFunctionPipeLine pipeLine;
    pipeLine.addFunction(makeCountedVoid(&nAlive, body));
    {
        qvMainLoop loop;
        loop.setFunctionPipeLine(pipeLine);
        qvTest::AsyncCall runner([&] { loop.run(); });
        ShutdownOnExit stopper(loop);
        for (int nRound = 0; nRound < ROUNDS; ++nRound) {
            if (nRound % 2)
                loop.attachITCSchedulerHook(hook);
            else
                loop.detachITCSchedulerHook();
            loop.setLoopCondition(makeCountedBool(&nAlive, [&](auto& self) {
                body(self);
                return true;
            }));
            if (nRound % 16 == 0)
                loop.setFunctionPipeLine(pipeLine);
        }
        loop.shutdown();
        ASSERT_TRUE(runner.finishedWithin());
    }
    EXPECT_EQ(nBroken.load(), 0);
    EXPECT_EQ(nAlive.load(), 2); // `hook` and the function in `pipeLine`
    EXPECT_GT(nCalls.load(), 0);
}

// Tests thousands of loops racing their own shutdown against wake-ups and added functions, from
// several threads: every loop ends, exit runs once, nothing is touched after destruction.
TEST(qvMainLoopTest, ShutdownRacingWakeUpsAndAddedFunctionsAlwaysEndsTheLoop)
{
    const int ROUNDS = qvTest::raceRounds(2000);
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        std::atomic<int> nExits{0};
        std::atomic<int> nPasses{0};
        qvMainLoop loop;
        loop.setExit(counting(nExits));
        qvTest::Gate go;
        qvTest::AsyncCall runner([&] { loop.run(); });
        ShutdownOnExit stopper(loop);
        {
            qvTest::AsyncCall helper([&] {
                ASSERT_TRUE(go.waitFor());
                switch (nRound % 4) {
                case 0:
                    loop.wakeUpIdle();
                    break;
                case 1:
                    loop.getFunctionPipeLine().addFunction(counting(nPasses));
                    break;
                case 2:
                    loop.getFunctionPipeLine().addFunction(counting(nPasses));
                    loop.getFunctionPipeLine().flush();
                    loop.wakeUpIdle();
                    break;
                default:
                    loop.wakeUpIdle();
                    loop.getFunctionPipeLine().addFunction(counting(nPasses));
                    break;
                }
            });
            go.open();
            if (nRound % 3 == 0)
                std::this_thread::yield();
            loop.shutdown();
            ASSERT_TRUE(helper.finishedWithin());
        }
        ASSERT_TRUE(runner.finishedWithin()) << "round " << nRound;
        ASSERT_EQ(nExits.load(), 1);
    }
}
