#ifndef QV_FILE_TEST_TREE_H
#define QV_FILE_TEST_TREE_H

// A fixture that gives each test its own directory tree under the system's temporary
// directory, makes it the working directory, and restores the old one and removes the tree
// afterwards. Files and directories are made with std::filesystem, the oracle the tests trust;
// names are the library's narrow strings, given the meaning the library gives their bytes
// (qvTest::nativePath).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "qvTestPlatform.h"

namespace qvTest {

// Why a file test runs on Linux only.
inline constexpr const char* WHY_NO_DEEP_WORKING_DIRECTORY =
    "a Windows working directory can't be longer than MAX_PATH";
inline constexpr const char* WHY_NO_REMOVED_WORKING_DIRECTORY =
    "Windows refuses to remove a directory that is a process's working directory";

inline std::string toBackslashes(std::string sstrPath)
{
    std::replace(sstrPath.begin(), sstrPath.end(), '/', '\\');
    return sstrPath;
}

class TempTree : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_OldWorkingDirectory = std::filesystem::current_path();
        std::random_device random;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int nTry = 0; nTry < 100; ++nTry) {
            const std::filesystem::path candidate =
                base / ("qvFileTest." + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) {
                m_Root = std::filesystem::canonical(candidate);
                break;
            }
        }
        ASSERT_FALSE(m_Root.empty()) << "no temporary directory could be made";
        std::filesystem::current_path(m_Root);
    }

    void TearDown() override
    {
        std::filesystem::current_path(m_OldWorkingDirectory);
        if (!m_Root.empty()) {
            std::error_code error;
            std::filesystem::remove_all(m_Root, error);
        }
    }

    // Makes a file (and its parent directories) relative to the working directory.
    static void makeFile(const std::string& sstrPath, const std::string& sstrText = "x")
    {
        const std::filesystem::path path = nativePath(sstrPath);
        if (path.has_parent_path())
            std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << sstrText;
        ASSERT_TRUE(std::filesystem::is_regular_file(path)) << sstrPath;
    }

    static void makeDirectory(const std::string& sstrPath)
    {
        std::filesystem::create_directories(nativePath(sstrPath));
        ASSERT_TRUE(std::filesystem::is_directory(nativePath(sstrPath))) << sstrPath;
    }

    // The tree's root as an absolute path in the platform's form, and in backslash form.
    std::string root() const { return m_Root.string(); }
    std::string rootBackslashed() const { return toBackslashes(m_Root.string()); }
    // The root of the file system that holds the tree ("/" on Linux, "C:\" on Windows), and the
    // tree's root relative to it ("tmp/qvFileTest.1", "users\me\Temp\qvFileTest.1").
    std::filesystem::path fileSystemRoot() const { return m_Root.root_path(); }
    std::string rootBelowFileSystemRoot() const { return m_Root.relative_path().string(); }

    std::filesystem::path m_OldWorkingDirectory;
    std::filesystem::path m_Root;
};

} // namespace qvTest

#endif
