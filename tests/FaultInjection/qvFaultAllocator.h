#ifndef QV_FAULT_ALLOCATOR_H
#define QV_FAULT_ALLOCATOR_H

// The fault-injection test program replaces the global operator new and delete (every form) with
// a counting allocator that can be told to fail. Unarmed, it only forwards to malloc and free
// (so AddressSanitizer and valgrind still see and check every block) and counts the blocks that
// are live. Armed on a thread, it counts that thread's allocations and fails the n-th one: the
// throwing forms throw std::bad_alloc, the nothrow forms return null. Other threads are never
// affected, so a sweep is deterministic even while the library's own threads allocate.
// On Windows the replacement sees the program's own allocations only, not those of the library's
// DLL (qvTest::WHY_NO_ALLOCATION_FAULTS): the tests that fail the library's allocations skip.

#include <cstddef>
#include <functional>

namespace qvFault {

// From now on the n-th allocation (n >= 1) of the calling thread fails, once.
void armAllocationFailure(unsigned int nFailAt);
// Stops counting on the calling thread; returns how many allocations it counted while armed
// (the failed one included).
unsigned int disarm();
// Whether the armed allocation has failed since the last arm.
bool hasFailed();
// Blocks allocated through operator new and not yet deleted, by every thread.
long liveBlocks();

// The result of one sweep.
struct SweepResult
{
    unsigned int nSteps = 0;    // values of n tried
    unsigned int nFailures = 0; // steps whose call threw std::bad_alloc
};

// Runs call with the n-th allocation failing, for n = 1, 2, ... until a call gets through
// without reaching its n-th allocation, and calls check(bThrew) after each step, unarmed.
// A call must either return or throw std::bad_alloc; anything else leaves the sweep. A call that
// swallows the failure and returns counts as a success. Gives up (and fails the test through
// the returned step count) after nLimit steps.
SweepResult sweepAllocations(const std::function<void()>& call,
                             const std::function<void(bool bThrew)>& check,
                             unsigned int nLimit = 2000);

} // namespace qvFault

#endif
