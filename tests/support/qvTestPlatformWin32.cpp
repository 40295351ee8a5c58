// The Windows side of qvTestPlatform.h: kernel32 (thread handles and times, the Toolhelp thread
// list, module exports, processes) and the C runtime's aligned heap.

#include "qvTestPlatform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <malloc.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <thread>

#include "qvTestSupport.h"

namespace qvTest {

namespace {

// Closes a handle when it goes out of scope.
class Handle
{
public:
    explicit Handle(HANDLE hHandle) : m_hHandle(hHandle) {}
    ~Handle()
    {
        if (isValid())
            CloseHandle(m_hHandle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool isValid() const { return m_hHandle != nullptr && m_hHandle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_hHandle; }

private:
    HANDLE m_hHandle;
};

// Kernel and user time the thread has used, in 100 ns units; false when it can't be read.
bool readProcessorTime(HANDLE hThread, ULONGLONG& nTime)
{
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(hThread, &creation, &exit, &kernel, &user))
        return false;
    nTime = (static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
            (static_cast<ULONGLONG>(user.dwHighDateTime) << 32 | user.dwLowDateTime);
    return true;
}

} // namespace

ThreadId currentTid()
{
    return GetCurrentThreadId();
}

// A thread object outlives its thread while a handle to it is open; it counts only while it has
// not ended (its handle is not signalled).
bool isThreadAlive(ThreadId nId)
{
    const Handle thread(OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(nId)));
    return thread.isValid() && WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT;
}

int countThreads()
{
    const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot.isValid())
        return 0;
    const DWORD nProcess = GetCurrentProcessId();
    int nThreads = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL bFound = Thread32First(snapshot.get(), &entry); bFound;
         bFound = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == nProcess)
            ++nThreads;
    return nThreads;
}

// GetProcessHandleCount; Wine's answers 0 whatever is open, so a count of 0 is made again by
// asking GetHandleInformation about every handle value in turn (they are multiples of 4, handed
// out lowest free first), up to a long run of values that name nothing.
int countOpenHandles()
{
    DWORD nHandles = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &nHandles))
        return -1;
    if (nHandles != 0)
        return static_cast<int>(nHandles);
    constexpr std::uintptr_t EMPTY_RUN = 4096;
    std::uintptr_t nEmpty = 0;
    for (std::uintptr_t nValue = 4; nEmpty < EMPTY_RUN; nValue += 4) {
        DWORD nFlags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(nValue), &nFlags)) {
            ++nHandles;
            nEmpty = 0;
        } else {
            ++nEmpty;
        }
    }
    return static_cast<int>(nHandles);
}

// Windows has no cheap way to ask whether a thread waits (and Wine reports no thread state at
// all), but a waiting thread uses no processor time: a thread whose time stays the same over a
// window of several clock ticks (15.6 ms on Windows, 10 ms under Wine) did not run.
bool isParkedInKernel(ThreadId nId)
{
    const Handle thread(
        OpenThread(THREAD_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(nId)));
    ULONGLONG nBefore = 0;
    ULONGLONG nAfter = 0;
    if (!thread.isValid() || !readProcessorTime(thread.get(), nBefore))
        return false;
    std::this_thread::sleep_for(BLOCKED_WINDOW);
    return readProcessorTime(thread.get(), nAfter) && nAfter == nBefore &&
           WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT;
}

bool becomeUnprivilegedUser()
{
    return false;
}

bool setThreadAllowance(long)
{
    return false;
}

void* findInProgram(const char* cstrName)
{
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), cstrName));
}

bool isLibraryLoaded(const std::string& sstrPath)
{
    // GetModuleHandleA finds a loaded module and takes no reference.
    std::string sstrNative(sstrPath);
    std::replace(sstrNative.begin(), sstrNative.end(), '/', '\\');
    return GetModuleHandleA(sstrNative.c_str()) != nullptr;
}

