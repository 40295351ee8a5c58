#include "Platform/FileSystem.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "Platform/Win32/Utf8.h"

namespace qvPlatform {

// The entry as the OS gives it, and its name in UTF-8.
struct Win32FindData : WIN32_FIND_DATAW
{
    std::string m_sstrName;
};

const char* entryName(NativeDirectoryEntry pEntry)
{
    return pEntry->m_sstrName.c_str();
}

namespace {

// The path with the platform's separators, in UTF-16 for the wide calls; false when it is not
// valid UTF-8 (it then names nothing).
bool nativePath(const std::string& sstrPath, std::wstring& wsstrNative)
{
    std::string sstrNative(sstrPath);
    FileSystem::toNativeSeparators(sstrNative);
    return utf8ToWide(sstrNative, wsstrNative);
}

char toLowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// '*' any run of characters (also none), '?' exactly one, everything else itself, ASCII letters
// without regard to case, as the file system compares names. Iterative, with one point to go
// back to (the last '*'): linear in practice, never recursive however many stars a pattern has.
bool matchesPattern(const char* pPattern, const char* pName)
{
    const char* pStar = nullptr;
    const char* pResume = nullptr;
    while (*pName) {
        if (*pPattern == '*') {
            pStar = pPattern++;
            pResume = pName;
        } else if (*pPattern &&
                   (*pPattern == '?' || toLowerAscii(*pPattern) == toLowerAscii(*pName))) {
            ++pPattern;
            ++pName;
        } else if (pStar) {
            pPattern = pStar + 1;
            pName = ++pResume;
        } else {
            return false;
        }
    }
    while (*pPattern == '*')
        ++pPattern;
    return *pPattern == '\0';
}

} // namespace

void FileSystem::toNativeSeparators(std::string& sstrPath)
{
    std::replace(sstrPath.begin(), sstrPath.end(), '/', '\\');
}

bool FileSystem::exists(const std::string& sstrPath)
{
    std::wstring wsstrPath;
    if (sstrPath.empty() || FileSystem::hasNul(sstrPath) || !nativePath(sstrPath, wsstrPath))
        return false;
    return ::_waccess(wsstrPath.c_str(), 0) == 0;
}

// GetCurrentDirectoryW tells the size it needs when the buffer is too small; the directory may
// change (and grow) between two calls, hence the loop.
bool FileSystem::getCurrentDirectory(std::string& sstrDirectory)
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD nLength =
            ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (nLength == 0)
            return false;
        if (nLength < buffer.size())
            break;
        if (nLength > 0x100000)
            return false;
        buffer.resize(nLength + 1);
    }
    std::string sstrResult;
    if (!wideToUtf8(buffer.data(), sstrResult))
        return false;
    std::replace(sstrResult.begin(), sstrResult.end(), '/', '\\');
    sstrDirectory.swap(sstrResult);
    return true;
}

bool FileSystem::isDirectory(const std::string& sstrPath)
{
    std::wstring wsstrPath;
    if (sstrPath.empty() || FileSystem::hasNul(sstrPath) || !nativePath(sstrPath, wsstrPath))
        return true; // nothing to read: counts as a directory
    const DWORD nAttributes = ::GetFileAttributesW(wsstrPath.c_str());
    if (nAttributes == INVALID_FILE_ATTRIBUTES)
        return true;
    return (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// ---------------------------------------------------------------------------------------------

DirectorySearch::DirectorySearch()
    : m_pDirectory(INVALID_HANDLE_VALUE), m_pEntry(nullptr), m_bMatchAll(false), m_bLiteral(false)
{
}

DirectorySearch::~DirectorySearch()
{
    close();
    delete m_pEntry;
}

void DirectorySearch::close()
{
    if (m_pDirectory != INVALID_HANDLE_VALUE)
        ::FindClose(m_pDirectory);
    m_pDirectory = INVALID_HANDLE_VALUE;
}

std::size_t DirectorySearch::getDirectoryPartLength(const std::string& sstrPattern)
{
    const std::size_t nLast = sstrPattern.find_last_of("/\\");
    if (nLast != std::string::npos)
        return nLast + 1;
    // "C:name": the working directory of drive C.
    const bool bDrive = sstrPattern.size() >= 2 && sstrPattern[1] == ':' &&
                        ((sstrPattern[0] >= 'A' && sstrPattern[0] <= 'Z') ||
                         (sstrPattern[0] >= 'a' && sstrPattern[0] <= 'z'));
    return bDrive ? 2 : 0;
}

bool DirectorySearch::findFirst(const std::string& sstrPattern)
{
    std::size_t nDirectoryLength = 0;
    std::string sstrComponent;
    if (!beginSearch(sstrPattern, nDirectoryLength, sstrComponent))
        return false;
    m_sstrMatch = sstrComponent;

    // Every entry of the directory, matched here: the OS's own matching is looser (8.3 names,
    // "*.*" matching names without a dot, '<' and '>' as wildcards).
    std::wstring wsstrSearch;
    if (!nativePath(sstrPattern.substr(0, nDirectoryLength) + '*', wsstrSearch))
        return false; // not UTF-8: names no directory
    if (!m_pEntry)
        m_pEntry = new Win32FindData();
    m_pDirectory = ::FindFirstFileW(wsstrSearch.c_str(), m_pEntry);
    if (m_pDirectory == INVALID_HANDLE_VALUE)
        return false;
    if (takeEntry())
        return true;
    return advance();
}

bool DirectorySearch::findNext()
{
    if (m_pDirectory == INVALID_HANDLE_VALUE)
        return false;
    return advance();
}

bool DirectorySearch::advance()
{
    // FindNextFileW reports both the end and a failure as FALSE; either ends the search.
    while (::FindNextFileW(m_pDirectory, m_pEntry)) {
        if (takeEntry())
            return true;
    }
    close();
    return false;
}

// A name that is no valid UTF-16 (an unpaired surrogate, which NTFS allows) has no UTF-8 form
// that would name it again: it is skipped, so that every name listed can be found.
bool DirectorySearch::takeEntry()
{
    return wideToUtf8(m_pEntry->cFileName, m_pEntry->m_sstrName) &&
           matches(m_pEntry->m_sstrName.c_str());
}

bool DirectorySearch::matches(const char* pName) const
{
    if (m_bMatchAll)
        return true;
    if (m_bLiteral) {
        return m_sstrMatch.size() == std::char_traits<char>::length(pName) &&
               std::equal(m_sstrMatch.begin(), m_sstrMatch.end(), pName,
                          [](char a, char b) { return toLowerAscii(a) == toLowerAscii(b); });
    }
    return matchesPattern(m_sstrMatch.c_str(), pName);
}

DirectorySearch::EntryType DirectorySearch::getType() const
{
    const DWORD nAttributes = m_pEntry->dwFileAttributes;
    if (nAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return ENTRY_DIRECTORY;
    if (nAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return ENTRY_UNKNOWN;
    return ENTRY_FILE;
}

} // namespace qvPlatform
