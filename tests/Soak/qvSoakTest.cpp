// The soak: for a bounded time (and a bounded number of rounds), one driver thread per core
// picks scenario after scenario at random and runs it against the library:
//
// - main loops: a processor with a few loops (busy or idle, run or never run), several sender
//   threads sending synchronous and asynchronous messages to them, while the driver suspends
//   and resumes loops, runs them late, adds pipeline functions, creates more loops and shuts
//   loops down under the senders' feet; then the processor is destroyed, sometimes with a loop
//   still suspended;
// - barrier cycles with 2 to 4 threads, the last arrival varied;
// - reference-counted signal cycles with 1 to 4 holders;
// - thread teams and joinable teams of 1 to 3 members: quick jobs from two producers at once,
//   each job of a joinable team joined by several threads at once (one of them with a list);
//   then jobs that hold their members with quick ones queued behind them, and the team is
//   destroyed while jobs wait and run;
//
// and counts exactly: every synchronous message ran once (on its loop, or on the sender when its
// loop had gone) or its sender was told it was discarded; every asynchronous message ran at most
// once, and every one queued before a synchronous message that ran on the same loop had run by
// then; every copy of every message functor was released; every job ran once unless its team
// was destroyed first, and none ran after; every join returned, after its job had run; every
// barrier released its threads only after all had arrived; every signal wait returned after all
// holders had let go.
//
// A watchdog turns a hang into a failure: each blocking wait is registered with a name, and one
// that lasts longer than the limit aborts the program naming the wait (and the seed).
//
// Settings (environment):
//   QV_SOAK_SEED      the seed; printed; the same seed gives every driver the same sequence of
//                     scenarios and operations (the interleaving of threads still varies)
//   QV_SOAK_SECONDS   time bound (default 20; 3 under valgrind, QV_MEMCHECK=1)
//   QV_SOAK_ROUNDS    scenarios per driver at most (default 100000)
//   QV_SOAK_WATCHDOG  seconds a single wait may last (default 60; 600 under valgrind)

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Container/qvDCList.h"
#include "MainLoop/qvProcessor.h"
#include "Threading/qvBarrier.h"
#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvRCSignal.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvThread.h"
#include "Threading/qvThreadTeam.h"
#include "qvTestPlatform.h"

using qvITC::ArgumentVector;
using qvITC::MessageFunctor;
using Clock = std::chrono::steady_clock;
using Random = std::mt19937_64;

