// Example plug-in module "frame-overlay": a render-side module that counts the frames it has
// drawn and measures the frame rate it saw between its first and last frame, through the
// render idle callback and the host's clock. Frames that arrive while it is suspended are not
// drawn. At finish it reports to the host.

#include <cstdio>

#include "Plugin/qvPluginModule.h"
#include "qvDemoHostInterface.h"

namespace {

qvDemoHostInterface* s_pHost = nullptr;
bool s_bSuspended = false;
unsigned long s_nFramesDrawn = 0;
unsigned long s_nFramesSkipped = 0;
unsigned int s_nSuspensions = 0;
double s_dFirstFrameTime = -1.0;
double s_dLastFrameTime = 0.0;

} // namespace

extern "C" {

void exInitModule(qvInterface* pInterface)
{
    s_pHost = static_cast<qvDemoHostInterface*>(pInterface);
}

void exGetModuleName(const char** pcstrName)
{
    *pcstrName = "frame-overlay";
}

void exFinishModule()
{
    if (s_pHost) {
        const double dSpan = s_dLastFrameTime - s_dFirstFrameTime;
        const double dRate = s_nFramesDrawn > 1 && dSpan > 0.0 ? (s_nFramesDrawn - 1) / dSpan : 0.0;
        char cstrSummary[160];
        std::snprintf(cstrSummary, sizeof cstrSummary,
                      "%lu frames drawn (%.0f per second), %lu skipped while suspended "
                      "(%u suspension)",
                      s_nFramesDrawn, dRate, s_nFramesSkipped, s_nSuspensions);
        s_pHost->reportModule("frame-overlay", cstrSummary);
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

void exModulePhysicCallback(float) {}

void exModuleRenderCallback()
{
    if (s_bSuspended) {
        ++s_nFramesSkipped;
        return;
    }
    const double dNow = s_pHost ? s_pHost->getElapsedSeconds() : 0.0;
    if (s_dFirstFrameTime < 0.0)
        s_dFirstFrameTime = dNow;
    s_dLastFrameTime = dNow;
    ++s_nFramesDrawn;
}

} // extern "C"
