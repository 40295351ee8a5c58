#ifndef QV_WAITLIMIT_H
#define QV_WAITLIMIT_H

/// \file

namespace qvSynch {

/// The time limit of the library's timed waits is given in milliseconds, as unsigned long;
/// WAIT_INFINITE (the largest value) means no limit, and 0 means "do not wait": the call only
/// tries. A limit counts on the monotonic clock: changing the system time does not change how
/// long a wait lasts. A waiting thread sleeps; a wait may end up to a scheduling quantum after
/// its limit, never before.
constexpr unsigned long WAIT_INFINITE = 0xFFFFFFFFul;

} // namespace qvSynch

#endif
