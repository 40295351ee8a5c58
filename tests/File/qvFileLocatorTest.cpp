#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "File/qvFileLocator.h"
#include "qvFileTestTree.h"

using qvTest::toBackslashes;

namespace {

std::vector<std::string> toVector(const qvSCList<std::string>& list)
{
    std::vector<std::string> vecValues;
    for (qvSCList<std::string>::Node* pNode = list.getHead(); pNode; pNode = pNode->getNext())
        vecValues.push_back(pNode->m_Value);
    return vecValues;
}

std::vector<std::string> sorted(std::vector<std::string> vecValues)
{
    std::sort(vecValues.begin(), vecValues.end());
    return vecValues;
}

std::vector<std::string> findSorted(const std::string& sstrPath, const std::string& sstrEnding,
                                    qvFileLocator::FileMask mask)
{
    qvSCList<std::string> list;
    qvFileLocator::findFilesInPath(sstrPath, sstrEnding, mask, list);
    return sorted(toVector(list));
}

// The locator is a process-wide singleton: every path a test registers is removed again.
class qvFileLocatorTest : public qvTest::TempTree
{
protected:
    void TearDown() override
    {
        for (const std::string& sstrPath : m_vecRegistered)
            locator().removeFilePath(sstrPath);
        TempTree::TearDown();
    }

    static qvFileLocator& locator() { return qvFCSingletons::getFileLocator(); }

    void addPath(const std::string& sstrPath)
    {
        locator().addFilePath(sstrPath);
        m_vecRegistered.push_back(sstrPath);
    }

    // locateFile's result, or "<miss>".
    static std::string locate(const std::string& sstrName)
    {
        std::string sstrFullPath = "<miss>";
        locator().locateFile(sstrName, sstrFullPath);
        return sstrFullPath;
    }

