// A plug-in module for the tests, built into several libraries that differ by definitions:
//   QV_TEST_MODULE_LABEL      which library reports (always set)
//   QV_TEST_MODULE_NAME       the name exGetModuleName gives; unset: the pointer stays null
//   QV_TEST_WITHOUT_<ENTRY>   leave that entry point out (INIT, GET_NAME, FINISH, SUSPEND,
//                             IS_SUSPENDED, PHYSIC, RENDER)
//   QV_TEST_NEEDS_DONOR       link against the donor library, which exports every entry point
//   QV_TEST_THROWS_OWN        throw an exception of a type of the module's own: from exInitModule
//                             when the interface is null, from exModulePhysicCallback for a
//                             negative value; and (Linux) raise an exception of no C++ runtime,
//                             whose clean-up lies in the module, from exModuleRenderCallback
// Every entry point reports its call, with its arguments, to the module interface it received.

#include "Plugin/qvPluginModule.h"
#include "qvTestModuleInterface.h"

#ifdef QV_TEST_THROWS_OWN
#include <cstring>
#include <exception>
#ifndef _WIN32
#include <cstdlib>
#include <unwind.h>
#endif
#endif

#ifdef QV_TEST_NEEDS_DONOR
extern "C" int qvTestDonorMarker();
#endif

namespace {

qvTestRecorder* s_pRecorder = nullptr;
bool s_bSuspended = false;

void report(const char* cstrEntryPoint, float fValue = 0.0f, bool bValue = false)
{
    if (s_pRecorder != nullptr)
        s_pRecorder->record(QV_TEST_MODULE_LABEL, cstrEntryPoint, fValue, bValue);
    else
        qvTestLibraryEvent(QV_TEST_MODULE_LABEL, cstrEntryPoint);
}

struct LibraryLifetime
{
    LibraryLifetime() { qvTestLibraryEvent(QV_TEST_MODULE_LABEL, "loaded"); }
    ~LibraryLifetime() { qvTestLibraryEvent(QV_TEST_MODULE_LABEL, "unloaded"); }
} s_LibraryLifetime;

#ifdef QV_TEST_THROWS_OWN
// Its type information, what() and destructor exist only in this library: a host that touched
// the exception after the library was unloaded would run unmapped code.
class ModuleOwnError : public std::exception
{
public:
    explicit ModuleOwnError(const char* cstrWhere)
    {
        std::strncpy(m_acWhat, cstrWhere, sizeof(m_acWhat) - 1);
    }
    ~ModuleOwnError() override { m_acWhat[0] = '\0'; }
    const char* what() const noexcept override { return m_acWhat; }

private:
    char m_acWhat[64] = {};
};

#ifndef _WIN32
// An exception as another language's runtime raises it: the unwinder's header with a class no
// C++ runtime knows, and a clean-up function in this library.
void cleanUpForeignException(_Unwind_Reason_Code, _Unwind_Exception* pException)
{
    delete pException;
}

[[noreturn]] void raiseForeignException()
{
    auto* pException = new _Unwind_Exception();
    pException->exception_class = 0x5154455354464f52ull; // "QTESTFOR"
    pException->exception_cleanup = &cleanUpForeignException;
    _Unwind_RaiseException(pException);
    std::abort();
}
#endif
#endif

} // namespace

extern "C" {

#ifndef QV_TEST_WITHOUT_INIT
void exInitModule(qvInterface* pInterface)
{
#ifdef QV_TEST_NEEDS_DONOR
    (void)qvTestDonorMarker();
#endif
#ifdef QV_TEST_THROWS_OWN
    if (pInterface == nullptr)
        throw ModuleOwnError("thrown by exInitModule");
#endif
    // The host and the module agree that the interface is a qvTestRecorder.
    s_pRecorder = static_cast<qvTestRecorder*>(pInterface);
    report("exInitModule");
}
#endif

#ifndef QV_TEST_WITHOUT_GET_NAME
void exGetModuleName(const char** pcstrName)
{
    report("exGetModuleName", 0.0f, *pcstrName == nullptr);
#ifdef QV_TEST_MODULE_NAME
    *pcstrName = QV_TEST_MODULE_NAME;
#endif
}
#endif

#ifndef QV_TEST_WITHOUT_FINISH
void exFinishModule()
{
    report("exFinishModule");
    s_pRecorder = nullptr;
}
#endif

#ifndef QV_TEST_WITHOUT_SUSPEND
void exSuspendModule(bool bSuspend)
{
    report("exSuspendModule", 0.0f, bSuspend);
    s_bSuspended = bSuspend;
}
#endif

#ifndef QV_TEST_WITHOUT_IS_SUSPENDED
bool exIsSuspended()
{
    report("exIsSuspended", 0.0f, s_bSuspended);
    return s_bSuspended;
}
#endif

#ifndef QV_TEST_WITHOUT_PHYSIC
void exModulePhysicCallback(float fValue)
{
    report("exModulePhysicCallback", fValue);
#ifdef QV_TEST_THROWS_OWN
    if (fValue < 0.0f)
        throw ModuleOwnError("thrown by exModulePhysicCallback");
#endif
}
#endif

#ifndef QV_TEST_WITHOUT_RENDER
void exModuleRenderCallback()
{
    report("exModuleRenderCallback");
#if defined(QV_TEST_THROWS_OWN) && !defined(_WIN32)
    raiseForeignException();
#endif
}
#endif

} // extern "C"
