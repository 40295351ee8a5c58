#include "Platform/Library.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "Platform/Common/ScopedHandle.h"
#include "Platform/Futex.h"
#include "Platform/Win32/Utf8.h"

namespace qvPlatform {

namespace {

// The image this process can load: its machine and optional-header kind.
#if defined(__x86_64__)
constexpr WORD NATIVE_MACHINE = IMAGE_FILE_MACHINE_AMD64;
constexpr WORD NATIVE_OPTIONAL_MAGIC = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
typedef IMAGE_NT_HEADERS64 NativeNtHeaders;
#else
constexpr WORD NATIVE_MACHINE = IMAGE_FILE_MACHINE_I386;
constexpr WORD NATIVE_OPTIONAL_MAGIC = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
typedef IMAGE_NT_HEADERS32 NativeNtHeaders;
#endif

struct FileHandleTraits
{
    typedef HANDLE Handle;
    static bool isValid(HANDLE hFile) { return hFile != INVALID_HANDLE_VALUE; }
    static void close(HANDLE hFile) { ::CloseHandle(hFile); }
};
typedef ScopedHandle<FileHandleTraits> FileHandle;

// Reads exactly nSize bytes at nOffset; false on a short read or an error.
bool readAt(HANDLE hFile, void* pBuffer, DWORD nSize, std::uint64_t nOffset)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(nOffset);
    if (!::SetFilePointerEx(hFile, position, nullptr, FILE_BEGIN))
        return false;
    auto* pBytes = static_cast<char*>(pBuffer);
    while (nSize > 0) {
        DWORD nRead = 0;
        if (!::ReadFile(hFile, pBytes, nSize, &nRead, nullptr) || nRead == 0)
            return false;
        pBytes += nRead;
        nSize -= nRead;
    }
    return true;
}

// True when [nOffset, nOffset + nSize) lies inside a file of nFileSize bytes.
bool fitsInFile(std::uint64_t nOffset, std::uint64_t nSize, std::uint64_t nFileSize)
{
    return nOffset <= nFileSize && nSize <= nFileSize - nOffset;
}

bool hasSeparator(const std::string& sstrName)
{
    return sstrName.find_first_of("/\\") != std::string::npos;
}

// The absolute form of a path, against the working directory of this moment (GetFullPathNameW
// also resolves "." and ".." and a drive's own working directory); false when there is none.
bool toFullPath(const std::wstring& wsstrPath, std::wstring& wsstrFullPath)
{
    std::wstring wsstrResult(MAX_PATH, L'\0');
    for (;;) {
        const DWORD nLength = ::GetFullPathNameW(
            wsstrPath.c_str(), static_cast<DWORD>(wsstrResult.size()), wsstrResult.data(), nullptr);
        if (nLength == 0)
            return false;
        if (nLength < wsstrResult.size()) {
            wsstrResult.resize(nLength);
            break;
        }
        wsstrResult.resize(nLength); // too small: nLength counts the terminating zero
    }
    wsstrFullPath.swap(wsstrResult);
    return true;
}

// The loader appends ".dll" to a file name without an extension, path or not, unless the name
// ends in '.', which it then drops: a trailing '.' makes it load exactly the file named. Under the
// "\\?\" prefix a path is taken literally, that '.' too (it would name another file, which does
// not exist): such a path loses its prefix first ("\\?\UNC\server\..." becomes
// "\\server\..."). The path is already absolute and whole, so it names the same file without it.
void keepExtensionAsIs(std::wstring& wsstrFullPath)
{
    const std::size_t nNameStart = wsstrFullPath.find_last_of(L'\\');
    const std::size_t nFrom = nNameStart == std::wstring::npos ? 0 : nNameStart + 1;
    if (wsstrFullPath.find(L'.', nFrom) != std::wstring::npos)
        return;
    constexpr wchar_t LITERAL[] = L"\\\\?\\";
    constexpr wchar_t LITERAL_UNC[] = L"\\\\?\\UNC\\";
    constexpr std::size_t LITERAL_LENGTH = std::size(LITERAL) - 1;
    constexpr std::size_t LITERAL_UNC_LENGTH = std::size(LITERAL_UNC) - 1;
    if (wsstrFullPath.compare(0, LITERAL_UNC_LENGTH, LITERAL_UNC) == 0)
        wsstrFullPath.replace(0, LITERAL_UNC_LENGTH, L"\\\\");
    else if (wsstrFullPath.compare(0, LITERAL_LENGTH, LITERAL) == 0)
        wsstrFullPath.erase(0, LITERAL_LENGTH);
    wsstrFullPath += L'.';
}

// Turns the system's error dialogs off for the calling thread while it lives, so that a file
// that is no library (or lacks a DLL it imports) is reported to the caller and never shown in a
// message box that waits for a user.
class QuietErrors
{
public:
    QuietErrors()
        : m_bChanged(::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX,
                                          &m_nPrevious) != FALSE)
    {
    }
    ~QuietErrors()
    {
        if (m_bChanged)
            ::SetThreadErrorMode(m_nPrevious, nullptr);
    }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    DWORD m_nPrevious = 0;
    bool m_bChanged;
};

} // namespace

