#ifndef QV_FILELOCATOR_H
#define QV_FILELOCATOR_H

/// \file

#include <set>
#include <string>

#include <loki/Singleton.h>

#include "Container/qvSCList.h"
#include "qvExport.h"

/// qvFileLocator finds a file by name along a set of search paths that the host registers, and
/// offers static helpers for path handling: the directory of a path, a path relative to a base,
/// the entries of a directory, relative or absolute, and separator conversion.
///
/// Paths are narrow std::string. Slash and backslash both separate, in every input. The full
/// paths that locateFile and findFilesInPath hand back, and the directory getPath returns for a
/// file, always use the backslash. Paths are UTF-8 on Windows (every name listed is one that
/// can be found again; a path that is not valid UTF-8 names nothing there) and bytes on Linux,
/// handed to the OS as given but for the backslashes, which become slashes. So on Linux a name
/// that holds a backslash (a file name may) is listed by findFilesInPath but can't be found or
/// listed again: its backslash is taken for a separator. A path that begins with a separator
/// names the root of the file system and is absolute. A path that holds a NUL character names
/// nothing: it is never found, getPath hands it back unchanged and findFilesInPath lists nothing
/// for it.
///
/// Ownership: there is one locator per process, created by the first qvFCSingletons::
///   getFileLocator() call with an empty search set and destroyed at process exit (or when the
///   library is unloaded). The search set lives as long as the locator; nothing saves it.
/// Threads: the locator takes no lock. The first getFileLocator() call and every change to the
///   search set must not run on two threads at once, nor a search during a change. The static
///   helpers keep no state and may run on any thread.
/// Failures: nothing is thrown (but std::bad_alloc). A miss shows in the result: locateFile
///   returns false, getPath and locateFile leave their output untouched, findFilesInPath adds
///   nothing. Errors of the file system are not reported further.
class QV_EXPORT qvFileLocator
{
public:
    /// The values are the separators' character codes.
    enum SeparatorType
    {
        SEPARATOR_SLASH = 47,
        SEPARATOR_BACKSLASH = 92
    };

    /// What findFilesInPath lists: files always, sub-directories with FILEMASK_DIRECTORIES (the
    /// directory attribute bit, 16).
    enum FileMask
    {
        FILEMASK_FILES = 0,
        FILEMASK_DIRECTORIES = 16
    };

    /// Registers the directory of a path: the path up to its last separator, that separator
    /// excluded (the first character is never taken as the separator). So "data/" and
    /// "data/file.txt" both register "data", "data/sub" registers "data", and a path without a
    /// separator after its first character registers "" (the file system root). Registering a
    /// path twice keeps one entry.
    void addFilePath(const std::string& sstrFilePath);
    /// Removes the entry that addFilePath would have made of this path, if there is one.
    void removeFilePath(const std::string& sstrFilePath);

    /// Finds sstrFile. A name that exists as written (file or directory) is returned at once:
    /// as written when it is absolute or contains the working directory, else as the working
    /// directory, a backslash and the name (no second backslash after a working directory that
    /// ends in one, the root). Otherwise it is tried in every search path in
    /// ascending string order, first whole, then without its first directory, and so on down to
    /// the bare file name; the first hit wins. The result goes to sstrFullPath in backslash form
    /// and the call returns true; on a miss it returns false and sstrFullPath is untouched.
    bool locateFile(const std::string& sstrFile, std::string& sstrFullPath);

    /// The directory of a path. An existing directory, or a path that can't be read (for
    /// instance one that does not exist), comes back unchanged. For an existing file the result
    /// is the path up to and including its last separator, in backslash form ("" for a bare file
    /// name), whatever characters the file name holds ('?' and '*' too) and whether or not the
    /// file's directory can be listed.
    static void getPath(const std::string& sstrPath, std::string& sstrDirectory);

    /// Makes sstrPath relative to sstrBase. A base that ends in a file name with an extension
    /// stands for its directory (up to and including the separator before the name; a comma
    /// counts as a separator here). Where that base occurs in sstrPath (either separator
    /// matching either), everything up to the end of its first occurrence is removed; otherwise
    /// sstrPath is unchanged. No separator conversion.
    static void getRelativePath(const std::string& sstrBase, std::string& sstrPath);

    /// Appends to list the entries of a directory ("data/", listed entirely) or of a search
    /// pattern ("data/*.txt", wildcards '*' and '?' in the last component), in the order of the
    /// file system. Each is the directory part followed by the entry name, in backslash form.
    /// Files are taken when sstrEnding is empty or their name ends with it (case-sensitive);
    /// sub-directories are taken, whatever their name, only with FILEMASK_DIRECTORIES, and
    /// never "." or "..". An entry whose attributes can't be read counts as a directory. The
    /// list is not cleared first; an empty path or an unreadable directory adds nothing.
    static void findFilesInPath(const std::string& sstrPath, const std::string& sstrEnding,
                                FileMask mask, qvSCList<std::string>& list);

    /// false for what names a root or starts from one: a path that begins with a slash or a
    /// backslash (a lone separator, `/dir`, a network path `\\server\share`), and a drive letter
    /// with its colon, alone (`C:`) or followed by a separator (`C:/dir`, `C:\dir`); false for
    /// the empty path, which names nothing. true for every other path, however short: `a.c`,
    /// `.`, `dir/f` and `C:dir` are relative.
    static bool isRelative(const std::string& sstrPath);

    /// Turns every separator of the other kind into the one named by type. Any other type
    /// value leaves the path unchanged.
    static void convertSeparators(std::string& sstrPath, SeparatorType type);

private:
    friend struct Loki::CreateUsingNew<qvFileLocator>;

    qvFileLocator();
    ~qvFileLocator();
    qvFileLocator(const qvFileLocator&) = delete;
    qvFileLocator& operator=(const qvFileLocator&) = delete;

    std::set<std::string> m_setFilePaths; ///< searched in this (ascending) order
};

namespace qvFCSingletons {

/// The one file locator, held by Loki::SingletonHolder with its default policies: created with
/// new on the first call, destroyed at process exit. A call after that destruction throws
/// std::logic_error ("Dead Reference Detected"). Not safe against a concurrent first call.
QV_EXPORT qvFileLocator& getFileLocator();

} // namespace qvFCSingletons

#endif
