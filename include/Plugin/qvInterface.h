#ifndef QV_INTERFACE_H
#define QV_INTERFACE_H

/// \file

#include "qvExport.h"

/// The host's object that the plug-in handler hands to every module it initialises. The library
/// defines no operation of it: the host derives its own interface from it, and the host and its
/// modules agree on that derived type. All the library needs is the virtual destructor, through
/// which the handler deletes the object at shutdown.
///
/// Modules are loaded with their symbols kept local, so a module may see its own copy of the
/// type information of the host's derived class: it should reach the host through virtual calls
/// (or a static_cast that both sides agree on), not through dynamic_cast or typeid comparisons.
///
/// Ownership: the object handed to qvPluginHandler::setModuleInterface belongs to that handler.
class QV_EXPORT qvInterface
{
public:
    virtual ~qvInterface();
};

#endif
