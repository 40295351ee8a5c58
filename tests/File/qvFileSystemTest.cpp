// Contract of the platform's file-system layer under the file locator.

#include <filesystem>
#include <set>
#include <string>

#include "Platform/FileSystem.h"
#include "qvFileTestTree.h"

using qvPlatform::DirectorySearch;
using qvPlatform::FileSystem;

namespace {

class qvFileSystemTest : public qvTest::TempTree
{
protected:
    static std::set<std::string> search(const std::string& sstrPattern)
    {
        std::set<std::string> setNames;
        DirectorySearch search;
        for (bool bFound = search.findFirst(sstrPattern); bFound; bFound = search.findNext())
            setNames.insert(search.getName());
        return setNames;
    }
};

TEST_F(qvFileSystemTest, ExistsAcceptsEitherSeparator)
{
    makeFile("a/b/c.txt");
    EXPECT_TRUE(FileSystem::exists("a/b/c.txt"));
    EXPECT_TRUE(FileSystem::exists("a\\b\\c.txt"));
    EXPECT_TRUE(FileSystem::exists("a\\b"));
    EXPECT_FALSE(FileSystem::exists("a\\b\\d.txt"));
    EXPECT_FALSE(FileSystem::exists(""));
    EXPECT_FALSE(FileSystem::exists(std::string(5000, 'a')));
}

TEST_F(qvFileSystemTest, CurrentDirectoryComesBackInBackslashForm)
{
    std::string sstrDirectory;
    ASSERT_TRUE(FileSystem::getCurrentDirectory(sstrDirectory));
    EXPECT_EQ(rootBackslashed(), sstrDirectory);
}

TEST_F(qvFileSystemTest, CurrentDirectoryDeeperThanPathMaxIsRead)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_DEEP_WORKING_DIRECTORY);
    const std::string sstrLevel(200, 'd');
    const int nLevels = 25; // 25 * 201 characters: well beyond PATH_MAX (4096)
    for (int n = 0; n < nLevels; ++n) {
        std::filesystem::create_directory(sstrLevel);
        std::filesystem::current_path(sstrLevel);
    }
    std::string sstrDirectory;
    const bool bRead = FileSystem::getCurrentDirectory(sstrDirectory);
    for (int n = 0; n < nLevels; ++n) {
        std::filesystem::current_path("..");
        std::filesystem::remove(sstrLevel);
    }
    ASSERT_TRUE(bRead);
    EXPECT_GT(sstrDirectory.size(), 5000u);
    EXPECT_EQ(0u, sstrDirectory.find(rootBackslashed() + "\\" + sstrLevel + "\\"));
    EXPECT_EQ(std::string::npos, sstrDirectory.find('/'));
}

TEST_F(qvFileSystemTest, RemovedWorkingDirectoryCantBeRead)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_REMOVED_WORKING_DIRECTORY);
    makeDirectory("gone");
    std::filesystem::current_path("gone");
    std::filesystem::remove(m_Root / "gone");
    std::string sstrDirectory = "unchanged";
    EXPECT_FALSE(FileSystem::getCurrentDirectory(sstrDirectory));
    EXPECT_EQ("unchanged", sstrDirectory);
}

TEST_F(qvFileSystemTest, IsDirectoryCountsUnreadablePathsAsDirectories)
{
    makeFile("dir/file.txt");
    EXPECT_TRUE(FileSystem::isDirectory("dir"));
    EXPECT_FALSE(FileSystem::isDirectory("dir\\file.txt"));
    EXPECT_TRUE(FileSystem::isDirectory("missing"));
    EXPECT_TRUE(FileSystem::isDirectory(""));
    EXPECT_TRUE(FileSystem::isDirectory(std::string(5000, 'a')));
    EXPECT_TRUE(FileSystem::isDirectory("dir/file.txt/")); // not searchable
}

