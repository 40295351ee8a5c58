// Inter-thread calls through qvITC::Controller beside a hand-written standard-library
// counterpart, in one run:
//
// - Synchronous call: sendSyncMessage to an idle main loop (created by a qvProcessor) whose
//   message returns an int in a qvAnyContainer, against a std::thread that serves a
//   std::mutex/std::condition_variable queue of std::function<void()>, with the caller waiting
//   on a std::future fed by a std::promise. One iteration is one round trip, wake-up included.
// - Synchronous call to a busy loop: the same call to a loop whose pipeline holds a function, so
//   that it turns without sleeping and takes the call at its next turn, against a thread that
//   makes the same turns by hand (the function, then at most one queued call, taken under a
//   std::mutex without waiting).
// - The synchronous call again, placed: both threads pinned to one processor (each hand-off
//   then needs the other thread to be scheduled on the same core), and with two more threads
//   spinning all the while, so that both cores are busy (the thread of a hand-off competes for
//   a core with a spinner). The counterpart runs under the same placement.
// - Each synchronous row also reports, per call, the caller's and the serving thread's
//   processor time and how often each slept or was preempted (qvBenchThreads.h, ThreadUse).
// - Asynchronous messages: a batch of 10,000 sendAsyncMessage calls, then one synchronous call
//   that runs after all of them (one queue, first in, first out), against 10,000 posts to the
//   counterpart queue and one promise. One iteration is one batch; items/s counts messages.
//   Three forms: the counter in the message functor's own state (no arguments, as the
//   counterpart's lambda captures it), the counter as the message's one argument, and two
//   sending threads with 10,000 messages each (state in the functor).
//
// bench/qvAsioBench.cpp times the same two operations with Boost.Asio (post to an io_context
// thread), when it is built.

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "MainLoop/qvProcessor.h"
#include "qvBenchThreads.h"

using qvITC::ArgumentVector;
using qvITC::MessageFunctor;

