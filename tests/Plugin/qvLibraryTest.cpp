// Contract of the platform's library layer under the plug-in handler.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "Platform/Library.h"
#include "qvTestLibraryEvents.h"
#include "qvTestPlatform.h"
#include "qvTestSupport.h"
#include "qvTestValues.h"

namespace {

using Entries = std::vector<std::string>;

const std::string FULL = qvTest::fromBuildPath(QV_TEST_MODULE_FULL_PATH);
const std::string BORROWER = qvTest::fromBuildPath(QV_TEST_MODULE_BORROWER_PATH);
const std::string VALUES = qvTest::fromBuildPath(QV_TEST_VALUE_MODULE_PATH);

// Spelled like the value module's own Config, another type with another layout.
struct Config
{
    char m_szName[64];
};

TEST(qvPlatformLibraryTest, OpeningTwiceCountsReferences)
{
    qvTest::clearLibraryEvents();
    void* hFirst = qvPlatform::Library::open(FULL);
    ASSERT_NE(hFirst, nullptr);
    void* hSecond = qvPlatform::Library::open(FULL);
    EXPECT_EQ(hSecond, hFirst);
    qvPlatform::Library::close(hSecond);
    EXPECT_EQ(qvTest::libraryEventsOf("full"), (Entries{"loaded"}));
    qvPlatform::Library::close(hFirst);
    EXPECT_EQ(qvTest::libraryEventsOf("full"), (Entries{"loaded", "unloaded"}));
}

// Found in review: under the "\\?\" prefix the Windows loader takes a trailing '.' literally, so
// the '.' that keeps it from appending ".dll" to a name without an extension made such a name
// load nothing, while the same path without the prefix loaded.
TEST(qvPlatformLibraryTest, NameWithoutExtensionLoadsUnderTheLiteralPathPrefix)
{
    if (!qvTest::ON_WINDOWS)
        GTEST_SKIP() << "Windows only: the \\\\?\\ prefix of literal paths";
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("qvLibraryTest-literal-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(qvTest::nativePath(FULL), folder / "noext");
    const std::string sstrPlain = (folder / "noext").string();
    void* hPlain = qvPlatform::Library::open(sstrPlain);
    void* hLiteral = qvPlatform::Library::open("\\\\?\\" + sstrPlain);
    EXPECT_NE(hPlain, nullptr);
    EXPECT_EQ(hLiteral, hPlain) << "\\\\?\\" << sstrPlain;
    qvPlatform::Library::close(hLiteral);
    qvPlatform::Library::close(hPlain);
    std::error_code error;
    std::filesystem::remove_all(folder, error);
}

TEST(qvPlatformLibraryTest, BackslashesAreSeparators)
{
    std::string sstrBackslashed = FULL;
    std::replace(sstrBackslashed.begin(), sstrBackslashed.end(), '/', '\\');
    void* hSlashes = qvPlatform::Library::open(FULL);
    ASSERT_NE(hSlashes, nullptr);
    void* hBackslashes = qvPlatform::Library::open(sstrBackslashed);
    EXPECT_EQ(hBackslashes, hSlashes);
    qvPlatform::Library::close(hBackslashes);
    qvPlatform::Library::close(hSlashes);
}

TEST(qvPlatformLibraryTest, FindSymbolSeesOnlyTheLibraryItself)
{
    void* hBorrower = qvPlatform::Library::open(BORROWER);
    ASSERT_NE(hBorrower, nullptr);
    EXPECT_NE(qvPlatform::Library::findSymbol(hBorrower, "exInitModule"), nullptr);
    // Exported by the library the borrower depends on, not by the borrower.
    EXPECT_EQ(qvPlatform::Library::findSymbol(hBorrower, "exIsSuspended"), nullptr);
    EXPECT_EQ(qvPlatform::Library::findSymbol(hBorrower, "qvTestDonorMarker"), nullptr);
    // Names are exact: no other case, no C++ decoration.
    EXPECT_EQ(qvPlatform::Library::findSymbol(hBorrower, "exinitmodule"), nullptr);
    EXPECT_EQ(qvPlatform::Library::findSymbol(hBorrower, "_Z12exInitModuleP11qvInterface"),
              nullptr);
    qvPlatform::Library::close(hBorrower);
}

// Tests that a module which made and read values goes with its last reference (the value
// templates leave no unique symbol behind that would pin it), and that values cross the module
// boundary by type: one type matches on both sides, the module's own type spelled like one of the
// test's does not.
TEST(qvPlatformLibraryTest, ModuleThatMadeValuesUnloads)
{
    qvTest::clearLibraryEvents();
    void* hModule = qvPlatform::Library::open(VALUES);
    ASSERT_NE(hModule, nullptr);
    auto pfnMakeValues = reinterpret_cast<qvTestMakeValuesFunction>(
        qvPlatform::Library::findSymbol(hModule, "qvTestMakeValues"));
    auto pfnReadValue = reinterpret_cast<qvTestReadValueFunction>(
        qvPlatform::Library::findSymbol(hModule, "qvTestReadValue"));
    ASSERT_TRUE(pfnMakeValues && pfnReadValue);
    {
        qvAnyContainer shared;
        qvAnyContainer config;
        pfnMakeValues(&shared, &config);
        const qvTestSharedValue* pShared = qvAnyCast<qvTestSharedValue>(shared);
        ASSERT_NE(pShared, nullptr);
        EXPECT_STREQ("module", pShared->m_szText);
        EXPECT_EQ(nullptr, qvAnyCast<Config>(config));
        const qvAnyContainer own = qvMakeAny(qvTestSharedValue{5, "test"});
        EXPECT_EQ(5, pfnReadValue(&own));
    } // a value made in the module must not outlive it
    qvPlatform::Library::close(hModule);
    EXPECT_EQ(qvTest::libraryEventsOf("values"), (Entries{"loaded", "unloaded"}));
    EXPECT_FALSE(qvTest::isLibraryLoaded(VALUES));
}

// Tests that a host which does not link the library may unload a module built on it while threads
// that waited through it still live: they end, and the process exits, without running anything
// of the unloaded code (the library's per-thread state is released by thread-exit hooks that
// point into it). Run in a child process: the fault is a crash as a thread ends.
TEST(qvPlatformLibraryTest, ModuleUnloadedWhileItsWaitersLiveLetsThemEndAndTheProcessExit)
{
    const std::string sstrHost = qvTest::fromBuildPath(QV_TEST_UNLOAD_HOST_PATH);
    const std::string sstrModule = qvTest::fromBuildPath(QV_TEST_UNLOAD_MODULE_PATH);
    for (const char* cstrMode : {"threads", "main"}) {
        SCOPED_TRACE(cstrMode);
        qvTest::ProgramRun run =
            qvTest::runProgram(sstrHost, {sstrModule, cstrMode}, 3 * qvTest::TIMEOUT);
        std::erase(run.sstrOutput, '\r'); // Windows' text mode
        EXPECT_TRUE(run.bEnded) << "still running at the deadline; output:\n" << run.sstrOutput;
        EXPECT_TRUE(run.bExited) << "ended by " << std::hex << run.nExitCode << "; output:\n"
                                 << run.sstrOutput;
        EXPECT_EQ(run.nExitCode, 0);
        EXPECT_EQ(run.sstrOutput, "unloaded\nclean end\n");
    }
}

TEST(qvPlatformLibraryTest, EmptyNameIsRefused)
{
    EXPECT_EQ(qvPlatform::Library::open(""), nullptr);
}

TEST(qvPlatformLibraryTest, NullArgumentsAreHarmless)
{
    EXPECT_EQ(qvPlatform::Library::findSymbol(nullptr, "exInitModule"), nullptr);
    qvPlatform::Library::close(nullptr);
}

} // namespace
