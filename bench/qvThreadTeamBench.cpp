// Worker pools beside their standard-library counterparts, in one run:
//
// - 1,000,000 empty jobs through qvThreadTeam(2) against a pool of two std::threads sharing one
//   std::mutex/std::condition_variable queue (the same job record: function pointer and
//   argument, so that neither side pays for std::function);
// - the same with jobs of about one microsecond of work (200,000 per batch; workJob of
//   qvBenchSink.h, calibrated as it says);
// - a qvJoinableThreadTeam createJob + join round trip against std::async(...).get() and
//   against a std::promise handed through the counterpart pool;
// - two long jobs (2 ms) posted one at a time to qvThreadTeam(2), the second once the first
//   has started, for each placement, against one such job alone: with the defined placement
//   the second waits behind the first (about twice one job's time), with the idle-first one it
//   runs on the other member (about one job's time);
// - 100 short jobs posted one at a time, each once the one before has signalled, beside a long
//   job, idle-first placement against the counterpart pool; its "behind" counter counts the short
//   jobs that waited for the long one (none should);
// - the pool-shaped workload of qvBenchSink.h: qvThreadTeam(2) with idle-first placement and
//   one waiting job per member, fed by createJobWithin() (2 running + 2 waiting = 4 in flight),
//   against the counterpart pool limited by a semaphore of 4 slots.
//
// A batch is timed from the first job handed over until the last job has run. A qvThreadTeam
// refuses a job while every member's queue holds 32767 waiting jobs; the producer then sleeps
// (see Backoff) and tries again (the "refusals" counter says how often that happened).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <semaphore>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvThreadTeam.h"
#include "qvBenchSink.h"
#include "qvBenchThreads.h"

namespace {

constexpr long EMPTY_JOBS = 1000000;
constexpr long WORK_JOBS = 200000;

long emptyJob(void* pSink)
{
    static_cast<Sink*>(pSink)->finishOne();
    return 0;
}

// The counterpart: std::threads sharing one queue under a std::mutex, woken through a
// std::condition_variable.
class StdThreadPool
{
public:
    explicit StdThreadPool(int nThreads)
    {
        for (int n = 0; n < nThreads; ++n)
            m_Threads.emplace_back([this] { work(); });
    }
    ~StdThreadPool()
    {
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            m_bStop = true;
        }
        m_Condition.notify_all();
        for (std::thread& thread : m_Threads)
            thread.join();
    }
    void post(long (*pThreadFunc)(void*), void* pThreadData)
    {
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            m_Jobs.push_back(Job{pThreadFunc, pThreadData});
        }
        m_Condition.notify_one();
    }

private:
    struct Job
    {
        long (*m_pThreadFunc)(void*);
        void* m_pThreadData;
    };

    void work()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Condition.wait(lock, [this] { return m_bStop || !m_Jobs.empty(); });
            if (m_Jobs.empty())
                return;
            const Job job = m_Jobs.front();
            m_Jobs.pop_front();
            lock.unlock();
            job.m_pThreadFunc(job.m_pThreadData);
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Condition;
    std::deque<Job> m_Jobs;
    bool m_bStop = false;
    std::vector<std::thread> m_Threads;
};

// How long the producer sleeps when every queue is full. A sleep costs it a system call and a
// wake-up (about 16 us of processor time on the 2-vCPU test machine, taken from the members), so
// each one should let the members run a good share of the queued jobs, yet never so many that a
// queue runs dry: from 50 us, the pause doubles while a wake-up finds room for fewer than 1024
// jobs and halves while it finds room for more than 4096, within 50 us to 2 ms. Empty jobs stay
// at 50 us; jobs of a microsecond settle at one to two milliseconds, while tens of thousands of
// jobs stay queued. (A fixed 50 us made about 1000 sleeps per batch of 200,000 such jobs.)
class Backoff
{
public:
    void refused()
    {
        if (m_nAccepted < 1024)
            m_Pause = std::min(m_Pause * 2, std::chrono::microseconds(2000));
        else if (m_nAccepted > 4096)
            m_Pause = std::max(m_Pause / 2, std::chrono::microseconds(50));
        m_nAccepted = 0;
        std::this_thread::sleep_for(m_Pause);
    }
    void accepted() { ++m_nAccepted; }

private:
    std::chrono::microseconds m_Pause{50};
    long m_nAccepted = 1024;
};

