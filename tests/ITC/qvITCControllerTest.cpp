#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ITC/qvITCController.h"
#include "qvTestSupport.h"

using qvITC::ArgumentVector;
using qvITC::Controller;
using qvITC::MessageFunctor;

namespace {

// A minimal loop of its own: calls its hook once per turn and sleeps on its idle signal when
// nothing wakes it, as a main loop with an empty pipeline does.
class TestLoop
{
public:
    TestLoop()
    {
        std::promise<qvTest::ThreadId> started;
        m_nThreadId = 0;
        auto future = started.get_future();
        m_Thread = std::thread([this, &started] {
            started.set_value(qvTest::currentTid());
            while (!m_bStop.load()) {
                qvVoidFunctor hook;
                {
                    std::lock_guard<std::mutex> guard(m_HookMutex);
                    hook = m_Hook;
                }
                if (hook) {
                    // The exception object is shared with the sender; its type is all the loop
                    // looks at. It is counted only once this thread has let go of the object, so
                    // that a sender that waits for the count inside its own catch block holds
                    // the last reference and frees it itself. (ThreadSanitizer cannot see the
                    // exception's reference count inside the uninstrumented C++ runtime, so a
                    // free on this thread after the sender's read would look like a race.)
                    bool bOutOfRange = false;
                    try {
                        hook();
                    } catch (const std::out_of_range&) {
                        bOutOfRange = true;
                    }
                    if (bOutOfRange)
                        ++m_nOutOfRange;
                }
                ++m_nTurns;
                m_Idle.waitAndReset();
            }
        });
        m_nThreadId = future.get();
    }
    ~TestLoop()
    {
        m_bStop = true;
        m_Idle.signal();
        m_Thread.join();
    }

    unsigned long getThreadId() const { return static_cast<unsigned long>(m_nThreadId); }
    void wakeUp() { m_Idle.signal(); }
    void setHook(const qvVoidFunctor& hook)
    {
        std::lock_guard<std::mutex> guard(m_HookMutex);
        m_Hook = hook;
    }
    // How many std::out_of_range exceptions left the hook.
    int outOfRangeErrors() const { return m_nOutOfRange.load(); }
    // How many turns the loop has finished.
    int turns() const { return m_nTurns.load(); }

private:
    std::atomic<bool> m_bStop{false};
    qvSynch::Signal m_Idle{false};
    std::mutex m_HookMutex;
    qvVoidFunctor m_Hook;
    std::atomic<int> m_nOutOfRange{0};
    std::atomic<int> m_nTurns{0};
    qvTest::ThreadId m_nThreadId;
    std::thread m_Thread;
};

// The interface over TestLoops, recording what the controller asks of it.
class TestInterface : public qvITC::Interface
{
public:
    void addLoop(TestLoop& loop) { m_mapLoops[loop.getThreadId()] = &loop; }

    unsigned long getCurrentThreadID() override { return qvTest::currentTid(); }
    qvVoidFunctor getWakeUpFunctor(unsigned long threadId) override
    {
        if (m_OnGetWakeUp)
            m_OnGetWakeUp();
        TestLoop& loop = find(threadId);
        return qvVoidFunctor([&loop] { loop.wakeUp(); });
    }
    void attachSchedulerHook(unsigned long threadId, const qvVoidFunctor& hook) override
    {
        m_vecCalls.push_back("attach " + std::to_string(threadId));
        if (m_OnAttach)
            m_OnAttach();
        find(threadId).setHook(hook);
    }
    void detachSchedulerHook(unsigned long threadId) override
    {
        m_vecCalls.push_back("detach " + std::to_string(threadId));
        auto it = m_mapLoops.find(threadId);
        if (it != m_mapLoops.end())
            it->second->setHook(qvVoidFunctor());
    }