namespace {

const std::string DISCARDED = "ITC message was discarded before it ran.";

// ---------------------------------------------------------------------------------------------
// Settings

struct Settings
{
    std::uint64_t nSeed = 0;
    double dSeconds = 20.0;
    unsigned long nRounds = 100000;
    unsigned int nWatchdogSeconds = 60;
    unsigned int nDrivers = 2;
    bool bMemcheck = false;
};

const char* environment(const char* cstrName)
{
    const char* cstrValue = std::getenv(cstrName);
    return cstrValue != nullptr && *cstrValue != '\0' ? cstrValue : nullptr;
}

Settings readSettings()
{
    Settings settings;
    settings.bMemcheck = environment("QV_MEMCHECK") != nullptr;
    if (settings.bMemcheck) {
        settings.dSeconds = 3.0;
        settings.nWatchdogSeconds = 600;
    }
    if (const char* cstrSeed = environment("QV_SOAK_SEED"))
        settings.nSeed = std::strtoull(cstrSeed, nullptr, 0);
    else
        settings.nSeed =
            (static_cast<std::uint64_t>(std::random_device()()) << 32) ^ std::random_device()();
    if (const char* cstrSeconds = environment("QV_SOAK_SECONDS"))
        settings.dSeconds = std::strtod(cstrSeconds, nullptr);
    if (const char* cstrRounds = environment("QV_SOAK_ROUNDS"))
        settings.nRounds = std::strtoul(cstrRounds, nullptr, 0);
    if (const char* cstrWatchdog = environment("QV_SOAK_WATCHDOG"))
        settings.nWatchdogSeconds =
            static_cast<unsigned int>(std::strtoul(cstrWatchdog, nullptr, 0));
    settings.nDrivers = std::max(2u, std::thread::hardware_concurrency());
    return settings;
}

// ---------------------------------------------------------------------------------------------
// Failures, figures

std::atomic<int> s_nFailures{0};
std::mutex s_FailureLock;
std::vector<std::string> s_vecFailures; // the first few texts

void fail(const std::string& sstrWhat)
{
    if (s_nFailures.fetch_add(1) < 20) {
        std::lock_guard<std::mutex> guard(s_FailureLock);
        s_vecFailures.push_back(sstrWhat);
    }
}

struct Figures
{
    std::atomic<std::uint64_t> nScenarios{0};
    std::atomic<std::uint64_t> nProcessors{0};
    std::atomic<std::uint64_t> nLoopsCreated{0};
    std::atomic<std::uint64_t> nLoopsRun{0};
    std::atomic<std::uint64_t> nLoopsShutDown{0};
    std::atomic<std::uint64_t> nLoopsEndedByDestructor{0};
    std::atomic<std::uint64_t> nSuspendResumePairs{0};
    std::atomic<std::uint64_t> nSuspendedAtDestruction{0};
    std::atomic<std::uint64_t> nPipelineFunctionsAdded{0};
    std::atomic<std::uint64_t> nPipelineCalls{0};
    std::atomic<std::uint64_t> nSyncSent{0};
    std::atomic<std::uint64_t> nSyncRanOnLoop{0};
    std::atomic<std::uint64_t> nSyncRanDirectly{0};
    std::atomic<std::uint64_t> nSyncDiscarded{0};
    std::atomic<std::uint64_t> nAsyncSent{0};
    std::atomic<std::uint64_t> nAsyncRan{0};
    std::atomic<std::uint64_t> nAsyncDiscarded{0};
    std::atomic<std::uint64_t> nOrderChecks{0};
    std::atomic<std::uint64_t> nBarrierCycles{0};
    std::atomic<std::uint64_t> nBarrierWaits{0};
    std::atomic<std::uint64_t> nSignalCycles{0};
    std::atomic<std::uint64_t> nSignalUnrefs{0};
    std::atomic<std::uint64_t> nThreadsStarted{0};
    std::atomic<std::uint64_t> nTeams{0};
    std::atomic<std::uint64_t> nJoinableTeams{0};
    std::atomic<std::uint64_t> nTeamMembers{0};
    std::atomic<std::uint64_t> nJobsCreated{0};
    std::atomic<std::uint64_t> nJobsRan{0};
    std::atomic<std::uint64_t> nJobsDropped{0};
    std::atomic<std::uint64_t> nJobsHeld{0};
    std::atomic<std::uint64_t> nJoins{0};
    std::atomic<std::uint64_t> nTeamsDestroyedBusy{0};
};

Figures s_Figures;

// ---------------------------------------------------------------------------------------------
// The watchdog

constexpr int WAIT_SLOTS = 1024;

struct WaitSlot
{
    std::atomic<const char*> pWhat{nullptr};
    std::atomic<std::int64_t> nSinceMs{0};
};

WaitSlot s_WaitSlots[WAIT_SLOTS];
std::atomic<unsigned int> s_nNextSlot{0};

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// Registers a blocking wait for the watchdog for the scope's lifetime. Takes no lock and
// allocates nothing (it is used while a loop may be suspended inside the allocator).
class WaitScope
{
public:
    explicit WaitScope(const char* cstrWhat) : m_nSlot(-1)
    {
        const unsigned int nStart = s_nNextSlot.fetch_add(1, std::memory_order_relaxed);
        for (unsigned int n = 0; n < WAIT_SLOTS; ++n) {
            const int nSlot = static_cast<int>((nStart + n) % WAIT_SLOTS);
            const char* pFree = nullptr;
            s_WaitSlots[nSlot].nSinceMs.store(nowMs(), std::memory_order_relaxed);
            if (s_WaitSlots[nSlot].pWhat.compare_exchange_strong(pFree, cstrWhat)) {
                m_nSlot = nSlot;
                break;
            }
        }
    }
    ~WaitScope()
    {
        if (m_nSlot >= 0)
            s_WaitSlots[m_nSlot].pWhat.store(nullptr);
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

private:
    int m_nSlot;
};

class Watchdog
{
public:
    Watchdog(unsigned int nLimitSeconds, std::uint64_t nSeed)
        : m_nLimitMs(static_cast<std::int64_t>(nLimitSeconds) * 1000), m_nSeed(nSeed),
          m_bStop(false), m_Thread([this] { watch(); })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_bStop = true;
        }
        m_Wake.notify_all();
        m_Thread.join();
    }

private:
    void watch()
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        while (!m_Wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_bStop; })) {
            const std::int64_t nNow = nowMs();
            for (auto& slot : s_WaitSlots) {
                const char* cstrWhat = slot.pWhat.load();
                if (cstrWhat == nullptr)
                    continue;
                const std::int64_t nFor = nNow - slot.nSinceMs.load();
                if (cstrWhat == slot.pWhat.load() && nFor > m_nLimitMs)
                    stuck(cstrWhat, nFor);
            }
        }
    }

    [[noreturn]] void stuck(const char* cstrWhat, std::int64_t nForMs)
    {
        std::fprintf(stderr,
                     "soak watchdog: a wait is stuck for %lld ms: %s\n"
                     "soak watchdog: other waits still open:\n",
                     static_cast<long long>(nForMs), cstrWhat);
        const std::int64_t nNow = nowMs();
        for (auto& slot : s_WaitSlots)
            if (const char* cstrOther = slot.pWhat.load())
                std::fprintf(stderr, "  %s (%lld ms)\n", cstrOther,
                             static_cast<long long>(nNow - slot.nSinceMs.load()));
        std::fprintf(stderr, "soak watchdog: reproduce with QV_SOAK_SEED=%llu\n",
                     static_cast<unsigned long long>(m_nSeed));
        std::fflush(stderr);
        std::abort();
    }

    const std::int64_t m_nLimitMs;
    const std::uint64_t m_nSeed;
    std::mutex m_Lock;
    std::condition_variable m_Wake;
    bool m_bStop;
    std::thread m_Thread;
};

