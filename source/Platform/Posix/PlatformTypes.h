#ifndef QV_PLATFORM_POSIX_PLATFORMTYPES_H
#define QV_PLATFORM_POSIX_PLATFORMTYPES_H

// The native types that the shared platform headers hold, for the POSIX implementation (this
// folder is on the include path of a Linux build; source/Platform/Win32 has its own).

#include <dirent.h>
#include <pthread.h>

#include <cstdint>

namespace qvPlatform {

typedef pthread_mutex_t NativeMutex;         // Mutex
typedef pthread_t NativeThreadHandle;        // Thread
typedef DIR* NativeDirectory;                // DirectorySearch: the open directory
typedef struct dirent* NativeDirectoryEntry; // DirectorySearch: the current entry

inline const char* entryName(NativeDirectoryEntry pEntry)
{
    return pEntry->d_name;
}

// A value unique to each living thread and never 0, for the light mutex's owner: the thread
// pointer, one register read.
inline std::uintptr_t currentThreadTag()
{
    return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
}

// Whether Thread::terminate() of a thread that runs its body unwinds that thread's stack
// (cancellation: destructors run, locks held through guards are released), so that the
// library may end a running worker that way. See Thread.h.
constexpr bool TERMINATION_UNWINDS_STACK = true;

} // namespace qvPlatform

#endif
