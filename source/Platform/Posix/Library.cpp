#include "Platform/Library.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Platform/Common/ScopedHandle.h"

namespace qvPlatform {

namespace {

// The ELF class of this process: only such files can be loaded into it.
using ElfHeader = ElfW(Ehdr);
using ElfProgramHeader = ElfW(Phdr);
#if __SIZEOF_POINTER__ == 8
constexpr unsigned char NATIVE_ELF_CLASS = ELFCLASS64;
#else
constexpr unsigned char NATIVE_ELF_CLASS = ELFCLASS32;
#endif

// Reads exactly nSize bytes at nOffset; false on a short read or an error.
bool readAt(int nFile, void* pBuffer, std::size_t nSize, std::uint64_t nOffset)
{
    auto* pBytes = static_cast<char*>(pBuffer);
    while (nSize > 0) {
        const ssize_t nRead = ::pread(nFile, pBytes, nSize, static_cast<off_t>(nOffset));
        if (nRead <= 0)
            return false;
        pBytes += nRead;
        nSize -= static_cast<std::size_t>(nRead);
        nOffset += static_cast<std::uint64_t>(nRead);
    }
    return true;
}

// True when [nOffset, nOffset + nSize) lies inside a file of nFileSize bytes.
bool fitsInFile(std::uint64_t nOffset, std::uint64_t nSize, std::uint64_t nFileSize)
{
    return nOffset <= nFileSize && nSize <= nFileSize - nOffset;
}

struct FileDescriptorTraits
{
    typedef int Handle;
    static bool isValid(int nFile) { return nFile >= 0; }
    static void close(int nFile) { ::close(nFile); }
};
typedef ScopedHandle<FileDescriptorTraits> FileDescriptor;

} // namespace

bool Library::isLoadableFile(const std::string& sstrPath)
{
    // Look before opening: opening a device node can act on the device (a serial port, a
    // watchdog), opening a FIFO can block. The path is opened only when it names a regular file
    // at this look; a file put in its place after it, before this open or before dlopen() opens
    // the path again, is not guarded against (see Library.h).
    struct stat pathStatus;
    if (::stat(sstrPath.c_str(), &pathStatus) != 0 || !S_ISREG(pathStatus.st_mode))
        return false;
    // O_NONBLOCK: should the path have been replaced by a FIFO since the look, this open does
    // not wait for a writer. It does not affect regular files. The file read must be the one
    // looked at.
    const FileDescriptor file(::open(sstrPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        return false;
    struct stat fileStatus;
    if (::fstat(file.get(), &fileStatus) != 0 || !S_ISREG(fileStatus.st_mode) ||
        fileStatus.st_dev != pathStatus.st_dev || fileStatus.st_ino != pathStatus.st_ino)
        return false;
    const auto nFileSize = static_cast<std::uint64_t>(fileStatus.st_size);

    ElfHeader header;
    if (!readAt(file.get(), &header, sizeof(header), 0))
        return false;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != NATIVE_ELF_CLASS)
        return false;
    if (header.e_phentsize != sizeof(ElfProgramHeader) || header.e_phnum == 0 ||
        header.e_phnum == PN_XNUM)
        return false;
    const std::uint64_t nTableSize = std::uint64_t(header.e_phnum) * sizeof(ElfProgramHeader);
    if (!fitsInFile(header.e_phoff, nTableSize, nFileSize))
        return false;

    std::vector<ElfProgramHeader> segments(header.e_phnum);
    if (!readAt(file.get(), segments.data(), nTableSize, header.e_phoff))
        return false;
    // Every byte that the loader maps or reads from the file must be in the file.
    return std::all_of(segments.begin(), segments.end(),
                       [nFileSize](const ElfProgramHeader& segment) {
                           return fitsInFile(segment.p_offset, segment.p_filesz, nFileSize);
                       });
}

void* Library::open(const std::string& sstrFileName)
{
    if (sstrFileName.empty() || sstrFileName.find('\0') != std::string::npos)
        return nullptr;
    std::string sstrPath(sstrFileName);
    std::replace(sstrPath.begin(), sstrPath.end(), '\\', '/');
    if (sstrPath.find('/') != std::string::npos && !isLoadableFile(sstrPath))
        return nullptr;
    return ::dlopen(sstrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* Library::findSymbol(void* hLibrary, const char* cstrName)
{
    if (hLibrary == nullptr || cstrName == nullptr)
        return nullptr;
    ::dlerror();
    void* pSymbol = ::dlsym(hLibrary, cstrName);
    if (pSymbol == nullptr)
        return nullptr;
    // dlsym() searches the library's dependencies too: accept only a symbol of the library itself.
    struct link_map* pLibraryMap = nullptr;
    if (::dlinfo(hLibrary, RTLD_DI_LINKMAP, &pLibraryMap) != 0 || pLibraryMap == nullptr)
        return nullptr;
    Dl_info symbolInfo;
    struct link_map* pSymbolMap = nullptr;
    if (::dladdr1(pSymbol, &symbolInfo, reinterpret_cast<void**>(&pSymbolMap), RTLD_DL_LINKMAP) ==
        0)
        return nullptr;
    return pSymbolMap == pLibraryMap ? pSymbol : nullptr;
}

void Library::close(void* hLibrary)
{
    if (hLibrary != nullptr)
        ::dlclose(hLibrary);
}

} // namespace qvPlatform