// Joins a thread as a registered wait.
void joinThread(std::thread& thread, const char* cstrWhat)
{
    WaitScope wait(cstrWhat);
    thread.join();
}

// ---------------------------------------------------------------------------------------------
// Main loops and messages

// What became of one message. A message's functor holds a mark shared by all its copies; the
// last copy to go sets bReleased, so a copy that was never released (leaked or still queued
// somewhere) shows.
struct MessageRecord
{
    std::atomic<int> nRuns{0};
    std::atomic<unsigned long> nRanOn{0};
    std::atomic<bool> bReleased{false};
    bool bSync = false;
    // What the synchronous sender learned: 0 nothing yet, 1 result from its loop, 2 discarded,
    // 3 ran on the sender itself (its loop had gone).
    std::atomic<int> nOutcome{0};
};

struct ReleaseMark
{
    explicit ReleaseMark(MessageRecord* pRecord) : m_pRecord(pRecord) {}
    ~ReleaseMark() { m_pRecord->bReleased = true; }
    MessageRecord* m_pRecord;
};

MessageFunctor makeMessage(MessageRecord* pRecord, int nValue)
{
    std::shared_ptr<ReleaseMark> spMark = std::make_shared<ReleaseMark>(pRecord);
    return MessageFunctor([spMark, nValue](const ArgumentVector&) {
        MessageRecord* pRecord = spMark->m_pRecord;
        pRecord->nRanOn = qvThread::currentThreadId();
        ++pRecord->nRuns;
        return qvMakeAny(nValue);
    });
}

struct LoopInfo
{
    unsigned long nId = 0;
    unsigned long nThread = 0;
    bool bRun = false;
    bool bShutDown = false;
};

// One sender: nMessages messages to the loops, a mix of synchronous and asynchronous ones, with
// now and then a synchronous one that checks that the asynchronous ones queued before it ran.
// The order checks' own records go to orderRecords, which outlives the processor: the loop's copy
// of a task may be released after its sender has returned.
void sendMessages(qvProcessor& processor, const std::vector<LoopInfo>& loops,
                  MessageRecord* pRecords, int nFirst, int nMessages, std::uint64_t nSeed,
                  std::deque<MessageRecord>& orderRecords)
{
    Random random(nSeed);
    qvITC::Controller& itc = processor.getITC();
    std::vector<std::vector<int>> vecPending(loops.size()); // asynchronous, not yet checked

    const auto checkOrder = [&](std::size_t nLoop) {
        MessageRecord& order = orderRecords.emplace_back();
        {
            WaitScope wait("sendSyncMessage (order check) to a loop");
            try {
                itc.sendSyncMessage(makeMessage(&order, -1), ArgumentVector(0, false),
                                    loops[nLoop].nThread);
            } catch (const std::runtime_error& error) {
                if (error.what() != DISCARDED)
                    fail(std::string("order check threw: ") + error.what());
            }
        }
        if (order.nRuns == 1 && order.nRanOn == loops[nLoop].nThread) {
            ++s_Figures.nOrderChecks;
            for (int nIndex : vecPending[nLoop])
                if (pRecords[nIndex].nRuns != 1)
                    fail("asynchronous message " + std::to_string(nIndex) +
                         " queued before a synchronous one that ran had not run");
        }
        vecPending[nLoop].clear();
    };

    for (int m = 0; m < nMessages; ++m) {
        const int nIndex = nFirst + m;
        MessageRecord& record = pRecords[nIndex];
        const std::size_t nLoop = random() % loops.size();
        const unsigned long nThread = loops[nLoop].nThread;
        if (random() % 2 == 0) {
            record.bSync = true;
            ++s_Figures.nSyncSent;
            WaitScope wait("sendSyncMessage to a loop");
            try {
                const qvAnyContainer result = itc.sendSyncMessage(
                    makeMessage(&record, nIndex), ArgumentVector(0, false), nThread);
                const int* pValue = qvAnyCast<int>(result);
                if (pValue == nullptr || *pValue != nIndex)
                    fail("synchronous message " + std::to_string(nIndex) + ": wrong result");
                record.nOutcome = record.nRanOn == nThread ? 1 : 3;
            } catch (const std::runtime_error& error) {
                if (error.what() == DISCARDED)
                    record.nOutcome = 2;
                else
                    fail(std::string("synchronous message threw: ") + error.what());
            }
        } else {
            ++s_Figures.nAsyncSent;
            itc.sendAsyncMessage(makeMessage(&record, nIndex), ArgumentVector(0, false), nThread);
            vecPending[nLoop].push_back(nIndex);
        }
        if (random() % 8 == 0)
            checkOrder(nLoop);
    }
    for (std::size_t nLoop = 0; nLoop < loops.size(); ++nLoop)
        checkOrder(nLoop);
}