    std::vector<std::string> m_vecRegistered;
};

#if !defined(_WIN32)
// While it lives, a root process accesses files as the user nobody (effective user id), so
// that permissions apply to it; any other process stays as it is.
class AsNobody
{
public:
    AsNobody() : m_bRoot(::geteuid() == 0)
    {
        if (m_bRoot && ::seteuid(NOBODY) != 0)
            ADD_FAILURE() << "seteuid(nobody) failed";
    }
    ~AsNobody()
    {
        if (m_bRoot && ::seteuid(0) != 0)
            std::abort(); // every later test would run without privileges
    }
    AsNobody(const AsNobody&) = delete;
    AsNobody& operator=(const AsNobody&) = delete;

private:
    static constexpr uid_t NOBODY = 65534;
    const bool m_bRoot;
};
#endif

// --- the search set ------------------------------------------------------------------------

TEST_F(qvFileLocatorTest, DirectoryRegisteredThreeWaysIsOneEntry)
{
    makeFile("lib/target.dat");
    addPath("lib/");
    addPath("lib\\");
    addPath("lib/one.txt");
    EXPECT_EQ("lib\\target.dat", locate("target.dat"));
    locator().removeFilePath("lib\\other.txt");
    EXPECT_EQ("<miss>", locate("target.dat"));
}

TEST_F(qvFileLocatorTest, DirectoryWithoutTrailingSeparatorRegistersItsParent)
{
    makeFile("lib/target.dat");
    makeDirectory("lib/sub");
    addPath("lib/sub");
    EXPECT_EQ("lib\\target.dat", locate("target.dat"));
}

TEST_F(qvFileLocatorTest, PathWithoutSeparatorRegistersFileSystemRoot)
{
    makeFile("rootfile.txt");
    addPath("noSeparator");
    // Not found as written (relative to the working directory), found below the root.
    const std::string sstrName = rootBelowFileSystemRoot() + "/rootfile.txt";
    EXPECT_EQ("\\" + toBackslashes(rootBelowFileSystemRoot()) + "\\rootfile.txt", locate(sstrName));
    locator().removeFilePath("x");
    EXPECT_EQ("<miss>", locate(sstrName));
}

TEST_F(qvFileLocatorTest, SearchesPathsInStringOrderNotRegistrationOrder)
{
    makeFile("b_dir/f.txt");
    makeFile("a_dir/f.txt");
    addPath("b_dir/");
    addPath("a_dir/");
    EXPECT_EQ("a_dir\\f.txt", locate("f.txt"));
}

// --- locateFile ----------------------------------------------------------------------------

TEST_F(qvFileLocatorTest, RoundsTryWholeNameThenWithoutFirstDirectoryThenBareName)
{
    makeFile("whole/x/y/w.txt");
    makeFile("second/y/s.txt");
    makeFile("bare/b.txt");
    addPath("whole/");
    addPath("second/");
    addPath("bare/");
    EXPECT_EQ("whole\\x\\y\\w.txt", locate("x/y/w.txt"));
    EXPECT_EQ("second\\y\\s.txt", locate("x/y/s.txt"));
    EXPECT_EQ("bare\\b.txt", locate("x\\y/b.txt"));
    EXPECT_EQ("<miss>", locate("x/y/none.txt"));
}

TEST_F(qvFileLocatorTest, WholeNameInALaterPathWinsOverStrippedNameInAnEarlierOne)
{
    makeFile("a/f.txt");
    makeFile("b/x/f.txt");
    addPath("a/");
    addPath("b/");
    EXPECT_EQ("b\\x\\f.txt", locate("x/f.txt"));
}

TEST_F(qvFileLocatorTest, NameEndingInSeparatorIsNeverTriedEmpty)
{
    makeDirectory("p/dir");
    addPath("p/");
    EXPECT_EQ("p\\dir\\", locate("x/dir/"));
    // An empty remainder would name the search path itself.
    EXPECT_EQ("<miss>", locate("nothing/"));
}

TEST_F(qvFileLocatorTest, FoundNamesComeBackWithBackslashesOnly)
{
    makeFile("s/d1/d2/f.txt");
    addPath(root() + "/s/");
    const std::string sstrFound = locate("d1/d2/f.txt");
    EXPECT_EQ(rootBackslashed() + "\\s\\d1\\d2\\f.txt", sstrFound);
    EXPECT_EQ(std::string::npos, sstrFound.find('/'));
}

TEST_F(qvFileLocatorTest, ExistingRelativeNameIsJoinedToWorkingDirectory)
{
    makeFile("sub/file.txt");
    makeFile("ab");
    makeFile("d/f");
    makeFile("a.c");
    makeFile("abcd.c");
    EXPECT_EQ(rootBackslashed() + "\\sub\\file.txt", locate("sub/file.txt"));
    EXPECT_EQ(rootBackslashed() + "\\sub\\", locate("sub/"));
    // Found in use: names of three characters or fewer counted as absolute and came back as
    // written, "a.c" as "a.c" while "abcd.c" came back joined.
    EXPECT_EQ(rootBackslashed() + "\\a.c", locate("a.c"));
    EXPECT_EQ(rootBackslashed() + "\\abcd.c", locate("abcd.c"));
    EXPECT_EQ(rootBackslashed() + "\\ab", locate("ab"));
    EXPECT_EQ(rootBackslashed() + "\\d\\f", locate("d/f"));
}

TEST_F(qvFileLocatorTest, ExistingNameContainingWorkingDirectoryComesBackAsWritten)
{
    QV_SKIP_ON_WINDOWS("a relative name can't contain a Windows working directory, whose drive "
                       "colon is no file-name character");
    makeFile("f.txt");
    const std::string sstrName = "x" + root() + "/f.txt"; // contains it, and is relative
    makeFile(sstrName);
    EXPECT_EQ(toBackslashes(sstrName), locate(sstrName));
}

// A path that begins with a separator names the root of the file system, so it is absolute.
TEST_F(qvFileLocatorTest, ExistingAbsolutePathComesBackInBackslashForm)
{
    makeFile("abs/f.txt");
    std::filesystem::current_path("abs"); // the name no longer contains the working directory
    EXPECT_EQ(rootBackslashed() + "\\abs\\f.txt", locate(root() + "/abs/f.txt"));
    EXPECT_EQ(rootBackslashed() + "\\abs\\f.txt", locate(rootBackslashed() + "\\abs\\f.txt"));
}

// Found in review: the root already ends in a separator, and a second one made the result
// begin with two backslashes, which names a network path.
TEST_F(qvFileLocatorTest, WorkingDirectoryAtRootIsJoinedWithoutASecondSeparator)
{
    std::filesystem::current_path(fileSystemRoot());
    const std::string sstrName = rootBelowFileSystemRoot();
    // The root ("\" on Linux, "C:\" on Windows) ends in a separator already: the name follows.
    EXPECT_EQ(toBackslashes(fileSystemRoot().string()) + toBackslashes(sstrName), locate(sstrName));
}

TEST_F(qvFileLocatorTest, WorkingDirectoryDeeperThanPathMaxIsJoinedWhole)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_DEEP_WORKING_DIRECTORY);
    const std::string sstrLevel(200, 'd');
    const int nLevels = 25;
    for (int n = 0; n < nLevels; ++n) {
        std::filesystem::create_directory(sstrLevel);
        std::filesystem::current_path(sstrLevel);
    }
    makeFile("deep.txt");
    const std::string sstrFound = locate("deep.txt");
    std::filesystem::remove("deep.txt");
    for (int n = 0; n < nLevels; ++n) {
        std::filesystem::current_path("..");
        std::filesystem::remove(sstrLevel);
    }
    std::string sstrExpected = rootBackslashed();
    for (int n = 0; n < nLevels; ++n)
        sstrExpected += "\\" + sstrLevel;
    EXPECT_EQ(sstrExpected + "\\deep.txt", sstrFound);
}

