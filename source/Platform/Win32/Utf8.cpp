#include "Platform/Win32/Utf8.h"

#include <windows.h>

#include <climits>

namespace qvPlatform {

bool utf8ToWide(const std::string& sstrUtf8, std::wstring& wsstrWide)
{
    if (sstrUtf8.empty()) {
        wsstrWide.clear();
        return true;
    }
    if (sstrUtf8.size() > static_cast<std::size_t>(INT_MAX))
        return false;
    const int nLength = static_cast<int>(sstrUtf8.size());
    const int nWide =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, sstrUtf8.data(), nLength, nullptr, 0);
    if (nWide <= 0)
        return false;
    std::wstring wsstrResult(static_cast<std::size_t>(nWide), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, sstrUtf8.data(), nLength,
                              wsstrResult.data(), nWide) != nWide)
        return false;
    wsstrWide.swap(wsstrResult);
    return true;
}

bool wideToUtf8(const wchar_t* pWide, std::string& sstrUtf8)
{
    if (*pWide == L'\0') {
        sstrUtf8.clear();
        return true;
    }
    // -1: the terminating zero is converted too, and counted.
    const int nBytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pWide, -1, nullptr, 0,
                                             nullptr, nullptr);
    if (nBytes <= 1)
        return false;
    std::string sstrResult(static_cast<std::size_t>(nBytes), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pWide, -1, sstrResult.data(), nBytes,
                              nullptr, nullptr) != nBytes)
        return false;
    sstrResult.pop_back(); // the terminating zero
    sstrUtf8.swap(sstrResult);
    return true;
}

} // namespace qvPlatform
