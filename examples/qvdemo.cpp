// qvdemo: an example host that uses every part of qvFoundationComponents the way an
// application does.
//
//   - A qvProcessor runs two created main loops, "simulation" and "render", each on its own
//     thread, and its own loop on the main thread as the coordinator.
//   - The simulation loop steps a small particle system as fast as it can. Its state belongs to
//     its thread alone: other threads reach it only through inter-thread (ITC) messages, which
//     the loop runs between two steps.
//   - Every render frame fetches a snapshot of that state with a synchronous message (the
//     result comes back as a typed value in a qvAnyContainer), shades a small brightness field
//     from it in parallel bands (jobs of a qvJoinableThreadTeam, joined as one list), and sends
//     the frame's input event (the pointer position) to the simulation as an asynchronous
//     message.
//   - Plug-in modules are found through the file locator's search paths, loaded by a
//     qvPluginHandler, driven through their physics idle callback (by the simulation loop) and
//     their render idle callback (by the render loop), suspended and resumed once by the
//     coordinator, and finished at the end. The handler takes no lock, so the host serialises
//     every use of it with one lock of its own: one thread at a time.
//   - The coordinator shows a live progress line (plain lines when standard output is not a
//     terminal), ends the run after --seconds, shuts everything down in order and prints the
//     report.

#if defined(_WIN32)
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qvDemoHostInterface.h"
#include "qvFoundationComponents.h"

#if __has_include("Threading/qvJoinableThreadTeam.h")
#include "Threading/qvJoinableThreadTeam.h"
#define QV_DEMO_HAS_THREAD_TEAM 1
#else
#define QV_DEMO_HAS_THREAD_TEAM 0
#endif

using qvITC::ArgumentVector;
using qvITC::MessageFunctor;
using Clock = std::chrono::steady_clock;