// Without a readable working directory there is nothing to join a name to.
TEST_F(qvFileLocatorTest, RemovedWorkingDirectoryLeavesFoundNamesAsWritten)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_REMOVED_WORKING_DIRECTORY);
    makeFile("f.txt");
    makeDirectory("gone");
    std::filesystem::current_path("gone");
    std::filesystem::remove(m_Root / "gone");
    EXPECT_EQ(rootBackslashed() + "\\f.txt", locate(root() + "/f.txt"));
    EXPECT_EQ(".\\.\\.", locate("././.")); // "." still names the removed directory
}

TEST_F(qvFileLocatorTest, MissLeavesOutputUntouched)
{
    makeDirectory("p");
    addPath("p/");
    addPath("");
    EXPECT_EQ("<miss>", locate("missing.txt"));
    EXPECT_EQ("<miss>", locate(""));
    std::string sstrFullPath = "unchanged";
    EXPECT_FALSE(locator().locateFile("a/b/missing", sstrFullPath));
    EXPECT_EQ("unchanged", sstrFullPath);
}

TEST_F(qvFileLocatorTest, BadNamesAreMissesOrFoundNeverCrashes)
{
    makeDirectory("p");
    addPath("p/");
    addPath(std::string(5000, 'q') + "/");
    EXPECT_EQ("<miss>", locate(std::string(5000, 'a')));
    EXPECT_EQ("<miss>", locate(std::string(3000, 'a') + "/" + std::string(3000, 'b')));
    EXPECT_EQ("<miss>", locate(std::string(300, 'a') + "\\" + std::string(300, 'b'))); // > MAX_PATH
    // Drive letters, UNC prefixes, mixed separators and other bytes that name nothing here.
    for (const char* cstrName : {"C:\\no\\such\\file.txt", "c:/no/such/file.txt",
                                 "C:/no\\such/file.txt", "\\\\server\\share\\x", "//server/share/x",
                                 "\\\\server/share\\x", "n\xc3\xb6\\f\xff.txt"})
        EXPECT_EQ("<miss>", locate(cstrName)) << cstrName;
    // Separators only name the root, which exists; a path that begins with one comes back as
    // written.
    // On Windows "///" is a UNC prefix without a server, which names nothing: it is found as the
    // search path "p" followed by separators.
    EXPECT_EQ(qvTest::ON_WINDOWS ? "p\\\\\\\\" : "\\\\\\", locate("///"));
    EXPECT_EQ("\\", locate("\\"));
}

TEST_F(qvFileLocatorTest, VanishedSearchDirectoriesAreSkipped)
{
    makeFile("gone/f.txt");
    makeFile("kept/f.txt");
    addPath("gone/");
    addPath("kept/");
    std::filesystem::remove_all("gone");
    EXPECT_EQ("kept\\f.txt", locate("f.txt"));
    std::filesystem::remove_all("kept");
    EXPECT_EQ("<miss>", locate("f.txt"));
}

// Paths are UTF-8 on Windows (bytes on Linux): a name is found as given, and listed with the
// bytes it was made with, so that every name listed is found again. Found in review: the Windows
// layer used the ANSI calls, which listed "\xce\xb1\xce\xb2.txt" as "??.txt" and found no UTF-8
// name.
TEST_F(qvFileLocatorTest, NamesWithSpacesAndNonAsciiBytesAreFound)
{
    const std::string sstrDirectory = "my dir \xc3\xa4\xc3\xb6";
    std::vector<std::string> vecNames = {"f\xc3\xbc\xe2\x82\xac r.txt", "\xc3\xa9t\xc3\xa9.txt",
                                         "\xce\xb1\xce\xb2.txt",
                                         "\xe6\x97\xa5\xf0\x9f\x98\x80.txt"};
    if (!qvTest::ON_WINDOWS)
        vecNames.push_back("\xff\xfe bytes.txt"); // no UTF-8: a name only Linux can have
    addPath(sstrDirectory + "/");
    for (const std::string& sstrName : vecNames) {
        SCOPED_TRACE(sstrName);
        makeFile(sstrDirectory + "/" + sstrName);
        EXPECT_EQ(sstrDirectory + "\\" + sstrName, locate(sstrName));
        EXPECT_EQ(std::vector<std::string>{sstrDirectory + "\\" + sstrName},
                  findSorted(sstrDirectory + "/", sstrName, qvFileLocator::FILEMASK_FILES));
    }
}