void addPipelineFunction(qvMainLoop& loop, Random& random)
{
    ++s_Figures.nPipelineFunctionsAdded;
    if (random() % 2 == 0) {
        loop.getFunctionPipeLine().addFunction(qvVoidFunctor([] {
            ++s_Figures.nPipelineCalls;
            std::this_thread::yield();
        }));
    } else {
        // One that allocates, so that suspensions also catch loops inside the allocator.
        loop.getFunctionPipeLine().addFunction(qvVoidFunctor([] {
            ++s_Figures.nPipelineCalls;
            std::string sstrText(100, 'x');
            std::this_thread::yield();
        }));
    }
}

void soakMainLoops(Random& random, const Settings& settings)
{
    const int nSenders = 2 + static_cast<int>(random() % 2);
    const int nMessages = settings.bMemcheck ? 8 : 20 + static_cast<int>(random() % 40);
    std::unique_ptr<MessageRecord[]> upRecords(new MessageRecord[nSenders * nMessages]);
    // Records of the order checks (one list per sender) and of the driver's own messages.
    std::vector<std::deque<MessageRecord>> vecOrderRecords(nSenders);
    std::deque<MessageRecord> driverRecords;
    {
        std::unique_ptr<qvProcessor> upProcessor(new qvProcessor);
        qvProcessor& processor = *upProcessor;
        ++s_Figures.nProcessors;
        std::vector<LoopInfo> loops(1 + random() % 3);
        for (LoopInfo& loop : loops) {
            loop.nId = processor.createMainLoop();
            loop.nThread = processor.getThreadID(loop.nId);
            ++s_Figures.nLoopsCreated;
            if (random() % 2 == 0)
                addPipelineFunction(processor.getMainLoop(loop.nId), random);
            if (random() % 4 != 0) {
                processor.run(loop.nId);
                loop.bRun = true;
                ++s_Figures.nLoopsRun;
            }
        }

        std::atomic<int> nSendersDone{0};
        std::vector<std::thread> senders;
        const std::vector<LoopInfo> targets(loops);
        for (int s = 0; s < nSenders; ++s) {
            const std::uint64_t nSeed = random();
            senders.emplace_back([&, s, nSeed] {
                sendMessages(processor, targets, upRecords.get(), s * nMessages, nMessages, nSeed,
                             vecOrderRecords[s]);
                ++nSendersDone;
            });
            ++s_Figures.nThreadsStarted;
        }

        // The driver meddles while the senders send.
        std::vector<unsigned long> extraLoops;
        for (int nOperation = 0; nSendersDone < nSenders && nOperation < 200; ++nOperation) {
            LoopInfo& loop = loops[random() % loops.size()];
            switch (random() % 16) {
            case 0:
            case 1:
            case 2:
            case 3:
                if (loop.bRun && !loop.bShutDown) {
                    // Stopped anywhere, perhaps inside the allocator: nothing here allocates
                    // or locks until it goes on again.
                    processor.suspend(loop.nId);
                    for (unsigned int n = random() % 16; n > 0; --n)
                        std::this_thread::yield();
                    processor.resume(loop.nId);
                    ++s_Figures.nSuspendResumePairs;
                }
                break;
            case 4:
                if (!loop.bRun && !loop.bShutDown) {
                    processor.run(loop.nId);
                    loop.bRun = true;
                    ++s_Figures.nLoopsRun;
                }
                break;
            case 5:
                if (!loop.bShutDown && random() % 3 == 0) {
                    WaitScope wait("qvProcessor::shutdown(id) while senders send");
                    processor.shutdown(loop.nId);
                    loop.bShutDown = true;
                    ++s_Figures.nLoopsShutDown;
                }
                break;
            case 6:
                if (!loop.bShutDown)
                    addPipelineFunction(processor.getMainLoop(loop.nId), random);
                break;
            case 7:
                if (extraLoops.size() < 2) {
                    const unsigned long id = processor.createMainLoop();
                    ++s_Figures.nLoopsCreated;
                    processor.run(id);
                    ++s_Figures.nLoopsRun;
                    MessageRecord& record = driverRecords.emplace_back();
                    {
                        WaitScope wait("driver's sendSyncMessage to a new loop");
                        processor.getITC().sendSyncMessage(makeMessage(&record, 0),
                                                           ArgumentVector(0, false),
                                                           processor.getThreadID(id));
                    }
                    if (record.nRuns != 1 || record.nRanOn != processor.getThreadID(id))
                        fail("a message to a new loop did not run on it");
                    extraLoops.push_back(id);
                }
                break;
            default:
                std::this_thread::yield();
                break;
            }
        }
        // Loops that were never run would keep their senders waiting: run them now.
        for (LoopInfo& loop : loops) {
            if (!loop.bRun && !loop.bShutDown) {
                processor.run(loop.nId);
                loop.bRun = true;
                ++s_Figures.nLoopsRun;
            }
        }
        for (std::thread& sender : senders)
            joinThread(sender, "joining a message sender");

        // The destructor ends the rest, now and then with one of them suspended.
        for (LoopInfo& loop : loops) {
            if (!loop.bShutDown) {
                ++s_Figures.nLoopsEndedByDestructor;
                if (random() % 4 == 0) {
                    processor.suspend(loop.nId);
                    ++s_Figures.nSuspendedAtDestruction;
                }
            }
        }
        s_Figures.nLoopsEndedByDestructor += extraLoops.size();
        WaitScope wait("destroying a processor");
        upProcessor.reset();
    }

    // The accounts.
    for (const auto& records : vecOrderRecords)
        for (const MessageRecord& record : records)
            if (!record.bReleased)
                fail("an order check's functor was never released");
    for (const MessageRecord& record : driverRecords)
        if (!record.bReleased)
            fail("a driver's message functor was never released");
    for (int n = 0; n < nSenders * nMessages; ++n) {
        const MessageRecord& record = upRecords[n];
        const std::string sstrName = "message " + std::to_string(n);
        if (!record.bReleased)
            fail(sstrName + ": a copy of its functor was never released");
        if (record.nRuns > 1)
            fail(sstrName + ": ran " + std::to_string(record.nRuns.load()) + " times");
        if (record.bSync) {
            switch (record.nOutcome) {
            case 1:
                ++s_Figures.nSyncRanOnLoop;
                break;
            case 3:
                ++s_Figures.nSyncRanDirectly;
                break;
            case 2:
                ++s_Figures.nSyncDiscarded;
                break;
            default:
                fail(sstrName + ": its synchronous sender learned nothing");
            }
            if ((record.nOutcome == 2) != (record.nRuns == 0))
                fail(sstrName + ": outcome and runs disagree");
        } else if (record.nRuns == 1) {
            ++s_Figures.nAsyncRan;
        } else {
            ++s_Figures.nAsyncDiscarded;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Barrier and reference-counted signal

void soakBarrier(Random& random, const Settings& settings)
{
    const int nThreads = 2 + static_cast<int>(random() % 3);
    const int nCycles = settings.bMemcheck ? 10 : 50 + static_cast<int>(random() % 150);
    qvSynch::Barrier barrier;
    barrier.init(nThreads);
    std::unique_ptr<std::atomic<int>[]> upArrivals(new std::atomic<int>[nCycles]);
    for (int c = 0; c < nCycles; ++c)
        upArrivals[c] = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; ++t) {
        const std::uint64_t nSeed = random();
        threads.emplace_back([&, nSeed] {
            Random local(nSeed);
            for (int c = 0; c < nCycles; ++c) {
                for (unsigned int n = local() % 4; n > 0; --n) // vary the last arrival
                    std::this_thread::yield();
                ++upArrivals[c];
                {
                    WaitScope wait("qvSynch::Barrier::wait");
                    barrier.wait();
                }
                ++s_Figures.nBarrierWaits;
                if (upArrivals[c] != nThreads)
                    fail("a barrier released a thread before every thread had arrived");
            }
        });
        ++s_Figures.nThreadsStarted;
    }
    for (std::thread& thread : threads)
        joinThread(thread, "joining a barrier thread");
    s_Figures.nBarrierCycles += nCycles;
}

void soakRCSignal(Random& random, const Settings& settings)
{
    const int nCycles = settings.bMemcheck ? 5 : 10 + static_cast<int>(random() % 20);
    qvSynch::RCSignal signal(false);
    for (int c = 1; c <= nCycles; ++c) {
        const int nHolders = 1 + static_cast<int>(random() % 4);
        std::unique_ptr<std::atomic<int>[]> upDone(new std::atomic<int>[nHolders]);
        signal.ref(nHolders);
        std::vector<std::thread> holders;
        for (int h = 0; h < nHolders; ++h) {
            upDone[h] = 0;
            const unsigned int nYields = random() % 8;
            holders.emplace_back([&, h, c, nYields] {
                for (unsigned int n = nYields; n > 0; --n)
                    std::this_thread::yield();
                upDone[h] = c;
                signal.unref();
                ++s_Figures.nSignalUnrefs;
            });
            ++s_Figures.nThreadsStarted;
        }
        {
            WaitScope wait("qvSynch::RCSignal::waitAndReset");
            signal.waitAndReset();
        }
        for (int h = 0; h < nHolders; ++h)
            if (upDone[h] != c)
                fail("a reference-counted signal rose before every holder had let go");
        for (std::thread& holder : holders)
            joinThread(holder, "joining a signal holder");
        ++s_Figures.nSignalCycles;
    }
}

// ---------------------------------------------------------------------------------------------
// Worker teams

struct TeamRun
{
    std::atomic<bool> bTeamGone{false};
    qvSynch::Semaphore gate{0, 100000};
    std::atomic<int> nHolding{0};
};

struct JobRecord
{
    TeamRun* pRun = nullptr;
    std::atomic<int> nRuns{0};
    bool bHolds = false;
};

long soakJob(void* pArgument)
{
    JobRecord* pRecord = static_cast<JobRecord*>(pArgument);
    if (pRecord->pRun->bTeamGone)
        fail("a job ran after its team was destroyed");
    ++pRecord->nRuns;
    if (pRecord->bHolds) {
        ++pRecord->pRun->nHolding;
        pRecord->pRun->gate.P(); // a cancellation point: destruction ends the job here (Linux)
    } else if (pRecord->nRuns == 1 && (reinterpret_cast<std::uintptr_t>(pRecord) >> 4) % 3 == 0) {
        std::this_thread::yield();
    }
    return 0;
}

// Waits (registered with the watchdog) until every job of the list has run.
void waitForJobs(const std::deque<JobRecord>& jobs, std::size_t nFirst, const char* cstrWhat)
{
    WaitScope wait(cstrWhat);
    for (std::size_t n = nFirst; n < jobs.size(); ++n)
        while (jobs[n].nRuns == 0)
            std::this_thread::yield();
}

// Until bDestroyed, gives the gate one more unit whenever a job has come to hold than it has
// given so far (nGiven before). A team's destructor ends no running job, it waits for the job to
// return, so the holding jobs are let go while it waits.
void letHoldingJobsGo(TeamRun& run, const std::atomic<bool>& bDestroyed, int nGiven)
{
    while (!bDestroyed) {
        if (nGiven < run.nHolding) {
            run.gate.V();
            ++nGiven;
        } else {
            std::this_thread::yield();
        }
    }
}

// Then jobs that hold their members and quick ones queued behind them; a few holds are let go;
// the team is destroyed while jobs wait and run.
template <class Team>
void destroyBusyTeam(std::unique_ptr<Team>& upTeam, TeamRun& run, std::deque<JobRecord>& jobs,
                     unsigned int nMembers, Random& random)
{
    const int nHolds = 1 + static_cast<int>(random() % (nMembers + 1));
    const int nQuick = static_cast<int>(random() % 40);
    for (int n = 0; n < nHolds + nQuick; ++n) {
        JobRecord& record = jobs.emplace_back();
        record.pRun = &run;
        record.bHolds = n < nHolds || random() % 8 == 0;
        upTeam->createJob(&soakJob, &record);
        ++s_Figures.nJobsCreated;
    }
    run.gate.V();
    for (unsigned int n = random() % 64; n > 0; --n)
        std::this_thread::yield();
    {
        WaitScope wait("destroying a team with jobs waiting and running");
        std::atomic<bool> bDestroyed{false};
        std::thread releaser([&] { letHoldingJobsGo(run, bDestroyed, 1); });
        upTeam.reset();
        bDestroyed = true;
        releaser.join();
    }
    run.bTeamGone = true;
    ++s_Figures.nTeamsDestroyedBusy;
}

void countJobs(const std::deque<JobRecord>& jobs)
{
    for (const JobRecord& record : jobs) {
        if (record.nRuns > 1)
            fail("a job ran " + std::to_string(record.nRuns.load()) + " times");
        else if (record.nRuns == 1)
            ++(record.bHolds ? s_Figures.nJobsHeld : s_Figures.nJobsRan);
        else
            ++s_Figures.nJobsDropped;
    }
}

void soakTeam(Random& random, const Settings& settings)
{
    TeamRun run;
    std::deque<JobRecord> jobs;
    const unsigned int nMembers = 1 + static_cast<unsigned int>(random() % 3);
    std::unique_ptr<qvThreadTeam> upTeam(new qvThreadTeam(nMembers));
    ++s_Figures.nTeams;
    s_Figures.nTeamMembers += nMembers;
    // Quick jobs, from this thread and a second one at once; every one of them runs once.
    const int nJobs = settings.bMemcheck ? 20 : 50 + static_cast<int>(random() % 200);
    for (int n = 0; n < 2 * nJobs; ++n)
        jobs.emplace_back().pRun = &run;
    std::thread producer([&] {
        for (int n = nJobs; n < 2 * nJobs; ++n)
            upTeam->createJob(&soakJob, &jobs[n]);
    });
    ++s_Figures.nThreadsStarted;
    for (int n = 0; n < nJobs; ++n)
        upTeam->createJob(&soakJob, &jobs[n]);
    joinThread(producer, "joining a job producer");
    s_Figures.nJobsCreated += 2 * nJobs;
    waitForJobs(jobs, 0, "waiting for a team's jobs to run");
    destroyBusyTeam(upTeam, run, jobs, nMembers, random);
    countJobs(jobs);
}

void soakJoinableTeam(Random& random, const Settings& settings)
{
    TeamRun run;
    std::deque<JobRecord> jobs;
    const unsigned int nMembers = 1 + static_cast<unsigned int>(random() % 3);
    std::unique_ptr<qvJoinableThreadTeam> upTeam(new qvJoinableThreadTeam(nMembers));
    ++s_Figures.nJoinableTeams;
    s_Figures.nTeamMembers += nMembers;

    // Quick jobs, each joined by several threads at once, in different orders, one of them
    // with join(list).
    const int nJobs = settings.bMemcheck ? 10 : 20 + static_cast<int>(random() % 100);
    std::vector<unsigned long> vecIds;
    for (int n = 0; n < nJobs; ++n) {
        JobRecord& record = jobs.emplace_back();
        record.pRun = &run;
        vecIds.push_back(upTeam->createJob(&soakJob, &record));
        ++s_Figures.nJobsCreated;
    }
    const int nJoiners = 2 + static_cast<int>(random() % 2);
    std::vector<std::thread> joiners;
    for (int j = 0; j < nJoiners; ++j) {
        const std::uint64_t nSeed = random();
        joiners.emplace_back([&, j, nSeed] {
            Random local(nSeed);
            if (j == 0) {
                qvDCList<unsigned long> list;
                for (const unsigned long nId : vecIds)
                    list.pushBack(nId);
                {
                    WaitScope wait("qvJoinableThreadTeam::join(list)");
                    upTeam->join(list);
                }
                ++s_Figures.nJoins;
                for (int n = 0; n < nJobs; ++n)
                    if (jobs[n].nRuns != 1)
                        fail("join(list) returned before every job of the list had run");
                return;
            }
            std::vector<int> vecOrder(nJobs);
            for (int n = 0; n < nJobs; ++n)
                vecOrder[n] = n;
            std::shuffle(vecOrder.begin(), vecOrder.end(), local);
            for (const int n : vecOrder) {
                {
                    WaitScope wait("qvJoinableThreadTeam::join(id)");
                    upTeam->join(vecIds[n]);
                }
                ++s_Figures.nJoins;
                if (jobs[n].nRuns != 1 ||
                    upTeam->jobState(vecIds[n]) != qvJoinableThreadTeam::JOB_DONE)
                    fail("join(id) returned before its job had run");
            }
        });
        ++s_Figures.nThreadsStarted;
    }
    for (std::thread& joiner : joiners)
        joinThread(joiner, "joining a joiner");
    destroyBusyTeam(upTeam, run, jobs, nMembers, random);
    countJobs(jobs);
}

// ---------------------------------------------------------------------------------------------
// The drivers

void drive(unsigned int nDriver, const Settings& settings, Clock::time_point deadline)
{
    Random random(settings.nSeed ^ (0x9E3779B97F4A7C15ull * (nDriver + 1)));
    for (unsigned long nRound = 0; nRound < settings.nRounds && Clock::now() < deadline; ++nRound) {
        ++s_Figures.nScenarios;
        switch (random() % 6) {
        case 0:
        case 1:
            soakMainLoops(random, settings);
            break;
        case 2:
            soakBarrier(random, settings);
            break;
        case 3:
            soakRCSignal(random, settings);
            break;
        case 4:
            soakTeam(random, settings);
            break;
        default:
            soakJoinableTeam(random, settings);
            break;
        }
    }
}

void printFigures(const Settings& settings, double dSeconds)
{
    const Figures& f = s_Figures;
    std::printf("soak: seed %llu (reproduce with QV_SOAK_SEED=%llu), %u drivers, %.1f s\n"
                "soak: scenarios %llu, threads started %llu (besides %llu loop threads)\n"
                "soak: processors %llu, loops created %llu, run %llu, shut down %llu, ended by the "
                "destructor %llu (%llu of them suspended), suspend/resume pairs %llu\n"
                "soak: pipeline functions added %llu, called %llu\n"
                "soak: synchronous messages %llu: ran on their loop %llu, ran on the sender %llu, "
                "discarded %llu\n"
                "soak: asynchronous messages %llu: ran %llu, discarded %llu; order checks %llu\n"
                "soak: barrier cycles %llu (%llu waits), signal cycles %llu (%llu unrefs)\n"
                "soak: thread teams %llu, joinable teams %llu (%llu members); jobs %llu: ran %llu, "
                "held while the team was destroyed %llu, dropped by it %llu; joins %llu; teams "
                "destroyed with jobs waiting and running %llu\n",
                static_cast<unsigned long long>(settings.nSeed),
                static_cast<unsigned long long>(settings.nSeed), settings.nDrivers, dSeconds,
                (unsigned long long)f.nScenarios, (unsigned long long)f.nThreadsStarted,
                (unsigned long long)f.nLoopsCreated, (unsigned long long)f.nProcessors,
                (unsigned long long)f.nLoopsCreated, (unsigned long long)f.nLoopsRun,
                (unsigned long long)f.nLoopsShutDown, (unsigned long long)f.nLoopsEndedByDestructor,
                (unsigned long long)f.nSuspendedAtDestruction,
                (unsigned long long)f.nSuspendResumePairs,
                (unsigned long long)f.nPipelineFunctionsAdded, (unsigned long long)f.nPipelineCalls,
                (unsigned long long)f.nSyncSent, (unsigned long long)f.nSyncRanOnLoop,
                (unsigned long long)f.nSyncRanDirectly, (unsigned long long)f.nSyncDiscarded,
                (unsigned long long)f.nAsyncSent, (unsigned long long)f.nAsyncRan,
                (unsigned long long)f.nAsyncDiscarded, (unsigned long long)f.nOrderChecks,
                (unsigned long long)f.nBarrierCycles, (unsigned long long)f.nBarrierWaits,
                (unsigned long long)f.nSignalCycles, (unsigned long long)f.nSignalUnrefs,
                (unsigned long long)f.nTeams, (unsigned long long)f.nJoinableTeams,
                (unsigned long long)f.nTeamMembers, (unsigned long long)f.nJobsCreated,
                (unsigned long long)f.nJobsRan, (unsigned long long)f.nJobsHeld,
                (unsigned long long)f.nJobsDropped, (unsigned long long)f.nJoins,
                (unsigned long long)f.nTeamsDestroyedBusy);
    std::fflush(stdout);
}

} // namespace

TEST(qvSoakTest, MixedLoadOnEveryCoreLosesNothingAndNeverHangs)
{
    const Settings settings = readSettings();
    std::printf("soak: seed %llu, %u drivers, up to %.1f s and %lu scenarios per driver\n",
                static_cast<unsigned long long>(settings.nSeed), settings.nDrivers,
                settings.dSeconds, settings.nRounds);
    std::fflush(stdout);
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        start + std::chrono::milliseconds(static_cast<long long>(settings.dSeconds * 1000));
    {
        Watchdog watchdog(settings.nWatchdogSeconds, settings.nSeed);
        std::vector<std::thread> drivers;
        for (unsigned int d = 0; d < settings.nDrivers; ++d)
            drivers.emplace_back([&, d] { drive(d, settings, deadline); });
        // Not a registered wait: a driver lasts as long as the soak; every wait inside it is.
        for (std::thread& driver : drivers)
            driver.join();
    }
    const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    printFigures(settings, dSeconds);

    EXPECT_EQ(0, s_nFailures.load()) << "reproduce with QV_SOAK_SEED=" << settings.nSeed;
    for (const std::string& sstrFailure : s_vecFailures)
        ADD_FAILURE() << sstrFailure;
    EXPECT_EQ(s_Figures.nSyncSent.load(),
              s_Figures.nSyncRanOnLoop + s_Figures.nSyncRanDirectly + s_Figures.nSyncDiscarded);
    EXPECT_EQ(s_Figures.nAsyncSent.load(), s_Figures.nAsyncRan + s_Figures.nAsyncDiscarded);
    EXPECT_EQ(s_Figures.nJobsCreated.load(),
              s_Figures.nJobsRan + s_Figures.nJobsHeld + s_Figures.nJobsDropped);
    EXPECT_GT(s_Figures.nScenarios.load(), 0u);
}
