// doPhysicIdleCallbacks over eight loaded modules (the handler keeps each module's entry points
// from its load and walks its table in name order, ready for modules that unload themselves or
// others from their callbacks), against calling the same eight entry points through a plain
// array of function pointers found once.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "Platform/Library.h"
#include "Plugin/qvPluginHandler.h"

namespace {

constexpr int MODULE_COUNT = 8;

std::string modulePath(int nIndex)
{
    return std::string(QV_BENCH_MODULE_DIR) + "/libqvBenchModule" + std::to_string(nIndex) + ".so";
}

void loadModules(qvPluginHandler& handler, benchmark::State& state)
{
    for (int nIndex = 0; nIndex < MODULE_COUNT; ++nIndex) {
        if (!handler.load(modulePath(nIndex)))
            state.SkipWithError(("cannot load " + modulePath(nIndex)).c_str());
    }
}

void BM_PluginHandlerPhysicIdleCallbacks(benchmark::State& state)
{
    qvPluginHandler handler;
    loadModules(handler, state);
    float fValue = 0.5f;
    for (auto _ : state) {
        handler.doPhysicIdleCallbacks(fValue);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * MODULE_COUNT);
}
BENCHMARK(BM_PluginHandlerPhysicIdleCallbacks);

void BM_CachedFunctionPointersPhysic(benchmark::State& state)
{
    qvPluginHandler handler;
    loadModules(handler, state);
    using PhysicCallback = void (*)(float);
    std::vector<PhysicCallback> callbacks;
    for (const std::string& sstrName : handler.getModuleNames())
        callbacks.push_back(reinterpret_cast<PhysicCallback>(qvPlatform::Library::findSymbol(
            handler.getModuleHandle(sstrName), "exModulePhysicCallback")));
    float fValue = 0.5f;
    for (auto _ : state) {
        for (const PhysicCallback pCallback : callbacks)
            pCallback(fValue);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * MODULE_COUNT);
}
BENCHMARK(BM_CachedFunctionPointersPhysic);

} // namespace

BENCHMARK_MAIN();