void runTeamBatch(benchmark::State& state, long (*pJob)(void*), long nJobs)
{
    qvThreadTeam team(2);
    Sink sink;
    Backoff backoff;
    long nRefusals = 0;
    for (auto _ : state) {
        sink.reset(nJobs);
        for (long n = 0; n < nJobs; ++n) {
            for (;;) {
                try {
                    team.createJob(pJob, &sink);
                    backoff.accepted();
                    break;
                } catch (const std::length_error&) {
                    // Every queue is full: give the members the processors for a while.
                    ++nRefusals;
                    backoff.refused();
                }
            }
        }
        sink.waitAll();
    }
    state.SetItemsProcessed(state.iterations() * nJobs);
    state.counters["refusals"] = static_cast<double>(nRefusals);
}

void runStdBatch(benchmark::State& state, long (*pJob)(void*), long nJobs)
{
    StdThreadPool pool(2);
    Sink sink;
    for (auto _ : state) {
        sink.reset(nJobs);
        for (long n = 0; n < nJobs; ++n)
            pool.post(pJob, &sink);
        sink.waitAll();
    }
    state.SetItemsProcessed(state.iterations() * nJobs);
}

void BM_qvThreadTeam_MillionEmptyJobs(benchmark::State& state)
{
    runTeamBatch(state, &emptyJob, EMPTY_JOBS);
}
BENCHMARK(BM_qvThreadTeam_MillionEmptyJobs)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_StdThreadPool_MillionEmptyJobs(benchmark::State& state)
{
    runStdBatch(state, &emptyJob, EMPTY_JOBS);
}
BENCHMARK(BM_StdThreadPool_MillionEmptyJobs)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_qvThreadTeam_OneMicrosecondJobs(benchmark::State& state)
{
    runTeamBatch(state, &workJob, WORK_JOBS);
}
BENCHMARK(BM_qvThreadTeam_OneMicrosecondJobs)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_StdThreadPool_OneMicrosecondJobs(benchmark::State& state)
{
    runStdBatch(state, &workJob, WORK_JOBS);
}
BENCHMARK(BM_StdThreadPool_OneMicrosecondJobs)->UseRealTime()->Unit(benchmark::kMillisecond);

constexpr long LONG_JOB_MICROSECONDS = 2000;

struct LongJob
{
    std::atomic<bool> m_bStarted{false};
    Sink* m_pSink = nullptr;
};

long longJob(void* pJob)
{
    LongJob* pLongJob = static_cast<LongJob*>(pJob);
    pLongJob->m_bStarted.store(true, std::memory_order_release);
    work(LONG_JOB_MICROSECONDS);
    pLongJob->m_pSink->finishOne();
    return 0;
}

void runLongJobs(benchmark::State& state, qvThreadTeam::Placement ePlacement, int nJobs)
{
    qvThreadTeam team(2, ePlacement);
    Sink sink;
    for (auto _ : state) {
        sink.reset(nJobs);
        LongJob jobs[2];
        for (int n = 0; n < nJobs; ++n) {
            jobs[n].m_pSink = &sink;
            team.createJob(&longJob, &jobs[n]);
            // One at a time: the next job is posted once this one runs.
            while (n + 1 < nJobs && !jobs[n].m_bStarted.load(std::memory_order_acquire))
                std::this_thread::yield();
        }
        sink.waitAll();
    }
}

