// A second translation unit for the type identity tests: its own internal-linkage Config, spelled
// like the one in qvAnyContainerTest.cpp but laid out differently.

#include "Memory/qvAnyContainer.h"

namespace {

struct Config
{
    char m_c;
};

} // namespace

namespace qvTest {

qvAnyContainer makeOtherUnitsConfig()
{
    return qvMakeAny(Config{'x'});
}

} // namespace qvTest
