#ifndef QV_BENCHTHREADS_H
#define QV_BENCHTHREADS_H

// Thread placement for the benchmark programs, shared by this library's benchmarks and their
// counterparts so that both sides of a row run under the same conditions:
//
// - SecondSender: a second thread that runs a function once per round, for the two-sender rows;
// - pinning: the calling thread (and, through a call made on it, any other thread) kept on one
//   processor, so that the two threads of a hand-off share a core;
// - BusyThreads: threads that keep processors busy, for the oversubscribed rows;
// - runBatchRounds: the rounds of a batch sent from one or two threads;
// - runBenchmarks: BENCHMARK_MAIN()'s work, for programs with a main() of their own;
// - ThreadUse: a thread's processor time and context switches, so that a hand-off row can say
//   where its time goes (counters per iteration, for the caller and for the serving thread).
//
// Benchmarks may call the OS directly (sched_setaffinity); the library itself never does here.

#include <benchmark/benchmark.h>

#include <sched.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Runs a function on a second thread once per round: start() hands it the round, finish() waits
// until it has run.
class SecondSender
{
public:
    explicit SecondSender(std::function<void()> round)
        : m_Round(std::move(round)), m_Thread([this] { serve(); })
    {
    }
    ~SecondSender()
    {
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            m_bStop = true;
        }
        m_Condition.notify_all();
        m_Thread.join();
    }
    void start()
    {
        {
            std::lock_guard<std::mutex> guard(m_Mutex);
            ++m_nStarted;
        }
        m_Condition.notify_all();
    }
    void finish()
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Condition.wait(lock, [this] { return m_nFinished == m_nStarted; });
    }

private:
    void serve()
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        for (;;) {
            m_Condition.wait(lock, [this] { return m_bStop || m_nFinished != m_nStarted; });
            if (m_bStop)
                return;
            lock.unlock();
            m_Round();
            lock.lock();
            ++m_nFinished;
            m_Condition.notify_all();
        }
    }

    std::function<void()> m_Round;
    std::mutex m_Mutex;
    std::condition_variable m_Condition;
    long m_nStarted = 0;
    long m_nFinished = 0;
    bool m_bStop = false;
    std::thread m_Thread;
};

// The first processor the process may run on.
inline int firstAllowedCpu()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        for (int nCpu = 0; nCpu < CPU_SETSIZE; ++nCpu) {
            if (CPU_ISSET(nCpu, &set))
                return nCpu;
        }
    }
    return 0;
}

// Keeps the calling thread on nCpu. False if the OS refused.
inline bool pinCurrentThread(int nCpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(nCpu, &set);
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

// Pins the calling thread to processor nCpu for its lifetime (nothing for a negative nCpu),
// then gives it back the processors it had.
class PinnedScope
{
public:
    explicit PinnedScope(int nCpu) : m_bSaved(false), m_bPinned(false)
    {
        if (nCpu < 0)
            return;
        CPU_ZERO(&m_Previous);
        m_bSaved = sched_getaffinity(0, sizeof(m_Previous), &m_Previous) == 0;
        m_bPinned = pinCurrentThread(nCpu);
    }
    ~PinnedScope()
    {
        if (m_bSaved)
            sched_setaffinity(0, sizeof(m_Previous), &m_Previous);
    }
    PinnedScope(const PinnedScope&) = delete;
    PinnedScope& operator=(const PinnedScope&) = delete;
    bool pinned() const { return m_bPinned; }

private:
    cpu_set_t m_Previous;
    bool m_bSaved;
    bool m_bPinned;
};

// nCount threads that spin until destruction, each on whatever processor the OS gives it.
class BusyThreads
{
public:
    explicit BusyThreads(int nCount)
    {
        for (int n = 0; n < nCount; ++n) {
            m_Threads.emplace_back([this] {
                while (!m_bStop.load(std::memory_order_relaxed)) {
                }
            });
        }
    }
    ~BusyThreads()
    {
        m_bStop.store(true, std::memory_order_relaxed);
        for (std::thread& thread : m_Threads)
            thread.join();
    }
    BusyThreads(const BusyThreads&) = delete;
    BusyThreads& operator=(const BusyThreads&) = delete;

private:
    std::atomic<bool> m_bStop{false};
    std::vector<std::thread> m_Threads;
};

// What BENCHMARK_MAIN() does, for programs that prepare something first.
inline int runBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The rounds of a batch benchmark from one or two senders: each iteration runs sendBatch on
// this thread and, for two senders, on a SecondSender at the same time, then drain(), which
// returns once the serving thread has run everything sent.
template <class State, class SendBatch, class Drain>
void runBatchRounds(State& state, int nSenders, SendBatch sendBatch, Drain drain)
{
    std::unique_ptr<SecondSender> upSecond;
    if (nSenders == 2)
        upSecond.reset(new SecondSender(sendBatch));
    for (auto _ : state) {
        if (upSecond)
            upSecond->start();
        sendBatch();
        if (upSecond)
            upSecond->finish();
        drain();
    }
}

// The calling thread's processor time (user and system) and its context switches so far.
struct ThreadUse
{
    double dCpuNanoseconds = 0;
    long nInvoluntarySwitches = 0; // preempted
    long nVoluntarySwitches = 0;   // slept

    static ThreadUse now()
    {
        ThreadUse use;
        timespec time;
        if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time) == 0)
            use.dCpuNanoseconds = time.tv_sec * 1e9 + time.tv_nsec;
        rusage usage;
        if (getrusage(RUSAGE_THREAD, &usage) == 0) {
            use.nInvoluntarySwitches = usage.ru_nivcsw;
            use.nVoluntarySwitches = usage.ru_nvcsw;
        }
        return use;
    }
};

// Reports what a thread used between two readings, per iteration, as counters named after it
// (<who>_cpu_ns, <who>_preempted, <who>_slept).
template <class State>
void reportThreadUse(State& state, const std::string& who, const ThreadUse& before,
                     const ThreadUse& after)
{
    const double dIterations = state.iterations() ? double(state.iterations()) : 1.0;
    state.counters[who + "_cpu_ns"] =
        (after.dCpuNanoseconds - before.dCpuNanoseconds) / dIterations;
    state.counters[who + "_preempted"] =
        double(after.nInvoluntarySwitches - before.nInvoluntarySwitches) / dIterations;
    state.counters[who + "_slept"] =
        double(after.nVoluntarySwitches - before.nVoluntarySwitches) / dIterations;
}

#endif
