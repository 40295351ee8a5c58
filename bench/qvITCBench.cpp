// Inter-thread calls through qvITC::Controller beside a hand-written standard-library
// counterpart, in one run:
//
// - Synchronous call: sendSyncMessage to an idle main loop (created by a qvProcessor) whose
//   message returns an int in a qvAnyContainer, against a std::thread that serves a
//   std::mutex/std::condition_variable queue of std::function<void()>, with the caller waiting
//   on a std::future fed by a std::promise. One iteration is one round trip, wake-up included.
// - Asynchronous messages: a batch of 10,000 sendAsyncMessage calls, then one synchronous call
//   that runs after all of them (one queue, first in, first out), against 10,000 posts to the
//   counterpart queue and one promise. One iteration is one batch; items/s counts messages.
//
// bench/qvAsioBench.cpp times the same two operations with Boost.Asio (post to an io_context
// thread), when it is built.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "MainLoop/qvProcessor.h"

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

qvAnyContainer answer(const ArgumentVector&)
{
    return qvMakeAny(42);
}

qvAnyContainer count(const ArgumentVector& arguments)
{
    ++*qvAnyCast<long>(arguments[0]);
    return qvAnyContainer();
}

void BM_qvITC_SyncMessage(benchmark::State& state)
{
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.run(id);
    const unsigned long nThread = processor.getThreadID(id);
    const MessageFunctor message(&answer);
    const ArgumentVector noArguments(0, false);
    for (auto _ : state) {
        const qvAnyContainer result =
            processor.getITC().sendSyncMessage(message, noArguments, nThread);
        benchmark::DoNotOptimize(*qvAnyCast<int>(result));
    }
}
BENCHMARK(BM_qvITC_SyncMessage)->UseRealTime();

void BM_StdCallQueue_PromiseFuture(benchmark::State& state)
{
    StdCallQueue queue;
    for (auto _ : state) {
        std::promise<int> result;
        std::future<int> future = result.get_future();
        queue.post([&result] { result.set_value(42); });
        benchmark::DoNotOptimize(future.get());
    }
}
BENCHMARK(BM_StdCallQueue_PromiseFuture)->UseRealTime();

void BM_qvITC_AsyncMessages(benchmark::State& state)
{
    qvProcessor processor;
    const unsigned long id = processor.createMainLoop();
    processor.run(id);
    const unsigned long nThread = processor.getThreadID(id);
    const MessageFunctor message(&count);
    const MessageFunctor drain(&answer);
    ArgumentVector arguments(1, true);
    arguments[0] = qvMakeAny(0L); // the counter lives in the shared record
    const ArgumentVector noArguments(0, false);
    for (auto _ : state) {
        for (int n = 0; n < BATCH; ++n)
            processor.getITC().sendAsyncMessage(message, arguments, nThread);
        processor.getITC().sendSyncMessage(drain, noArguments, nThread);
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
    if (*qvAnyCast<long>(arguments[0]) != static_cast<long>(state.iterations()) * BATCH)
        state.SkipWithError("messages were lost");
}
BENCHMARK(BM_qvITC_AsyncMessages)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_StdCallQueue_AsyncPosts(benchmark::State& state)
{
    StdCallQueue queue;
    long nCount = 0;
    for (auto _ : state) {
        for (int n = 0; n < BATCH; ++n)
            queue.post([&nCount] { ++nCount; });
        std::promise<void> done;
        std::future<void> future = done.get_future();
        queue.post([&done] { done.set_value(); });
        future.get();
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
    benchmark::DoNotOptimize(nCount);
}
BENCHMARK(BM_StdCallQueue_AsyncPosts)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
