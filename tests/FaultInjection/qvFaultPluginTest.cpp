// The plug-in handler under faults: allocation failures throughout load(), and entry points
// that throw C++ exceptions across the module boundary. Whatever happens, the tables stay
// consistent (a module is registered under both or neither), every initialised module that is
// not kept is finished, and every library goes back to the loader.
//
// The fixture modules (tests/Plugin/modules) report to the host's recorder; the recorder here
// counts each call before it keeps a journal entry, so that a failing journal allocation makes
// the entry point throw, as a module that runs out of memory would.

#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "Plugin/qvPluginHandler.h"
#include "qvFaultAllocator.h"
#include "qvTestModuleInterface.h"
#include "qvTestPlatform.h"

namespace {

const std::string FULL = qvTest::fromBuildPath(QV_TEST_MODULE_FULL_PATH);
const std::string MODULE_A = qvTest::fromBuildPath(QV_TEST_MODULE_A_PATH);
const std::string TWIN_A = qvTest::fromBuildPath(QV_TEST_MODULE_TWINA_PATH);
const std::string TWIN_B = qvTest::fromBuildPath(QV_TEST_MODULE_TWINB_PATH);
const std::string THROWER = qvTest::fromBuildPath(QV_TEST_MODULE_THROWER_PATH);

const char* const LABELS[] = {"full", "a", "twinA", "twinB"};
const char* const ENTRY_POINTS[] = {
    "exInitModule",           "exGetModuleName", "exFinishModule",
    "exSuspendModule",        "exIsSuspended",   "exModulePhysicCallback",
    "exModuleRenderCallback", "loaded",          "unloaded"};
constexpr int LABEL_COUNT = 4;
constexpr int ENTRY_COUNT = 9;

int indexOf(const char* const* pNames, int nCount, const char* cstrName)
{
    for (int n = 0; n < nCount; ++n)
        if (std::strcmp(pNames[n], cstrName) == 0)
            return n;
    return -1;
}

// Calls per library label and entry point (or library event), without allocating: counted
// while an allocation failure is armed, and from the libraries' static constructors.
struct CallCounts
{
    int nCalled[LABEL_COUNT][ENTRY_COUNT] = {};
    int nReturned[LABEL_COUNT][ENTRY_COUNT] = {}; // the recorder returned normally

    int called(const char* cstrLabel, const char* cstrEntry) const
    {
        return nCalled[indexOf(LABELS, LABEL_COUNT, cstrLabel)]
                      [indexOf(ENTRY_POINTS, ENTRY_COUNT, cstrEntry)];
    }
    int returned(const char* cstrLabel, const char* cstrEntry) const
    {
        return nReturned[indexOf(LABELS, LABEL_COUNT, cstrLabel)]
                        [indexOf(ENTRY_POINTS, ENTRY_COUNT, cstrEntry)];
    }
    // Every library that was loaded has been unloaded again.
    bool allUnloaded() const
    {
        for (int n = 0; n < LABEL_COUNT; ++n)
            if (nCalled[n][7] != nCalled[n][8])
                return false;
        return true;
    }
};

CallCounts s_Counts;

void count(int (&table)[LABEL_COUNT][ENTRY_COUNT], const char* cstrLabel, const char* cstrEntry)
{
    const int nLabel = indexOf(LABELS, LABEL_COUNT, cstrLabel);
    const int nEntry = indexOf(ENTRY_POINTS, ENTRY_COUNT, cstrEntry);
    if (nLabel >= 0 && nEntry >= 0)
        ++table[nLabel][nEntry];
}

// The module interface: counts, keeps a journal (which allocates), and throws from the entry
// point named "label:entry" in m_sstrThrowAt.
class Recorder : public qvTestRecorder
{
public:
    explicit Recorder(bool* pbDeleted) : m_pbDeleted(pbDeleted) {}
    ~Recorder() override { *m_pbDeleted = true; }

    void record(const char* cstrLabel, const char* cstrEntryPoint, float, bool) override
    {
        count(s_Counts.nCalled, cstrLabel, cstrEntryPoint);
        if (!m_sstrThrowAt.empty() &&
            m_sstrThrowAt == std::string(cstrLabel) + ":" + cstrEntryPoint)
            throw std::runtime_error("module failed in " + m_sstrThrowAt);
        m_Journal.push_back(cstrEntryPoint);
        count(s_Counts.nReturned, cstrLabel, cstrEntryPoint);
    }

