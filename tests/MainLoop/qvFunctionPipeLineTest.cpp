#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "MainLoop/qvFunctionPipeLine.h"
#include "qvMainLoopTestSupport.h"
#include "qvSuspendProbe.h"
#include "qvTestSupport.h"

using qvMainLoopTest::makeCountedVoid;
using qvMainLoopTest::makeVoid;
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

} // namespace

// Tests that a new pipeline is empty and a pass over it calls nothing.
TEST(qvFunctionPipeLineTest, NewPipeLineIsEmptyAndItsPassDoesNothing)
{
    qvFunctionPipeLine pipeLine;
    EXPECT_TRUE(pipeLine.isEmpty());
    pipeLine();
    EXPECT_TRUE(pipeLine.isEmpty());
}

// Tests that functions run in the order added, and a function added twice runs twice per pass.
TEST(qvFunctionPipeLineTest, FunctionsRunInOrderAddedAndRepeatedOnesRunEachTime)
{
    Trace trace;
    qvFunctionPipeLine pipeLine;
    qvVoidFunctor a = tracing(trace, "a");
    pipeLine.addFunction(a);
    pipeLine.addFunction(tracing(trace, "b"));
    pipeLine.addFunction(a);
    EXPECT_FALSE(pipeLine.isEmpty());
    pipeLine();
    pipeLine();
    EXPECT_EQ(trace.get(), events({"a", "b", "a", "a", "b", "a"}));
}

// Tests that flush() empties the pipeline and destroys its copies of the functions.
TEST(qvFunctionPipeLineTest, FlushRemovesAndDestroysEveryFunction)
{
    std::atomic<int> nAlive{0};
    int nCalls = 0;
    qvFunctionPipeLine pipeLine;
    {
        qvVoidFunctor counted = makeCountedVoid(&nAlive, [&nCalls](auto&) { ++nCalls; });
        pipeLine.addFunction(counted);
        pipeLine.addFunction(counted);
    }
    EXPECT_EQ(nAlive.load(), 2);
    pipeLine.flush();
    EXPECT_TRUE(pipeLine.isEmpty());
    EXPECT_EQ(nAlive.load(), 0);
    pipeLine();
    EXPECT_EQ(nCalls, 0);
}

// Tests that copies made by construction and by assignment run the same functions, and that
// changing either side afterwards leaves the other unchanged.
TEST(qvFunctionPipeLineTest, CopiesRunTheSameFunctionsAndAreIndependentOfTheirSource)
{
    Trace trace;
    qvFunctionPipeLine source;
    source.addFunction(tracing(trace, "a"));
    source.addFunction(tracing(trace, "b"));

    qvFunctionPipeLine constructed(source);
    qvFunctionPipeLine assigned;
    assigned.addFunction(tracing(trace, "old"));
    assigned = source;

    constructed.addFunction(tracing(trace, "c"));
    assigned.flush();
    source.addFunction(tracing(trace, "d"));

    source();
    constructed();
    assigned();
    EXPECT_EQ(trace.get(), events({"a", "b", "d", "a", "b", "c"}));
}

// Tests that assigning a pipeline to itself keeps its functions.
TEST(qvFunctionPipeLineTest, SelfAssignmentLeavesThePipeLineUnchanged)
{
    Trace trace;
    qvFunctionPipeLine pipeLine;
    pipeLine.addFunction(tracing(trace, "a"));
    pipeLine.addFunction(tracing(trace, "b"));
    qvFunctionPipeLine& self = pipeLine;
    pipeLine = self;
    pipeLine();
    EXPECT_EQ(trace.get(), events({"a", "b"}));
}

// Tests that a function appending to its own pipeline makes the new function run later in the
// same pass, after those already there.
TEST(qvFunctionPipeLineTest, FunctionAddedDuringAPassRunsInThatPass)
{
    Trace trace;
    qvFunctionPipeLine pipeLine;
    bool bAdded = false;
    pipeLine.addFunction(makeVoid([&] {
        trace.add("adder");
        if (!bAdded) {
            bAdded = true;
            pipeLine.addFunction(tracing(trace, "added"));
        }
    }));
    pipeLine.addFunction(tracing(trace, "b"));
    pipeLine();
    EXPECT_EQ(trace.get(), events({"adder", "b", "added"}));
}

