// Threads and the primitives they wait on, each beside its standard counterpart:
//  - Semaphore V+P, uncontended, against a POSIX sem_t post+wait (the standard library's
//    counting_semaphore makes a system call on every release here, so it is no fair match);
//  - one cycle of a two-thread Barrier against std::barrier;
//  - qvThread create+run+join against std::thread create+join.

#include <benchmark/benchmark.h>

#include <barrier>
#include <semaphore.h>
#include <thread>

#include "Threading/qvBarrier.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvThread.h"

namespace {

void BM_qvSemaphoreVP(benchmark::State& state)
{
    qvSynch::Semaphore semaphore(0, 32767);
    for (auto _ : state) {
        semaphore.V();
        semaphore.P();
    }
}
BENCHMARK(BM_qvSemaphoreVP);

void BM_sem_tPostWait(benchmark::State& state)
{
    sem_t semaphore;
    sem_init(&semaphore, 0, 0);
    for (auto _ : state) {
        sem_post(&semaphore);
        sem_wait(&semaphore);
    }
    sem_destroy(&semaphore);
}
BENCHMARK(BM_sem_tPostWait);

// One iteration is one cycle: both threads meet once. The partner runs as many cycles.
void BM_qvBarrierTwoThreadCycle(benchmark::State& state)
{
    qvSynch::Barrier barrier;
    barrier.init(2);
    const auto nCycles = state.max_iterations;
    std::thread partner([&] {
        for (benchmark::IterationCount n = 0; n < nCycles; ++n)
            barrier.wait();
    });
    for (auto _ : state)
        barrier.wait();
    partner.join();
}
BENCHMARK(BM_qvBarrierTwoThreadCycle)->UseRealTime();

void BM_stdBarrierTwoThreadCycle(benchmark::State& state)
{
    std::barrier<> barrier(2);
    const auto nCycles = state.max_iterations;
    std::thread partner([&] {
        for (benchmark::IterationCount n = 0; n < nCycles; ++n)
            barrier.arrive_and_wait();
    });
    for (auto _ : state)
        barrier.arrive_and_wait();
    partner.join();
}
BENCHMARK(BM_stdBarrierTwoThreadCycle)->UseRealTime();

long emptyStart(void*)
{
    return 0;
}

void BM_qvThreadCreateRunJoin(benchmark::State& state)
{
    qvThreadData data(&emptyStart, nullptr);
    for (auto _ : state) {
        qvThread thread;
        thread.run(&data);
        thread.join();
    }
}
BENCHMARK(BM_qvThreadCreateRunJoin)->UseRealTime();

void BM_stdThreadCreateJoin(benchmark::State& state)
{
    for (auto _ : state) {
        std::thread thread([] { benchmark::DoNotOptimize(emptyStart(nullptr)); });
        thread.join();
    }
}
BENCHMARK(BM_stdThreadCreateJoin)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
