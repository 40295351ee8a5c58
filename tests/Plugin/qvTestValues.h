#ifndef QV_TEST_VALUES_H
#define QV_TEST_VALUES_H

// What the value module (modules/qvTestValueModule.cpp) and the tests share: one type with
// external linkage, defined alike on both sides, and the module's exported functions.

#include "Memory/qvAnyContainer.h"

struct qvTestSharedValue
{
    int m_nNumber;
    char m_szText[16];
};

// Makes, in the module, a qvTestSharedValue {7, "module"} and a value of the module's own
// internal-linkage Config (spelled like the test's, laid out differently).
typedef void (*qvTestMakeValuesFunction)(qvAnyContainer* pShared, qvAnyContainer* pConfig);
// The number of a qvTestSharedValue read in the module; -1 when the cast there fails.
typedef int (*qvTestReadValueFunction)(const qvAnyContainer* pValue);

#endif
