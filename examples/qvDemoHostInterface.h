#ifndef QV_DEMOHOSTINTERFACE_H
#define QV_DEMOHOSTINTERFACE_H

// The interface that the example host hands to its plug-in modules (through
// qvPluginHandler::setModuleInterface). Host and modules share this header; a module reaches
// the host only through these virtual calls, never through dynamic_cast (modules are loaded
// with local symbols and may hold their own copy of the type information).
//
// Threads: the host calls every module entry point with its plug-in lock held, so a module's
// calls into this interface never overlap either. reportModule() may be called from any
// entry point, exFinishModule included (the interface outlives every module).

#include "Plugin/qvInterface.h"

class qvDemoHostInterface : public qvInterface
{
public:
    // Seconds since the host started its loops.
    virtual double getElapsedSeconds() const = 0;
    // A module's closing line for the host's report (copied at once).
    virtual void reportModule(const char* cstrModuleName, const char* cstrSummary) = 0;
};

#endif