// A Linux file name may hold a backslash, which the locator takes for a separator: such an entry
// is listed (its backslash then reads as one), but can't be found or listed again (the header
// and the README say so).
TEST_F(qvFileLocatorTest, NameWithABackslashIsListedButNotFoundAgainOnLinux)
{
    QV_SKIP_ON_WINDOWS("a Windows file name can't hold a backslash");
    makeFile("bs/a\\b.txt");
    addPath("bs/");
    EXPECT_EQ(std::vector<std::string>{"bs\\a\\b.txt"},
              findSorted("bs/", ".txt", qvFileLocator::FILEMASK_FILES));
    EXPECT_EQ("<miss>", locate("a\\b.txt"));
    EXPECT_EQ("<miss>", locate("bs\\a\\b.txt"));
    EXPECT_TRUE(findSorted("bs/a\\b.txt", "", qvFileLocator::FILEMASK_FILES).empty());
}

// Found by the file locator fuzzer: the OS reads a path only up to a NUL, so "a.txt\0.png" was
// found as "a.txt" and handed back with the NUL and the rest still in it, and a search path
// "q\0zzz" searched "q".
TEST_F(qvFileLocatorTest, NameOrSearchPathWithEmbeddedNulFindsNothing)
{
    makeFile("a.txt");
    makeFile("q/b.txt");
    EXPECT_EQ("<miss>", locate(std::string("a.txt\0.png", 10)));
    addPath(std::string("q\0zzz/", 6));
    EXPECT_EQ("<miss>", locate("b.txt"));
    addPath("q/");
    EXPECT_EQ("q\\b.txt", locate("b.txt"));
}

// --- getPath -------------------------------------------------------------------------------

// Found by the file locator fuzzer: a path with a NUL was looked up as the file before the NUL.
// It names nothing that can be read, so it comes back unchanged.
TEST_F(qvFileLocatorTest, GetPathWithEmbeddedNulIsThePathUnchanged)
{
    makeFile("p/a.txt");
    const std::string sstrPath("p/a.txt\0", 8);
    std::string sstrDirectory = "unchanged";
    qvFileLocator::getPath(sstrPath, sstrDirectory);
    EXPECT_EQ(sstrPath, sstrDirectory);
}

TEST_F(qvFileLocatorTest, GetPathOfDirectoryOrMissingPathIsThePathUnchanged)
{
    makeDirectory("data/maps");
    std::string sstrDirectory;
    qvFileLocator::getPath("data/maps", sstrDirectory);
    EXPECT_EQ("data/maps", sstrDirectory);
    qvFileLocator::getPath("no/such/file.txt", sstrDirectory);
    EXPECT_EQ("no/such/file.txt", sstrDirectory);
    qvFileLocator::getPath("", sstrDirectory);
    EXPECT_EQ("", sstrDirectory);
    qvFileLocator::getPath(std::string(5000, 'a'), sstrDirectory);
    EXPECT_EQ(std::string(5000, 'a'), sstrDirectory);
    for (const std::string& sstrMissing :
         {std::string("C:\\no\\such\\file.txt"), std::string("C:/no\\such/file.txt"),
          std::string("\\\\server\\share\\x"), std::string(300, 'a') + "\\f.txt",
          std::string("n\xc3\xb6\\f\xff.txt")}) {
        qvFileLocator::getPath(sstrMissing, sstrDirectory);
        EXPECT_EQ(sstrMissing, sstrDirectory);
    }
}

TEST_F(qvFileLocatorTest, GetPathOfFileIsItsDirectoryWithTrailingBackslash)
{
    makeFile("data/maps/level.map");
    makeFile("top.txt");
    std::string sstrDirectory = "unchanged";
    qvFileLocator::getPath("data/maps/level.map", sstrDirectory);
    EXPECT_EQ("data\\maps\\", sstrDirectory);
    qvFileLocator::getPath(root() + "/data\\maps/level.map", sstrDirectory);
    EXPECT_EQ(rootBackslashed() + "\\data\\maps\\", sstrDirectory);
    qvFileLocator::getPath("top.txt", sstrDirectory);
    EXPECT_EQ("", sstrDirectory);
}