namespace {

constexpr int BATCH = 10000;

// The counterpart: one thread serving a queue of std::function under a std::mutex.
class StdCallQueue
{
public:
    StdCallQueue() : m_Thread([this] { serve(); }) {}
    ~StdCallQueue()
    {
        post([this] { m_bStop = true; });
        m_Thread.join();
    }
    void post(std::function<void()> call)
    {
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            m_Calls.push_back(std::move(call));
        }
        m_Condition.notify_one();
    }

private:
    void serve()
    {
        while (!m_bStop) {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Condition.wait(lock, [this] { return !m_Calls.empty(); });
            std::function<void()> call = std::move(m_Calls.front());
            m_Calls.pop_front();
            lock.unlock();
            call();
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Condition;
    std::deque<std::function<void()>> m_Calls;
    bool m_bStop = false; // written and read on the serving thread only
    std::thread m_Thread;
};

// A message functor with the counter in its own state, as a lambda would capture it.
struct CountInto
{
    qvAnyContainer operator()(const ArgumentVector&) const
    {
        pCount->fetch_add(1, std::memory_order_relaxed);
        return qvAnyContainer();
    }
    std::atomic<long>* pCount;
};

qvAnyContainer answer(const ArgumentVector&)
{
    return qvMakeAny(42);
}

qvAnyContainer count(const ArgumentVector& arguments)
{
    ++*qvAnyCast<long>(arguments[0]);
    return qvAnyContainer();
}

void emptyFunction() {}

// Where the two threads of a synchronous call run.
enum class Placement
{
    FREE,           // wherever the OS puts them
    PINNED,         // both on one processor
    OVERSUBSCRIBED, // anywhere, with two spinning threads keeping the processors busy
};

// Synchronous calls to one loop; a busy loop has a function in its pipeline, so it never sleeps.
void runSyncCalls(benchmark::State& state, bool bBusyLoop, Placement placement = Placement::FREE)
{
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    if (bBusyLoop)
        processor.getMainLoop(id).getFunctionPipeLine().addFunction(qvVoidFunctor(&emptyFunction));
    processor.run(id);
    const unsigned long nThread = processor.getThreadID(id);
    const MessageFunctor message(&answer);
    const ArgumentVector noArguments(0, false);
    const int nCpu = firstAllowedCpu();
    PinnedScope pinned(placement == Placement::PINNED ? nCpu : -1);
    if (placement == Placement::PINNED) {
        // The loop pins itself: the call runs on its thread.
        const qvAnyContainer loopPinned =
            processor.getITC().sendSyncMessage(MessageFunctor([nCpu](const ArgumentVector&) {
                                                   return qvMakeAny(pinCurrentThread(nCpu));
                                               }),
                                               noArguments, nThread);
        if (!pinned.pinned() || !*qvAnyCast<bool>(loopPinned))
            state.SkipWithError("cannot pin the threads");
    }
    std::unique_ptr<BusyThreads> upBusy(placement == Placement::OVERSUBSCRIBED ? new BusyThreads(2)
                                                                               : nullptr);
    // Where the time goes: the caller's and the loop's processor time and switches per call.
    const MessageFunctor readLoopUse(
        [](const ArgumentVector&) { return qvMakeAny(ThreadUse::now()); });
    const auto loopUse = [&] {
        return *qvAnyCast<ThreadUse>(
            processor.getITC().sendSyncMessage(readLoopUse, noArguments, nThread));
    };
    const ThreadUse loopBefore = loopUse();
    const ThreadUse callerBefore = ThreadUse::now();
    for (auto _ : state) {
        const qvAnyContainer result =
            processor.getITC().sendSyncMessage(message, noArguments, nThread);
        benchmark::DoNotOptimize(*qvAnyCast<int>(result));
    }
    reportThreadUse(state, "caller", callerBefore, ThreadUse::now());
    reportThreadUse(state, "loop", loopBefore, loopUse());
}

void BM_qvITC_SyncMessage(benchmark::State& state)
{
    runSyncCalls(state, false);
}
BENCHMARK(BM_qvITC_SyncMessage)->UseRealTime();

void runStdSyncCalls(benchmark::State& state, Placement placement)
{
    StdCallQueue queue;
    const int nCpu = firstAllowedCpu();
    PinnedScope pinned(placement == Placement::PINNED ? nCpu : -1);
    if (placement == Placement::PINNED) {
        std::promise<bool> queuePinned;
        queue.post([&queuePinned, nCpu] { queuePinned.set_value(pinCurrentThread(nCpu)); });
        if (!queuePinned.get_future().get() || !pinned.pinned())
            state.SkipWithError("cannot pin the threads");
    }
    std::unique_ptr<BusyThreads> upBusy(placement == Placement::OVERSUBSCRIBED ? new BusyThreads(2)
                                                                               : nullptr);
    const auto loopUse = [&] {
        std::promise<ThreadUse> use;
        queue.post([&use] { use.set_value(ThreadUse::now()); });
        return use.get_future().get();
    };
    const ThreadUse loopBefore = loopUse();
    const ThreadUse callerBefore = ThreadUse::now();
    for (auto _ : state) {
        std::promise<int> result;
        std::future<int> future = result.get_future();
        queue.post([&result] { result.set_value(42); });
        benchmark::DoNotOptimize(future.get());
    }
    reportThreadUse(state, "caller", callerBefore, ThreadUse::now());
    reportThreadUse(state, "loop", loopBefore, loopUse());
}

void BM_StdCallQueue_PromiseFuture(benchmark::State& state)
{
    runStdSyncCalls(state, Placement::FREE);
}
BENCHMARK(BM_StdCallQueue_PromiseFuture)->UseRealTime();

void BM_qvITC_SyncMessagePinned(benchmark::State& state)
{
    runSyncCalls(state, false, Placement::PINNED);
}
BENCHMARK(BM_qvITC_SyncMessagePinned)->UseRealTime();

void BM_StdCallQueue_PromiseFuturePinned(benchmark::State& state)
{
    runStdSyncCalls(state, Placement::PINNED);
}
BENCHMARK(BM_StdCallQueue_PromiseFuturePinned)->UseRealTime();

void BM_qvITC_SyncMessageOversubscribed(benchmark::State& state)
{
    runSyncCalls(state, false, Placement::OVERSUBSCRIBED);
}
BENCHMARK(BM_qvITC_SyncMessageOversubscribed)->UseRealTime();

void BM_StdCallQueue_PromiseFutureOversubscribed(benchmark::State& state)
{
    runStdSyncCalls(state, Placement::OVERSUBSCRIBED);
}
BENCHMARK(BM_StdCallQueue_PromiseFutureOversubscribed)->UseRealTime();

void BM_qvITC_SyncMessageToBusyLoop(benchmark::State& state)
{
    runSyncCalls(state, true);
}
BENCHMARK(BM_qvITC_SyncMessageToBusyLoop)->UseRealTime();

void BM_StdBusyLoop_PromiseFuture(benchmark::State& state)
{
    std::mutex mutex;
    std::deque<std::function<void()>> calls;
    std::atomic<bool> bStop(false);
    std::function<void()> function = [] {};
    std::thread loop([&] {
        while (!bStop.load(std::memory_order_relaxed)) {
            function();
            std::function<void()> call;
            {
                std::lock_guard<std::mutex> guard(mutex);
                if (!calls.empty()) {
                    call = std::move(calls.front());
                    calls.pop_front();
                }
            }
            if (call)
                call();
        }
    });
    for (auto _ : state) {
        std::promise<int> result;
        std::future<int> future = result.get_future();
        {
            std::lock_guard<std::mutex> guard(mutex);
            calls.push_back([&result] { result.set_value(42); });
        }
        benchmark::DoNotOptimize(future.get());
    }
    bStop.store(true, std::memory_order_relaxed);
    loop.join();
}
BENCHMARK(BM_StdBusyLoop_PromiseFuture)->UseRealTime();

// nSenders threads (the benchmark's own and, for two, a SecondSender) each send a batch of
// message to one loop; then one synchronous call drains the queue.
void runAsyncBatches(benchmark::State& state, const MessageFunctor& message,
                     const ArgumentVector& arguments, int nSenders)
{
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.run(id);
    const unsigned long nThread = processor.getThreadID(id);
    const MessageFunctor drain(&answer);
    const ArgumentVector noArguments(0, false);
    auto sendBatch = [&] {
        for (int n = 0; n < BATCH; ++n)
            processor.getITC().sendAsyncMessage(message, arguments, nThread);
    };
    runBatchRounds(state, nSenders, sendBatch,
                   [&] { processor.getITC().sendSyncMessage(drain, noArguments, nThread); });
    state.SetItemsProcessed(state.iterations() * BATCH * nSenders);
}

void BM_qvITC_AsyncMessages(benchmark::State& state)
{
    std::atomic<long> nCount(0);
    runAsyncBatches(state, MessageFunctor(CountInto{&nCount}), ArgumentVector(0, false), 1);
    if (nCount.load() != static_cast<long>(state.iterations()) * BATCH)
        state.SkipWithError("messages were lost");
}
BENCHMARK(BM_qvITC_AsyncMessages)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_qvITC_AsyncMessagesOneArgument(benchmark::State& state)
{
    ArgumentVector arguments(1, true);
    arguments[0] = qvMakeAny(0L); // the counter lives in the shared record
    runAsyncBatches(state, MessageFunctor(&count), arguments, 1);
    if (*qvAnyCast<long>(arguments[0]) != static_cast<long>(state.iterations()) * BATCH)
        state.SkipWithError("messages were lost");
}
BENCHMARK(BM_qvITC_AsyncMessagesOneArgument)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_qvITC_AsyncMessagesTwoSenders(benchmark::State& state)
{
    std::atomic<long> nCount(0);
    runAsyncBatches(state, MessageFunctor(CountInto{&nCount}), ArgumentVector(0, false), 2);
    if (nCount.load() != static_cast<long>(state.iterations()) * BATCH * 2)
        state.SkipWithError("messages were lost");
}
BENCHMARK(BM_qvITC_AsyncMessagesTwoSenders)->UseRealTime()->Unit(benchmark::kMillisecond);

void runStdBatches(benchmark::State& state, int nSenders)
{
    StdCallQueue queue;
    std::atomic<long> nCount(0);
    auto postBatch = [&] {
        for (int n = 0; n < BATCH; ++n)
            queue.post([&nCount] { nCount.fetch_add(1, std::memory_order_relaxed); });
    };
    runBatchRounds(state, nSenders, postBatch, [&] {
        std::promise<void> done;
        std::future<void> future = done.get_future();
        queue.post([&done] { done.set_value(); });
        future.get();
    });
    state.SetItemsProcessed(state.iterations() * BATCH * nSenders);
    if (nCount.load() != static_cast<long>(state.iterations()) * BATCH * nSenders)
        state.SkipWithError("posts were lost");
}

void BM_StdCallQueue_AsyncPosts(benchmark::State& state)
{
    runStdBatches(state, 1);
}
BENCHMARK(BM_StdCallQueue_AsyncPosts)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_StdCallQueue_AsyncPostsTwoSenders(benchmark::State& state)
{
    runStdBatches(state, 2);
}
BENCHMARK(BM_StdCallQueue_AsyncPostsTwoSenders)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