void BM_qvThreadTeam_OneLongJob(benchmark::State& state)
{
    runLongJobs(state, qvThreadTeam::PLACEMENT_FEWEST_WAITING, 1);
}
BENCHMARK(BM_qvThreadTeam_OneLongJob)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_qvThreadTeam_TwoLongJobsFewestWaiting(benchmark::State& state)
{
    runLongJobs(state, qvThreadTeam::PLACEMENT_FEWEST_WAITING, 2);
}
BENCHMARK(BM_qvThreadTeam_TwoLongJobsFewestWaiting)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_qvThreadTeam_TwoLongJobsIdleFirst(benchmark::State& state)
{
    runLongJobs(state, qvThreadTeam::PLACEMENT_IDLE_FIRST, 2);
}
BENCHMARK(BM_qvThreadTeam_TwoLongJobsIdleFirst)->UseRealTime()->Unit(benchmark::kMillisecond);

long poolJob(void* pSink)
{
    work(POOL_JOB_MICROSECONDS);
    static_cast<Sink*>(pSink)->finishOne();
    return 0;
}

void BM_qvThreadTeam_PoolShapedWorkload(benchmark::State& state)
{
    qvThreadTeam team(2, qvThreadTeam::PLACEMENT_IDLE_FIRST, POOL_SLOTS / 2);
    Sink sink;
    for (auto _ : state) {
        sink.reset(POOL_JOBS);
        for (long n = 0; n < POOL_JOBS; ++n)
            team.createJobWithin(qvSynch::WAIT_INFINITE, &poolJob, &sink);
        sink.waitAll();
    }
    state.SetItemsProcessed(state.iterations() * POOL_JOBS);
}
BENCHMARK(BM_qvThreadTeam_PoolShapedWorkload)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_StdThreadPool_PoolShapedWorkload(benchmark::State& state)
{
    StdThreadPool pool(2);
    SlotSink sink;
    for (auto _ : state) {
        sink.m_Sink.reset(POOL_JOBS);
        for (long n = 0; n < POOL_JOBS; ++n) {
            sink.m_Slots.acquire();
            pool.post(&slotJob, &sink);
        }
        sink.m_Sink.waitAll();
    }
    state.SetItemsProcessed(state.iterations() * POOL_JOBS);
}
BENCHMARK(BM_StdThreadPool_PoolShapedWorkload)->UseRealTime()->Unit(benchmark::kMillisecond);

// Short jobs posted one at a time beside a long one: a long job first, then 100 jobs of about
// one microsecond, each posted as soon as the one before has signalled from its body. The long
// job runs until the last short one has signalled (or, should a short one be stuck behind it, for
// at most 200 ms), so a short job that starts after the long one has ended waited behind it: the
// "behind" counter, which must stay 0 with idle-first placement (the counterpart pool shares one
// queue, so it is always 0 there).
constexpr int SHORT_JOBS_BESIDE = 100;

struct BesideALongJob
{
    std::binary_semaphore m_Ran{0};
    std::atomic<bool> m_bRelease{false};
    std::atomic<bool> m_bLongDone{false};
    std::atomic<bool> m_bStartedAfterLong{false}; ///< of the short job last run
};

long signalAfterWork(void* pBeside)
{
    BesideALongJob* pState = static_cast<BesideALongJob*>(pBeside);
    pState->m_bStartedAfterLong.store(pState->m_bLongDone.load(std::memory_order_acquire),
                                      std::memory_order_relaxed);
    work(1);
    pState->m_Ran.release();
    return 0;
}

long longJobBeside(void* pBeside)
{
    BesideALongJob* pState = static_cast<BesideALongJob*>(pBeside);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!pState->m_bRelease.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() < end)
        work(1);
    pState->m_bLongDone.store(true, std::memory_order_release);
    return 0;
}

template <class Post>
void runShortJobsBesideALongJob(benchmark::State& state, Post post)
{
    BesideALongJob beside;
    long nBehind = 0;
    for (auto _ : state) {
        beside.m_bRelease.store(false);
        beside.m_bLongDone.store(false);
        post(&longJobBeside, &beside);
        for (int n = 0; n < SHORT_JOBS_BESIDE; ++n) {
            post(&signalAfterWork, &beside);
            beside.m_Ran.acquire();
            if (beside.m_bStartedAfterLong.load(std::memory_order_relaxed))
                ++nBehind;
        }
        beside.m_bRelease.store(true, std::memory_order_release);
        while (!beside.m_bLongDone.load(std::memory_order_acquire))
            std::this_thread::yield();
    }
    state.counters["behind"] = static_cast<double>(nBehind);
    state.SetItemsProcessed(state.iterations() * SHORT_JOBS_BESIDE);
}