// Tests that a throwing function ends the pass (those before it ran, those after it did not)
// and that the next pass starts again at the first function.
TEST(qvFunctionPipeLineTest, ThrowingFunctionEndsThePassAndTheNextPassStartsAtTheFirst)
{
    Trace trace;
    qvFunctionPipeLine pipeLine;
    pipeLine.addFunction(tracing(trace, "a"));
    pipeLine.addFunction(makeVoid([&trace] {
        trace.add("thrower");
        throw std::runtime_error("function failed");
    }));
    pipeLine.addFunction(tracing(trace, "c"));
    EXPECT_THROW(pipeLine(), std::runtime_error);
    EXPECT_THROW(pipeLine(), std::runtime_error);
    EXPECT_EQ(trace.get(), events({"a", "thrower", "a", "thrower"}));
}

// Tests that an empty functor, which has nothing to call, is not added.
TEST(qvFunctionPipeLineTest, EmptyFunctorIsIgnored)
{
    qvFunctionPipeLine pipeLine;
    pipeLine.addFunction(qvVoidFunctor());
    EXPECT_TRUE(pipeLine.isEmpty());
    pipeLine();
}

// Tests that a function flushing its own pipeline is not destroyed under its own call, that
// the pass ends after it, and that it is destroyed once the pass is over.
TEST(qvFunctionPipeLineTest, FlushFromInsideAPassKeepsTheRunningFunctionAliveAndEndsThePass)
{
    std::atomic<int> nAlive{0};
    Trace trace;
    qvFunctionPipeLine pipeLine;
    bool bIntactAfterFlush = false;
    int nAliveDuringCall = -1;
    pipeLine.addFunction(makeCountedVoid(&nAlive, [&](auto& self) {
        pipeLine.flush();
        EXPECT_TRUE(pipeLine.isEmpty());
        bIntactAfterFlush = self.isIntact();
        nAliveDuringCall = nAlive.load();
    }));
    pipeLine.addFunction(tracing(trace, "after"));
    pipeLine();
    EXPECT_TRUE(bIntactAfterFlush);
    EXPECT_EQ(nAliveDuringCall, 1);
    EXPECT_EQ(nAlive.load(), 0);
    EXPECT_TRUE(trace.get().empty());
}

// Tests that an assignment made by a function of the pipeline ends the pass after it without
// destroying it, and that the assigned functions run from the next pass on.
TEST(qvFunctionPipeLineTest, AssignmentFromInsideAPassTakesEffectFromTheNextPass)
{
    std::atomic<int> nAlive{0};
    Trace trace;
    qvFunctionPipeLine replacement;
    replacement.addFunction(tracing(trace, "new"));
    qvFunctionPipeLine pipeLine;
    bool bIntact = false;
    pipeLine.addFunction(makeCountedVoid(&nAlive, [&](auto& self) {
        trace.add("replacer");
        pipeLine = replacement;
        bIntact = self.isIntact();
    }));
    pipeLine.addFunction(tracing(trace, "old"));
    pipeLine();
    EXPECT_TRUE(bIntact);
    EXPECT_EQ(nAlive.load(), 0);
    pipeLine();
    EXPECT_EQ(trace.get(), events({"replacer", "new"}));
}

// Tests that a flush from another thread while a function runs neither waits for the pass nor
// destroys the running function, and that the pass stops after it.
TEST(qvFunctionPipeLineTest, FlushFromAnotherThreadDuringAPassWaitsForNothingAndEndsThePass)
{
    std::atomic<int> nAlive{0};
    Trace trace;
    qvTest::Gate entered;
    qvTest::Gate flushed;
    qvFunctionPipeLine pipeLine;
    std::atomic<bool> bIntact{false};
    std::atomic<int> nAliveAfterFlush{-1};
    pipeLine.addFunction(makeCountedVoid(&nAlive, [&](auto& self) {
        entered.open();
        ASSERT_TRUE(flushed.waitFor());
        nAliveAfterFlush = nAlive.load();
        bIntact = self.isIntact();
    }));
    pipeLine.addFunction(tracing(trace, "after"));

    qvTest::AsyncCall pass([&] { pipeLine(); });
    ASSERT_TRUE(entered.waitFor());
    qvTest::AsyncCall flusher([&] { pipeLine.flush(); });
    ASSERT_TRUE(flusher.finishedWithin());
    EXPECT_TRUE(pipeLine.isEmpty());
    flushed.open();
    ASSERT_TRUE(pass.finishedWithin());
    EXPECT_TRUE(bIntact.load());
    EXPECT_EQ(nAliveAfterFlush.load(), 1);
    EXPECT_EQ(nAlive.load(), 0);
    EXPECT_TRUE(trace.get().empty());
}

