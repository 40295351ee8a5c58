#ifndef QV_PLATFORM_FILESYSTEM_H
#define QV_PLATFORM_FILESYSTEM_H

// The file-system queries the file locator needs: does a path exist, the working directory, is
// a path a directory, and the entries of a directory that match a pattern.
//
// Encoding: paths are UTF-8 on Windows; on Linux they are bytes, handed to the OS as given.
//
// Paths: every path argument may use slashes or backslashes; both always separate, and
// toNativeSeparators() turns them into the platform's own before the OS sees a path (slashes on
// Linux, backslashes on Windows), so neither ever names a character inside a file name. A path
// that holds a NUL character names nothing (the OS would read it only up to the NUL): it does
// not exist, its attributes can't be read, and a pattern holding one finds nothing. The working
// directory comes back in the locator's backslash form. Entry names are handed on exactly as the
// directory holds them.
//
// Patterns: only the last component of a pattern may hold wildcards, '*' (any run of characters,
// also none and also a leading '.') and '?' (one character); every other character, '['
// included, matches itself. Matching follows the file system: case-sensitive on Linux,
// case-insensitive (ASCII letters) on Windows. "*" lists every entry, "." and ".." included
// where the directory has them (a Windows drive root has none).
//
// Attributes: only "is a directory" is known. A path whose attributes can't be read at all
// (missing, too long, not searchable) counts as a directory.
//
// Linux: access(F_OK), getcwd, stat/lstat, opendir/readdir with fnmatch. A symbolic link counts
// as what it points to; a dangling link is a file (its own entry can be read, and it is no
// directory).
// Windows: _waccess, GetCurrentDirectoryW, GetFileAttributesW, FindFirstFileW/FindNextFileW over
// every entry of the directory, matched here (the OS's own matching also takes 8.3 short names,
// so "*.htm" would find "page.html"). Names are UTF-8, converted to and from UTF-16 for the
// wide calls: a path that is not valid UTF-8 names nothing, and an entry whose name is not valid
// UTF-16 (an unpaired surrogate) is not listed, so that every name listed is one that exists()
// finds. A path longer than
// the OS accepts (MAX_PATH) names nothing that can be read. A drive prefix ("C:") without a
// separator is the directory part of a pattern ("C:*.txt" searches drive C's working
// directory). A symbolic link or junction counts as what its own entry says (a link to a
// directory is a directory).
//
// Threads: every function may run on any thread; a DirectorySearch belongs to one thread.
// Failures: nothing is thrown; a failed OS call shows as false, an empty search or "directory".

#include <cstddef>
#include <string>

#include "PlatformTypes.h"

namespace qvPlatform {

class FileSystem
{
public:
    // Whether the path names anything (file or directory) that can be reached.
    static bool exists(const std::string& sstrPath);

    // The working directory in backslash form, of any length. false (and sstrDirectory
    // untouched) when it can't be read, for instance because it was removed.
    static bool getCurrentDirectory(std::string& sstrDirectory);

    // Whether the path is a directory, following symbolic links. A path whose attributes can't
    // be read counts as a directory; a dangling symbolic link does not.
    static bool isDirectory(const std::string& sstrPath);

    // Turns every separator into the platform's own: backslashes into slashes on Linux,
    // slashes into backslashes on Windows.
    static void toNativeSeparators(std::string& sstrPath);

    // Whether the path holds a NUL character. The OS takes a path up to its first NUL, so
    // "a.txt\0.png" would name "a.txt": such a path names nothing here.
    static bool hasNul(const std::string& sstrPath);
};

// One enumeration of the entries of a directory that match the last component of a pattern:
// "data\\*.txt", "data/*", "file.txt". The directory is the pattern up to its last separator
// (the current directory when there is none). Entries come in the order the file system gives.
//
//     DirectorySearch search;
//     for (bool bFound = search.findFirst(sstrPattern); bFound; bFound = search.findNext())
//         use(search.getName(), search.getType());
//
// Ownership: the search owns its open directory and closes it in close(), in the next
// findFirst() and in its destructor.
class DirectorySearch
{
public:
    // ENTRY_UNKNOWN: the directory entry does not say (a symbolic link, or a file system
    // without entry types); ask FileSystem::isDirectory of the full name.
    enum EntryType
    {
        ENTRY_FILE,
        ENTRY_DIRECTORY,
        ENTRY_UNKNOWN
    };

    DirectorySearch();
    ~DirectorySearch();
    DirectorySearch(const DirectorySearch&) = delete;
    DirectorySearch& operator=(const DirectorySearch&) = delete;

    // Opens the pattern's directory and moves to its first matching entry. false when the
    // directory can't be opened or nothing matches (the search is then closed).
    bool findFirst(const std::string& sstrPattern);
    // Moves to the next matching entry; false at the end (the search is then closed).
    bool findNext();
    void close();

    // The current entry, valid after a findFirst()/findNext() that returned true, until the
    // next call.
    const char* getName() const { return entryName(m_pEntry); }
    EntryType getType() const;

    // Where the directory part of a pattern ends: the index just past its last separator, 0
    // when it has none. "a\\b/*.txt" -> 4. On Windows a drive prefix counts as a directory part
    // of its own: "C:*.txt" -> 2.
    static std::size_t getDirectoryPartLength(const std::string& sstrPattern);

private:
    // The start of findFirst() on both platforms: closes the search, splits the pattern into its
    // directory part (nDirectoryLength characters) and its last component (sstrComponent), and
    // sets m_bMatchAll and m_bLiteral from that component. false when the pattern names nothing
    // (it holds a NUL, or its last component is empty).
    bool beginSearch(const std::string& sstrPattern, std::size_t& nDirectoryLength,
                     std::string& sstrComponent);
    bool matches(const char* pName) const;
    bool advance();
    bool takeEntry(); // Windows: converts the current entry's name, then matches it

    NativeDirectory m_pDirectory;
    NativeDirectoryEntry m_pEntry;
    std::string m_sstrMatch; // the last component, as the platform's matcher wants it
    bool m_bMatchAll;        // the last component is "*"
    bool m_bLiteral;         // the last component has no wildcard
};

} // namespace qvPlatform

#endif
