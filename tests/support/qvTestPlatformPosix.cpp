// The Linux side of qvTestPlatform.h: gettid, the task list and wait channels under /proc,
// setrlimit, dlsym.

#include "qvTestPlatform.h"

#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <fstream>
#include <grp.h>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

namespace qvTest {

ThreadId currentTid()
{
    return static_cast<ThreadId>(gettid());
}

// A thread that has ended disappears from the task list once it has been reaped, which the
// kernel does at once for the threads of a process.
bool isThreadAlive(ThreadId nId)
{
    return std::filesystem::exists("/proc/self/task/" + std::to_string(nId));
}

int countThreads()
{
    int nThreads = 0;
    if (DIR* pDir = opendir("/proc/self/task")) {
        while (dirent* pEntry = readdir(pDir))
            if (pEntry->d_name[0] != '.')
                ++nThreads;
        closedir(pDir);
    }
    return nThreads;
}

bool isParkedInKernel(ThreadId nId)
{
    const std::string sstrTask = "/proc/self/task/" + std::to_string(nId);
    std::ifstream wchan(sstrTask + "/wchan");
    std::string sstrChannel;
    std::getline(wchan, sstrChannel);
    if (!sstrChannel.empty() && sstrChannel != "0")
        return sstrChannel.find("futex") != std::string::npos;
    std::ifstream stat(sstrTask + "/stat");
    std::string sstrStat;
    std::getline(stat, sstrStat);
    const std::string::size_type nEnd = sstrStat.rfind(')');
    return nEnd != std::string::npos && nEnd + 2 < sstrStat.size() && sstrStat[nEnd + 2] == 'S';
}

bool becomeUnprivilegedUser()
{
    if (geteuid() != 0)
        return true;
    return setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
           setresuid(65534, 65534, 65534) == 0;
}

// The hard limit stays, so that the soft one can be raised again.
bool setThreadAllowance(long nThreads)
{
    rlimit limit;
    if (getrlimit(RLIMIT_NPROC, &limit) != 0)
        return false;
    limit.rlim_cur = nThreads == UNLIMITED_THREADS ? RLIM_INFINITY : static_cast<rlim_t>(nThreads);
    return setrlimit(RLIMIT_NPROC, &limit) == 0;
}

void* findInProgram(const char* cstrName)
{
    return dlsym(RTLD_DEFAULT, cstrName);
}

bool isLibraryLoaded(const std::string& sstrPath)
{
    // RTLD_NOLOAD finds a library that is loaded already and loads nothing.
    void* hLibrary = dlopen(sstrPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (hLibrary)
        dlclose(hLibrary);
    return hLibrary != nullptr;
}

std::string fromBuildPath(const char* cstrPath)
{
    return cstrPath;
}

std::filesystem::path nativePath(const std::string& sstrPath)
{
    return std::filesystem::path(sstrPath);
}

void* allocateAligned(std::size_t nSize, std::size_t nAlignment)
{
    // aligned_alloc wants a multiple of the alignment.
    return std::aligned_alloc(nAlignment, (nSize + nAlignment - 1) / nAlignment * nAlignment);
}

void freeAligned(void* pBlock)
{
    std::free(pBlock);
}

} // namespace qvTest