namespace {

bool isLoadableImage(const std::wstring& wsstrPath)
{
    const FileHandle file(::CreateFileW(wsstrPath.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A directory can't be opened this way (that needs FILE_FLAG_BACKUP_SEMANTICS); a pipe or a
    // device can, and is no file on a disk.
    if (file.get() == INVALID_HANDLE_VALUE || ::GetFileType(file.get()) != FILE_TYPE_DISK)
        return false;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0)
        return false;
    const auto nFileSize = static_cast<std::uint64_t>(size.QuadPart);

    IMAGE_DOS_HEADER dosHeader;
    if (!readAt(file.get(), &dosHeader, sizeof(dosHeader), 0) ||
        dosHeader.e_magic != IMAGE_DOS_SIGNATURE || dosHeader.e_lfanew < 0)
        return false;
    const auto nNtOffset = static_cast<std::uint64_t>(dosHeader.e_lfanew);
    NativeNtHeaders ntHeaders;
    if (!fitsInFile(nNtOffset, sizeof(ntHeaders), nFileSize) ||
        !readAt(file.get(), &ntHeaders, sizeof(ntHeaders), nNtOffset))
        return false;
    if (ntHeaders.Signature != IMAGE_NT_SIGNATURE ||
        ntHeaders.FileHeader.Machine != NATIVE_MACHINE ||
        ntHeaders.FileHeader.SizeOfOptionalHeader < sizeof(ntHeaders.OptionalHeader) ||
        ntHeaders.OptionalHeader.Magic != NATIVE_OPTIONAL_MAGIC ||
        ntHeaders.FileHeader.NumberOfSections == 0 ||
        ntHeaders.OptionalHeader.SizeOfHeaders > nFileSize)
        return false;

    // The section table follows the optional header; every section's raw data must be in the
    // file (the loader maps the image from it).
    const std::uint64_t nTableOffset = nNtOffset + offsetof(NativeNtHeaders, OptionalHeader) +
                                       ntHeaders.FileHeader.SizeOfOptionalHeader;
    const DWORD nTableSize = ntHeaders.FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    if (!fitsInFile(nTableOffset, nTableSize, nFileSize))
        return false;
    std::vector<IMAGE_SECTION_HEADER> sections(ntHeaders.FileHeader.NumberOfSections);
    if (!readAt(file.get(), sections.data(), nTableSize, nTableOffset))
        return false;
    return std::all_of(
        sections.begin(), sections.end(), [nFileSize](const IMAGE_SECTION_HEADER& section) {
            return section.SizeOfRawData == 0 ||
                   fitsInFile(section.PointerToRawData, section.SizeOfRawData, nFileSize);
        });
}

} // namespace

bool Library::isLoadableFile(const std::string& sstrPath)
{
    std::wstring wsstrPath;
    return utf8ToWide(sstrPath, wsstrPath) && isLoadableImage(wsstrPath);
}

// The loader's calls hold the process-wide loader lock, which every thread's start and end needs:
// a thread killed inside one would leave it taken, and no thread could start or end any more
// (their attach and detach notifications take it). So they are internal regions, which terminate()
// never kills (and suspend() never stops) a thread inside; a module's initialisation that takes
// longer than their limit is then not killed (qvThread.h).
//
// A path is made absolute once, checked, and that same absolute path is what the loader gets: a
// relative one would be searched along the DLL search path (the program's folder first) and
// could load another file than the one checked. Its dependencies are searched from the module's
// own folder first (LOAD_WITH_ALTERED_SEARCH_PATH), where a plug-in keeps the libraries it
// brings; when one is still missing (ERROR_MOD_NOT_FOUND), the load is tried once more with the
// standard order, which starts at the program's folder. Libraries already loaded in the process
// (this library, the C++ runtime) serve either way, whatever folder they came from.
void* Library::open(const std::string& sstrFileName)
{
    if (sstrFileName.empty() || sstrFileName.find('\0') != std::string::npos)
        return nullptr;
    std::string sstrPath(sstrFileName);
    std::replace(sstrPath.begin(), sstrPath.end(), '/', '\\');
    std::wstring wsstrPath;
    if (!utf8ToWide(sstrPath, wsstrPath))
        return nullptr;
    if (!hasSeparator(sstrPath)) {
        const QuietErrors quiet;
        const InternalRegion region;
        return reinterpret_cast<void*>(::LoadLibraryW(wsstrPath.c_str()));
    }
    std::wstring wsstrFullPath;
    if (!toFullPath(wsstrPath, wsstrFullPath) || !isLoadableImage(wsstrFullPath))
        return nullptr;
    keepExtensionAsIs(wsstrFullPath);
    const QuietErrors quiet;
    const InternalRegion region;
    HMODULE hModule =
        ::LoadLibraryExW(wsstrFullPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (hModule == nullptr && ::GetLastError() == ERROR_MOD_NOT_FOUND)
        hModule = ::LoadLibraryExW(wsstrFullPath.c_str(), nullptr, 0);
    return reinterpret_cast<void*>(hModule);
}

void* Library::findSymbol(void* hLibrary, const char* cstrName)
{
    if (hLibrary == nullptr || cstrName == nullptr)
        return nullptr;
    const InternalRegion region;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(hLibrary), cstrName));
}

void Library::close(void* hLibrary)
{
    if (hLibrary == nullptr)
        return;
    const InternalRegion region;
    ::FreeLibrary(static_cast<HMODULE>(hLibrary));
}

} // namespace qvPlatform
