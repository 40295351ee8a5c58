// Boost.Asio counterparts of this library's inter-thread calls and worker pools, built only when
// Boost's headers are installed (Debian: libboost-dev). The operations and their sizes are those
// of bench/qvITCBench.cpp and bench/qvThreadTeamBench.cpp, which time this library's side:
//
// - post to an io_context served by one thread: a synchronous call (post, then wait on a
//   std::future fed by a std::promise) and a batch of 10,000 posts followed by one such call,
//   from one sending thread and from two (10,000 each);
// - boost::asio::thread_pool(2): 1,000,000 empty jobs and 200,000 jobs of about one microsecond
//   (workJob, qvBenchSink.h), each batch timed until its last job has run, and one job posted
//   and waited for through a std::future.

#include <benchmark/benchmark.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include "qvBenchSink.h"
#include "qvBenchThreads.h"

namespace {

constexpr int BATCH = 10000;
constexpr long EMPTY_JOBS = 1000000;
constexpr long WORK_JOBS = 200000;

// An io_context kept running on a thread of its own until destruction.
class IoThread
{
public:
    IoThread()
        : m_Work(boost::asio::make_work_guard(m_Context)), m_Thread([this] { m_Context.run(); })
    {
    }
    ~IoThread()
    {
        m_Work.reset();
        m_Thread.join();
    }
    boost::asio::io_context& context() { return m_Context; }

private:
    boost::asio::io_context m_Context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_Work;
    std::thread m_Thread;
};

void BM_AsioIoContext_PostFuture(benchmark::State& state)
{
    IoThread io;
    for (auto _ : state) {
        std::promise<int> result;
        std::future<int> future = result.get_future();
        boost::asio::post(io.context(), [&result] { result.set_value(42); });
        benchmark::DoNotOptimize(future.get());
    }
}
BENCHMARK(BM_AsioIoContext_PostFuture)->UseRealTime();

// nSenders threads (the benchmark's own and, for two, a SecondSender) each post a batch; then
// one posted call, waited for, drains the queue.
void runPostBatches(benchmark::State& state, int nSenders)
{
    IoThread io;
    std::atomic<long> nCount(0);
    auto postBatch = [&] {
        for (int n = 0; n < BATCH; ++n)
            boost::asio::post(io.context(),
                              [&nCount] { nCount.fetch_add(1, std::memory_order_relaxed); });
    };
    runBatchRounds(state, nSenders, postBatch, [&] {
        std::promise<void> done;
        std::future<void> future = done.get_future();
        boost::asio::post(io.context(), [&done] { done.set_value(); });
        future.get();
    });
    state.SetItemsProcessed(state.iterations() * BATCH * nSenders);
    if (nCount.load() != static_cast<long>(state.iterations()) * BATCH * nSenders)
        state.SkipWithError("posts were lost");
}

void BM_AsioIoContext_PostBatch(benchmark::State& state)
{
    runPostBatches(state, 1);
}
BENCHMARK(BM_AsioIoContext_PostBatch)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AsioIoContext_PostBatchTwoSenders(benchmark::State& state)
{
    runPostBatches(state, 2);
}
BENCHMARK(BM_AsioIoContext_PostBatchTwoSenders)->UseRealTime()->Unit(benchmark::kMillisecond);

// nJobs jobs posted to a pool of two threads, timed until the last one has run.
template <class Job>
void runPoolBatches(benchmark::State& state, long nJobs, Job job)
{
    boost::asio::thread_pool pool(2);
    Sink sink;
    for (auto _ : state) {
        sink.reset(nJobs);
        for (long n = 0; n < nJobs; ++n)
            boost::asio::post(pool, [&sink, &job] { job(&sink); });
        sink.waitAll();
    }
    state.SetItemsProcessed(state.iterations() * nJobs);
    pool.join();
}

void BM_AsioThreadPool_MillionEmptyJobs(benchmark::State& state)
{
    runPoolBatches(state, EMPTY_JOBS, [](Sink* pSink) { pSink->finishOne(); });
}
BENCHMARK(BM_AsioThreadPool_MillionEmptyJobs)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AsioThreadPool_OneMicrosecondJobs(benchmark::State& state)
{
    runPoolBatches(state, WORK_JOBS, [](Sink* pSink) { workJob(pSink); });
}
BENCHMARK(BM_AsioThreadPool_OneMicrosecondJobs)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_AsioThreadPool_PostFuture(benchmark::State& state)
{
    boost::asio::thread_pool pool(2);
    long nValue = 0;
    for (auto _ : state) {
        std::promise<void> done;
        std::future<void> future = done.get_future();
        boost::asio::post(pool, [&] {
            benchmark::DoNotOptimize(++nValue);
            done.set_value();
        });
        future.get();
    }
    pool.join();
}
BENCHMARK(BM_AsioThreadPool_PostFuture)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    return runCalibratedBenchmarks(argc, argv);
}