// The directory part ends where the file name begins, even when the directory's name contains
// the file name ("data/a": a file "a" in "data"). Found in review: a name with '?' or '*' was
// looked up as a pattern, which other entries match too, and the path came back whole unless
// the file itself was listed first; "*" and "?" in one directory can't both be listed first
// among the entries they match.
TEST_F(qvFileLocatorTest, GetPathCutsAtTheFileNameNotAtAnEarlierOccurrence)
{
    std::vector<std::pair<const char*, const char*>> cases = {
        {"data/a", "data\\"}, {"level/level", "level\\"}, {"a/b/a", "a\\b\\"}};
    if (!qvTest::ON_WINDOWS) // no file name holds '?' or '*' there
        cases.insert(cases.end(), {{"wild/?", "wild\\"}, {"wild/*", "wild\\"}});
    for (const auto& [cstrPath, cstrDirectory] : cases)
        makeFile(cstrPath);
    for (const auto& [cstrPath, cstrDirectory] : cases) {
        std::string sstrDirectory = "unchanged";
        qvFileLocator::getPath(cstrPath, sstrDirectory);
        EXPECT_EQ(cstrDirectory, sstrDirectory) << cstrPath;
    }
}

// Found in review: a file whose directory can be entered but not listed left the output
// untouched, though its directory part is known from the path. Root reads every directory, so
// a root test process looks at it with the effective user id of nobody.
TEST_F(qvFileLocatorTest, GetPathOfFileInUnlistableDirectoryIsItsDirectory)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Linux only: a directory that can be entered but not listed needs POSIX "
                    "permissions and a second user";
#else
    using std::filesystem::perms;
    makeFile("locked/inside.txt");
    std::filesystem::permissions(".", perms::others_exec, std::filesystem::perm_options::add);
    std::filesystem::permissions("locked",
                                 perms::owner_exec | perms::group_exec | perms::others_exec);
    std::string sstrDirectory = "unchanged";
    bool bReachable = false;
    bool bListable = true;
    {
        const AsNobody asNobody;
        qvFileLocator::getPath("locked/inside.txt", sstrDirectory);
        bReachable = std::filesystem::exists("locked/inside.txt");
        std::error_code error;
        std::filesystem::directory_iterator listing("locked", error);
        bListable = !error;
    }
    std::filesystem::permissions("locked", perms::owner_all);
    ASSERT_TRUE(bReachable && !bListable) << "no directory that can be entered but not listed";
    EXPECT_EQ("locked\\", sstrDirectory);
#endif
}

TEST_F(qvFileLocatorTest, GetPathOfDanglingLinkIsItsDirectory)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_SYMBOLIC_LINKS);
    makeDirectory("links");
    std::filesystem::create_symlink("nowhere", "links/dangling");
    std::string sstrDirectory;
    qvFileLocator::getPath("links/dangling", sstrDirectory);
    EXPECT_EQ("links\\", sstrDirectory);
}

// --- getRelativePath (pure string work) ---------------------------------------------------

TEST(qvFileLocatorPathTest, RelativePathToFileBaseDropsTheBaseDirectory)
{
    std::string sstrPath = "data/maps/tex/a.png";
    qvFileLocator::getRelativePath("data/maps/level.map", sstrPath);
    EXPECT_EQ("tex/a.png", sstrPath);

    sstrPath = "pack,tex.png";
    qvFileLocator::getRelativePath("pack,level.map", sstrPath); // the comma separates here
    EXPECT_EQ("tex.png", sstrPath);
}

TEST(qvFileLocatorPathTest, RelativePathToDirectoryBaseKeepsTheFollowingSeparator)
{
    std::string sstrPath = "data/maps/tex/a.png";
    qvFileLocator::getRelativePath("data/maps", sstrPath);
    EXPECT_EQ("/tex/a.png", sstrPath);

    sstrPath = "data/maps/tex/a.png";
    qvFileLocator::getRelativePath("data/maps/", sstrPath);
    EXPECT_EQ("tex/a.png", sstrPath);
}

TEST(qvFileLocatorPathTest, RelativePathToBaseNotFoundIsUnchanged)
{
    std::string sstrPath = "data/maps/tex/a.png";
    qvFileLocator::getRelativePath("other/level.map", sstrPath);
    EXPECT_EQ("data/maps/tex/a.png", sstrPath);
    qvFileLocator::getRelativePath("", sstrPath);
    EXPECT_EQ("data/maps/tex/a.png", sstrPath);
    sstrPath.clear();
    qvFileLocator::getRelativePath("data/", sstrPath);
    EXPECT_EQ("", sstrPath);
}

TEST(qvFileLocatorPathTest, RelativePathMatchesEitherSeparatorAndKeepsThePathsOwn)
{
    std::string sstrPath = "C:\\game\\data\\maps\\tex\\a.png";
    qvFileLocator::getRelativePath("C:/game/data/maps/level.map", sstrPath);
    EXPECT_EQ("tex\\a.png", sstrPath);
    sstrPath = "\\\\server\\share\\maps/tex\\a.png";
    qvFileLocator::getRelativePath("//server/share\\maps/level.map", sstrPath);
    EXPECT_EQ("tex\\a.png", sstrPath);
}