namespace {

// ---------------------------------------------------------------------------------------------
// Options

struct Options
{
    unsigned int nSeconds = 3;
    unsigned int nWorkers = 2;
    bool bQuiet = false;
};

constexpr unsigned int MAX_SECONDS = 3600;
constexpr unsigned int MAX_WORKERS = 64;

void printUsage(std::FILE* pStream)
{
    std::fprintf(pStream,
                 "usage: qvdemo [--seconds N] [--workers N] [--quiet] [--help]\n"
                 "  --seconds N  run for N seconds (1 to %u, default 3)\n"
                 "  --workers N  members of the render job team (1 to %u, default: the number of\n"
                 "               processors, at least 2)\n"
                 "  --quiet      no progress display, only the final report\n"
                 "  --help       this text\n",
                 MAX_SECONDS, MAX_WORKERS);
}

bool parseCount(const char* cstrText, unsigned int nMax, unsigned int& nValue)
{
    if (!cstrText || !*cstrText || *cstrText < '0' || *cstrText > '9')
        return false;
    char* pEnd = nullptr;
    const unsigned long nParsed = std::strtoul(cstrText, &pEnd, 10);
    if (*pEnd != '\0' || nParsed < 1 || nParsed > nMax)
        return false;
    nValue = static_cast<unsigned int>(nParsed);
    return true;
}

// 0: run; 1: --help was given; 2: bad command line (a message went to standard error).
int parseOptions(int argc, char** argv, Options& options)
{
    options.nWorkers = std::clamp(std::thread::hardware_concurrency(), 2u, MAX_WORKERS);
    for (int nArg = 1; nArg < argc; ++nArg) {
        std::string sstrArg = argv[nArg];
        std::string sstrValue;
        bool bHasValue = false;
        const std::string::size_type nEquals = sstrArg.find('=');
        if (sstrArg.rfind("--", 0) == 0 && nEquals != std::string::npos) {
            sstrValue = sstrArg.substr(nEquals + 1);
            sstrArg.erase(nEquals);
            bHasValue = true;
        }
        if (sstrArg == "--help" || sstrArg == "-h") {
            return 1;
        } else if (sstrArg == "--quiet" && !bHasValue) {
            options.bQuiet = true;
        } else if (sstrArg == "--seconds" || sstrArg == "--workers") {
            if (!bHasValue) {
                if (nArg + 1 >= argc) {
                    std::fprintf(stderr, "qvdemo: %s needs a value\n", sstrArg.c_str());
                    return 2;
                }
                sstrValue = argv[++nArg];
            }
            const bool bSeconds = sstrArg == "--seconds";
            const unsigned int nMax = bSeconds ? MAX_SECONDS : MAX_WORKERS;
            if (!parseCount(sstrValue.c_str(), nMax,
                            bSeconds ? options.nSeconds : options.nWorkers)) {
                std::fprintf(stderr, "qvdemo: %s takes a whole number from 1 to %u, not '%s'\n",
                             sstrArg.c_str(), nMax, sstrValue.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "qvdemo: unknown option '%s'\n", argv[nArg]);
            return 2;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// What the threads count, read by the coordinator for the progress line and by the report.

struct Counters
{
    std::atomic<unsigned long> nSimulationSteps{0};
    std::atomic<unsigned long> nRenderFrames{0};
    std::atomic<unsigned long> nCoordinatorTurns{0};
    std::atomic<unsigned long> nAsyncSent{0};
    std::atomic<unsigned long> nAsyncDelivered{0};
    std::atomic<unsigned long> nJobsRun{0};
    std::atomic<unsigned long> nLastRoundTripNs{0};
};

// The first failure on any loop, for the report; the run then ends early.
class FailureRecord
{
public:
    void record(const std::string& sstrWhere, const std::string& sstrWhat)
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        if (m_sstrFailure.empty())
            m_sstrFailure = sstrWhere + ": " + sstrWhat;
    }
    std::string get() const
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        return m_sstrFailure;
    }

private:
    mutable std::mutex m_Mutex;
    std::string m_sstrFailure;
};

// ---------------------------------------------------------------------------------------------
// Plug-ins: the host's interface for modules and the lock that serialises the handler.

class PluginHost : public qvDemoHostInterface
{
public:
    PluginHost(Clock::time_point start, std::vector<std::string>* pReports)
        : m_Start(start), m_pReports(pReports)
    {
    }

    double getElapsedSeconds() const override
    {
        return std::chrono::duration<double>(Clock::now() - m_Start).count();
    }

    void reportModule(const char* cstrModuleName, const char* cstrSummary) override
    {
        char cstrLine[256];
        std::snprintf(cstrLine, sizeof cstrLine, "    %-16s%s", cstrModuleName, cstrSummary);
        m_pReports->push_back(cstrLine);
    }

private:
    Clock::time_point m_Start;
    std::vector<std::string>* m_pReports; // the host's, outlives the handler
};

// Holds the host's plug-in lock for one scope (also when a module's callback throws).
class PluginScope
{
public:
    explicit PluginScope(qvSynch::LWLock& lock) : m_Lock(lock) { m_Lock.acquire(); }
    ~PluginScope() { m_Lock.release(); }
    PluginScope(const PluginScope&) = delete;
    PluginScope& operator=(const PluginScope&) = delete;

private:
    qvSynch::LWLock& m_Lock;
};

// The file name of modules: shared objects on Linux, DLLs on Windows.
#if defined(_WIN32)
const char* const MODULE_PATTERN = "\\*.dll";
#else
const char* const MODULE_PATTERN = "\\*.so";
#endif

// The path of this executable (Linux: /proc/self/exe; Windows: GetModuleFileNameA); empty
// when it can't be read.
std::filesystem::path executablePath()
{
#if defined(_WIN32)
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD nLength =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (nLength == 0)
            return {};
        if (nLength < buffer.size())
            return std::filesystem::path(std::string(buffer.data(), nLength));
        buffer.resize(buffer.size() * 2);
    }
#else
    std::error_code error;
    const std::filesystem::path exePath = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : exePath;
#endif
}

bool isTerminal(FILE* pStream)
{
#if defined(_WIN32)
    return _isatty(_fileno(pStream)) != 0;
#else
    return isatty(fileno(pStream)) != 0;
#endif
}

// The directories to search for modules: "plugins" beside the executable (so the build tree
// may be anywhere), and the directory the build put them in.
std::vector<std::string> pluginDirectories()
{
    std::vector<std::string> directories;
    const std::filesystem::path exePath = executablePath();
    if (!exePath.empty()) {
        // getPath hands back the directory of an existing file in backslash form, separator kept.
        std::string sstrExeDirectory;
        qvFileLocator::getPath(exePath.string(), sstrExeDirectory);
        directories.push_back(sstrExeDirectory + "plugins");
    }
#ifdef QV_DEMO_PLUGIN_DIR
    std::string sstrBuildDirectory = QV_DEMO_PLUGIN_DIR;
    qvFileLocator::convertSeparators(sstrBuildDirectory, qvFileLocator::SEPARATOR_BACKSLASH);
    if (std::find(directories.begin(), directories.end(), sstrBuildDirectory) == directories.end())
        directories.push_back(sstrBuildDirectory);
#endif
    return directories;
}

// Registers the directories as search paths, lists the modules in them and locates each by its
// file name along the search paths, so that a module present in several directories is taken
// once, from the first search path that has it.
std::set<std::string> locateModules(const std::vector<std::string>& directories)
{
    qvFileLocator& locator = qvFCSingletons::getFileLocator();
    qvSCList<std::string> candidates;
    for (const std::string& sstrDirectory : directories) {
        locator.addFilePath(sstrDirectory + "\\"); // registers the directory itself
        qvFileLocator::findFilesInPath(sstrDirectory + MODULE_PATTERN, "",
                                       qvFileLocator::FILEMASK_FILES, candidates);
    }
    std::set<std::string> modules;
    for (auto* pNode = candidates.getHead(); pNode; pNode = pNode->getNext()) {
        const std::string& sstrCandidate = pNode->m_Value;
        const std::string sstrFileName =
            sstrCandidate.substr(sstrCandidate.find_last_of("\\/") + 1);
        std::string sstrFullPath;
        if (locator.locateFile(sstrFileName, sstrFullPath))
            modules.insert(sstrFullPath);
    }
    return modules;
}

// ---------------------------------------------------------------------------------------------
// The simulation: particles pulled towards an attractor that follows the pointer. Its state is
// touched only on the simulation loop's thread: by the pipeline step and by the ITC messages
// that the loop runs between steps.

struct Body
{
    float fX, fY, fVX, fVY;
};

struct Snapshot
{
    unsigned long nStep;
    double dSimulatedSeconds;
    float fAttractorX, fAttractorY;
    std::vector<Body> bodies;
};

struct PointerEvent
{
    float fX, fY;
};

constexpr unsigned int BODY_COUNT = 128;
constexpr float TIME_STEP = 1.0f / 1000.0f;

class Simulation
{
public:
    Simulation(Counters& counters, qvPluginHandler& plugins, qvSynch::LWLock& pluginLock)
        : m_Counters(counters), m_Plugins(plugins), m_PluginLock(pluginLock), m_nStep(0),
          m_nInputsApplied(0), m_fAttractorX(0.0f), m_fAttractorY(0.0f)
    {
        m_Bodies.resize(BODY_COUNT);
        for (unsigned int n = 0; n < BODY_COUNT; ++n) {
            const float fAngle = 6.2831853f * n / BODY_COUNT;
            const float fRadius = 0.3f + 0.5f * ((n * 37u) % BODY_COUNT) / BODY_COUNT;
            m_Bodies[n] = {fRadius * std::cos(fAngle), fRadius * std::sin(fAngle),
                           -0.8f * std::sin(fAngle), 0.8f * std::cos(fAngle)};
        }
    }

    // Pipeline function: one fixed time step, then the modules' physics callbacks.
    void step()
    {
        for (Body& body : m_Bodies) {
            const float fDX = m_fAttractorX - body.fX;
            const float fDY = m_fAttractorY - body.fY;
            const float fDistance2 = fDX * fDX + fDY * fDY + 0.01f;
            const float fPull = 0.5f / (fDistance2 * std::sqrt(fDistance2));
            body.fVX = (body.fVX + fPull * fDX * TIME_STEP) * 0.9999f;
            body.fVY = (body.fVY + fPull * fDY * TIME_STEP) * 0.9999f;
            body.fX += body.fVX * TIME_STEP;
            body.fY += body.fVY * TIME_STEP;
        }
        ++m_nStep;
        {
            PluginScope scope(m_PluginLock);
            m_Plugins.doPhysicIdleCallbacks(TIME_STEP);
        }
        m_Counters.nSimulationSteps.fetch_add(1, std::memory_order_relaxed);
        // The simulation runs as fast as it can; between batches of steps it gives way to the
        // other threads that want a processor (render, job team), so that it never starves
        // them on a machine with few cores or under a serialising tool such as valgrind.
        if (m_nStep % 64 == 0)
            std::this_thread::yield();
    }

    // Synchronous message: a copy of the state, as a typed value.
    qvAnyContainer takeSnapshot(const ArgumentVector&)
    {
        return qvMakeAny(
            Snapshot{m_nStep, m_nStep * double(TIME_STEP), m_fAttractorX, m_fAttractorY, m_Bodies});
    }

    // Asynchronous message: the pointer moved; arguments[0] holds a PointerEvent.
    qvAnyContainer movePointer(const ArgumentVector& arguments)
    {
        if (const PointerEvent* pEvent = qvAnyCast<PointerEvent>(arguments[0])) {
            m_fAttractorX = pEvent->fX;
            m_fAttractorY = pEvent->fY;
        }
        ++m_nInputsApplied;
        m_Counters.nAsyncDelivered.fetch_add(1, std::memory_order_relaxed);
        return qvAnyContainer();
    }

    // Synchronous message: how many pointer events the simulation has applied so far.
    qvAnyContainer countInputs(const ArgumentVector&) { return qvMakeAny(m_nInputsApplied); }

private:
    Counters& m_Counters;
    qvPluginHandler& m_Plugins;
    qvSynch::LWLock& m_PluginLock;
    std::vector<Body> m_Bodies;
    unsigned long m_nStep;
    unsigned long m_nInputsApplied;
    float m_fAttractorX, m_fAttractorY;
};

// ---------------------------------------------------------------------------------------------
// The renderer: a brightness field over [-1, 1]², shaded in horizontal bands, one job each.

constexpr unsigned int FIELD_WIDTH = 64;
constexpr unsigned int FIELD_HEIGHT = 32;

struct BandJob
{
    const Snapshot* pSnapshot;
    float* pField;
    unsigned int nFirstRow, nEndRow;
    std::atomic<unsigned long>* pnJobsRun;
};

long shadeBand(void* pArgument)
{
    BandJob& job = *static_cast<BandJob*>(pArgument);
    for (unsigned int nRow = job.nFirstRow; nRow < job.nEndRow; ++nRow) {
        const float fY = -1.0f + 2.0f * (nRow + 0.5f) / FIELD_HEIGHT;
        for (unsigned int nColumn = 0; nColumn < FIELD_WIDTH; ++nColumn) {
            const float fX = -1.0f + 2.0f * (nColumn + 0.5f) / FIELD_WIDTH;
            float fBrightness = 0.0f;
            for (const Body& body : job.pSnapshot->bodies) {
                const float fDX = body.fX - fX;
                const float fDY = body.fY - fY;
                fBrightness += 1.0f / (1.0f + 400.0f * (fDX * fDX + fDY * fDY));
            }
            job.pField[nRow * FIELD_WIDTH + nColumn] = fBrightness;
        }
    }
    job.pnJobsRun->fetch_add(1, std::memory_order_relaxed);
    return 0;
}

class Renderer
{
public:
    Renderer(Counters& counters, FailureRecord& failures, qvProcessor& processor,
             unsigned long nSimulationThread, Simulation& simulation, qvPluginHandler& plugins,
             qvSynch::LWLock& pluginLock, unsigned int nWorkers)
        : m_Counters(counters), m_Failures(failures), m_Processor(processor),
          m_nSimulationThread(nSimulationThread),
          m_TakeSnapshot(&simulation, &Simulation::takeSnapshot),
          m_MovePointer(&simulation, &Simulation::movePointer), m_NoArguments(0, false),
          m_Plugins(plugins), m_PluginLock(pluginLock), m_Field(FIELD_WIDTH * FIELD_HEIGHT),
          m_nBands(std::min(2 * nWorkers, FIELD_HEIGHT)), m_nFrame(0)
#if QV_DEMO_HAS_THREAD_TEAM
          ,
          m_Team(nWorkers)
#endif
    {
        m_RoundTripsNs.reserve(1 << 16);
    }

    // Pipeline function: one frame. A failure is recorded and ends the whole run: the
    // coordinator's loop is shut down, and the exception ends this loop's run().
    void frame()
    {
        try {
            drawFrame();
        } catch (const std::exception& e) {
            m_Failures.record("render loop", e.what());
            m_Processor.shutdown();
            throw;
        }
    }

    // Read after the render loop has been shut down (its thread joined).
    const std::vector<unsigned long>& getRoundTrips() const
    {
        return m_RoundTripsNs;
    }
    unsigned int getBandsPerFrame() const
    {
        return m_nBands;
    }

private:
    void drawFrame()
    {
        // 1. The simulation's state, fetched on its own thread and handed back as a value.
        const Clock::time_point sent = Clock::now();
        const qvAnyContainer result = m_Processor.getITC().sendSyncMessage(
            m_TakeSnapshot, m_NoArguments, m_nSimulationThread);
        const unsigned long nRoundTripNs = static_cast<unsigned long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - sent).count());
        m_RoundTripsNs.push_back(nRoundTripNs);
        m_Counters.nLastRoundTripNs.store(nRoundTripNs, std::memory_order_relaxed);
        const Snapshot* pSnapshot = qvAnyCast<Snapshot>(result);
        if (!pSnapshot)
            throw std::logic_error("the simulation answered without a snapshot");

        // 2. Shade the field in bands, in parallel, and wait for all of them.
        shade(*pSnapshot);

        // 3. This frame's input: the pointer circles the centre. Fire and forget.
        const float fAngle = 0.002f * static_cast<float>(m_nFrame);
        const ArgumentVector arguments =
            qvITC::makeArguments(PointerEvent{0.5f * std::cos(fAngle), 0.5f * std::sin(fAngle)});
        m_Processor.getITC().sendAsyncMessage(m_MovePointer, arguments, m_nSimulationThread);
        m_Counters.nAsyncSent.fetch_add(1, std::memory_order_relaxed);

        // 4. The modules draw on top.
        {
            PluginScope scope(m_PluginLock);
            m_Plugins.doRenderIdleCallbacks();
        }
        ++m_nFrame;
        m_Counters.nRenderFrames.fetch_add(1, std::memory_order_relaxed);
    }

