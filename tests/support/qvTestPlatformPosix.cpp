// The Linux side of qvTestPlatform.h: gettid, the task list and wait channels under /proc,
// setrlimit, dlopen/dlsym, posix_spawn.

#include "qvTestPlatform.h"

#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

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

int countOpenHandles()
{
    DIR* pDir = opendir("/proc/self/fd");
    if (!pDir)
        return -1;
    int nHandles = 0;
    while (dirent* pEntry = readdir(pDir))
        if (pEntry->d_name[0] != '.')
            ++nHandles;
    closedir(pDir);
    return nHandles - 1; // the directory's own descriptor
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

std::filesystem::path programDirectory()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

void* openLibrary(const std::string& sstrPath)
{
    return dlopen(sstrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* findInLibrary(void* hLibrary, const char* cstrName)
{
    return dlsym(hLibrary, cstrName);
}

bool closeLibrary(void* hLibrary)
{
    return dlclose(hLibrary) == 0;
}

ProgramRun runProgram(const std::string& sstrProgram, const std::vector<std::string>& vecArguments,
                      std::chrono::steady_clock::duration timeout)
{
    static std::atomic<int> s_nRuns{0};
    const std::filesystem::path output =
        std::filesystem::temp_directory_path() /
        ("qvProgram-" + std::to_string(getpid()) + "-" + std::to_string(s_nRuns++) + ".txt");
    std::vector<std::string> vecWords{sstrProgram};
    vecWords.insert(vecWords.end(), vecArguments.begin(), vecArguments.end());
    std::vector<char*> vecArgv;
    for (std::string& sstrWord : vecWords)
        vecArgv.push_back(sstrWord.data());
    vecArgv.push_back(nullptr);

    ProgramRun run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t nChild = -1;
    const int nError =
        posix_spawn(&nChild, sstrProgram.c_str(), &actions, nullptr, vecArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (nError != 0) {
        run.sstrOutput = "posix_spawn failed: " + std::to_string(nError);
        return run;
    }
    int nStatus = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pid_t nEnded = 0;
    while ((nEnded = waitpid(nChild, &nStatus, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (nEnded == 0) {
        kill(nChild, SIGKILL);
        waitpid(nChild, &nStatus, 0);
    } else {
        run.bEnded = nEnded == nChild;
        run.bExited = run.bEnded && WIFEXITED(nStatus);
        run.nExitCode = run.bExited                          ? WEXITSTATUS(nStatus)
                        : run.bEnded && WIFSIGNALED(nStatus) ? WTERMSIG(nStatus)
                                                             : -1;
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
