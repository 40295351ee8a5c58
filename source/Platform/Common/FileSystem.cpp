#include "Platform/FileSystem.h"

namespace qvPlatform {

bool FileSystem::hasNul(const std::string& sstrPath)
{
    return sstrPath.find('\0') != std::string::npos;
}

bool DirectorySearch::beginSearch(const std::string& sstrPattern, std::size_t& nDirectoryLength,
                                  std::string& sstrComponent)
{
    close();
    if (FileSystem::hasNul(sstrPattern))
        return false; // names no directory and no entry
    nDirectoryLength = getDirectoryPartLength(sstrPattern);
    sstrComponent = sstrPattern.substr(nDirectoryLength);
    if (sstrComponent.empty())
        return false; // no entry has an empty name

    m_bMatchAll = sstrComponent == "*";
    m_bLiteral = sstrComponent.find_first_of("*?") == std::string::npos;
    return true;
}

} // namespace qvPlatform
