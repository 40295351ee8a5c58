#include "Plugin/qvPluginHandler.h"

#include <algorithm>
#include <cstddef>
#include <cxxabi.h>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "Platform/Library.h"
#include "Platform/Thread.h"
#include "Plugin/qvPluginModule.h"

namespace {

// The entry point types, taken from the declarations that modules are built against.
using InitModuleFunc = decltype(&exInitModule);
using GetModuleNameFunc = decltype(&exGetModuleName);
using FinishModuleFunc = decltype(&exFinishModule);
using SuspendModuleFunc = decltype(&exSuspendModule);
using IsSuspendedFunc = decltype(&exIsSuspended);
using ModulePhysicCallbackFunc = decltype(&exModulePhysicCallback);
using ModuleRenderCallbackFunc = decltype(&exModuleRenderCallback);

template <class Func>
Func findEntryPoint(qvModuleHandle hModule, const char* cstrName)
{
    return reinterpret_cast<Func>(qvPlatform::Library::findSymbol(hModule, cstrName));
}

// An exception thrown by a module's code may live in the module: its object's destructor, its
// type information and its what() (all of them when the module links its own C++ runtime, as
// Windows modules do). The handler releases a module whose entry point threw, and a caller's
// catch may outlast the handler itself, which releases every module as it goes. So no exception
// of a module's crosses the handler's boundary: while the module is certainly still loaded, the
// entry point's exception is read and destroyed, and one made by the library takes its place:
// std::bad_alloc for std::bad_alloc, std::runtime_error with the same what() text for any other
// std::exception, and std::runtime_error with UNKNOWN_EXCEPTION_TEXT for anything else.
constexpr const char* UNKNOWN_EXCEPTION_TEXT =
    "A plug-in module's entry point threw an exception that is not a std::exception.";

class ModuleException
{
public:
    // Inside a catch handler for an exception of a module's.
    void setOutOfMemory() noexcept { m_eKind = Kind::OUT_OF_MEMORY; }
    void setMessage(const char* cstrWhat) noexcept
    {
        try {
            m_sstrWhat = cstrWhat != nullptr ? cstrWhat : "";
            m_eKind = Kind::MESSAGE;
        } catch (...) {
            m_eKind = Kind::OUT_OF_MEMORY; // the text could not be kept
        }
    }
    void setUnknown() noexcept { m_eKind = Kind::UNKNOWN; }

    // Outside the handler, once the module's exception is gone.
    [[noreturn]] void raise() const
    {
        switch (m_eKind) {
        case Kind::OUT_OF_MEMORY:
            throw std::bad_alloc();
        case Kind::MESSAGE:
            throw std::runtime_error(m_sstrWhat);
        case Kind::UNKNOWN:
            break;
        }
        throw std::runtime_error(UNKNOWN_EXCEPTION_TEXT);
    }

private:
    enum class Kind
    {
        UNKNOWN,
        OUT_OF_MEMORY,
        MESSAGE
    };
    Kind m_eKind = Kind::UNKNOWN;
    std::string m_sstrWhat;
};

// Calls a module's entry point; what it throws leaves as the library's own exception (above),
// also an exception of another language's runtime (its clean-up lies in the module too). Only
// the forced unwinding of a cancelled thread (Linux) goes on unchanged to the thread's start. It
// is caught by its type, a reference to which UndefinedBehaviorSanitizer takes for a null one
// (the unwinding has no object): hence the attribute.
template <class Result, class... Params, class... Args>
__attribute__((no_sanitize("null"))) Result callEntryPoint(Result (*pEntryPoint)(Params...),
                                                           Args&&... args)
{
    ModuleException moduleException;
    try {
        return pEntryPoint(std::forward<Args>(args)...);
    } catch (abi::__forced_unwind&) {
        qvPlatform::Thread::prepareToPassCancellationOn(__builtin_frame_address(0));
        throw;
    } catch (const std::bad_alloc&) {
        moduleException.setOutOfMemory();
    } catch (const std::exception& exception) {
        moduleException.setMessage(exception.what());
    } catch (...) {
        moduleException.setUnknown();
    }
    moduleException.raise();
}

} // namespace