// The OS would read these paths only up to the NUL and find "dir" or "dir/file.txt".
TEST_F(qvFileSystemTest, PathWithEmbeddedNulNamesNothing)
{
    makeFile("dir/file.txt");
    EXPECT_FALSE(FileSystem::exists(std::string("dir/file.txt\0.png", 17)));
    EXPECT_FALSE(FileSystem::exists(std::string("dir\0", 4)));
    EXPECT_TRUE(FileSystem::isDirectory(std::string("dir/file.txt\0", 13))); // can't be read
    EXPECT_TRUE(search(std::string("dir\0x/*", 7)).empty());
    EXPECT_TRUE(search(std::string("dir/file.txt\0", 13)).empty());
}

TEST_F(qvFileSystemTest, SymbolicLinkToDirectoryIsADirectory)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_SYMBOLIC_LINKS);
    makeFile("dir/file.txt");
    std::filesystem::create_directory_symlink("dir", "linkToDir");
    EXPECT_TRUE(FileSystem::isDirectory("linkToDir"));
}

TEST_F(qvFileSystemTest, DanglingSymbolicLinkIsNoDirectory)
{
    QV_SKIP_ON_WINDOWS(qvTest::WHY_NO_SYMBOLIC_LINKS);
    std::filesystem::create_symlink("nowhere", "dangling");
    EXPECT_FALSE(FileSystem::exists("dangling"));
    EXPECT_FALSE(FileSystem::isDirectory("dangling"));
}

TEST_F(qvFileSystemTest, StarListsEveryEntryWithDotAndDotDot)
{
    makeFile("d/a.txt");
    makeFile("d/.hidden");
    makeDirectory("d/sub");
    const std::set<std::string> expected{".", "..", "a.txt", ".hidden", "sub"};
    EXPECT_EQ(expected, search("d/*"));
    EXPECT_EQ(expected, search("d\\*"));
}

TEST_F(qvFileSystemTest, OnlyStarAndQuestionMarkAreWildcards)
{
    makeFile("d/a1.txt");
    makeFile("d/a22.txt");
    makeFile("d/b[1].txt");
    makeFile("d/b1.txt");
    EXPECT_EQ((std::set<std::string>{"a1.txt"}), search("d/a?.txt"));
    EXPECT_EQ((std::set<std::string>{"a1.txt", "a22.txt"}), search("d/a*.txt"));
    EXPECT_EQ((std::set<std::string>{"b[1].txt"}), search("d/b[1].txt"));
    EXPECT_EQ((std::set<std::string>{"b[1].txt"}), search("d/b[*"));
    EXPECT_EQ((std::set<std::string>{"b1.txt"}), search("d/b1.txt"));
}

TEST_F(qvFileSystemTest, PatternWithoutDirectoryPartSearchesWorkingDirectory)
{
    makeFile("top.txt");
    EXPECT_EQ((std::set<std::string>{"top.txt"}), search("*.txt"));
    EXPECT_EQ(0u, DirectorySearch::getDirectoryPartLength("*.txt"));
    EXPECT_EQ(4u, DirectorySearch::getDirectoryPartLength("a\\b/*.txt"));
}

TEST_F(qvFileSystemTest, FailedSearchesFindNothing)
{
    makeFile("file.txt");
    EXPECT_TRUE(search("missing/*").empty());
    EXPECT_TRUE(search("file.txt/*").empty());
    EXPECT_TRUE(search("").empty());
    EXPECT_TRUE(search("d/").empty());
    EXPECT_TRUE(search("nothing*").empty());
    EXPECT_TRUE(search(std::string(5000, 'a') + "/*").empty());
    DirectorySearch unopened;
    EXPECT_FALSE(unopened.findNext());
}

TEST_F(qvFileSystemTest, EntryTypesAreReported)
{
    makeFile("d/file");
    makeDirectory("d/sub");
    DirectorySearch search;
    ASSERT_TRUE(search.findFirst("d/file"));
    EXPECT_NE(DirectorySearch::ENTRY_DIRECTORY, search.getType());
    ASSERT_TRUE(search.findFirst("d/sub"));
    EXPECT_NE(DirectorySearch::ENTRY_FILE, search.getType());
    EXPECT_FALSE(search.findNext());
}

} // namespace
