#ifndef QV_TEST_MODULE_INTERFACE_H
#define QV_TEST_MODULE_INTERFACE_H

// What the fixture modules and the plug-in tests share: the interface through which a module
// reports every call of its entry points to the host, and a hook in the test program for what
// cannot go through an interface.

#include "Plugin/qvInterface.h"

// The host's module interface in the tests. A fixture module receives it in exInitModule and
// reaches it only through virtual calls: each module may hold its own copy of this type's
// information (modules are loaded with local symbols), so no dynamic_cast across the boundary.
class qvTestRecorder : public qvInterface
{
public:
    // One call of an entry point: the fixture's label (which library), the entry point's name,
    // the float argument of exModulePhysicCallback and the bool argument of exSuspendModule
    // (0 and false for the others).
    virtual void record(const char* cstrLabel, const char* cstrEntryPoint, float fValue,
                        bool bValue) = 0;
};

#if defined(_WIN32)
#define QV_TEST_HOOK extern "C" __declspec(dllexport)
#else
#define QV_TEST_HOOK extern "C" __attribute__((visibility("default")))
#endif

// Defined and exported by the test program. A fixture library reports here when it is loaded
// ("loaded", from a static constructor) and unloaded ("unloaded", from a static destructor), and
// every entry point called while the module holds no interface (before exInitModule, or when it
// received none) reports its own name here.
#if defined(_WIN32) && defined(QV_TEST_FIXTURE_LIBRARY)
// A DLL cannot import from the program that loads it: a fixture library looks the hook up in
// the program instead, at each call (also from a static destructor, when it is unloaded).
#include "qvTestPlatform.h"

inline void qvTestLibraryEvent(const char* cstrLabel, const char* cstrEvent)
{
    using Hook = void (*)(const char*, const char*);
    if (const Hook pHook = reinterpret_cast<Hook>(qvTest::findInProgram("qvTestLibraryEvent")))
        pHook(cstrLabel, cstrEvent);
}
#else
QV_TEST_HOOK void qvTestLibraryEvent(const char* cstrLabel, const char* cstrEvent);
#endif

#endif
