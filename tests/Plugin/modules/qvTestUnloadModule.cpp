// A module built on the library that a host drives from several threads and then unloads: each
// thread sleeps in one of the library's semaphores, which gives it the library's per-thread
// state (its wait record), and the host releases the library's last reference while some of
// those threads still live. Plain C functions: the host does not link the library.

#include "Plugin/qvPluginModule.h"
#include "Threading/qvSemaphore.h"

namespace {

qvSynch::Semaphore s_Sleepers(0, 1000);

} // namespace

extern "C" {

// Blocks the calling thread until qvUnloadRelease lets it go.
QV_MODULE_EXPORT void qvUnloadSleep()
{
    s_Sleepers.P();
}

// Lets nThreads sleepers go.
QV_MODULE_EXPORT void qvUnloadRelease(int nThreads)
{
    for (int n = 0; n < nThreads; ++n)
        s_Sleepers.V();
}

} // extern "C"
