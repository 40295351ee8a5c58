#ifndef QV_TEST_PLATFORM_H
#define QV_TEST_PLATFORM_H

// What the test programs need of the operating system beyond the library: thread ids, whether a
// thread still lives or sleeps in the kernel, the thread count, a limit on new threads, symbols
// of the program, paths the build wrote, and the facts of the platform that some tests depend
// on. Declared here without any OS header; implemented once for Linux (qvTestPlatformPosix.cpp:
// gettid, /proc, setrlimit) and once for Windows (qvTestPlatformWin32.cpp: kernel32), the build
// compiles one of them. Nothing else in the tests calls the OS for these.
//
// Threads: every function may be called from any thread.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace qvTest {

// A thread's id as the OS knows it: the kernel thread id on Linux, the thread id on Windows.
// The same numbers as qvThread::getID() and qvThread::currentThreadId().
using ThreadId = unsigned long;

// What differs between the platforms, for the tests whose expectations follow it.
#if defined(_WIN32)
inline constexpr bool ON_WINDOWS = true;
// Linux cancels a thread: terminate() ends it at its next cancellation point and unwinds its
// stack (destructors run), and a team's destructor ends a job blocked at one that way. Windows
// has no cancellation: terminate() kills the thread wherever it is, nothing of it runs again,
// and a team's destructor waits for a running job to return instead.
inline constexpr bool TERMINATION_CANCELS = false;
#else
inline constexpr bool ON_WINDOWS = false;
inline constexpr bool TERMINATION_CANCELS = true;
#endif

// Why a test runs on Linux only, for the reasons that several tests share.
inline constexpr const char* WHY_NO_CANCELLATION =
    "Windows has no thread cancellation: terminate() kills a thread without unwinding it, and a "
    "team's destructor waits for a running job instead of ending it";
// A program that replaces the global operator new sees the library's allocations only where the
// dynamic linker binds the library's calls to the program's definition (ELF).
inline constexpr const char* WHY_NO_ALLOCATION_FAULTS =
    "the program's replaced operator new does not see the allocations of the library's DLL, "
    "which binds its own operator new (and delete) when it is linked";
inline constexpr const char* WHY_NO_THREAD_LIMIT =
    "Windows has no per-user limit on threads that a test could lower to make thread creation "
    "fail";
inline constexpr const char* WHY_NO_SYMBOLIC_LINKS =
    "symbolic links need a privilege on Windows (and Wine cannot make them); how the Linux layer "
    "treats them is checked on Linux";

// The calling thread's id (its tid, in Linux terms).
ThreadId currentTid();

// Whether the thread with that id exists and has not ended.
bool isThreadAlive(ThreadId nId);

// The threads of this process that have not ended, the calling one included.
int countThreads();

// The kernel objects this process holds open now: its handles on Windows (GetProcessHandleCount),
// its file descriptors on Linux; -1 when they can't be counted. For tests that an operation
// leaves nothing open behind it.
int countOpenHandles();

// Whether the thread sleeps in the kernel (where the library's signals, semaphores and mutexes
// park their waiters) rather than running or waiting to run. Lets a test wait until "everyone
// is parked" before it releases them, without sleeping for an arbitrary time.
// Linux: the thread's wait channel is a futex wait (or, where the kernel hides wait channels,
// its state is 'S'). Windows: the thread used no processor time during a short window
// (BLOCKED_WINDOW); a thread that merely waited to be scheduled may pass for parked, which can
// only make a test miss a fault, never fail a correct implementation.
bool isParkedInKernel(ThreadId nId);

// Thread limits, for tests that make the OS refuse a new thread. Linux only (CAN_LIMIT_THREADS):
// in a child process, becomeUnprivilegedUser() drops root (which no limit binds) for the nobody
// user, and setThreadAllowance() sets the soft limit of the user's processes and threads
// (RLIMIT_NPROC; UNLIMITED_THREADS lifts it). Each returns whether it succeeded; on Windows both
// do nothing and return false.
#if defined(_WIN32)
inline constexpr bool CAN_LIMIT_THREADS = false;
#else
inline constexpr bool CAN_LIMIT_THREADS = true;
#endif
inline constexpr long UNLIMITED_THREADS = -1;
bool becomeUnprivilegedUser();
bool setThreadAllowance(long nThreads);

// The address of a function or object that the test program itself exports under that name,
// null when it exports none. A fixture library reaches the program this way where it cannot
// link against it (a Windows DLL can't import from the program that loads it).
void* findInProgram(const char* cstrName);

// Whether the shared library of that file is loaded (mapped) in this process now.
bool isLibraryLoaded(const std::string& sstrPath);

// A path that the build wrote (CMake's form, with slashes), as this program has to name it. On
// Windows a cross build run under Wine hands over Unix paths ("/work/build/x.dll"); such a path
// gets the drive of the program's own file in front, so that it names the same file whatever
// the working drive. Every other path comes back unchanged.
std::string fromBuildPath(const char* cstrPath);

// Shared libraries loaded by hand, for a helper program that must not link the library (nor
// its loader): open a library (null when it can't be loaded), find a function it exports (null
// when there is none), release it (false when the OS refuses).
void* openLibrary(const std::string& sstrPath);
void* findInLibrary(void* hLibrary, const char* cstrName);
bool closeLibrary(void* hLibrary);

// How a helper program run by runProgram() ended, and what it wrote.
struct ProgramRun
{
    bool bEnded = false;    // false: still running at the deadline (it was then killed)
    bool bExited = false;   // ended by returning from main or calling exit
    int nExitCode = -1;     // the exit code when bExited; else the signal (Linux) or the
                            // exception code (Windows) that ended it
    std::string sstrOutput; // its standard output and standard error, interleaved
};

// Runs a program in a child process with these arguments, its output to a temporary file, and
// waits for it to end, at most for the timeout (then kills it). For tests whose subject may crash
// a process: the crash fails the test instead of ending the test program.
ProgramRun runProgram(const std::string& sstrProgram, const std::vector<std::string>& vecArguments,
                      std::chrono::steady_clock::duration timeout);

// The folder of this program's own file (on Windows the first place the DLL search looks).
std::filesystem::path programDirectory();

// A narrow path with the meaning the library gives its bytes, for std::filesystem: as it is on
// Linux; on Windows read as UTF-8, as the library reads it (the narrow path constructor of
// std::filesystem reads the bytes in the ANSI code page there).
std::filesystem::path nativePath(const std::string& sstrPath);

// Aligned heap blocks without operator new: nSize bytes aligned to nAlignment (a power of two),
// null when there is no memory; freed only by freeAligned.
void* allocateAligned(std::size_t nSize, std::size_t nAlignment);
void freeAligned(void* pBlock);

// The file name of a real library of the system that exports none of the plug-in entry points.
#if defined(_WIN32)
inline constexpr const char* SYSTEM_LIBRARY = "kernel32.dll";
#else
inline constexpr const char* SYSTEM_LIBRARY = "libm.so.6";
#endif

} // namespace qvTest

// Skips the running test on Windows, naming the reason; does nothing on Linux. For a test of
// something that exists on Linux only. Use it at the top of a test body (or SetUp), before the
// test makes anything it would have to undo.
#if defined(_WIN32)
#define QV_SKIP_ON_WINDOWS(reason) GTEST_SKIP() << "Linux only: " << (reason)
#else
#define QV_SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif

#endif
