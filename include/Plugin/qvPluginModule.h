#ifndef QV_PLUGIN_MODULE_H
#define QV_PLUGIN_MODULE_H

/// \file
///
/// For authors of plug-in modules: the seven entry points through which qvPluginHandler drives a
/// module. A module includes this header and defines the entry points it offers; they are
/// declared here with C linkage and exported from the module (QV_MODULE_EXPORT), so that the
/// handler finds them under exactly these names even when the module is compiled with hidden
/// visibility, and the definitions must match these types. A definition needs no mark of its own:
/// the declaration's carries over.
///
/// Needed: exInitModule, exFinishModule, exSuspendModule, exModulePhysicCallback,
/// exModuleRenderCallback and exGetModuleName. A library that lacks any of them is refused, and
/// none of its entry points is called. Optional: exIsSuspended (without it the module counts as
/// not suspended).
///
/// Life of a module, as the handler drives it:
///   1. the library is loaded (its static constructors run);
///   2. exInitModule(interface), then exGetModuleName(&name);
///   3. any number of exSuspendModule, exIsSuspended, exModulePhysicCallback and
///      exModuleRenderCallback calls, in whatever order the host asks for them (the idle callbacks
///      visit modules in ascending order of their names, suspended modules included: a module
///      ignores them itself while it counts itself as suspended);
///   4. exFinishModule() once; then the library is released. At the handler's shutdown every
///      module is finished before the interface is deleted, so the interface may still be used
///      inside exFinishModule.
/// A module whose name is already taken by a loaded module is initialised, asked for its name,
/// then finished and released again.
///
/// Threads: every entry point runs on the thread that called the handler operation leading to
/// it, one call at a time from the handler's side. A module that a host drives from several
/// threads protects its own state.

#include "Plugin/qvInterface.h"

/// QV_MODULE_EXPORT exports a function from a module's shared library: __declspec(dllexport) on
/// Windows, default visibility elsewhere. The entry points below carry it; a module marks with it
/// any further function that it exports itself. The host never imports from a module: it looks
/// the entry points up by name.
#if defined(_WIN32)
#define QV_MODULE_EXPORT __declspec(dllexport)
#else
#define QV_MODULE_EXPORT __attribute__((visibility("default")))
#endif
/// The mark of the entry points' declarations below: QV_MODULE_EXPORT.
#define QV_MODULE_ENTRY QV_MODULE_EXPORT

static_assert(sizeof(bool) == 1, "entry points pass one-byte bool values");

extern "C" {

/// Called once, right after the library was loaded and its entry points found. pInterface is the
/// handler's module interface at that moment (null if the host set none); it stays valid until
/// exFinishModule has returned.
QV_MODULE_ENTRY void exInitModule(qvInterface* pInterface);

/// Called once, right after exInitModule. *pcstrName is null on entry; the module stores a
/// pointer to its zero-terminated name there, or leaves it null to be known by the file name it
/// was loaded from. The handler copies the name at once; the storage stays the module's.
QV_MODULE_ENTRY void exGetModuleName(const char** pcstrName);

/// Called once, when the module is unloaded; the library is released right after.
QV_MODULE_ENTRY void exFinishModule();

/// bSuspend: true to suspend the module, false to resume it.
QV_MODULE_ENTRY void exSuspendModule(bool bSuspend);

/// Optional: whether the module counts itself as suspended.
QV_MODULE_ENTRY bool exIsSuspended();

/// Physics idle callback: fValue is the host's value, passed on unchanged.
QV_MODULE_ENTRY void exModulePhysicCallback(float fValue);

/// Render idle callback.
QV_MODULE_ENTRY void exModuleRenderCallback();

} // extern "C"

#endif
