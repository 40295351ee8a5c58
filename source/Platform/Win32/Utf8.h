#ifndef QV_PLATFORM_WIN32_UTF8_H
#define QV_PLATFORM_WIN32_UTF8_H

// Paths are UTF-8 in the library and UTF-16 in the wide Win32 calls (the narrow ones read the
// ANSI code page, which cannot hold most names and turns the rest into '?'). Both conversions
// are strict: text that is not valid UTF-8 (or, coming back, UTF-16 with an unpaired surrogate)
// is refused rather than replaced, because a replaced name would name another file.

#include <string>

namespace qvPlatform {

// false (and wsstrWide untouched) when sstrUtf8 is not valid UTF-8.
bool utf8ToWide(const std::string& sstrUtf8, std::wstring& wsstrWide);
// false (and sstrUtf8 untouched) when the zero-terminated pWide is not valid UTF-16.
bool wideToUtf8(const wchar_t* pWide, std::string& sstrUtf8);

} // namespace qvPlatform

#endif