    std::vector<std::string> m_vecCalls;
    // Called first by every getWakeUpFunctor(), and by attachSchedulerHook() before it attaches;
    // set them while no controller call runs.
    std::function<void()> m_OnGetWakeUp;
    std::function<void()> m_OnAttach;

private:
    TestLoop& find(unsigned long threadId)
    {
        auto it = m_mapLoops.find(threadId);
        if (it == m_mapLoops.end())
            throw std::logic_error("No mainloop for thread available.");
        return *it->second;
    }
    std::map<unsigned long, TestLoop*> m_mapLoops;
};

MessageFunctor countingMessage(std::atomic<int>* pRuns)
{
    return MessageFunctor([pRuns](const ArgumentVector&) {
        ++*pRuns;
        return qvAnyContainer();
    });
}

// A message that returns a fixed container and notes the thread it ran on.
MessageFunctor recordingMessage(qvAnyContainer result, std::atomic<qvTest::ThreadId>* pRanOn)
{
    return MessageFunctor([result, pRanOn](const ArgumentVector&) {
        if (pRanOn)
            pRanOn->store(qvTest::currentTid());
        return result;
    });
}

class qvITCControllerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Interface.addLoop(m_Loop);
        m_Controller.registerInterface(&m_Interface);
    }

    // Declared before the loop, so that they outlive the loop's thread.
    qvTest::Gate m_Release;
    qvTest::Gate m_Blocking;
    TestLoop m_Loop;
    TestInterface m_Interface;
    Controller m_Controller;
    ArgumentVector m_NoArguments{0, false};
};

} // namespace

TEST(qvITCControllerNoInterfaceTest, SchedulerOperationsNeedAnInterface)
{
    Controller controller;
    try {
        controller.createInvokationTaskScheduler(1);
        FAIL() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Invalid ITC interface.", e.what());
    }
    EXPECT_THROW(controller.removeInvokationTaskScheduler(1), std::logic_error);
}

TEST_F(qvITCControllerTest, MessagesToAThreadWithoutSchedulerAreDroppedOrRunHere)
{
    std::atomic<qvTest::ThreadId> nRanOn{0};
    const qvAnyContainer value = qvMakeAny(5);
    m_Controller.sendAsyncMessage(recordingMessage(value, &nRanOn), m_NoArguments, 12345);
    EXPECT_EQ(0u, nRanOn.load());

    const qvAnyContainer result =
        m_Controller.sendSyncMessage(recordingMessage(value, &nRanOn), m_NoArguments, 12345);
    EXPECT_EQ(qvTest::currentTid(), nRanOn.load());
    EXPECT_TRUE(result == value);
}

// An empty functor would be called through a null target: it is refused at the call, on every
// path (queued to a loop, run here for the own thread or a thread without a scheduler), and
// nothing is queued (the loop goes on taking messages). In a child: the fault is a crash.
TEST_F(qvITCControllerTest, EmptyFunctorIsRefusedAtTheCallAndQueuesNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(qvTest::exitWithVerdict([this] {
                    const unsigned long nLoop = m_Loop.getThreadId();
                    m_Controller.createInvokationTaskScheduler(nLoop);
                    const std::function<void(unsigned long)> sends[] = {
                        [this](unsigned long nTarget) {
                            m_Controller.sendSyncMessage(MessageFunctor(), m_NoArguments, nTarget);
                        },
                        [this](unsigned long nTarget) {
                            m_Controller.sendAsyncMessage(MessageFunctor(), m_NoArguments, nTarget);
                        }};
                    for (const auto& send : sends) {
                        for (unsigned long nTarget : {nLoop, qvTest::currentTid(), 12345ul}) {
                            try {
                                send(nTarget);
                                return "no exception for target " + std::to_string(nTarget);
                            } catch (const std::invalid_argument& e) {
                                if (std::string(e.what()) != "ITC message functor is empty.")
                                    return std::string("unexpected text: ") + e.what();
                            }
                        }
                    }
                    std::atomic<int> nRuns{0};
                    m_Controller.sendSyncMessage(countingMessage(&nRuns), m_NoArguments, nLoop);
                    m_Controller.removeInvokationTaskScheduler(nLoop);
                    return std::string(nRuns == 1 ? "" : "the loop did not run the next message");
                }),
                testing::ExitedWithCode(0), "");
}

