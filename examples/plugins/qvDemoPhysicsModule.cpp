// Example plug-in module "physics-probe": watches the simulation through the physics idle
// callback. Each call gets the simulation's time step; the module integrates the simulated time
// it has seen and counts the calls it skipped while the host had it suspended. At finish it
// reports both to the host.

#include <cstdio>

#include "Plugin/qvPluginModule.h"
#include "qvDemoHostInterface.h"

namespace {

// The host drives the entry points one at a time (under its plug-in lock), so plain members do.
qvDemoHostInterface* s_pHost = nullptr;
bool s_bSuspended = false;
unsigned long s_nPhysicsCalls = 0;
unsigned long s_nSkippedCalls = 0;
unsigned int s_nSuspensions = 0;
double s_dSimulatedSeconds = 0.0;

} // namespace

extern "C" {

void exInitModule(qvInterface* pInterface)
{
    // The host and this module agree on the interface type; a static_cast needs no RTTI match.
    s_pHost = static_cast<qvDemoHostInterface*>(pInterface);
}

void exGetModuleName(const char** pcstrName)
{
    *pcstrName = "physics-probe";
}

void exFinishModule()
{
    if (s_pHost) {
        char cstrSummary[160];
        std::snprintf(cstrSummary, sizeof cstrSummary,
                      "%lu physics calls, %.3f s simulated, %lu skipped while suspended "
                      "(%u suspension)",
                      s_nPhysicsCalls, s_dSimulatedSeconds, s_nSkippedCalls, s_nSuspensions);
        s_pHost->reportModule("physics-probe", cstrSummary);
    }
    s_pHost = nullptr;
}

void exSuspendModule(bool bSuspend)
{
    if (bSuspend && !s_bSuspended)
        ++s_nSuspensions;
    s_bSuspended = bSuspend;
}

bool exIsSuspended()
{
    return s_bSuspended;
}

void exModulePhysicCallback(float fValue)
{
    if (s_bSuspended) {
        ++s_nSkippedCalls;
        return;
    }
    ++s_nPhysicsCalls;
    s_dSimulatedSeconds += fValue;
}

void exModuleRenderCallback() {}

} // extern "C"
