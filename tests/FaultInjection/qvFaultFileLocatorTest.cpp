// The file locator's search set under allocation failures: addFilePath either registers the
// path or throws std::bad_alloc and changes nothing; the paths registered before stay found.

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "File/qvFileLocator.h"
#include "qvFaultAllocator.h"
#include "qvFileTestTree.h"

namespace {

class qvFaultFileLocatorTest : public qvTest::TempTree
{
protected:
    bool finds(const std::string& sstrFile)
    {
        std::string sstrFullPath;
        return qvFCSingletons::getFileLocator().locateFile(sstrFile, sstrFullPath);
    }
};

} // namespace

TEST_F(qvFaultFileLocatorTest, AddFilePathUnderAllocationFailureRegistersOnceOrNotAtAll)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    // Long names, so that every string of the call lives on the heap.
    const std::string sstrKept = root() + "/kept-directory-with-a-long-name";
    const std::string sstrAdded = root() + "/added-directory-with-a-long-name";
    makeFile(sstrKept + "/kept-file-with-a-long-name.txt");
    makeFile(sstrAdded + "/added-file-with-a-long-name.txt");
    // Searched from elsewhere, so that only the search set can find them.
    std::filesystem::current_path(m_OldWorkingDirectory);

    qvFileLocator& locator = qvFCSingletons::getFileLocator();
    ASSERT_FALSE(finds("kept-file-with-a-long-name.txt"));
    const long nBaseline = qvFault::liveBlocks();
    locator.addFilePath(sstrKept + "/");

    const auto result =
        qvFault::sweepAllocations([&] { locator.addFilePath(sstrAdded + "/any-file-name"); },
                                  [&](bool bThrew) {
                                      EXPECT_TRUE(finds("kept-file-with-a-long-name.txt"));
                                      EXPECT_EQ(!bThrew, finds("added-file-with-a-long-name.txt"));
                                      locator.removeFilePath(sstrAdded + "/");
                                      EXPECT_FALSE(finds("added-file-with-a-long-name.txt"));
                                  });
    EXPECT_GT(result.nFailures, 0u);
    EXPECT_LT(result.nSteps, 2000u);

    locator.removeFilePath(sstrKept + "/");
    EXPECT_FALSE(finds("kept-file-with-a-long-name.txt"));
    EXPECT_EQ(nBaseline, qvFault::liveBlocks());
    std::filesystem::current_path(m_Root);
}

TEST_F(qvFaultFileLocatorTest, LocateFileUnderAllocationFailureFindsOrThrowsLeavingTheOutputAlone)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_ALLOCATION_FAULTS);
    const std::string sstrDirectory = root() + "/search-directory-with-a-long-name";
    makeFile(sstrDirectory + "/located-file-with-a-long-name.txt");
    std::filesystem::current_path(m_OldWorkingDirectory);
    qvFileLocator& locator = qvFCSingletons::getFileLocator();
    const std::string sstrUntouched = "untouched output string with a long text";
    const std::string sstrExpected =
        qvTest::toBackslashes(sstrDirectory) + "\\located-file-with-a-long-name.txt";
    std::string sstrFullPath(sstrUntouched);
    const long nBaseline = qvFault::liveBlocks();
    locator.addFilePath(sstrDirectory + "/");
    bool bFound = false;
    const auto result = qvFault::sweepAllocations(
        [&] { bFound = locator.locateFile("sub/located-file-with-a-long-name.txt", sstrFullPath); },
        [&](bool bThrew) {
            if (bThrew) {
                EXPECT_EQ(sstrUntouched, sstrFullPath);
                return;
            }
            EXPECT_TRUE(bFound);
            EXPECT_EQ(sstrExpected, sstrFullPath);
        });
    EXPECT_GT(result.nFailures, 0u);
    locator.removeFilePath(sstrDirectory + "/");
    // The found path took the place of the untouched text: one block either way.
    EXPECT_EQ(nBaseline, qvFault::liveBlocks());
    std::filesystem::current_path(m_Root);
}