// An idle walk in progress: the name of the module it is calling (the key of that module's
// entry), and that entry itself once the module has been unloaded from the call.
struct qvPluginHandler::Walk
{
    explicit Walk(qvPluginHandler& handler)
        : m_Handler(handler), m_pCurrentName(nullptr), m_pOuter(handler.m_pInnermostWalk)
    {
        m_Handler.m_pInnermostWalk = this;
    }
    ~Walk() { m_Handler.m_pInnermostWalk = m_pOuter; }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    qvPluginHandler& m_Handler;
    const std::string* m_pCurrentName;
    ModuleMap::node_type m_KeptEntry;
    Walk* m_pOuter;
};

// Counts a running module entry point. When the outermost one returns, the libraries whose
// release was put off while it ran are released.
class qvPluginHandler::EntryCallScope
{
public:
    explicit EntryCallScope(qvPluginHandler& handler) : m_Handler(handler)
    {
        ++m_Handler.m_nEntryCallDepth;
    }
    ~EntryCallScope()
    {
        if (--m_Handler.m_nEntryCallDepth != 0)
            return;
        while (!m_Handler.m_listPendingReleases.empty()) {
            qvModuleHandle hModule = m_Handler.m_listPendingReleases.front();
            m_Handler.m_listPendingReleases.pop_front();
            qvPlatform::Library::close(hModule);
        }
    }
    EntryCallScope(const EntryCallScope&) = delete;
    EntryCallScope& operator=(const EntryCallScope&) = delete;

private:
    qvPluginHandler& m_Handler;
};

qvPluginHandler::qvPluginHandler()
    : m_pModuleInterface(nullptr), m_nEntryCallDepth(0), m_nTableVersion(0),
      m_nVisitOrderVersion(0), m_pInnermostWalk(nullptr)
{
}

qvPluginHandler::~qvPluginHandler()
{
    // No exception may leave a destructor; shutdown() has finished and released every module
    // and deleted the interface before it rethrows a module's exception.
    try {
        shutdown();
    } catch (...) {
    }
}

void qvPluginHandler::shutdown()
{
    // A module whose exFinishModule throws is released all the same, and the others are still
    // finished; the first exception leaves shutdown() once everything is done.
    std::exception_ptr pFirstException;
    while (!m_mapModuleHandles.empty()) {
        const auto itFirst = m_mapModuleHandles.begin();
        bool bUnloaded = true;
        try {
            bUnloaded = unload(itFirst->first);
        } catch (...) {
            if (!pFirstException)
                pFirstException = std::current_exception();
        }
        if (!bUnloaded) {
            // Cannot happen while both tables hold the same names; should it, the module is
            // dropped unfinished rather than looping for ever.
            releaseLibrary(itFirst->second.m_hModule);
            m_mapModuleFileNames.erase(itFirst->first);
            eraseModule(itFirst);
        }
    }
    m_mapModuleHandles.clear();
    m_mapModuleFileNames.clear();
    ++m_nTableVersion;
    if (m_pModuleInterface != nullptr) {
        qvInterface* pInterface = m_pModuleInterface;
        m_pModuleInterface = nullptr;
        delete pInterface;
    }
    if (pFirstException)
        std::rethrow_exception(pFirstException);
}

void qvPluginHandler::setModuleInterface(qvInterface* pInterface)
{
    m_pModuleInterface = pInterface;
}

void qvPluginHandler::releaseLibrary(qvModuleHandle hModule)
{
    // A library whose code may still be on the stack (a module that unloads itself, or another
    // module, from one of its entry points) is released once that code has returned.
    if (m_nEntryCallDepth > 0)
        m_listPendingReleases.push_back(hModule);
    else
        qvPlatform::Library::close(hModule);
}