void BM_qvThreadTeam_ShortJobsBesideALongJobIdleFirst(benchmark::State& state)
{
    qvThreadTeam team(2, qvThreadTeam::PLACEMENT_IDLE_FIRST);
    runShortJobsBesideALongJob(
        state, [&team](long (*pJob)(void*), void* pData) { team.createJob(pJob, pData); });
}
BENCHMARK(BM_qvThreadTeam_ShortJobsBesideALongJobIdleFirst)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_StdThreadPool_ShortJobsBesideALongJob(benchmark::State& state)
{
    StdThreadPool pool(2);
    runShortJobsBesideALongJob(
        state, [&pool](long (*pJob)(void*), void* pData) { pool.post(pJob, pData); });
}
BENCHMARK(BM_StdThreadPool_ShortJobsBesideALongJob)->UseRealTime()->Unit(benchmark::kMillisecond);

long roundTripJob(void* pValue)
{
    benchmark::DoNotOptimize(++*static_cast<long*>(pValue));
    return 0;
}

// Pinned: the caller on one processor, and the team's members, which inherit the caller's
// processors when they are made, on the same one.
void joinableRoundTrips(benchmark::State& state, bool bPinned)
{
    PinnedScope pinned(bPinned ? firstAllowedCpu() : -1);
    if (bPinned && !pinned.pinned()) {
        state.SkipWithError("cannot pin the threads");
        return;
    }
    qvJoinableThreadTeam team(2);
    long nValue = 0;
    for (auto _ : state)
        team.join(team.createJob(&roundTripJob, &nValue));
}

void BM_qvJoinableThreadTeam_CreateJobJoin(benchmark::State& state)
{
    joinableRoundTrips(state, false);
}
BENCHMARK(BM_qvJoinableThreadTeam_CreateJobJoin)->UseRealTime();

void BM_qvJoinableThreadTeam_CreateJobJoinPinned(benchmark::State& state)
{
    joinableRoundTrips(state, true);
}
BENCHMARK(BM_qvJoinableThreadTeam_CreateJobJoinPinned)->UseRealTime();

void BM_StdAsync_Get(benchmark::State& state)
{
    long nValue = 0;
    for (auto _ : state)
        std::async(std::launch::async, &roundTripJob, &nValue).get();
}
BENCHMARK(BM_StdAsync_Get)->UseRealTime();

struct PromiseJob
{
    long* m_pValue;
    std::promise<long> m_Result;
};

long promiseJob(void* pArgument)
{
    PromiseJob* pJob = static_cast<PromiseJob*>(pArgument);
    pJob->m_Result.set_value(roundTripJob(pJob->m_pValue));
    return 0;
}

void poolRoundTrips(benchmark::State& state, bool bPinned)
{
    PinnedScope pinned(bPinned ? firstAllowedCpu() : -1);
    if (bPinned && !pinned.pinned()) {
        state.SkipWithError("cannot pin the threads");
        return;
    }
    StdThreadPool pool(2);
    long nValue = 0;
    for (auto _ : state) {
        PromiseJob job{&nValue, {}};
        std::future<long> result = job.m_Result.get_future();
        pool.post(&promiseJob, &job);
        result.get();
    }
}

void BM_StdThreadPool_PromiseGet(benchmark::State& state)
{
    poolRoundTrips(state, false);
}
BENCHMARK(BM_StdThreadPool_PromiseGet)->UseRealTime();

void BM_StdThreadPool_PromiseGetPinned(benchmark::State& state)
{
    poolRoundTrips(state, true);
}
BENCHMARK(BM_StdThreadPool_PromiseGetPinned)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    return runCalibratedBenchmarks(argc, argv);
}
