// A module that makes and reads values, built with the compiler's defaults (default visibility,
// unique symbols allowed) as a plug-in author would build it, so that the tests can see whether
// using the value templates keeps a module from being unloaded.

#include <cstring>

#include "qvTestModuleInterface.h"
#include "qvTestValues.h"

namespace {

struct Config
{
    char m_c;
};

struct LibraryLifetime
{
    LibraryLifetime() { qvTestLibraryEvent("values", "loaded"); }
    ~LibraryLifetime() { qvTestLibraryEvent("values", "unloaded"); }
} s_LibraryLifetime;

} // namespace

// A type with external linkage that only this module names: nothing outside provides the
// symbols its value templates instantiate.
namespace qvTestValueModule {
struct Note
{
    int m_nNumber;
};
} // namespace qvTestValueModule

extern "C" {

void qvTestMakeValues(qvAnyContainer* pShared, qvAnyContainer* pConfig)
{
    qvTestSharedValue value = {7, {}};
    std::strcpy(value.m_szText, "module");
    const qvAnyContainer note = qvMakeAny(qvTestValueModule::Note{value.m_nNumber});
    value.m_nNumber = qvAnyCast<qvTestValueModule::Note>(note)->m_nNumber;
    *pShared = qvMakeAny(value);
    *pConfig = qvMakeAny(Config{'m'});
}

int qvTestReadValue(const qvAnyContainer* pValue)
{
    const qvTestSharedValue* pShared = qvAnyCast<qvTestSharedValue>(*pValue);
    return pShared ? pShared->m_nNumber : -1;
}

} // extern "C"