TEST_F(qvITCControllerTest, SyncMessageRunsOnTheTargetLoopAndSharesTheResultRecord)
{
    m_Controller.createInvokationTaskScheduler(m_Loop.getThreadId());
    std::atomic<qvTest::ThreadId> nRanOn{0};
    const qvAnyContainer value = qvMakeAny(std::string("state"));
    qvTest::AsyncCall sender([&] {
        const qvAnyContainer result = m_Controller.sendSyncMessage(
            recordingMessage(value, &nRanOn), m_NoArguments, m_Loop.getThreadId());
        EXPECT_TRUE(result == value);
    });
    ASSERT_TRUE(sender.finishedWithin()) << "synchronous sender was never released";
    sender.get();
    EXPECT_EQ(m_Loop.getThreadId(), nRanOn.load());
    m_Controller.removeInvokationTaskScheduler(m_Loop.getThreadId());
}

TEST_F(qvITCControllerTest, SyncMessageToOwnThreadRunsAtOnce)
{
    m_Controller.createInvokationTaskScheduler(m_Loop.getThreadId());
    std::atomic<qvTest::ThreadId> nRanOn{0};
    // Sent from inside the loop's own thread (through an asynchronous message), the nested
    // synchronous message must not wait for the loop that is running it.
    std::promise<void> done;
    const unsigned long nLoop = m_Loop.getThreadId();
    m_Controller.sendAsyncMessage(MessageFunctor([&](const ArgumentVector&) {
                                      m_Controller.sendSyncMessage(
                                          recordingMessage(qvAnyContainer(), &nRanOn),
                                          m_NoArguments, nLoop);
                                      done.set_value();
                                      return qvAnyContainer();
                                  }),
                                  m_NoArguments, nLoop);
    ASSERT_EQ(std::future_status::ready, done.get_future().wait_for(qvTest::TIMEOUT));
    EXPECT_EQ(nLoop, nRanOn.load());
    m_Controller.removeInvokationTaskScheduler(nLoop);
}

namespace {

// Where the farewell message goes. Not in the thread-local itself: MinGW's runtime may free a
// thread_local's storage before it runs the destructor (seen with the 32-bit runtime DLLs under
// Wine: the destructor read a heap link where the target had been), so the destructor reads
// nothing of its object.
struct FarewellTarget
{
    Controller* pController = nullptr;
    unsigned long nTarget = 0;
    std::atomic<int>* pRuns = nullptr;
};
FarewellTarget s_FarewellTarget;

// Sends one message from its thread's exit path. On Linux, as a thread-local made before the
// thread's first message, it is destroyed after the library has released that thread's
// per-thread state; on Windows before or after, depending on how the thread was made.
struct FarewellMessage
{
    ~FarewellMessage()
    {
        const FarewellTarget target = s_FarewellTarget;
        if (target.pController)
            target.pController->sendAsyncMessage(countingMessage(target.pRuns),
                                                 ArgumentVector(0, false), target.nTarget);
    }
};
thread_local FarewellMessage t_Farewell;

} // namespace

// The memory of a queue node handed back to a sender thread is freed when that thread ends; a
// message sent later on the thread's exit path must not be built in the freed memory.
TEST_F(qvITCControllerTest, MessageSentOnAThreadsExitPathUsesNoFreedNodeMemory)
{
    const unsigned long nLoop = m_Loop.getThreadId();
    m_Controller.createInvokationTaskScheduler(nLoop);
    std::atomic<int> nRuns{0};
    s_FarewellTarget = FarewellTarget{&m_Controller, nLoop, &nRuns};
    std::thread sender([&] {
        static_cast<void>(&t_Farewell); // made now, before the first message
        // Three calls in turn: the loop hands the first one's node back with the third.
        for (int n = 0; n < 3; ++n)
            m_Controller.sendSyncMessage(countingMessage(&nRuns), m_NoArguments, nLoop);
    });
    sender.join();
    s_FarewellTarget = FarewellTarget{};
    EXPECT_TRUE(qvTest::waitUntil([&] { return nRuns.load() == 4; }));
    m_Controller.removeInvokationTaskScheduler(nLoop);
}

