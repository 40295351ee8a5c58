#ifndef QV_PLATFORM_LIBRARY_H
#define QV_PLATFORM_LIBRARY_H

// Loading, looking into and releasing dynamic libraries: what the plug-in handler needs of the
// Win32 trio LoadLibrary / GetProcAddress / FreeLibrary, no more.
//
// - open() takes a file name in either separator style (UTF-8 on Windows, bytes on Linux) and
//   loads the library with every symbol bound at once. A name without a separator is searched
//   along the loader's own search path. A name with one names exactly one file, the one it names
//   from the working directory (or the absolute path): the file checked is the file loaded, also
//   when it has no extension or another file of the same relative name lies beside the program.
//   Opening a library that is already loaded hands back the same handle and counts one more
//   reference. An empty name, and a name with an embedded zero character (which would load a
//   different file than the one named), are refused.
// - findSymbol() finds an exported symbol by its exact name in that library only; a symbol that
//   resolves into another library counts as missing.
// - close() drops one reference; the library is unloaded when the last one goes. Whatever of
//   the library is still in use then (an exception it threw, a value it made) is the caller's
//   to have ended first.
// - Before a file path (a name with a separator) is handed to the loader, the file is checked:
//   a regular file (a FIFO or a device would block or never end), a well-formed header for this
//   process (its machine and word size), and every part the loader maps inside the file, so that
//   a truncated library is refused instead of faulting later. The check looks at the path first
//   and opens it only when it names a regular file then (opening a device may act on it). The
//   loader then opens the path again by name: a file put in its place after the look (another
//   library, a FIFO, a device) is not guarded against; whoever can replace files in a directory
//   that plug-ins are loaded from can make the host run any code anyway. Names searched along
//   the search path are left to the loader.
//
// Linux: backslashes become slashes; dlopen with RTLD_NOW | RTLD_LOCAL (none of the library's
// symbols made visible to other libraries); dlopen("") would hand back the main program, hence
// the refusal; the check reads the ELF header and program headers (segments); dlsym() also
// searches the libraries the given one depends on, so its result is checked to lie in this one.
// Windows: slashes become backslashes; a path is made absolute (GetFullPathNameW), checked, and
// that absolute path, with a trailing '.' when its file name has no extension (else the loader
// would append ".dll"), is loaded with LoadLibraryExW and LOAD_WITH_ALTERED_SEARCH_PATH: the
// module's dependencies are searched in its own folder first; should one still be missing, the
// load is tried once more with the standard search order, which starts at the program's folder.
// A name without a separator goes to LoadLibraryW as it is. The system's error dialogs are turned
// off for the call (a broken file is reported, never shown in a message box); the check reads the
// PE headers and section table; GetProcAddress searches the module's own exports only. The
// handle is the module's HMODULE.
//
// Threads: the OS loader is thread-safe; so are these functions.

#include <string>

namespace qvPlatform {

class Library
{
public:
    // Loads the library; null when it cannot be loaded (any reason).
    static void* open(const std::string& sstrFileName);
    // The address of the symbol exported under exactly that name by this library itself;
    // null when it exports none.
    static void* findSymbol(void* hLibrary, const char* cstrName);
    // Drops one reference taken by open(). A null handle is ignored.
    static void close(void* hLibrary);

private:
    static bool isLoadableFile(const std::string& sstrPath);
};

} // namespace qvPlatform

#endif
