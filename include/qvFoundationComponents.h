#ifndef QV_FOUNDATIONCOMPONENTS_H
#define QV_FOUNDATIONCOMPONENTS_H

/// \file
///
/// Everything the library offers, in one include.

#include "qvConfig.h"
#include "qvExport.h"

#include "Memory/qvAnyContainer.h"
#include "Memory/qvRCData.h"

#include "Container/qvDCList.h"
#include "Container/qvDynamicVector.h"
#include "Container/qvPoolList.h"
#include "Container/qvSCList.h"
#include "Container/qvTuple.h"

#include "Threading/qvBarrier.h"
#include "Threading/qvJobQueue.h"
#include "Threading/qvJoinableThreadTeam.h"
#include "Threading/qvLocks.h"
#include "Threading/qvRCSignal.h"
#include "Threading/qvSemaphore.h"
#include "Threading/qvSignal.h"
#include "Threading/qvThread.h"
#include "Threading/qvThreadTeam.h"

#include "MainLoop/qvFunctionPipeLine.h"
#include "MainLoop/qvMainLoop.h"
#include "MainLoop/qvProcessor.h"

#include "ITC/qvITCController.h"
#include "ITC/qvITCInterface.h"
#include "ITC/qvInvokationTask.h"

#include "File/qvFileLocator.h"

#include "Plugin/qvInterface.h"
#include "Plugin/qvPluginHandler.h"

#endif