TEST_F(qvITCControllerTest, QueuedMessagesRunInOrderOnePerHookCall)
{
    // A scheduler whose hook the test calls by hand: one task per call, oldest first.
    int nWakeUps = 0;
    qvITC::Controller::InvokationTaskScheduler* pScheduler =
        new qvITC::Controller::InvokationTaskScheduler(qvVoidFunctor([&] { ++nWakeUps; }));
    pScheduler->ref();
    std::vector<int> order;
    auto addNumbered = [&](int n) {
        pScheduler->addTask(
            qvITC::InvokationTask(MessageFunctor([&order, n](const ArgumentVector&) {
                                      order.push_back(n);
                                      return qvAnyContainer();
                                  }),
                                  m_NoArguments, nullptr, nullptr));
    };
    for (int n = 1; n <= 3; ++n)
        addNumbered(n);
    EXPECT_EQ(1, nWakeUps) << "only the first task finds the loop idle and wakes it";
    pScheduler->runNextTask();
    EXPECT_EQ((std::vector<int>{1}), order);
    EXPECT_EQ(2, nWakeUps) << "tasks remain: the loop must be woken to keep turning";
    pScheduler->runNextTask();
    pScheduler->runNextTask();
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
    EXPECT_EQ(3, nWakeUps) << "no wake-up once the queue is drained";
    pScheduler->runNextTask(); // empty: nothing
    EXPECT_EQ(3u, order.size());

    // A task that arrives while the hook works through earlier ones: its own wake-up may be
    // spent on one of those, so the call that leaves it queued wakes the loop again.
    addNumbered(4);
    addNumbered(5);
    pScheduler->runNextTask();
    addNumbered(6);
    nWakeUps = 0;
    pScheduler->runNextTask();
    EXPECT_EQ(1, nWakeUps) << "task 6 is left queued without a wake-up";
    pScheduler->runNextTask();
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6}), order);
    pScheduler->unref();
}

TEST_F(qvITCControllerTest, RemovingASchedulerDetachesFirstAndReleasesWaitingSenders)
{
    const unsigned long nLoop = m_Loop.getThreadId();
    m_Controller.createInvokationTaskScheduler(nLoop);
    // Block the loop inside a task so that the next one stays queued.
    m_Controller.sendAsyncMessage(MessageFunctor([&](const ArgumentVector&) {
                                      m_Blocking.open();
                                      m_Release.waitFor();
                                      return qvAnyContainer();
                                  }),
                                  m_NoArguments, nLoop);
    ASSERT_TRUE(m_Blocking.waitFor());
    std::atomic<bool> bRan{false};
    qvTest::AsyncCall sender([&] {
        try {
            m_Controller.sendSyncMessage(MessageFunctor([&](const ArgumentVector&) {
                                             bRan = true;
                                             return qvAnyContainer();
                                         }),
                                         m_NoArguments, nLoop);
            ADD_FAILURE() << "a discarded message reported success";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ("ITC message was discarded before it ran.", e.what());
        }
    });
    ASSERT_TRUE(qvTest::waitUntil([&] { return !sender.finishedWithin(std::chrono::seconds(0)); }));
    EXPECT_TRUE(sender.stillBlocked());
    m_Controller.removeInvokationTaskScheduler(nLoop);
    EXPECT_EQ((std::vector<std::string>{"attach " + std::to_string(nLoop),
                                        "detach " + std::to_string(nLoop)}),
              m_Interface.m_vecCalls);
    ASSERT_TRUE(sender.finishedWithin()) << "sender of a discarded message was never released";
    m_Release.open();
    EXPECT_FALSE(bRan);
    EXPECT_FALSE(m_Controller.hasInvokationTaskScheduler(nLoop));

    // Removing a scheduler that does not exist still asks to detach, and changes nothing else.
    m_Controller.removeInvokationTaskScheduler(777);
    EXPECT_EQ("detach 777", m_Interface.m_vecCalls.back());
}

TEST_F(qvITCControllerTest, ThrowingFunctorLeavesTheLoopAndReachesTheSender)
{
    const unsigned long nLoop = m_Loop.getThreadId();
    m_Controller.createInvokationTaskScheduler(nLoop);
    try {
        m_Controller.sendSyncMessage(MessageFunctor([](const ArgumentVector&) -> qvAnyContainer {
                                         throw std::out_of_range("bad index");
                                     }),
                                     m_NoArguments, nLoop);
        FAIL() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ("bad index", e.what());
        // Inside the catch block: the loop has let go of the shared exception object first.
        EXPECT_TRUE(qvTest::waitUntil([&] { return m_Loop.outOfRangeErrors() == 1; }))
            << "the exception did not leave the target loop";
    }
    m_Controller.removeInvokationTaskScheduler(nLoop);
}

