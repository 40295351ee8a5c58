#ifndef QV_PLUGIN_HANDLER_H
#define QV_PLUGIN_HANDLER_H

/// \file

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Plugin/qvInterface.h"
#include "qvExport.h"

/// The handle of a loaded module's library (a dynamic library handle of the OS loader).
using qvModuleHandle = void*;

/// Loads plug-in modules (dynamic libraries exporting the entry points of
/// Plugin/qvPluginModule.h) at run time and drives them: initialisation with the host's module
/// interface, suspension, the physics and render idle callbacks, and finishing before release.
/// Modules are kept under the name each gives itself (or, when it gives none, under the file name
/// it was loaded from, exactly as passed), in ascending order of plain case-sensitive comparison;
/// the first module registered under a name keeps it. A module's entry points are found once,
/// when it is loaded, and kept with its registration.
///
/// Ownership: the handler owns the module interface handed to setModuleInterface (shutdown
///            deletes it, after every module has been finished) and every loaded module's library.
/// Threads:   no lock is taken. Every operation, and through it the modules' entry points, runs on
///            the calling thread; one thread at a time may use a handler.
/// Failures:  the handler throws nothing of its own accord and reports no error text; a failure
///            is the false, null or empty result given below and leaves the handler as it was.
///            Two kinds of exception reach the caller, and leave the tables consistent and no
///            library behind:
///            - the allocator's std::bad_alloc: load() then has registered nothing (a module it
///              had initialised is finished again and released);
///            - an exception thrown by a module's entry point (modules should not throw across
///              the C boundary; if one does, the handler lets the caller know rather than hide
///              it). It never leaves the handler as it was thrown, since its type, what() and
///              destructor may live in the module, which the handler may release before the
///              caller's catch ends: it is read and destroyed while the module is still loaded,
///              and the library's own exception takes its place: std::bad_alloc for
///              std::bad_alloc, std::runtime_error with the same what() text for any other
///              std::exception, and std::runtime_error "A plug-in module's entry point threw an
///              exception that is not a std::exception." for anything else. From exInitModule:
///              nothing registered, nothing finished, library released. From exGetModuleName:
///              the module is finished (an exception of that exFinishModule is dropped) and
///              released, nothing registered. From exFinishModule: the module is forgotten and
///              released all the same; shutdown() finishes the other modules and deletes the
///              interface before it rethrows the first such exception, and the destructor drops
///              it. From the idle callbacks, exSuspendModule and exIsSuspended: the walk or call
///              stops there, nothing changes.
/// Re-entry:  a module may call back into the handler from an entry point (through the host's
///            interface), even to unload itself or others: the idle walks go on with the next
///            name still registered; a module is forgotten just before its exFinishModule runs, so
///            it is never finished twice; and a library is released only once no entry point of
///            any module is running any more.
class QV_EXPORT qvPluginHandler
{
public:
    /// Empty tables, no module interface.
    qvPluginHandler();
    /// Runs shutdown(); drops an exception of a module's exFinishModule.
    ~qvPluginHandler();
    qvPluginHandler(const qvPluginHandler&) = delete;
    qvPluginHandler& operator=(const qvPluginHandler&) = delete;

    /// Finishes and releases every module in ascending name order, then deletes the module
    /// interface (so modules may use it inside exFinishModule). A second call does nothing.
    /// Rethrows the first exception of an exFinishModule, after all of that.
    void shutdown();

    /// Stores the interface handed to modules loaded from now on. An interface stored earlier is
    /// not deleted (it is the caller's again), and loaded modules keep the one they received.
    void setModuleInterface(qvInterface* pInterface);

    /// Loads the library (either separator; a name without a separator is searched along the
    /// loader's search path), checks that it exports the six entry points that every
    /// module needs, calls exInitModule with the module interface and exGetModuleName, and
    /// registers the module. True when the module was added.
    /// False, with nothing registered: the name is empty or cannot be loaded (missing, not a
    /// regular file, no library of this platform and machine, truncated, unresolved symbols); the
    /// loader hands back a library instance that is already registered (the same file under
    /// another spelling, such as "./m.so" and its absolute path, or through a symbolic link) or
    /// whose load is still running (asked for again from its own exInitModule, or from that of a
    /// module it loads): then no entry point is called, so a module is never initialised or
    /// finished twice; an entry point is missing (then none is called); or the name is already
    /// registered (then this library instance is finished with exFinishModule after exInitModule
    /// and exGetModuleName). A library that is not kept is released before load returns.
    bool load(const std::string& sstrFileName);

