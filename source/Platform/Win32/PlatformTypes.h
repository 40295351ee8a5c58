#ifndef QV_PLATFORM_WIN32_PLATFORMTYPES_H
#define QV_PLATFORM_WIN32_PLATFORMTYPES_H

// The native types that the shared platform headers hold, for the Win32 implementation (this
// folder is on the include path of a Windows build; source/Platform/Posix has its own). Kernel
// object handles are kept as void* (a HANDLE is one), so that no source that includes a shared
// platform header gets <windows.h> and its macros.

#include <cstdint>

namespace qvPlatform {

struct Win32FindData; // WIN32_FIND_DATAA, defined in Win32/FileSystem.cpp

typedef void* NativeMutex;                   // Mutex: the mutex object's HANDLE
typedef void* NativeThreadHandle;            // Thread: the thread's HANDLE
typedef void* NativeDirectory;               // DirectorySearch: the FindFirstFileA HANDLE
typedef Win32FindData* NativeDirectoryEntry; // DirectorySearch: the current entry

// The entry's file name (cFileName).
const char* entryName(NativeDirectoryEntry pEntry);

// A value unique to each living thread and never 0, for the light mutex's owner: the address
// of the thread's environment block (NtCurrentTeb), one segment-relative read.
inline std::uintptr_t currentThreadTag()
{
    std::uintptr_t nTeb;
#if defined(__x86_64__)
    __asm__("movq %%gs:0x30, %0" : "=r"(nTeb));
#elif defined(__i386__)
    __asm__("movl %%fs:0x18, %0" : "=r"(nTeb));
#else
#error "currentThreadTag: no thread environment block access for this processor"
#endif
    return nTeb;
}

// TerminateThread stops a thread (outside the library's internal regions, see Thread.h) without
// unwinding anything: the library
// never ends a thread that runs user code that way. See Thread.h.
constexpr bool TERMINATION_UNWINDS_STACK = false;

} // namespace qvPlatform

#endif