// The base is cut off where it occurs, not as many characters from the front.
TEST(qvFileLocatorPathTest, RelativePathToBaseInsideThePathDropsUpToTheBase)
{
    std::string sstrPath = "\\home\\user\\game\\data\\tex\\a.png";
    qvFileLocator::getRelativePath("data/level.map", sstrPath);
    EXPECT_EQ("tex\\a.png", sstrPath);
}

// --- findFilesInPath -----------------------------------------------------------------------

class qvFindFilesTest : public qvTest::TempTree
{
protected:
    void SetUp() override
    {
        TempTree::SetUp();
        makeFile("list/a.txt");
        makeFile("list/b.txt");
        makeFile("list/c.dat");
        makeFile("list/.txt"); // the ending and nothing before it
        makeFile("list/tx");   // shorter than the ending
        makeDirectory("list/sub.dat");
        makeDirectory("list/other");
        makeFile("list/other/deep.txt");
    }
};

TEST_F(qvFindFilesTest, EndingSelectsFilesAndDirectoryBitAddsEveryDirectory)
{
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"list\\.txt", "list\\a.txt", "list\\b.txt"}),
              findSorted("list/", ".txt", qvFileLocator::FILEMASK_FILES));
    EXPECT_EQ((V{"list\\.txt", "list\\a.txt", "list\\b.txt", "list\\other", "list\\sub.dat"}),
              findSorted("list\\", ".txt", qvFileLocator::FILEMASK_DIRECTORIES));
}

TEST_F(qvFindFilesTest, EmptyEndingListsEveryFile)
{
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"list\\.txt", "list\\a.txt", "list\\b.txt", "list\\c.dat", "list\\tx"}),
              findSorted("list/", "", qvFileLocator::FILEMASK_FILES));
}

TEST_F(qvFindFilesTest, ResultsFollowWhatTheListHolds)
{
    qvSCList<std::string> list;
    list.pushBack("first");
    list.pushBack("second");
    qvFileLocator::findFilesInPath("list/", ".dat", qvFileLocator::FILEMASK_DIRECTORIES, list);
    qvFileLocator::findFilesInPath("list/", ".dat", qvFileLocator::FILEMASK_FILES, list);
    const std::vector<std::string> vecValues = toVector(list);
    ASSERT_EQ(6u, list.getSize());
    ASSERT_EQ(6u, vecValues.size());
    EXPECT_EQ("first", vecValues[0]);
    EXPECT_EQ("second", vecValues[1]);
    EXPECT_EQ((std::vector<std::string>{"list\\c.dat", "list\\other", "list\\sub.dat"}),
              sorted({vecValues[2], vecValues[3], vecValues[4]}));
    EXPECT_EQ("list\\c.dat", vecValues[5]);
}

TEST_F(qvFindFilesTest, ResultsKeepTheFileSystemOrder)
{
    for (int n = 0; n < 200; ++n)
        makeFile("many/f" + std::to_string(n));
    std::vector<std::string> vecExpected;
    for (const auto& entry : std::filesystem::directory_iterator("many"))
        vecExpected.push_back("many\\" + entry.path().filename().string());
    qvSCList<std::string> list;
    qvFileLocator::findFilesInPath("many/", "", qvFileLocator::FILEMASK_FILES, list);
    EXPECT_EQ(vecExpected, toVector(list));
}

// A pattern names its entries by its directory part and the entry name, so they exist and
// are told apart correctly.
TEST_F(qvFindFilesTest, PatternWithoutTrailingSeparatorNamesEntriesInItsDirectory)
{
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"list\\.txt", "list\\a.txt", "list\\b.txt"}),
              findSorted("list/*.txt", "", qvFileLocator::FILEMASK_FILES));
    EXPECT_EQ((V{"list\\c.dat", "list\\sub.dat"}),
              findSorted("list\\*.dat", "", qvFileLocator::FILEMASK_DIRECTORIES));
    EXPECT_EQ((V{"list\\c.dat"}), findSorted("list/*.dat", "", qvFileLocator::FILEMASK_FILES));
    EXPECT_EQ((V{"list\\a.txt"}), findSorted("list/a.txt", "", qvFileLocator::FILEMASK_FILES));
    std::filesystem::current_path("list");
    EXPECT_EQ((V{"c.dat"}), findSorted("*.dat", "", qvFileLocator::FILEMASK_FILES));
}