bool qvPluginHandler::isRegisteredHandle(qvModuleHandle hModule) const
{
    return std::any_of(m_mapModuleHandles.begin(), m_mapModuleHandles.end(),
                       [hModule](const auto& entry) { return entry.second.m_hModule == hModule; });
}

void qvPluginHandler::eraseModule(ModuleMap::iterator itModule)
{
    // The outermost walk calling this module keeps the entry: walks nested in that call end
    // before it does.
    Walk* pKeeper = nullptr;
    for (Walk* pWalk = m_pInnermostWalk; pWalk != nullptr; pWalk = pWalk->m_pOuter) {
        if (pWalk->m_pCurrentName == &itModule->first)
            pKeeper = pWalk;
    }
    if (pKeeper != nullptr)
        pKeeper->m_KeptEntry = m_mapModuleHandles.extract(itModule);
    else
        m_mapModuleHandles.erase(itModule);
    ++m_nTableVersion;
}

bool qvPluginHandler::load(const std::string& sstrFileName)
{
    qvModuleHandle hModule = qvPlatform::Library::open(sstrFileName);
    if (hModule == nullptr)
        return false;
    // The loader hands back the instance it already holds when the same file comes again under
    // another spelling ("./m.so" and its absolute path, a symbolic link): that module is
    // initialised and registered already, or is being loaded by an outer load() that has called
    // its exInitModule (which may have asked for it again, directly or through another module's
    // exInitModule). Only the reference this open took is given back.
    if (isRegisteredHandle(hModule) || m_setLoadingHandles.count(hModule) != 0) {
        qvPlatform::Library::close(hModule);
        return false;
    }
    try {
        m_setLoadingHandles.insert(hModule);
    } catch (...) {
        qvPlatform::Library::close(hModule);
        throw;
    }
    struct LoadInProgress
    {
        std::set<qvModuleHandle>& m_setHandles;
        qvModuleHandle m_hModule;
        ~LoadInProgress() { m_setHandles.erase(m_hModule); }
    } const loadInProgress{m_setLoadingHandles, hModule};

    const auto pInitModule = findEntryPoint<InitModuleFunc>(hModule, "exInitModule");
    const auto pFinishModule = findEntryPoint<FinishModuleFunc>(hModule, "exFinishModule");
    const auto pSuspendModule = findEntryPoint<SuspendModuleFunc>(hModule, "exSuspendModule");
    const auto pPhysicCallback =
        findEntryPoint<ModulePhysicCallbackFunc>(hModule, "exModulePhysicCallback");
    const auto pRenderCallback =
        findEntryPoint<ModuleRenderCallbackFunc>(hModule, "exModuleRenderCallback");
    const auto pGetModuleName = findEntryPoint<GetModuleNameFunc>(hModule, "exGetModuleName");
    const auto pIsSuspended = findEntryPoint<IsSuspendedFunc>(hModule, "exIsSuspended"); // optional
    // The entry points kept with the registration are of the types modules are built against.
    static_assert(std::is_same_v<decltype(Module::m_pFinishModule), FinishModuleFunc>);
    static_assert(std::is_same_v<decltype(Module::m_pSuspendModule), SuspendModuleFunc>);
    static_assert(std::is_same_v<decltype(Module::m_pIsSuspended), IsSuspendedFunc>);
    static_assert(std::is_same_v<decltype(Module::m_pPhysicCallback), ModulePhysicCallbackFunc>);
    static_assert(std::is_same_v<decltype(Module::m_pRenderCallback), ModuleRenderCallbackFunc>);
    // exGetModuleName is called on every accepted module, so a library without it is refused
    // like one without any other needed entry point: before anything of it is called.
    if (pInitModule == nullptr || pFinishModule == nullptr || pSuspendModule == nullptr ||
        pPhysicCallback == nullptr || pRenderCallback == nullptr || pGetModuleName == nullptr) {
        qvPlatform::Library::close(hModule);
        return false;
    }

    // The reference this load took is given back directly, never put off: every entry point of
    // the library that this load called has returned by then, and any code of the library that
    // is still on the stack belongs to an outer call that holds a reference of its own.
    EntryCallScope scope(*this);
    try {
        callEntryPoint(pInitModule, m_pModuleInterface);
    } catch (...) {
        // Not initialised: nothing to finish.
        qvPlatform::Library::close(hModule);
        throw;
    }
    // Initialised: from here a module that does not end up registered is finished again and
    // released, also when exGetModuleName, exFinishModule or an allocation throws; the exception
    // goes on. (Not finished when a load made from its own exInitModule or exGetModuleName has
    // registered this very instance meanwhile: that registration finishes it.)
    bool bFinishOwed = true;
    try {
        const char* cstrName = nullptr;
        callEntryPoint(pGetModuleName, &cstrName);
        const std::string sstrName(cstrName != nullptr ? cstrName : sstrFileName);

        if (m_mapModuleHandles.find(sstrName) != m_mapModuleHandles.end() ||
            isRegisteredHandle(hModule)) {
            // The name is taken: the first module keeps it and this load adds nothing; the new
            // instance is finished again. An instance that a re-entrant load registered while
            // its entry points ran is not registered twice.
            bFinishOwed = false;
            if (!isRegisteredHandle(hModule))
                callEntryPoint(pFinishModule);
            qvPlatform::Library::close(hModule);
            return false;
        }
        // Both tables or neither.
        const Module module{.m_hModule = hModule,
                            .m_pFinishModule = pFinishModule,
                            .m_pSuspendModule = pSuspendModule,
                            .m_pIsSuspended = pIsSuspended,
                            .m_pPhysicCallback = pPhysicCallback,
                            .m_pRenderCallback = pRenderCallback};
        const auto itHandle = m_mapModuleHandles.emplace(sstrName, module).first;
        try {
            m_mapModuleFileNames.emplace(sstrName, sstrFileName);
        } catch (...) {
            m_mapModuleHandles.erase(itHandle);
            ++m_nTableVersion;
            throw;
        }
    } catch (...) {
        if (bFinishOwed && !isRegisteredHandle(hModule)) {
            try {
                callEntryPoint(pFinishModule);
            } catch (...) {
                // The first exception is the one the caller learns of.
            }
        }
        qvPlatform::Library::close(hModule);
        throw;
    }
    ++m_nTableVersion;
    return true;
}

