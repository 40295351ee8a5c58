#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "MainLoop/qvProcessor.h"
#include "qvTestSupport.h"

using qvITC::ArgumentVector;
using qvITC::MessageFunctor;

// Four senders send a mix of synchronous and asynchronous messages to three loops (one busy,
// two idle); the loops are shut down while the senders are still sending. Every synchronous
// message either ran exactly once or its sender was told it was discarded; no asynchronous
// message ran twice; nothing hangs.
TEST(qvITCStressTest, SendersRacingLoopShutdownLoseNoSynchronousMessage)
{
    constexpr int SENDERS = 4;
    constexpr int MESSAGES_PER_SENDER = 1500;
    constexpr int LOOPS = 3;

    qvProcessor processor;
    std::vector<unsigned long> ids;
    std::vector<unsigned long> threads;
    for (int n = 0; n < LOOPS; ++n) {
        const unsigned long id = processor.createMainLoop();
        if (n == 0)
            processor.getMainLoop(id).getFunctionPipeLine().addFunction(
                qvVoidFunctor([] { std::this_thread::yield(); }));
        processor.run(id);
        ids.push_back(id);
        threads.push_back(processor.getThreadID(id));
    }

    const int nMessages = SENDERS * MESSAGES_PER_SENDER;
    std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[nMessages]);
    // What the sender learned of each message: 0 asynchronous, 1 ran, 2 discarded.
    std::unique_ptr<std::atomic<int>[]> outcomes(new std::atomic<int>[nMessages]);
    for (int n = 0; n < nMessages; ++n) {
        runs[n] = 0;
        outcomes[n] = 0;
    }
    std::atomic<int> nSyncSent{0};
    std::atomic<int> nSyncDone{0};
    std::atomic<int> nSyncDiscarded{0};
    std::atomic<int> nSyncWrong{0};
    std::atomic<int> nSent{0};

    std::vector<std::unique_ptr<qvTest::AsyncCall>> senders;
    for (int s = 0; s < SENDERS; ++s) {
        senders.push_back(std::make_unique<qvTest::AsyncCall>([&, s] {
            std::mt19937 random(1234 + s);
            for (int m = 0; m < MESSAGES_PER_SENDER; ++m) {
                const int nMessage = s * MESSAGES_PER_SENDER + m;
                const unsigned long nTarget = threads[random() % LOOPS];
                MessageFunctor message([&runs, nMessage](const ArgumentVector&) {
                    ++runs[nMessage];
                    return qvMakeAny(nMessage);
                });
                if (random() % 2) {
                    ++nSyncSent;
                    try {
                        const qvAnyContainer result = processor.getITC().sendSyncMessage(
                            message, ArgumentVector(0, false), nTarget);
                        if (!qvAnyCast<int>(result) || *qvAnyCast<int>(result) != nMessage)
                            ++nSyncWrong;
                        ++nSyncDone;
                        outcomes[nMessage] = 1;
                    } catch (const std::runtime_error&) {
                        ++nSyncDiscarded;
                        outcomes[nMessage] = 2;
                    }
                } else {
                    processor.getITC().sendAsyncMessage(message, ArgumentVector(0, false), nTarget);
                }
                ++nSent;
            }
        }));
    }

    // Shut the loops down one by one while the senders are under way.
    for (int n = 0; n < LOOPS; ++n) {
        ASSERT_TRUE(qvTest::waitUntil([&] { return nSent >= nMessages * (n + 1) / 5; }));
        processor.shutdown(ids[n]);
    }
    for (auto& sender : senders)
        ASSERT_TRUE(sender->finishedWithin()) << "a sender hung";

    EXPECT_EQ(nSyncSent.load(), nSyncDone + nSyncDiscarded);
    EXPECT_EQ(0, nSyncWrong.load());
    int nRunTwice = 0;
    int nMismatched = 0;
    for (int n = 0; n < nMessages; ++n) {
        nRunTwice += runs[n] > 1;
        nMismatched += (outcomes[n] == 1 && runs[n] != 1) || (outcomes[n] == 2 && runs[n] != 0);
    }
    EXPECT_EQ(0, nRunTwice);
    EXPECT_EQ(0, nMismatched) << "a synchronous sender was told the wrong outcome";
}

