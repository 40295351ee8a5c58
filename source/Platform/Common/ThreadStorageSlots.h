#ifndef QV_PLATFORM_COMMON_THREADSTORAGESLOTS_H
#define QV_PLATFORM_COMMON_THREADSTORAGESLOTS_H

// The slots of ThreadStorage (ThreadStorage.h), numbered the same way on both platforms: each
// ThreadStorage object takes the next index once, at construction, and its release function is
// kept under that index for the platform's end-of-thread code. The library needs few slots;
// MAXIMUM_SLOTS bounds them.
//
// Threads: allocate() may run on several threads at once; releaseOf() of an index returned by
// allocate() may run on any thread afterwards.

#include "Platform/ThreadStorage.h"

namespace qvPlatform {

class ThreadStorageSlots
{
public:
    static constexpr int MAXIMUM_SLOTS = 8;

    // Takes the next index, 0 to MAXIMUM_SLOTS - 1, and keeps pRelease for it; -1 when every
    // slot is taken (a failed check in debug builds).
    static int allocate(ThreadStorage::Release pRelease);
    // The release function kept for an index that allocate() returned.
    static ThreadStorage::Release releaseOf(int nIndex);
    // How many indexes were asked for so far; may be above MAXIMUM_SLOTS.
    static int countAllocated();
};

} // namespace qvPlatform

#endif