    void shade(const Snapshot& snapshot)
    {
        std::vector<BandJob> jobs(m_nBands);
        for (unsigned int nBand = 0; nBand < m_nBands; ++nBand) {
            jobs[nBand] = BandJob{&snapshot, m_Field.data(), nBand * FIELD_HEIGHT / m_nBands,
                                  (nBand + 1) * FIELD_HEIGHT / m_nBands, &m_Counters.nJobsRun};
        }
#if QV_DEMO_HAS_THREAD_TEAM
        qvDCList<unsigned long> ids;
        for (BandJob& job : jobs)
            ids.pushBack(m_Team.createJob(&shadeBand, &job));
        m_Team.join(ids);
#else
        // Built without the worker pools: the bands are shaded here, one after the other.
        for (BandJob& job : jobs)
            shadeBand(&job);
#endif
    }

    Counters& m_Counters;
    FailureRecord& m_Failures;
    qvProcessor& m_Processor;
    const unsigned long m_nSimulationThread;
    const MessageFunctor m_TakeSnapshot;
    const MessageFunctor m_MovePointer;
    const ArgumentVector m_NoArguments;
    qvPluginHandler& m_Plugins;
    qvSynch::LWLock& m_PluginLock;
    std::vector<float> m_Field;
    const unsigned int m_nBands;
    unsigned long m_nFrame;
    std::vector<unsigned long> m_RoundTripsNs;
#if QV_DEMO_HAS_THREAD_TEAM
    qvJoinableThreadTeam m_Team;
#endif
};