bool qvPluginHandler::unload(const std::string& sstrModuleName)
{
    const auto itCurrPos = m_mapModuleHandles.find(sstrModuleName);
    const auto itCurrPos2 = m_mapModuleFileNames.find(sstrModuleName);
    if (itCurrPos == m_mapModuleHandles.end() || itCurrPos2 == m_mapModuleFileNames.end())
        return false;
    qvModuleHandle hModule = itCurrPos->second.m_hModule;
    const auto pFinishModule = itCurrPos->second.m_pFinishModule;

    // The entries go just before exFinishModule runs, so that a module calling back in from
    // there (to unload itself, or to shut the handler down) cannot be finished twice.
    eraseModule(itCurrPos);
    m_mapModuleFileNames.erase(itCurrPos2);
    ++m_nTableVersion;
    // A throwing exFinishModule still leaves the module forgotten and its library released.
    try {
        EntryCallScope scope(*this);
        callEntryPoint(pFinishModule);
    } catch (...) {
        releaseLibrary(hModule);
        throw;
    }
    releaseLibrary(hModule);
    return true;
}

std::list<std::string> qvPluginHandler::getModuleNames() const
{
    std::list<std::string> listNames;
    for (const auto& entry : m_mapModuleHandles)
        listNames.push_back(entry.first);
    return listNames;
}

std::list<std::string> qvPluginHandler::getModuleFileNames() const
{
    std::list<std::string> listFileNames;
    for (const auto& entry : m_mapModuleFileNames)
        listFileNames.push_back(entry.second);
    return listFileNames;
}

