#include "Platform/FileSystem.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace qvPlatform {

namespace {

std::string nativePath(const std::string& sstrPath)
{
    std::string sstrNative(sstrPath);
    FileSystem::toNativeSeparators(sstrNative);
    return sstrNative;
}

} // namespace

void FileSystem::toNativeSeparators(std::string& sstrPath)
{
    std::replace(sstrPath.begin(), sstrPath.end(), '\\', '/');
}

bool FileSystem::exists(const std::string& sstrPath)
{
    // An empty path names nothing (access("") fails the same way, without the call).
    if (sstrPath.empty() || FileSystem::hasNul(sstrPath))
        return false;
    return ::access(nativePath(sstrPath).c_str(), F_OK) == 0;
}

// getcwd wants a buffer that is large enough; the buffer grows until it is, so a working
// directory deeper than PATH_MAX is read as well (glibc walks up itself when the kernel can't
// report such a path).
bool FileSystem::getCurrentDirectory(std::string& sstrDirectory)
{
    std::vector<char> buffer(256);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return false;
        buffer.resize(buffer.size() * 2);
    }
    std::string sstrResult(buffer.data());
    std::replace(sstrResult.begin(), sstrResult.end(), '/', '\\');
    sstrDirectory.swap(sstrResult);
    return true;
}

bool FileSystem::isDirectory(const std::string& sstrPath)
{
    if (sstrPath.empty() || FileSystem::hasNul(sstrPath))
        return true; // nothing to read: counts as a directory
    const std::string sstrNative = nativePath(sstrPath);
    struct stat info;
    if (::stat(sstrNative.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    // The target can't be read. If the entry itself can (a dangling or looping symbolic link),
    // it exists and is no directory.
    if (::lstat(sstrNative.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    return true;
}

// ---------------------------------------------------------------------------------------------

DirectorySearch::DirectorySearch()
    : m_pDirectory(nullptr), m_pEntry(nullptr), m_bMatchAll(false), m_bLiteral(false)
{
}

DirectorySearch::~DirectorySearch()
{
    close();
}

void DirectorySearch::close()
{
    if (m_pDirectory)
        ::closedir(m_pDirectory);
    m_pDirectory = nullptr;
    m_pEntry = nullptr;
}

std::size_t DirectorySearch::getDirectoryPartLength(const std::string& sstrPattern)
{
    const std::size_t nLast = sstrPattern.find_last_of("/\\");
    return nLast == std::string::npos ? 0 : nLast + 1;
}

bool DirectorySearch::findFirst(const std::string& sstrPattern)
{
    std::size_t nDirectoryLength = 0;
    std::string sstrComponent;
    if (!beginSearch(sstrPattern, nDirectoryLength, sstrComponent))
        return false;
    m_sstrMatch.clear();
    if (m_bMatchAll || m_bLiteral) {
        m_sstrMatch = sstrComponent;
    } else {
        // Only '*' and '?' are wildcards here; a '[' stands for itself, as in file names.
        for (char c : sstrComponent) {
            if (c == '[' || c == ']')
                m_sstrMatch += '\\';
            m_sstrMatch += c;
        }
    }

    // No directory part: the working directory.
    std::string sstrDirectory(nDirectoryLength == 0 ? std::string(".")
                                                    : sstrPattern.substr(0, nDirectoryLength));
    FileSystem::toNativeSeparators(sstrDirectory);
    m_pDirectory = ::opendir(sstrDirectory.c_str());
    if (!m_pDirectory)
        return false;
    return advance();
}

bool DirectorySearch::findNext()
{
    if (!m_pDirectory)
        return false;
    return advance();
}

bool DirectorySearch::advance()
{
    // readdir reports both the end and a failure as null; either ends the search.
    while ((m_pEntry = ::readdir(m_pDirectory)) != nullptr) {
        if (matches(m_pEntry->d_name))
            return true;
    }
    close();
    return false;
}

bool DirectorySearch::matches(const char* pName) const
{
    if (m_bMatchAll)
        return true;
    if (m_bLiteral)
        return m_sstrMatch == pName;
    return ::fnmatch(m_sstrMatch.c_str(), pName, 0) == 0;
}

DirectorySearch::EntryType DirectorySearch::getType() const
{
#ifdef _DIRENT_HAVE_D_TYPE
    switch (m_pEntry->d_type) {
    case DT_DIR:
        return ENTRY_DIRECTORY;
    case DT_LNK:
    case DT_UNKNOWN:
        return ENTRY_UNKNOWN;
    default:
        return ENTRY_FILE;
    }
#else
    return ENTRY_UNKNOWN;
#endif
}

} // namespace qvPlatform
