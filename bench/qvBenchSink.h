#ifndef QV_BENCHSINK_H
#define QV_BENCHSINK_H

// Shared by the benchmark programs that time batches of jobs on a pool: each job reports to the
// sink, and the thread that queued the batch waits until the last one has. workJob is the job of
// about one microsecond that every pool's "one microsecond jobs" row runs.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <semaphore>
#include <string>

#include "qvBenchThreads.h"

// Where the jobs of one batch report; the last one wakes the producer. A cache line of its own:
// the workers write it with every job, and whatever shared a line with it (the producer's
// pool object or loop variables beside it on the stack) would be taken from the producer with
// every job, depending on where the stack happens to start.
struct alignas(64) Sink
{
    std::atomic<long> m_nDone{0};
    long m_nTarget = 0;
    std::atomic<int> m_nAllDone{0};

    void reset(long nTarget)
    {
        m_nDone.store(0);
        m_nTarget = nTarget;
        m_nAllDone.store(0);
    }
    void finishOne()
    {
        if (m_nDone.fetch_add(1, std::memory_order_acq_rel) + 1 == m_nTarget) {
            m_nAllDone.store(1, std::memory_order_release);
            m_nAllDone.notify_one();
        }
    }
    void waitAll()
    {
        while (m_nAllDone.load(std::memory_order_acquire) == 0)
            m_nAllDone.wait(0, std::memory_order_acquire);
    }
};

// How many steps of workJob make about one microsecond; set by calibrateWork().
inline int g_nWorkSteps = 300;

// About nMicroseconds of work on the calling thread.
inline void work(long nMicroseconds)
{
    unsigned int nValue = 1;
    for (long n = 0; n < g_nWorkSteps * nMicroseconds; ++n)
        nValue = nValue * 1664525u + 1013904223u;
    benchmark::DoNotOptimize(nValue);
}

inline long workJob(void* pSink)
{
    work(1);
    static_cast<Sink*>(pSink)->finishOne();
    return 0;
}

// The pool-shaped workload: a producer that keeps at most POOL_SLOTS jobs of POOL_JOB_MICROSECONDS
// in flight, posting the next as soon as one has finished, as a program that hands out work as
// its input arrives does. A counterpart pool counts its slots with a semaphore that each job
// releases (slotJob).
constexpr long POOL_JOBS = 20000;
constexpr long POOL_JOB_MICROSECONDS = 10;
constexpr long POOL_SLOTS = 4;

struct SlotSink
{
    Sink m_Sink;
    std::counting_semaphore<POOL_SLOTS> m_Slots{POOL_SLOTS};
};

inline long slotJob(void* pSlotSink)
{
    SlotSink* pSink = static_cast<SlotSink*>(pSlotSink);
    work(POOL_JOB_MICROSECONDS);
    pSink->m_Slots.release();
    pSink->m_Sink.finishOne();
    return 0;
}

// Chooses the number of steps that makes workJob take about one microsecond here, and records
// it in the benchmark context. The fastest of many short rounds counts: a round that another
// process interrupts only ever takes longer, so the choice does not depend on the load of the
// moment, and programs calibrated one after another run the same job. QV_BENCH_WORK_STEPS
// fixes the number instead.
inline void calibrateWork()
{
    if (const char* pSteps = std::getenv("QV_BENCH_WORK_STEPS")) {
        g_nWorkSteps = std::max(1, std::atoi(pSteps));
    } else {
        Sink sink;
        sink.reset(1L << 40);
        g_nWorkSteps = 1000;
        double dFastest = 1e30;
        for (int nRound = 0; nRound < 200; ++nRound) {
            const auto start = std::chrono::steady_clock::now();
            for (int n = 0; n < 100; ++n)
                workJob(&sink);
            dFastest = std::min(dFastest, std::chrono::duration<double, std::nano>(
                                              std::chrono::steady_clock::now() - start)
                                                  .count() /
                                              100.0);
        }
        g_nWorkSteps = std::max(1, static_cast<int>(1000.0 * 1000.0 / std::max(dFastest, 1.0)));
    }
    benchmark::AddCustomContext("work_steps_per_microsecond", std::to_string(g_nWorkSteps));
}

// The main() of a program with jobs of about one microsecond: calibrates them, then runs the
// benchmarks as BENCHMARK_MAIN() would.
inline int runCalibratedBenchmarks(int argc, char** argv)
{
    calibrateWork();
    return runBenchmarks(argc, argv);
}

#endif
