// A plain shared library (not a module) that exports every entry point. A module linked against
// it must not be credited with the donor's entry points: every call reports as the donor.

#include "Plugin/qvPluginModule.h"
#include "qvTestModuleInterface.h"

extern "C" {

QV_MODULE_EXPORT int qvTestDonorMarker()
{
    return 1;
}

void exInitModule(qvInterface*)
{
    qvTestLibraryEvent("donor", "exInitModule");
}
void exGetModuleName(const char**)
{
    qvTestLibraryEvent("donor", "exGetModuleName");
}
void exFinishModule()
{
    qvTestLibraryEvent("donor", "exFinishModule");
}
void exSuspendModule(bool)
{
    qvTestLibraryEvent("donor", "exSuspendModule");
}
bool exIsSuspended()
{
    qvTestLibraryEvent("donor", "exIsSuspended");
    return true;
}
void exModulePhysicCallback(float)
{
    qvTestLibraryEvent("donor", "exModulePhysicCallback");
}
void exModuleRenderCallback()
{
    qvTestLibraryEvent("donor", "exModuleRenderCallback");
}

} // extern "C"