// ---------------------------------------------------------------------------------------------
// The coordinator: the processor's own loop on the main thread, ten turns a second.

class Coordinator
{
public:
    Coordinator(const Options& options, Counters& counters, FailureRecord& failures,
                qvProcessor& processor, qvPluginHandler& plugins, qvSynch::LWLock& pluginLock,
                Clock::time_point start)
        : m_Options(options), m_Counters(counters), m_Failures(failures), m_Processor(processor),
          m_Plugins(plugins), m_PluginLock(pluginLock), m_Start(start), m_NextTurn(start),
          m_bTerminal(!options.bQuiet && isTerminal(stdout)), m_nPlainLines(0), m_bSuspended(false),
          m_bResumed(false), m_nSuspendedModules(0), m_nResumedModules(0)
    {
    }

    // Pipeline function of the processor's own loop.
    void turn()
    {
        m_NextTurn += std::chrono::milliseconds(100);
        std::this_thread::sleep_until(m_NextTurn);
        m_Counters.nCoordinatorTurns.fetch_add(1, std::memory_order_relaxed);
        const double dElapsed = std::chrono::duration<double>(Clock::now() - m_Start).count();
        const double dSeconds = m_Options.nSeconds;

        // The modules are suspended for the middle third of the run.
        if (!m_bSuspended && dElapsed >= dSeconds / 3)
            m_nSuspendedModules = setModulesSuspended(true);
        else if (m_bSuspended && !m_bResumed && dElapsed >= 2 * dSeconds / 3)
            m_nResumedModules = setModulesSuspended(false);

        showProgress(dElapsed);
        if ((dElapsed >= dSeconds && m_bResumed) || !m_Failures.get().empty()) {
            if (m_bTerminal)
                std::fputs("\n", stdout);
            m_Processor.shutdown(); // this loop ends after this turn
        }
    }

