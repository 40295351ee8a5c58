// oneTBB counterparts of this library's joinable worker pool, built only when oneTBB is
// installed (Debian: libtbb-dev). The operations and their sizes are those of
// bench/qvThreadTeamBench.cpp, which times this library's side with a team of two members:
//
// - tbb::task_group run + wait of one small task: the counterpart of createJob + join. TBB's
//   wait() may run the task on the waiting thread itself, which a team never does;
// - 1,000,000 empty tasks run into one task_group, then one wait(): the counterpart of a
//   million jobs handed to a team and waited for;
// - the same with 200,000 tasks of about one microsecond (workJob, qvBenchSink.h), timed until
//   the last one has run;
// - the pool-shaped workload of qvBenchSink.h, limited by the same semaphore of slots as the
//   counterpart pool of qvThreadTeamBench.cpp.
//
// Both run in a task_arena of two threads (the calling thread takes one of the slots), the
// closest match to two team members.

#include <benchmark/benchmark.h>

#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "qvBenchSink.h"

namespace {

constexpr long EMPTY_JOBS = 1000000;
constexpr long WORK_JOBS = 200000;

void BM_TbbTaskGroup_RunWait(benchmark::State& state)
{
    tbb::task_arena arena(2);
    arena.execute([&state] {
        tbb::task_group group;
        long nValue = 0;
        for (auto _ : state) {
            group.run([&nValue] { benchmark::DoNotOptimize(++nValue); });
            group.wait();
        }
    });
}
BENCHMARK(BM_TbbTaskGroup_RunWait)->UseRealTime();

void BM_TbbTaskGroup_MillionEmptyJobs(benchmark::State& state)
{
    tbb::task_arena arena(2);
    arena.execute([&state] {
        tbb::task_group group;
        long nValue = 0;
        for (auto _ : state) {
            for (long n = 0; n < EMPTY_JOBS; ++n)
                group.run([&nValue] { benchmark::DoNotOptimize(nValue); });
            group.wait();
        }
    });
    state.SetItemsProcessed(state.iterations() * EMPTY_JOBS);
}
BENCHMARK(BM_TbbTaskGroup_MillionEmptyJobs)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_TbbTaskGroup_OneMicrosecondJobs(benchmark::State& state)
{
    tbb::task_arena arena(2);
    arena.execute([&state] {
        tbb::task_group group;
        Sink sink;
        for (auto _ : state) {
            sink.reset(WORK_JOBS);
            for (long n = 0; n < WORK_JOBS; ++n)
                group.run([&sink] { workJob(&sink); });
            group.wait();
        }
    });
    state.SetItemsProcessed(state.iterations() * WORK_JOBS);
}
BENCHMARK(BM_TbbTaskGroup_OneMicrosecondJobs)->UseRealTime()->Unit(benchmark::kMillisecond);

// The pool-shaped workload (qvBenchSink.h): at most POOL_SLOTS tasks in flight, each run as
// soon as a slot is free.
void BM_TbbTaskGroup_PoolShapedWorkload(benchmark::State& state)
{
    tbb::task_arena arena(2);
    arena.execute([&state] {
        tbb::task_group group;
        SlotSink sink;
        for (auto _ : state) {
            sink.m_Sink.reset(POOL_JOBS);
            for (long n = 0; n < POOL_JOBS; ++n) {
                sink.m_Slots.acquire();
                group.run([&sink] { slotJob(&sink); });
            }
            group.wait();
        }
    });
    state.SetItemsProcessed(state.iterations() * POOL_JOBS);
}
BENCHMARK(BM_TbbTaskGroup_PoolShapedWorkload)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return runCalibratedBenchmarks(argc, argv);
}