    /// Forgets the module, calls its exFinishModule and releases its library.
    /// False, and nothing called or changed, for a name that is not registered.
    bool unload(const std::string& sstrModuleName);

    /// Registered module names, ascending.
    std::list<std::string> getModuleNames() const;
    /// The file names the modules were loaded from, exactly as passed to load, in ascending order
    /// of their module names.
    std::list<std::string> getModuleFileNames() const;
    /// The library handle of the module, null if the name is not registered.
    qvModuleHandle getModuleHandle(const std::string& sstrModuleName) const;
    /// The name of the module loaded from exactly this file name string (no normalisation); when
    /// several were, the last in name order. Empty if none.
    std::string getModuleNameFromFilename(const std::string& sstrFileName) const;

    /// Calls the module's exSuspendModule with bSuspend. A name that is not registered does
    /// nothing. The handler keeps no suspension state: suspended modules still get both idle
    /// callbacks.
    void setSuspendModule(const std::string& sstrModuleName, bool bSuspend);
    /// The answer of the module's exIsSuspended; false for a name that is not registered and for
    /// a module without exIsSuspended.
    bool isModuleSuspended(const std::string& sstrModuleName);

    /// Calls every module's exModulePhysicCallback with fValue unchanged, in ascending name order.
    void doPhysicIdleCallbacks(float fValue);
    /// Calls every module's exModuleRenderCallback, in ascending name order.
    void doRenderIdleCallbacks();

private:
    class EntryCallScope;
    struct Walk;

    /// A registered module: its library and the entry points found in it when it was loaded (a
    /// loaded library's symbols do not change while it stays loaded). Only exIsSuspended may be
    /// null.
    struct Module
    {
        qvModuleHandle m_hModule;
        void (*m_pFinishModule)();
        void (*m_pSuspendModule)(bool);
        bool (*m_pIsSuspended)();
        void (*m_pPhysicCallback)(float);
        void (*m_pRenderCallback)();
    };
    typedef std::map<std::string, Module> ModuleMap;

    /// Releases the library now, or once the outermost running entry point has returned.
    void releaseLibrary(qvModuleHandle hModule);
    bool isRegisteredHandle(qvModuleHandle hModule) const;
    /// Removes the entry; an idle walk that is calling that module keeps it until the call has
    /// returned, to find the next name from it.
    void eraseModule(ModuleMap::iterator itModule);
    /// Makes m_vecVisitOrder match the tables when it does not; false when it could not (the
    /// walk then steps through the map).
    bool refreshVisitOrder();
    template <class Call>
    void visitModules(Call call);

    qvInterface* m_pModuleInterface;
    ModuleMap m_mapModuleHandles;
    std::map<std::string, std::string> m_mapModuleFileNames;
    /// How many module entry points are running (more than one when a module calls back in).
    unsigned int m_nEntryCallDepth;
    /// Libraries to release once no entry point is running any more.
    std::list<qvModuleHandle> m_listPendingReleases;
    /// Libraries whose load() is running: a load that gets one of them back is refused.
    std::set<qvModuleHandle> m_setLoadingHandles;
    /// Advanced by every change of the tables, so that an idle walk notices a change made by a
    /// module's callback.
    std::uint64_t m_nTableVersion;
    /// The entries of m_mapModuleHandles in name order, as of table version m_nVisitOrderVersion:
    /// an idle walk follows it rather than stepping through the tree while no callback changes
    /// the tables.
    std::vector<ModuleMap::value_type*> m_vecVisitOrder;
    std::uint64_t m_nVisitOrderVersion;
    /// The idle walks in progress, innermost first (more than one when a callback starts another).
    Walk* m_pInnermostWalk;
};

#endif