TEST_F(qvFindFilesTest, UnsearchablePathsAddNothing)
{
    qvSCList<std::string> list;
    list.pushBack("kept");
    const std::string vecPaths[] = {"",
                                    "missing/",
                                    "list/a.txt/",
                                    "list/a.txt\\*",
                                    "list/none*",
                                    "//missing/",
                                    "\\\\server\\share\\",
                                    "C:\\no\\such\\",
                                    "c:/no\\such/*.txt",
                                    std::string(300, 'a') + "\\",
                                    std::string(5000, 'a') + "/"};
    for (const std::string& sstrPath : vecPaths)
        qvFileLocator::findFilesInPath(sstrPath, "", qvFileLocator::FILEMASK_DIRECTORIES, list);
    EXPECT_EQ(std::vector<std::string>{"kept"}, toVector(list));
}

// Found by the file locator fuzzer: "list\0junk/" listed "list" under names that held the NUL.
TEST_F(qvFindFilesTest, PathWithEmbeddedNulAddsNothing)
{
    qvSCList<std::string> list;
    qvFileLocator::findFilesInPath(std::string("list\0junk/", 10), "",
                                   qvFileLocator::FILEMASK_DIRECTORIES, list);
    qvFileLocator::findFilesInPath(std::string("list/a.txt\0", 11), "",
                                   qvFileLocator::FILEMASK_DIRECTORIES, list);
    qvFileLocator::findFilesInPath(std::string("list/*\0.txt", 11), "",
                                   qvFileLocator::FILEMASK_DIRECTORIES, list);
    EXPECT_TRUE(list.isEmpty());
}

TEST_F(qvFindFilesTest, SeparatorsOnlyListTheRoot)
{
    std::vector<std::string> vecExpected;
    for (const auto& entry : std::filesystem::directory_iterator(fileSystemRoot()))
        if (!entry.is_directory())
            vecExpected.push_back("\\" + entry.path().filename().string());
    EXPECT_EQ(sorted(vecExpected), findSorted("/", "", qvFileLocator::FILEMASK_FILES));
}

TEST_F(qvFindFilesTest, DanglingLinkIsListedAsFile)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_SYMBOLIC_LINKS);
    std::filesystem::create_symlink("nowhere", "list/broken.txt");
    std::filesystem::create_directory_symlink("other", "list/linkdir");
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"list\\.txt", "list\\a.txt", "list\\b.txt", "list\\broken.txt"}),
              findSorted("list/", ".txt", qvFileLocator::FILEMASK_FILES));
    EXPECT_EQ((V{"list\\.txt", "list\\a.txt", "list\\b.txt", "list\\broken.txt", "list\\linkdir",
                 "list\\other", "list\\sub.dat"}),
              findSorted("list/", ".txt", qvFileLocator::FILEMASK_DIRECTORIES));
}

// Tests run as root here, where permissions do not stop a listing; std::filesystem is the
// oracle either way: what it can't read, we list nothing of.
TEST_F(qvFindFilesTest, UnreadableDirectoryListsWhatTheSystemAllows)
{
    makeFile("locked/inside.txt");
    std::filesystem::permissions("locked", std::filesystem::perms::none);
    std::vector<std::string> vecExpected;
    std::error_code error;
    for (std::filesystem::directory_iterator it("locked", error), end; !error && it != end;
         it.increment(error))
        vecExpected.push_back("locked\\" + it->path().filename().string());
    if (error)
        vecExpected.clear();
    const std::vector<std::string> vecFound =
        findSorted("locked/", "", qvFileLocator::FILEMASK_FILES);
    std::filesystem::permissions("locked", std::filesystem::perms::owner_all);
    EXPECT_EQ(sorted(vecExpected), vecFound);
}

TEST_F(qvFindFilesTest, NamesWithSpacesAndNonAsciiBytesAreListed)
{
    // Windows: UTF-8 only (a path that is not valid UTF-8 names nothing there).
    const std::string sstrName =
        qvTest::ON_WINDOWS ? "s p\xc3\xa4\xce\xb1.txt" : "s p\xc3\xa4\xff.txt";
    makeFile("odd dir/" + sstrName);
    EXPECT_EQ(std::vector<std::string>{"odd dir\\" + sstrName},
              findSorted("odd dir/", ".txt", qvFileLocator::FILEMASK_FILES));
}

// --- isRelative and convertSeparators ------------------------------------------------------