qvModuleHandle qvPluginHandler::getModuleHandle(const std::string& sstrModuleName) const
{
    const auto itFound = m_mapModuleHandles.find(sstrModuleName);
    return itFound != m_mapModuleHandles.end() ? itFound->second.m_hModule : nullptr;
}

std::string qvPluginHandler::getModuleNameFromFilename(const std::string& sstrFileName) const
{
    std::string sstrName;
    for (auto itCurrPos = m_mapModuleFileNames.begin(), itEndPos = m_mapModuleFileNames.end();
         itCurrPos != itEndPos; ++itCurrPos) {
        if (itCurrPos->second == sstrFileName)
            sstrName = itCurrPos->first;
    }
    return sstrName;
}

void qvPluginHandler::setSuspendModule(const std::string& sstrModuleName, bool bSuspend)
{
    const auto itFound = m_mapModuleHandles.find(sstrModuleName);
    if (itFound == m_mapModuleHandles.end())
        return;
    EntryCallScope scope(*this);
    callEntryPoint(itFound->second.m_pSuspendModule, bSuspend);
}

bool qvPluginHandler::isModuleSuspended(const std::string& sstrModuleName)
{
    const auto itFound = m_mapModuleHandles.find(sstrModuleName);
    if (itFound == m_mapModuleHandles.end() || itFound->second.m_pIsSuspended == nullptr)
        return false;
    EntryCallScope scope(*this);
    return callEntryPoint(itFound->second.m_pIsSuspended);
}

// Walks the modules in ascending name order. When a callback changed the tables (a module loaded
// or unloaded one), the walk goes on with the first name after the current one that is still
// registered, so no iterator into a changed map is used and no module is visited twice. The
// current name stays readable: an unloaded module's entry is kept by the walk (eraseModule()).
//
// While no callback changes the tables, the walk follows m_vecVisitOrder: a module costs an
// indirect call and no step through the tree.
template <class Call>
void qvPluginHandler::visitModules(Call call)
{
    EntryCallScope scope(*this);
    Walk walk(*this);
    auto itCurrPos = m_mapModuleHandles.begin();
    if (refreshVisitOrder()) {
        const std::uint64_t nVersion = m_nTableVersion;
        for (std::size_t n = 0; n < m_vecVisitOrder.size(); ++n) {
            ModuleMap::value_type& entry = *m_vecVisitOrder[n];
            walk.m_pCurrentName = &entry.first;
            call(entry.second);
            if (nVersion != m_nTableVersion)
                break; // the order may be gone with the change: go on in the map
        }
        if (nVersion == m_nTableVersion)
            return;
        itCurrPos = m_mapModuleHandles.upper_bound(*walk.m_pCurrentName);
    }
    while (itCurrPos != m_mapModuleHandles.end()) {
        const std::uint64_t nVersion = m_nTableVersion;
        walk.m_pCurrentName = &itCurrPos->first;
        call(itCurrPos->second);
        if (nVersion == m_nTableVersion)
            ++itCurrPos;
        else
            itCurrPos = m_mapModuleHandles.upper_bound(*walk.m_pCurrentName);
    }
}

bool qvPluginHandler::refreshVisitOrder()
{
    if (m_nVisitOrderVersion == m_nTableVersion)
        return true;
    try {
        m_vecVisitOrder.clear();
        m_vecVisitOrder.reserve(m_mapModuleHandles.size());
        for (auto& entry : m_mapModuleHandles)
            m_vecVisitOrder.push_back(&entry);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_nVisitOrderVersion = m_nTableVersion;
    return true;
}

void qvPluginHandler::doPhysicIdleCallbacks(float fValue)
{
    visitModules(
        [fValue](const Module& module) { callEntryPoint(module.m_pPhysicCallback, fValue); });
}

void qvPluginHandler::doRenderIdleCallbacks()
{
    visitModules([](const Module& module) { callEntryPoint(module.m_pRenderCallback); });
}