// A message for a loop that has ended never runs on the sender, whether the loop's scheduler
// was closed or removed, or the message names no thread: a synchronous one gets the discard
// error, an asynchronous one is dropped; once the thread id has a scheduler again, its messages
// run on its loop.
TEST_F(qvITCControllerTest, MessageForAnEndedLoopIsRefusedNotRunOnTheSender)
{
    const unsigned long nLoop = m_Loop.getThreadId();
    const std::pair<const char*, std::function<unsigned long()>> ends[] = {
        {"closed",
         [&] {
             m_Controller.closeInvokationTaskScheduler(nLoop);
             return nLoop;
         }},
        {"removed",
         [&] {
             m_Controller.removeInvokationTaskScheduler(nLoop);
             return nLoop;
         }},
        {"no thread", [&] {
             m_Controller.removeInvokationTaskScheduler(nLoop);
             return qvITC::Interface::NO_THREAD_ID;
         }}};
    for (const auto& end : ends) {
        m_Controller.createInvokationTaskScheduler(nLoop);
        const unsigned long nTarget = end.second();
        std::atomic<qvTest::ThreadId> nRanOn{0};
        m_Controller.sendAsyncMessage(recordingMessage(qvAnyContainer(), &nRanOn), m_NoArguments,
                                      nTarget);
        try {
            m_Controller.sendSyncMessage(recordingMessage(qvAnyContainer(), &nRanOn), m_NoArguments,
                                         nTarget);
            ADD_FAILURE() << end.first << ": no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ("ITC message was discarded before it ran.", e.what()) << end.first;
        }
        m_Loop.wakeUp();
        EXPECT_EQ(0u, nRanOn.load()) << end.first << ": the message ran";
        m_Controller.removeInvokationTaskScheduler(nLoop);
        EXPECT_FALSE(m_Controller.hasInvokationTaskScheduler(nLoop)) << end.first;
    }
    m_Controller.createInvokationTaskScheduler(nLoop);
    std::atomic<qvTest::ThreadId> nRanOn{0};
    m_Controller.sendSyncMessage(recordingMessage(qvAnyContainer(), &nRanOn), m_NoArguments, nLoop);
    EXPECT_EQ(nLoop, nRanOn.load());
    m_Controller.removeInvokationTaskScheduler(nLoop);
}

TEST_F(qvITCControllerTest, SecondCreateKeepsTheFirstScheduler)
{
    const unsigned long nLoop = m_Loop.getThreadId();
    m_Controller.createInvokationTaskScheduler(nLoop);
    m_Controller.createInvokationTaskScheduler(nLoop);
    EXPECT_EQ(1u, m_Interface.m_vecCalls.size());
    m_Controller.removeInvokationTaskScheduler(nLoop);

    // Two overlapping calls: the one that enters its scheduler first keeps it; the other
    // attaches nothing and frees its own (the leak check would see it otherwise).
    std::atomic<int> nWakeUpFunctors{0};
    qvTest::Gate slowInside;
    qvTest::Gate slowGoOn;
    m_Interface.m_OnGetWakeUp = [&] {
        if (nWakeUpFunctors++ == 0) {
            slowInside.open();
            EXPECT_TRUE(slowGoOn.waitFor());
        }
    };
    qvTest::AsyncCall slow([&] { m_Controller.createInvokationTaskScheduler(nLoop); });
    ASSERT_TRUE(slowInside.waitFor());
    m_Controller.createInvokationTaskScheduler(nLoop);
    slowGoOn.open();
    ASSERT_TRUE(slow.finishedWithin());
    m_Interface.m_OnGetWakeUp = nullptr;
    EXPECT_EQ((std::vector<std::string>{"attach " + std::to_string(nLoop),
                                        "detach " + std::to_string(nLoop),
                                        "attach " + std::to_string(nLoop)}),
              m_Interface.m_vecCalls);
    m_Controller.removeInvokationTaskScheduler(nLoop);
}