TEST(qvFileLocatorPathTest, IsRelativeTable)
{
    struct Case
    {
        const char* pPath;
        bool bRelative;
    };
    const Case cases[] = {
        {"", false},        {"a", true},        {"abc", true},         {"C:\\", false},
        {"C:/x", false},    {"C:\\x", false},   {"c:/dir/f", false},   {"/abc", false},
        {"\\abc", false},   {"/", false},       {"//server/x", false}, {"abcd", true},
        {"dir/file", true}, {"C:x/file", true}, {"./abc", true},       {"..\\x\\y", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.bRelative, qvFileLocator::isRelative(c.pPath)) << '"' << c.pPath << '"';
    // Found in use: every path of three characters or fewer counted as absolute, so "a.c" came
    // back from locateFile as written. Only roots are absolute, however short.
    const Case shortPaths[] = {
        {"C:", false}, {"c:/", false},  {"C:\\", false}, {"\\", false}, {"\\\\", false},
        {"/a", false}, {"\\ab", false}, {"ab", true},    {"a.c", true}, {".", true},
        {"..", true},  {"./a", true},   {"d/f", true},   {"C:x", true}, {"a:b", true},
    };
    for (const Case& c : shortPaths)
        EXPECT_EQ(c.bRelative, qvFileLocator::isRelative(c.pPath)) << '"' << c.pPath << '"';
    // Drive letters, UNC prefixes, mixed separators and other bytes: the same answers on every
    // platform.
    const Case otherForms[] = {
        {"C:\\dir\\file", false},
        {"C:/dir\\file", false},
        {"\\\\server\\share\\x", false},
        {"\\\\server/share\\x", false},
        {"\\\\?\\C:\\x", false},
        {"C:dir\\file", true},
        {"dir\\sub/file", true},
        {"\xc3\xa4\xc3\xb6\\x", true},
        {"\xff:\\x", false},
    };
    for (const Case& c : otherForms)
        EXPECT_EQ(c.bRelative, qvFileLocator::isRelative(c.pPath)) << '"' << c.pPath << '"';
    // Longer than MAX_PATH.
    EXPECT_TRUE(qvFileLocator::isRelative(std::string(300, 'a') + "\\f"));
    EXPECT_FALSE(qvFileLocator::isRelative("C:\\" + std::string(300, 'a')));
}

TEST(qvFileLocatorPathTest, ConvertSeparatorsTable)
{
    struct Case
    {
        const char* pIn;
        qvFileLocator::SeparatorType type;
        const char* pOut;
    };
    const Case cases[] = {
        {"a/b\\c/", qvFileLocator::SEPARATOR_BACKSLASH, "a\\b\\c\\"},
        {"a/b\\c/", qvFileLocator::SEPARATOR_SLASH, "a/b/c/"},
        {"\\\\", qvFileLocator::SEPARATOR_BACKSLASH, "\\\\"},
        {"//", qvFileLocator::SEPARATOR_SLASH, "//"},
        {"", qvFileLocator::SEPARATOR_SLASH, ""},
        {"name", qvFileLocator::SEPARATOR_BACKSLASH, "name"},
        {"a/b", static_cast<qvFileLocator::SeparatorType>(0), "a/b"},
        {"C:/dir\\f", qvFileLocator::SEPARATOR_BACKSLASH, "C:\\dir\\f"},
        {"\\\\server\\share/x", qvFileLocator::SEPARATOR_SLASH, "//server/share/x"},
        {"\xc3\xa4/\xff", qvFileLocator::SEPARATOR_BACKSLASH, "\xc3\xa4\\\xff"},
    };
    for (const Case& c : cases) {
        std::string sstrPath = c.pIn;
        qvFileLocator::convertSeparators(sstrPath, c.type);
        EXPECT_EQ(c.pOut, sstrPath) << '"' << c.pIn << "\" " << c.type;
    }
    EXPECT_EQ('/', qvFileLocator::SEPARATOR_SLASH);
    EXPECT_EQ('\\', qvFileLocator::SEPARATOR_BACKSLASH);
}

// --- the singleton -------------------------------------------------------------------------

TEST(qvFileLocatorSingletonTest, EveryCallReturnsTheSameLocator)
{
    qvFileLocator& first = qvFCSingletons::getFileLocator();
    EXPECT_EQ(&first, &qvFCSingletons::getFileLocator());
}

// An exit handler registered before the locator's first use runs after its destruction.
void useLocatorAfterItsDestruction()
{
    try {
        qvFCSingletons::getFileLocator();
    } catch (const std::logic_error&) {
        std::_Exit(3);
    }
    std::_Exit(4);
}

TEST(qvFileLocatorSingletonDeathTest, UseAfterDestructionAtExitThrowsLogicError)
{
    QV_SKIP_ON_WINDOWS("the library's DLL destroys its statics when it is unloaded, after every "
                       "exit handler of the program, so no handler can find the locator gone");
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process: no locator yet
    EXPECT_EXIT(
        {
            std::atexit(useLocatorAfterItsDestruction);
            qvFCSingletons::getFileLocator().addFilePath("dir/");
            std::exit(0);
        },
        ::testing::ExitedWithCode(3), "");
}

} // namespace
