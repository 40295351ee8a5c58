#ifndef QV_PLATFORM_CHECK_H
#define QV_PLATFORM_CHECK_H

// Debug check of an OS call's result. With assertions on, a failed check names the call and
// the platform source that made it; release builds keep the behaviour the library defines for
// a failed call (usually: nothing is reported).

#include "qvAssert.h"

#define QV_PLATFORM_CHECK(expression) QV_ASSERT(expression, __FILE__)

#endif
