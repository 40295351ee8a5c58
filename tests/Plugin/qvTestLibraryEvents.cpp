#include "qvTestLibraryEvents.h"

#include "qvTestModuleInterface.h"

namespace qvTest {

// Never destroyed: a fixture library still loaded at exit may report from its static destructor
// after this file's statics are gone.
std::vector<std::string>& libraryEvents()
{
    static auto* pEvents = new std::vector<std::string>();
    return *pEvents;
}

} // namespace qvTest

QV_TEST_HOOK void qvTestLibraryEvent(const char* cstrLabel, const char* cstrEvent)
{
    qvTest::libraryEvents().push_back(std::string(cstrLabel) + ":" + cstrEvent);
}
