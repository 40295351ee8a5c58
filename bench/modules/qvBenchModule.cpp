// A minimal plug-in module for the plug-in benchmark; QV_BENCH_MODULE_NAME gives its name.

#include "Plugin/qvPluginModule.h"

namespace {
float s_fAccumulated = 0.0f;
bool s_bSuspended = false;
} // namespace

extern "C" {

void exInitModule(qvInterface*) {}
void exGetModuleName(const char** pcstrName)
{
    *pcstrName = QV_BENCH_MODULE_NAME;
}
void exFinishModule() {}
void exSuspendModule(bool bSuspend)
{
    s_bSuspended = bSuspend;
}
bool exIsSuspended()
{
    return s_bSuspended;
}
void exModulePhysicCallback(float fValue)
{
    s_fAccumulated += fValue;
}
void exModuleRenderCallback() {}

} // extern "C"