// A message that reaches the scheduler before its hook is attached wakes a loop that has no hook
// yet; the loop must still turn for it, and for every later message, once the hook is there.
TEST_F(qvITCControllerTest, MessageSentWhileTheHookIsAttachedIsRunAndLaterOnesToo)
{
    const unsigned long nLoop = m_Loop.getThreadId();
    std::atomic<int> nRuns{0};
    m_Interface.m_OnAttach = [&] {
        const int nTurns = m_Loop.turns();
        m_Controller.sendAsyncMessage(countingMessage(&nRuns), m_NoArguments, nLoop);
        // The loop has turned for that wake-up, without a hook to run it.
        EXPECT_TRUE(qvTest::waitUntil([&] { return m_Loop.turns() > nTurns; }));
    };
    m_Controller.createInvokationTaskScheduler(nLoop);
    m_Interface.m_OnAttach = nullptr;
    qvTest::AsyncCall sender(
        [&] { m_Controller.sendSyncMessage(countingMessage(&nRuns), m_NoArguments, nLoop); });
    const bool bDelivered = sender.finishedWithin();
    EXPECT_TRUE(bDelivered) << "the loop slept on with messages queued";
    m_Controller.removeInvokationTaskScheduler(nLoop); // releases a stranded sender
    ASSERT_TRUE(sender.finishedWithin());
    if (bDelivered) {
        EXPECT_EQ(2, nRuns.load());
    }
}

// A sending thread's cache keeps the scheduler it last used; once another thread has removed
// that one and made a new one for the same loop, the sender's next message must go to the new
// one, not be discarded.
TEST_F(qvITCControllerTest, MessageAfterTheSchedulerWasMadeAgainReachesTheNewOne)
{
    constexpr int ROUNDS = 3;
    const unsigned long nLoop = m_Loop.getThreadId();
    std::atomic<int> nRuns{0};
    std::atomic<int> nDiscarded{0};
    qvTest::Gate created[ROUNDS];
    qvTest::Gate sent[ROUNDS];
    qvTest::AsyncCall sender([&] {
        for (int nRound = 0; nRound < ROUNDS && created[nRound].waitFor(); ++nRound) {
            try {
                m_Controller.sendSyncMessage(countingMessage(&nRuns), m_NoArguments, nLoop);
            } catch (const std::runtime_error&) {
                ++nDiscarded;
            }
            sent[nRound].open();
        }
    });
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        m_Controller.createInvokationTaskScheduler(nLoop);
        created[nRound].open();
        ASSERT_TRUE(sent[nRound].waitFor());
        m_Controller.removeInvokationTaskScheduler(nLoop);
    }
    ASSERT_TRUE(sender.finishedWithin());
    EXPECT_EQ(0, nDiscarded.load());
    EXPECT_EQ(ROUNDS, nRuns.load());
}

TEST(qvITCControllerDestructionTest, DetachesEverySchedulerInAscendingOrder)
{
    TestLoop first;
    TestLoop second;
    TestInterface interface;
    interface.addLoop(first);
    interface.addLoop(second);
    std::vector<std::string> expected;
    {
        Controller controller;
        controller.registerInterface(&interface);
        controller.createInvokationTaskScheduler(second.getThreadId());
        controller.createInvokationTaskScheduler(first.getThreadId());
        const unsigned long nLow = std::min(first.getThreadId(), second.getThreadId());
        const unsigned long nHigh = std::max(first.getThreadId(), second.getThreadId());
        expected = interface.m_vecCalls;
        expected.push_back("detach " + std::to_string(nLow));
        expected.push_back("detach " + std::to_string(nHigh));
    }
    EXPECT_EQ(expected, interface.m_vecCalls);
}

TEST(qvITCArgumentsTest, MakeArgumentsHoldsTypedCopiesInOrder)
{
    const ArgumentVector arguments = qvITC::makeArguments(7, std::string("seven"));
    ASSERT_EQ(2u, arguments.getSize());
    EXPECT_EQ(7, *qvAnyCast<int>(arguments[0]));
    EXPECT_EQ("seven", *qvAnyCast<std::string>(arguments[1]));
    EXPECT_EQ(0u, qvITC::makeArguments().getSize());
}