    std::string m_sstrThrowAt;

private:
    bool* m_pbDeleted;
    std::vector<std::string> m_Journal;
};

using Names = std::list<std::string>;

class qvFaultPluginTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        s_Counts = CallCounts();
        m_pRecorder = new Recorder(&m_bRecorderDeleted);
        m_upHandler = std::make_unique<qvPluginHandler>();
        m_upHandler->setModuleInterface(m_pRecorder);
    }

    void TearDown() override
    {
        if (!m_bRecorderDeleted)
            m_pRecorder->m_sstrThrowAt.clear();
        m_upHandler.reset();
        EXPECT_TRUE(m_bRecorderDeleted);
        EXPECT_TRUE(s_Counts.allUnloaded()) << "a library was never released";
    }

    void expectTables(const Names& names, const Names& fileNames)
    {
        EXPECT_EQ(names, m_upHandler->getModuleNames());
        EXPECT_EQ(fileNames, m_upHandler->getModuleFileNames());
    }

    bool m_bRecorderDeleted = false;
    Recorder* m_pRecorder = nullptr; // owned by the handler
    std::unique_ptr<qvPluginHandler> m_upHandler;
};

} // namespace

// The fixture libraries report their loading and unloading here (from static constructors and
// destructors, so without allocating).
QV_TEST_HOOK void qvTestLibraryEvent(const char* cstrLabel, const char* cstrEvent)
{
    count(s_Counts.nCalled, cstrLabel, cstrEvent);
}

// ---------------------------------------------------------------------------------------------
// Allocation failures

TEST_F(qvFaultPluginTest, LoadUnderAllocationFailureRegistersTheModuleOrNothing)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    ASSERT_TRUE(m_upHandler->load(MODULE_A));
    const auto result = qvFault::sweepAllocations(
        [&] { ASSERT_TRUE(m_upHandler->load(FULL)); },
        [&](bool bThrew) {
            if (bThrew) {
                expectTables({"a"}, {MODULE_A});
            } else {
                expectTables({"a", "full"}, {MODULE_A, FULL});
                EXPECT_TRUE(m_upHandler->unload("full"));
            }
            // Every instance whose exInitModule went through was finished again, and released.
            EXPECT_EQ(s_Counts.returned("full", "exInitModule"),
                      s_Counts.called("full", "exFinishModule"));
            EXPECT_EQ(s_Counts.called("full", "loaded"), s_Counts.called("full", "unloaded"));
            // The module loaded before is still served.
            const int nBefore = s_Counts.called("a", "exModulePhysicCallback");
            m_upHandler->doPhysicIdleCallbacks(1.0f);
            EXPECT_EQ(nBefore + 1, s_Counts.called("a", "exModulePhysicCallback"));
        });
    EXPECT_GT(result.nFailures, 0u);
    EXPECT_LT(result.nSteps, 2000u);
}

// ---------------------------------------------------------------------------------------------
// Entry points that throw

TEST_F(qvFaultPluginTest, InitModuleThrowingRegistersNothingFinishesNothingAndReleases)
{
    m_pRecorder->m_sstrThrowAt = "full:exInitModule";
    EXPECT_THROW(m_upHandler->load(FULL), std::runtime_error);
    expectTables({}, {});
    EXPECT_EQ(0, s_Counts.called("full", "exGetModuleName"));
    EXPECT_EQ(0, s_Counts.called("full", "exFinishModule"));
    EXPECT_EQ(1, s_Counts.called("full", "unloaded"));
    // The handler goes on working.
    m_pRecorder->m_sstrThrowAt.clear();
    EXPECT_TRUE(m_upHandler->load(FULL));
    EXPECT_EQ(1, s_Counts.called("full", "unloaded"));
}

TEST_F(qvFaultPluginTest, GetModuleNameThrowingFinishesAndReleasesTheModule)
{
    m_pRecorder->m_sstrThrowAt = "full:exGetModuleName";
    EXPECT_THROW(m_upHandler->load(FULL), std::runtime_error);
    expectTables({}, {});
    EXPECT_EQ(1, s_Counts.called("full", "exFinishModule"));
    EXPECT_EQ(1, s_Counts.called("full", "unloaded"));
}

TEST_F(qvFaultPluginTest, FinishModuleThrowingForATakenNameStillReleasesTheNewInstance)
{
    ASSERT_TRUE(m_upHandler->load(TWIN_A));
    m_pRecorder->m_sstrThrowAt = "twinB:exFinishModule";
    EXPECT_THROW(m_upHandler->load(TWIN_B), std::runtime_error);
    expectTables({"twin"}, {TWIN_A});
    EXPECT_EQ(1, s_Counts.called("twinB", "exFinishModule"));
    EXPECT_EQ(1, s_Counts.called("twinB", "unloaded"));
    EXPECT_EQ(0, s_Counts.called("twinA", "exFinishModule"));
}

TEST_F(qvFaultPluginTest, FinishModuleThrowingInUnloadForgetsAndReleasesTheModule)
{
    ASSERT_TRUE(m_upHandler->load(FULL));
    m_pRecorder->m_sstrThrowAt = "full:exFinishModule";
    EXPECT_THROW(m_upHandler->unload("full"), std::runtime_error);
    expectTables({}, {});
    EXPECT_EQ(1, s_Counts.called("full", "unloaded"));
    EXPECT_FALSE(m_upHandler->unload("full"));
    EXPECT_EQ(1, s_Counts.called("full", "exFinishModule"));
}