std::string fromBuildPath(const char* cstrPath)
{
    const std::string sstrPath(cstrPath);
    if (sstrPath.size() < 2 || sstrPath[0] != '/' || sstrPath[1] == '/')
        return sstrPath;
    char cstrProgram[MAX_PATH + 1] = {};
    const DWORD nLength = GetModuleFileNameA(nullptr, cstrProgram, MAX_PATH);
    if (nLength < 2 || nLength >= MAX_PATH || cstrProgram[1] != ':')
        return sstrPath;
    return std::string(cstrProgram, 2) + sstrPath;
}

std::filesystem::path programDirectory()
{
    std::wstring wsstrProgram(32768, L'\0');
    const DWORD nLength =
        GetModuleFileNameW(nullptr, wsstrProgram.data(), static_cast<DWORD>(wsstrProgram.size()));
    wsstrProgram.resize(nLength);
    return std::filesystem::path(wsstrProgram).parent_path();
}

void* openLibrary(const std::string& sstrPath)
{
    std::string sstrNative(sstrPath);
    std::replace(sstrNative.begin(), sstrNative.end(), '/', '\\');
    return reinterpret_cast<void*>(LoadLibraryA(sstrNative.c_str()));
}

void* findInLibrary(void* hLibrary, const char* cstrName)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(hLibrary), cstrName));
}

bool closeLibrary(void* hLibrary)
{
    return FreeLibrary(static_cast<HMODULE>(hLibrary)) != FALSE;
}

// The arguments are quoted as the C runtime splits a command line (no argument here holds a
// quote or ends in a backslash).
ProgramRun runProgram(const std::string& sstrProgram, const std::vector<std::string>& vecArguments,
                      std::chrono::steady_clock::duration timeout)
{
    static std::atomic<int> s_nRuns{0};
    const std::filesystem::path output = std::filesystem::temp_directory_path() /
                                         ("qvProgram-" + std::to_string(GetCurrentProcessId()) +
                                          "-" + std::to_string(s_nRuns++) + ".txt");
    std::string sstrCommandLine = "\"" + sstrProgram + "\"";
    for (const std::string& sstrArgument : vecArguments)
        sstrCommandLine += " \"" + sstrArgument + "\"";

    ProgramRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    {
        const Handle file(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.isValid()) {
            run.sstrOutput = "no output file: " + std::to_string(GetLastError());
            return run;
        }
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = INVALID_HANDLE_VALUE;
        startup.hStdOutput = file.get();
        startup.hStdError = file.get();
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(nullptr, sstrCommandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, &process)) {
            run.sstrOutput = "CreateProcess failed: " + std::to_string(GetLastError());
            return run;
        }
        const Handle child(process.hProcess);
        const Handle thread(process.hThread);
        const auto nMilliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
        if (WaitForSingleObject(child.get(), static_cast<DWORD>(nMilliseconds)) != WAIT_OBJECT_0) {
            TerminateProcess(child.get(), 1);
            WaitForSingleObject(child.get(), INFINITE);
        } else {
            DWORD nExitCode = 0;
            run.bEnded = true;
            GetExitCodeProcess(child.get(), &nExitCode);
            // An unhandled exception ends a process with the exception's code (0xC...).
            run.bExited = (nExitCode & 0xF0000000u) != 0xC0000000u;
            run.nExitCode = static_cast<int>(nExitCode);
        }
    }
    std::ifstream file(output, std::ios::binary);
    run.sstrOutput.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    file.close();
    std::error_code error;
    std::filesystem::remove(output, error);
    return run;
}

std::filesystem::path nativePath(const std::string& sstrPath)
{
    if (sstrPath.empty())
        return std::filesystem::path();
    const int nLength = static_cast<int>(sstrPath.size());
    const int nWide = MultiByteToWideChar(CP_UTF8, 0, sstrPath.data(), nLength, nullptr, 0);
    std::wstring wsstrPath(static_cast<std::size_t>(nWide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, sstrPath.data(), nLength, wsstrPath.data(), nWide);
    return std::filesystem::path(wsstrPath);
}

void* allocateAligned(std::size_t nSize, std::size_t nAlignment)
{
    return _aligned_malloc(nSize, nAlignment);
}

void freeAligned(void* pBlock)
{
    _aligned_free(pBlock);
}

} // namespace qvTest