// Tests that passes, additions from several threads and flushes that overlap them never touch
// removed functions (run under the sanitizers), and that every function added after the last
// flush runs in the final pass.
TEST(qvFunctionPipeLineTest, PassesAddsAndFlushesRacingStayConsistent)
{
    const int ROUNDS = qvTest::raceRounds(2000);
    std::atomic<int> nAlive{0};
    std::atomic<long> nCalls{0};
    std::atomic<bool> bStop{false};
    qvFunctionPipeLine pipeLine;
    qvVoidFunctor counted = makeCountedVoid(&nAlive, [&nCalls](auto& self) {
        EXPECT_TRUE(self.isIntact());
        nCalls.fetch_add(1, std::memory_order_relaxed);
    });

    qvTest::AsyncCall runner([&] {
        while (!bStop.load())
            pipeLine();
    });
    {
        // At most ROUNDS adds and qvTest::RACE_TIME: the wait for the adder below is for a hang.
        qvTest::AsyncCall adder([&] {
            for (qvTest::RaceRounds rounds(ROUNDS); rounds.next();)
                pipeLine.addFunction(counted);
        });
        for (int nRound = 0; nRound < ROUNDS / 10; ++nRound) {
            pipeLine.flush();
            std::this_thread::yield();
        }
        ASSERT_TRUE(adder.finishedWithin());
    }
    bStop = true;
    ASSERT_TRUE(runner.finishedWithin());
    pipeLine.flush();
    EXPECT_EQ(nAlive.load(), 1); // only `counted` itself
    pipeLine.addFunction(counted);
    pipeLine.addFunction(counted);
    const long nBefore = nCalls.load();
    pipeLine();
    EXPECT_EQ(nCalls.load() - nBefore, 2);
}

// ---------------------------------------------------------------------------------------------
// A function's copy and destructor are the user's code: never run under the pipeline's lock,
// one of the library's internal regions, where suspend() would wait for them (on Windows, for
// ever when they wait for the suspender).

namespace {

// Waits in its copy constructor or its destructor, as told, once the probe is armed.
struct WaitingFunction
{
    qvTest::UserCodeWait* pWait;
    bool bInCopy;
    WaitingFunction(qvTest::UserCodeWait* pWaitFor, bool bWaitInCopy)
        : pWait(pWaitFor), bInCopy(bWaitInCopy)
    {
    }
    WaitingFunction(const WaitingFunction& other) : pWait(other.pWait), bInCopy(other.bInCopy)
    {
        if (bInCopy)
            pWait->waitIfArmed();
    }
    WaitingFunction& operator=(const WaitingFunction&) = delete;
    ~WaitingFunction()
    {
        if (!bInCopy)
            pWait->waitIfArmed();
    }
    void operator()() {}
};

} // namespace

// Tests that suspend() returns while a flush destroys a function whose destructor waits.
TEST(qvFunctionPipeLineTest, SuspendReturnsWhileAFlushedFunctionsDestructorWaits)
{
    qvTest::UserCodeWait wait;
    qvFunctionPipeLine pipeLine;
    pipeLine.addFunction(qvVoidFunctor(WaitingFunction(&wait, false)));
    EXPECT_TRUE(qvTest::suspendReturnsInsideUserCode(wait, [&] { pipeLine.flush(); }));
    EXPECT_TRUE(pipeLine.isEmpty());
}

// Tests that suspend() returns while addFunction() copies a function whose copy waits.
TEST(qvFunctionPipeLineTest, SuspendReturnsWhileAnAddedFunctionsCopyWaits)
{
    qvTest::UserCodeWait wait;
    qvFunctionPipeLine pipeLine;
    const qvVoidFunctor function(WaitingFunction(&wait, true));
    EXPECT_TRUE(
        qvTest::suspendReturnsInsideUserCode(wait, [&] { pipeLine.addFunction(function); }));
    EXPECT_FALSE(pipeLine.isEmpty());
}

// Tests that suspend() returns while a pipeline is assigned from one whose function's copy
// waits, and while the replaced functions' destructors wait.
TEST(qvFunctionPipeLineTest, SuspendReturnsWhileAnAssignmentCopiesOrDestroysFunctions)
{
    qvTest::UserCodeWait copyWait;
    qvFunctionPipeLine source;
    source.addFunction(qvVoidFunctor(WaitingFunction(&copyWait, true)));
    qvFunctionPipeLine target;
    EXPECT_TRUE(qvTest::suspendReturnsInsideUserCode(copyWait, [&] { target = source; }));
    copyWait.bArmed = false;

    qvTest::UserCodeWait destroyWait;
    target.addFunction(qvVoidFunctor(WaitingFunction(&destroyWait, false)));
    const qvFunctionPipeLine empty;
    EXPECT_TRUE(qvTest::suspendReturnsInsideUserCode(destroyWait, [&] { target = empty; }));
    EXPECT_TRUE(target.isEmpty());
}