TEST_F(qvFaultPluginTest,
       FinishModuleThrowingInShutdownStillFinishesTheOthersAndDeletesTheInterface)
{
    ASSERT_TRUE(m_upHandler->load(MODULE_A));
    ASSERT_TRUE(m_upHandler->load(FULL));
    m_pRecorder->m_sstrThrowAt = "a:exFinishModule";
    EXPECT_THROW(m_upHandler->shutdown(), std::runtime_error);
    expectTables({}, {});
    EXPECT_EQ(1, s_Counts.called("full", "exFinishModule"));
    EXPECT_TRUE(m_bRecorderDeleted);
    // The module whose exception shutdown() rethrew was released all the same: what reaches
    // the caller is the library's own copy of it.
    EXPECT_EQ(1, s_Counts.called("a", "unloaded"));
    EXPECT_EQ(1, s_Counts.called("full", "unloaded"));
    EXPECT_NO_THROW(m_upHandler->shutdown());
}

TEST_F(qvFaultPluginTest, DestructorDropsAThrowingFinishAndReleasesEveryModule)
{
    ASSERT_TRUE(m_upHandler->load(MODULE_A));
    ASSERT_TRUE(m_upHandler->load(FULL));
    m_pRecorder->m_sstrThrowAt = "a:exFinishModule";
    EXPECT_NO_THROW(m_upHandler.reset());
    EXPECT_EQ(1, s_Counts.called("a", "exFinishModule"));
    EXPECT_EQ(1, s_Counts.called("full", "exFinishModule"));
}

TEST_F(qvFaultPluginTest, IdleCallbackThrowingStopsTheWalkAndChangesNothing)
{
    ASSERT_TRUE(m_upHandler->load(MODULE_A));
    ASSERT_TRUE(m_upHandler->load(FULL));
    m_pRecorder->m_sstrThrowAt = "a:exModulePhysicCallback";
    EXPECT_THROW(m_upHandler->doPhysicIdleCallbacks(2.0f), std::runtime_error);
    EXPECT_EQ(0, s_Counts.called("full", "exModulePhysicCallback"));
    m_pRecorder->m_sstrThrowAt = "full:exSuspendModule";
    EXPECT_THROW(m_upHandler->setSuspendModule("full", true), std::runtime_error);
    expectTables({"a", "full"}, {MODULE_A, FULL});
    m_pRecorder->m_sstrThrowAt.clear();
    m_upHandler->doPhysicIdleCallbacks(2.0f);
    EXPECT_EQ(2, s_Counts.called("a", "exModulePhysicCallback"));
    EXPECT_EQ(1, s_Counts.called("full", "exModulePhysicCallback"));
}

namespace {
// In a child process: a module throws an exception of a type of its own, and the host catches
// it the ordinary way, after the handler (and with it the module) is gone. Exits 0 when every
// catch saw the module's text, 2 when one did not; a crash is a crash.
[[noreturn]] void catchModuleExceptionsAfterTheModuleIsGone()
{
    auto expectText = [](const std::exception& exception, const char* cstrText) {
        if (std::strcmp(exception.what(), cstrText) != 0)
            std::_Exit(2);
    };
    // From exInitModule: the library is released inside load().
    try {
        qvPluginHandler handler;
        handler.load(THROWER);
        std::_Exit(2);
    } catch (const std::exception& exception) {
        expectText(exception, "thrown by exInitModule");
    }
    // From an idle callback: the handler's destructor releases the module during the unwinding.
    try {
        qvPluginHandler handler;
        static bool s_bRecorderDeleted = false;
        handler.setModuleInterface(new Recorder(&s_bRecorderDeleted));
        if (!handler.load(THROWER))
            std::_Exit(2);
        handler.doPhysicIdleCallbacks(-1.0f);
        std::_Exit(2);
    } catch (const std::exception& exception) {
        expectText(exception, "thrown by exModulePhysicCallback");
    }
#ifndef _WIN32
    // An exception of no C++ runtime, with its clean-up in the module.
    try {
        qvPluginHandler handler;
        static bool s_bOtherRecorderDeleted = false;
        handler.setModuleInterface(new Recorder(&s_bOtherRecorderDeleted));
        if (!handler.load(THROWER))
            std::_Exit(2);
        handler.doRenderIdleCallbacks();
        std::_Exit(2);
    } catch (const std::runtime_error&) {
    }
#endif
    // load() called inside a catch, while another exception is being handled.
    try {
        throw std::logic_error("outer");
    } catch (const std::logic_error&) {
        try {
            qvPluginHandler handler;
            handler.load(THROWER);
        } catch (const std::exception& exception) {
            expectText(exception, "thrown by exInitModule");
        }
    }
    std::exit(0);
}
} // namespace

TEST(qvFaultPluginDeathTest, ModulesOwnExceptionIsCaughtSafelyAfterTheModuleIsReleased)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(catchModuleExceptionsAfterTheModuleIsGone(), ::testing::ExitedWithCode(0), "");
}
