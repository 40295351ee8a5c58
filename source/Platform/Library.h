#ifndef QV_PLATFORM_LIBRARY_H
#define QV_PLATFORM_LIBRARY_H

// Loading, looking into and releasing dynamic libraries: what the plug-in handler needs of the
// Win32 pair LoadLibraryA / GetProcAddress / FreeLibrary, no more.
//
// - open() takes a file name in either separator style (backslashes become slashes) and loads
//   the library with every symbol bound at once and none of them made visible to other
//   libraries (dlopen with RTLD_NOW | RTLD_LOCAL). A name without a slash is searched along the
//   loader's own library path, as the Win32 loader searches its own. Opening a library that is
//   already loaded hands back the same handle and counts one more reference, as on Win32.
// - findSymbol() finds an exported symbol by its exact name in that library only. dlsym() also
//   searches the libraries the given one depends on; GetProcAddress does not, so a symbol that
//   resolves into another library counts as missing.
// - close() drops one reference; the library is unloaded when the last one goes.
//
// What POSIX does differently, and how it is evened out:
// - dlopen("") hands back the main program instead of failing: an empty name is refused.
//   A name with an embedded zero character would load a different file than the one named:
//   refused too.
// - The loader maps a shared object's segments straight from the file and faults (SIGBUS) when
//   a segment lies past the end of a truncated file. Before a file path (a name with a slash)
//   is handed to the loader, the file is checked: a regular file, then a well-formed ELF header
//   of this machine's class, and every segment inside the file. The check looks at the path
//   (stat) and opens it only when it names a regular file then, since opening a device node
//   may act on the device and opening a FIFO would block. The loader then opens the path again
//   by name: a file put in the path's place after the look (another library, a FIFO, a device
//   node) is not guarded against. Whoever can replace files in a directory that plug-ins are
//   loaded from can make the host run any code anyway. Names searched along the library path
//   are left to the loader.
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
