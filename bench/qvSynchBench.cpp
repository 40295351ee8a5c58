// Locks, signal and value handles beside their standard-library counterparts, in one run.
//
// The process starts (and joins) a thread before any benchmark runs: this library serves
// multi-threaded programs, and libstdc++ switches its shared_ptr counts to plain, non-atomic
// arithmetic while a process has never had a second thread, which no user of ours would see.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Memory/qvAnyContainer.h"
#include "Threading/qvLocks.h"
#include "Threading/qvSignal.h"
#include "qvBenchThreads.h"

namespace {

// The counterpart event: a flag under a mutex with a condition variable.
class StdEvent
{
public:
    void signal()
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_bSet = true;
        m_Condition.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> guard(m_Mutex);
        m_Condition.wait(guard, [this] { return m_bSet; });
    }
    void waitAndReset()
    {
        std::unique_lock<std::mutex> guard(m_Mutex);
        m_Condition.wait(guard, [this] { return m_bSet; });
        m_bSet = false;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Condition;
    bool m_bSet = false;
};

void BM_LWLock_AcquireRelease(benchmark::State& state)
{
    qvSynch::LWLock lock;
    for (auto _ : state) {
        lock.acquire();
        lock.release();
    }
}
BENCHMARK(BM_LWLock_AcquireRelease);

void BM_StdRecursiveMutex_LockUnlock(benchmark::State& state)
{
    std::recursive_mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_StdRecursiveMutex_LockUnlock);

void BM_Signal_SignalWaitOnSetEvent(benchmark::State& state)
{
    qvSynch::Signal signal(true);
    for (auto _ : state) {
        signal.signal();
        signal.wait();
    }
}
BENCHMARK(BM_Signal_SignalWaitOnSetEvent);

void BM_StdEvent_SignalWaitOnSetEvent(benchmark::State& state)
{
    StdEvent event;
    event.signal();
    for (auto _ : state) {
        event.signal();
        event.wait();
    }
}
BENCHMARK(BM_StdEvent_SignalWaitOnSetEvent);

// Two threads hand a token back and forth: each iteration is one round trip. Pinned, both run
// on one processor (the partner inherits the pinned caller's processor).
template <class Event>
void pingPong(benchmark::State& state, bool bPinned = false)
{
    PinnedScope pinned(bPinned ? firstAllowedCpu() : -1);
    if (bPinned && !pinned.pinned()) {
        state.SkipWithError("cannot pin the threads");
        return;
    }
    Event ping(false);
    Event pong(false);
    std::atomic<bool> bStop{false};
    std::thread partner([&] {
        for (;;) {
            ping.waitAndReset();
            if (bStop.load(std::memory_order_relaxed))
                return;
            pong.signal();
        }
    });
    for (auto _ : state) {
        ping.signal();
        pong.waitAndReset();
    }
    bStop = true;
    ping.signal();
    partner.join();
}

class StdEventFalse : public StdEvent
{
public:
    explicit StdEventFalse(bool) {}
};

void BM_Signal_PingPong(benchmark::State& state)
{
    pingPong<qvSynch::Signal>(state);
}
BENCHMARK(BM_Signal_PingPong)->UseRealTime();

void BM_StdEvent_PingPong(benchmark::State& state)
{
    pingPong<StdEventFalse>(state);
}
BENCHMARK(BM_StdEvent_PingPong)->UseRealTime();

void BM_Signal_PingPongPinned(benchmark::State& state)
{
    pingPong<qvSynch::Signal>(state, true);
}
BENCHMARK(BM_Signal_PingPongPinned)->UseRealTime();

void BM_StdEvent_PingPongPinned(benchmark::State& state)
{
    pingPong<StdEventFalse>(state, true);
}
BENCHMARK(BM_StdEvent_PingPongPinned)->UseRealTime();

void BM_AnyContainer_Copy(benchmark::State& state)
{
    qvAnyContainer source = qvMakeAny(42);
    for (auto _ : state) {
        qvAnyContainer copy(source);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_AnyContainer_Copy);

void BM_StdSharedPtr_Copy(benchmark::State& state)
{
    std::shared_ptr<int> source = std::make_shared<int>(42);
    for (auto _ : state) {
        std::shared_ptr<int> copy(source);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_StdSharedPtr_Copy);

} // namespace

int main(int argc, char** argv)
{
    std::thread([] {}).join();
    return runBenchmarks(argc, argv);
}