    // "suspended and resumed once" when every module took part in both.
    std::string describeSuspension(size_t nModules) const
    {
        if (m_nSuspendedModules == nModules && m_nResumedModules == nModules)
            return "suspended and resumed once";
        char cstrText[96];
        std::snprintf(cstrText, sizeof cstrText, "%u of %zu suspended, %u resumed",
                      m_nSuspendedModules, nModules, m_nResumedModules);
        return cstrText;
    }

private:
    // Returns how many modules report the asked-for state afterwards.
    unsigned int setModulesSuspended(bool bSuspend)
    {
        PluginScope scope(m_PluginLock);
        unsigned int nChanged = 0;
        for (const std::string& sstrName : m_Plugins.getModuleNames()) {
            m_Plugins.setSuspendModule(sstrName, bSuspend);
            if (m_Plugins.isModuleSuspended(sstrName) == bSuspend)
                ++nChanged;
        }
        (bSuspend ? m_bSuspended : m_bResumed) = true;
        return nChanged;
    }

    void showProgress(double dElapsed)
    {
        if (m_Options.bQuiet)
            return;
        // Plain output (a pipe, a log): one line a second.
        if (!m_bTerminal && dElapsed < m_nPlainLines + 1.0)
            return;
        const char* cstrModules = m_bSuspended && !m_bResumed ? "suspended" : "running";
        std::printf("%s%5.1f/%u s  sim %lu steps  render %lu frames  sync %.1f us  "
                    "async %lu  jobs %lu  modules %s%s",
                    m_bTerminal ? "\r" : "", dElapsed, m_Options.nSeconds,
                    m_Counters.nSimulationSteps.load(std::memory_order_relaxed),
                    m_Counters.nRenderFrames.load(std::memory_order_relaxed),
                    m_Counters.nLastRoundTripNs.load(std::memory_order_relaxed) / 1000.0,
                    m_Counters.nAsyncDelivered.load(std::memory_order_relaxed),
                    m_Counters.nJobsRun.load(std::memory_order_relaxed), cstrModules,
                    m_bTerminal ? "\033[K" : "\n");
        std::fflush(stdout);
        ++m_nPlainLines;
    }

