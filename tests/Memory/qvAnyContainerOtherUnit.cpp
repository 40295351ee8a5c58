// A second translation unit for the type identity tests: its own internal-linkage types, spelled
// like those in qvAnyContainerTest.cpp but laid out differently.

#include "Memory/qvAnyContainer.h"

namespace {

struct Config
{
    char m_c;
};

} // namespace

namespace qvTest {

static qvAnyContainer localConfig(const qvAnyContainer*)
{
    struct Config
    {
        char m_c;
    };
    return qvMakeAny(Config{'x'});
}

static struct
{
    char m_c;
} s_Unnamed;

qvAnyContainer makeOtherUnitsConfig()
{
    return qvMakeAny(Config{'x'});
}

qvAnyContainer makeOtherUnitsLocalConfig()
{
    return localConfig(nullptr);
}

qvAnyContainer makeOtherUnitsUnnamed()
{
    return qvMakeAny(s_Unnamed);
}

} // namespace qvTest
