// A host that does not link the library: it loads a module built on it, has threads sleep
// through it, unloads it (the library goes with it unless it keeps itself loaded), and then lets
// the threads end and the process exit. Run by the plug-in tests in a child process, so that a
// thread-exit hook left pointing into unloaded code crashes this program, not the tests.
//
//     qvUnloadHost <module> threads   several threads sleep, the module is unloaded, they end
//     qvUnloadHost <module> main      the main thread sleeps, unloads the module and exits
//
// Prints "unloaded" once the module is released and "clean end" as main returns; exit code 0
// then, 2 on a usage error, 3 when something did not happen within the deadline.

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "qvTestPlatform.h"
#include "qvTestSupport.h"

namespace {

typedef void (*SleepFunction)();
typedef void (*ReleaseFunction)(int);

constexpr int THREADS = 4;

// Lets go, once all nThreads are parked in the kernel, the threads sleeping in the module.
bool releaseWhenParked(ReleaseFunction pRelease, const std::vector<qvTest::ThreadId>& vecIds)
{
    for (const qvTest::ThreadId nId : vecIds)
        if (!qvTest::waitUntil([nId] { return qvTest::isParkedInKernel(nId); }))
            return false;
    pRelease(static_cast<int>(vecIds.size()));
    return true;
}

int fail(const char* cstrWhat)
{
    std::printf("failed: %s\n", cstrWhat);
    std::fflush(stdout);
    return 3;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[2], "threads") != 0 && std::strcmp(argv[2], "main") != 0))
        return 2;
    void* hModule = qvTest::openLibrary(argv[1]);
    if (!hModule)
        return fail("load");
    const auto pSleep =
        reinterpret_cast<SleepFunction>(qvTest::findInLibrary(hModule, "qvUnloadSleep"));
    const auto pRelease =
        reinterpret_cast<ReleaseFunction>(qvTest::findInLibrary(hModule, "qvUnloadRelease"));
    if (!pSleep || !pRelease)
        return fail("entry points");

    if (std::strcmp(argv[2], "main") == 0) {
        const qvTest::ThreadId nMain = qvTest::currentTid();
        bool bReleased = false;
        std::thread waker([&] { bReleased = releaseWhenParked(pRelease, {nMain}); });
        pSleep();
        waker.join();
        if (!bReleased)
            return fail("release");
        if (!qvTest::closeLibrary(hModule))
            return fail("unload");
        std::printf("unloaded\nclean end\n");
        std::fflush(stdout);
        return 0; // the main thread's own end comes with the process's
    }

    // The sleepers stay alive across the unload and end after it.
    std::mutex lock;
    std::condition_variable changed;
    std::vector<qvTest::ThreadId> vecIds;
    int nWoken = 0;
    bool bUnloaded = false;
    std::vector<std::thread> vecThreads;
    for (int n = 0; n < THREADS; ++n) {
        vecThreads.emplace_back([&] {
            {
                std::lock_guard<std::mutex> guard(lock);
                vecIds.push_back(qvTest::currentTid());
            }
            changed.notify_all();
            pSleep();
            std::unique_lock<std::mutex> guard(lock);
            ++nWoken;
            changed.notify_all();
            changed.wait_for(guard, qvTest::TIMEOUT, [&] { return bUnloaded; });
        });
    }
    bool bAllWoken = false;
    {
        std::unique_lock<std::mutex> guard(lock);
        if (changed.wait_for(guard, qvTest::TIMEOUT,
                             [&] { return vecIds.size() == std::size_t(THREADS); })) {
            const std::vector<qvTest::ThreadId> vecSleepers = vecIds;
            guard.unlock();
            const bool bReleased = releaseWhenParked(pRelease, vecSleepers);
            guard.lock();
            bAllWoken = bReleased &&
                        changed.wait_for(guard, qvTest::TIMEOUT, [&] { return nWoken == THREADS; });
        }
    }
    const bool bClosed = bAllWoken && qvTest::closeLibrary(hModule);
    if (bClosed)
        std::printf("unloaded\n");
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> guard(lock);
        bUnloaded = true;
    }
    changed.notify_all();
    if (!bAllWoken)
        pRelease(THREADS); // the module is still loaded: let every sleeper go before joining
    for (std::thread& thread : vecThreads)
        thread.join();
    if (!bAllWoken || !bClosed)
        return fail(bAllWoken ? "unload" : "release");
    std::printf("clean end\n");
    std::fflush(stdout);
    return 0;
}
