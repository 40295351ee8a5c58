#include "Platform/Library.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

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

class FileHandle
{
public:
    explicit FileHandle(HANDLE hFile) : m_hFile(hFile) {}
    ~FileHandle()
    {
        if (m_hFile != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_hFile);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return m_hFile; }

private:
    HANDLE m_hFile;
};

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

bool Library::isLoadableFile(const std::string& sstrPath)
{
    const FileHandle file(::CreateFileA(sstrPath.c_str(), GENERIC_READ,
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

void* Library::open(const std::string& sstrFileName)
{
    if (sstrFileName.empty() || sstrFileName.find('\0') != std::string::npos)
        return nullptr;
    std::string sstrPath(sstrFileName);
    std::replace(sstrPath.begin(), sstrPath.end(), '/', '\\');
    if (hasSeparator(sstrPath) && !isLoadableFile(sstrPath))
        return nullptr;
    const QuietErrors quiet;
    return reinterpret_cast<void*>(::LoadLibraryA(sstrPath.c_str()));
}

void* Library::findSymbol(void* hLibrary, const char* cstrName)
{
    if (hLibrary == nullptr || cstrName == nullptr)
        return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(hLibrary), cstrName));
}

void Library::close(void* hLibrary)
{
    if (hLibrary != nullptr)
        ::FreeLibrary(static_cast<HMODULE>(hLibrary));
}

} // namespace qvPlatform
