// Turn cost and wake-up latency of qvMainLoop, each beside a hand-written standard-library
// counterpart in the same run.
//
// - Turn: a loop whose pipeline holds one empty function; every turn calls the hook, runs the
//   pass and asks the condition under the loop's lock. The counterpart makes the same calls per
//   turn through std::function with a std::mutex around the condition: the limit of this design.
//   One benchmark iteration is one turn (the condition advances the benchmark). A third row
//   makes the hand-written turn with this library's functor and lock types.
// - Wake-up: another thread calls wakeUpIdle() on the sleeping loop and waits until the loop's
//   next hook call has answered; the counterpart is a std::mutex/std::condition_variable
//   ping-pong between two threads. One iteration is one round trip.

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "MainLoop/qvMainLoop.h"
#include "Threading/qvLocks.h"
#include "Threading/qvSignal.h"

namespace {

void emptyFunction() {}

struct TurnCondition
{
    benchmark::State* pState;
    bool operator()() { return pState->KeepRunning(); }
};

void BM_qvMainLoopTurn(benchmark::State& state)
{
    qvMainLoop loop;
    loop.getFunctionPipeLine().addFunction(qvVoidFunctor(&emptyFunction));
    loop.setLoopCondition(qvBoolFunctor(TurnCondition{&state}));
    loop.run();
}
BENCHMARK(BM_qvMainLoopTurn);

void BM_StdFunctionMutexTurn(benchmark::State& state)
{
    std::function<void()> hook = [] {};
    std::function<void()> function = [] {};
    std::function<bool()> condition = [&state] { return state.KeepRunning(); };
    std::mutex conditionMutex;
    bool bGoOn;
    do {
        hook();
        function();
        conditionMutex.lock();
        bGoOn = condition();
        conditionMutex.unlock();
    } while (bGoOn);
}
BENCHMARK(BM_StdFunctionMutexTurn);

// Not a target, a breakdown: the same hand-written turn with this library's functor and lock
// types (Loki::Functor, the recursive qvSynch::LWLock), so that the cost of the loop's own
// machinery (functor slots, pipeline pass) shows apart from the cost of those types.
void BM_LokiFunctorLWLockTurn(benchmark::State& state)
{
    qvVoidFunctor hook(&emptyFunction);
    qvVoidFunctor function(&emptyFunction);
    qvBoolFunctor condition(TurnCondition{&state});
    qvSynch::LWLock conditionLock;
    bool bGoOn;
    do {
        hook();
        function();
        conditionLock.acquire();
        bGoOn = condition();
        conditionLock.release();
    } while (bGoOn);
}
BENCHMARK(BM_LokiFunctorLWLockTurn);

// The hook answers a pending ping only, so extra turns cannot answer early.
struct PongHook
{
    std::atomic<bool>* pbPing;
    qvSynch::Signal* pPong;
    void operator()()
    {
        if (pbPing->exchange(false, std::memory_order_acq_rel))
            pPong->signal();
    }
};

void BM_qvMainLoopWakeUp(benchmark::State& state)
{
    std::atomic<bool> bPing{false};
    qvSynch::Signal pong(false);
    qvMainLoop loop;
    loop.attachITCSchedulerHook(qvVoidFunctor(PongHook{&bPing, &pong}));
    std::thread loopThread([&loop] { loop.run(); });
    for (auto _ : state) {
        bPing.store(true, std::memory_order_release);
        loop.wakeUpIdle();
        pong.waitAndReset();
    }
    loop.shutdown();
    loopThread.join();
}
BENCHMARK(BM_qvMainLoopWakeUp)->UseRealTime();

void BM_StdConditionVariablePingPong(benchmark::State& state)
{
    std::mutex mutex;
    std::condition_variable changed;
    int nTurn = 0; // 1: the other thread's move; 0: ours; -1: stop
    std::thread other([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return nTurn != 0; });
            if (nTurn < 0)
                return;
            nTurn = 0;
            changed.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        nTurn = 1;
        changed.notify_one();
        changed.wait(lock, [&] { return nTurn == 0; });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        nTurn = -1;
    }
    changed.notify_one();
    other.join();
}
BENCHMARK(BM_StdConditionVariablePingPong)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