    const Options& m_Options;
    Counters& m_Counters;
    FailureRecord& m_Failures;
    qvProcessor& m_Processor;
    qvPluginHandler& m_Plugins;
    qvSynch::LWLock& m_PluginLock;
    const Clock::time_point m_Start;
    Clock::time_point m_NextTurn;
    const bool m_bTerminal;
    unsigned int m_nPlainLines;
    bool m_bSuspended, m_bResumed;
    unsigned int m_nSuspendedModules, m_nResumedModules;
};

// ---------------------------------------------------------------------------------------------

double percentileMicroseconds(std::vector<unsigned long> samples, double dFraction)
{
    if (samples.empty())
        return 0.0;
    const size_t nIndex = std::min(samples.size() - 1,
                                   static_cast<size_t>(std::ceil(dFraction * samples.size())) - 1);
    std::nth_element(samples.begin(), samples.begin() + nIndex, samples.end());
    return samples[nIndex] / 1000.0;
}

std::string joinNames(const std::list<std::string>& names)
{
    std::string sstrJoined;
    for (const std::string& sstrName : names)
        sstrJoined += (sstrJoined.empty() ? "" : ", ") + sstrName;
    return sstrJoined;
}

int runDemo(const Options& options)
{
    const Clock::time_point start = Clock::now();
    Counters counters;
    FailureRecord failures;

    // Plug-ins: located along the search paths, loaded and initialised on this thread before
    // any loop runs. From then on every use of the handler holds pluginLock.
    const std::vector<std::string> directories = pluginDirectories();
    const std::set<std::string> moduleFiles = locateModules(directories);
    std::vector<std::string> moduleReports;
    qvSynch::LWLock pluginLock;
    qvPluginHandler plugins;
    plugins.setModuleInterface(new PluginHost(start, &moduleReports)); // the handler owns it
    for (const std::string& sstrFile : moduleFiles) {
        if (!plugins.load(sstrFile))
            std::fprintf(stderr, "qvdemo: could not load the module %s\n", sstrFile.c_str());
    }
    const std::list<std::string> moduleNames = plugins.getModuleNames();

    // The loops. The objects their functions use are declared before the processor, so that
    // they outlive the loops' threads also when something throws.
    Simulation simulation(counters, plugins, pluginLock);
    std::unique_ptr<Renderer> upRenderer;
    qvProcessor processor;
    const unsigned long nSimulationLoop = processor.createMainLoop();
    const unsigned long nRenderLoop = processor.createMainLoop();
    const unsigned long nSimulationThread = processor.getThreadID(nSimulationLoop);
    upRenderer = std::make_unique<Renderer>(counters, failures, processor, nSimulationThread,
                                            simulation, plugins, pluginLock, options.nWorkers);
    Coordinator coordinator(options, counters, failures, processor, plugins, pluginLock, start);

    processor.getMainLoop(nSimulationLoop)
        .getFunctionPipeLine()
        .addFunction(qvVoidFunctor(&simulation, &Simulation::step));
    processor.getMainLoop(nRenderLoop)
        .getFunctionPipeLine()
        .addFunction(qvVoidFunctor(upRenderer.get(), &Renderer::frame));
    processor.getMainLoop(qvProcessor::PROCESSOR_MAINLOOP_ID)
        .getFunctionPipeLine()
        .addFunction(qvVoidFunctor(&coordinator, &Coordinator::turn));

    processor.run(nSimulationLoop);
    processor.run(nRenderLoop);
    processor.run(); // the coordinator, until it shuts its own loop down

    // Shut down in order: the render loop first (it sends to the simulation), then one last
    // synchronous message to the simulation, which runs after every input event already queued
    // for it, then the simulation loop, the job team (with the renderer) and the modules.
    processor.shutdown(nRenderLoop);
    const qvAnyContainer inputsApplied =
        processor.getITC().sendSyncMessage(MessageFunctor(&simulation, &Simulation::countInputs),
                                           ArgumentVector(0, false), nSimulationThread);
    processor.shutdown(nSimulationLoop);
    const std::vector<unsigned long> roundTrips = upRenderer->getRoundTrips();
    const unsigned int nBands = upRenderer->getBandsPerFrame();
    upRenderer.reset();
    {
        PluginScope scope(pluginLock); // no other thread is left; kept for the rule's sake
        plugins.shutdown();
    }

    const double dElapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const unsigned long* pnInputsApplied = qvAnyCast<unsigned long>(inputsApplied);
    std::printf("qvdemo report: %.1f s, %u workers\n", dElapsed, options.nWorkers);
    std::printf("  frames            simulation %lu, render %lu, coordinator %lu\n",
                counters.nSimulationSteps.load(), counters.nRenderFrames.load(),
                counters.nCoordinatorTurns.load());
    std::printf("  sync round trip   p50 %.1f us, p99 %.1f us over %zu snapshots\n",
                percentileMicroseconds(roundTrips, 0.50), percentileMicroseconds(roundTrips, 0.99),
                roundTrips.size());
    std::printf("  async messages    %lu delivered of %lu sent\n",
                pnInputsApplied ? *pnInputsApplied : 0ul, counters.nAsyncSent.load());
#if QV_DEMO_HAS_THREAD_TEAM
    std::printf("  jobs run          %lu (%u bands a frame, joined as one list)\n",
                counters.nJobsRun.load(), nBands);
#else
    std::printf(
        "  jobs run          0 (built without the worker pools: %u bands a frame, %lu in all,"
        " shaded inline)\n",
        nBands, counters.nJobsRun.load());
#endif
    std::printf("  modules loaded    %zu: %s (%s, finished)\n", moduleNames.size(),
                joinNames(moduleNames).c_str(),
                coordinator.describeSuspension(moduleNames.size()).c_str());
    for (const std::string& sstrLine : moduleReports)
        std::printf("%s\n", sstrLine.c_str());
    std::printf("  files found       %zu in %zu search path%s\n", moduleFiles.size(),
                directories.size(), directories.size() == 1 ? "" : "s");

    const std::string sstrFailure = failures.get();
    if (!sstrFailure.empty()) {
        std::fprintf(stderr, "qvdemo: failed in the %s\n", sstrFailure.c_str());
        return 1;
    }
    std::printf("  shut down         3 loops, %s%zu modules\n",
                QV_DEMO_HAS_THREAD_TEAM ? "1 job team, " : "", moduleNames.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    switch (parseOptions(argc, argv, options)) {
    case 1:
        printUsage(stdout);
        return 0;
    case 2:
        printUsage(stderr);
        return 2;
    default:
        break;
    }
    try {
        return runDemo(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qvdemo: %s\n", e.what());
        return 1;
    }
}