namespace {
// A running loop with an empty pipeline (idle between messages) and a message that counts its
// runs.
struct IdleLoop
{
    IdleLoop() : id(processor.createMainLoop())
    {
        processor.run(id);
        nThread = processor.getThreadID(id);
    }

    qvProcessor processor;
    const unsigned long id;
    unsigned long nThread = 0;
    std::atomic<long> nRuns{0};
    const MessageFunctor message{[this](const ArgumentVector&) {
        nRuns.fetch_add(1, std::memory_order_release);
        return qvAnyContainer();
    }};
};
} // namespace

// Two senders keep an idle loop busy in bursts, then a synchronous message asks for everything to
// have run. A sender that the loop overtakes between its push and its look at the loop's idle
// flag (the loop has run its task and gone idle meanwhile) takes the loop's wake-up for nothing;
// unless the loop then declares itself idle again, the next sender finds it busy and its message
// is left asleep. (A race: this catches that fault in some runs, not in every one.)
TEST(qvITCStressTest, SenderOvertakenByAnIdleLoopLeavesNoMessageAsleep)
{
    const int ROUNDS = qvTest::raceRounds(600);
    constexpr int BURST = 2000;
    IdleLoop loop;
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        auto sendBurst = [&] {
            for (int n = 0; n < BURST; ++n)
                loop.processor.getITC().sendAsyncMessage(loop.message, ArgumentVector(0, false),
                                                         loop.nThread);
        };
        qvTest::AsyncCall second(sendBurst);
        sendBurst();
        ASSERT_TRUE(second.finishedWithin());
        qvTest::AsyncCall flush([&] {
            loop.processor.getITC().sendSyncMessage(loop.message, ArgumentVector(0, false),
                                                    loop.nThread);
        });
        if (!flush.finishedWithin()) {
            loop.processor.shutdown(loop.id); // discards the message and releases its sender
            FAIL() << "round " << nRound << ": a message was left asleep";
        }
        ASSERT_EQ((nRound + 1) * (2 * BURST + 1), loop.nRuns.load());
    }
}

// One message at a time to a loop that goes idle after each: the sender sends the next one just
// as the loop declares itself idle and takes its last look at the queue. Either the loop sees
// the message or the sender sees the loop idle and wakes it; a message that neither sees sleeps
// on. Bounded in time as in rounds (a race: caught in some runs, not in every one).
TEST(qvITCStressTest, OneMessageAtATimeToAnIdleLoopIsNeverLeftAsleep)
{
    const int ROUNDS = qvTest::raceRounds(1000000);
    const auto stop = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    IdleLoop loop;
    const ArgumentVector noArguments(0, false);
    long nRound = 0;
    for (; nRound < ROUNDS && std::chrono::steady_clock::now() < stop; ++nRound) {
        loop.processor.getITC().sendAsyncMessage(loop.message, noArguments, loop.nThread);
        // Spins briefly (the loop is on another core or about to run), then waits politely.
        for (unsigned int nSpins = 0; loop.nRuns.load(std::memory_order_acquire) == nRound;
             ++nSpins) {
            if (nSpins > 256 && !qvTest::waitUntil([&] { return loop.nRuns.load() > nRound; })) {
                loop.processor.shutdown(loop.id);
                FAIL() << "round " << nRound << ": the message was left asleep";
            }
        }
    }
    EXPECT_EQ(nRound, loop.nRuns.load());
    std::printf("[ rounds   ] %ld\n", nRound);
    loop.processor.shutdown(loop.id);
}
