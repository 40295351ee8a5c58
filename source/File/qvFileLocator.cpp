#include "File/qvFileLocator.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Platform/FileSystem.h"

namespace {

// The one-backslash string that joins a search path to a file name. Constant data: nothing to
// construct at load or destroy at unload, so every locator may use it, the singleton's
// destruction included.
constexpr char QV_BACKSLASH_STRING[] = "\\";

const char* const SEPARATORS = "/\\";

inline bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

// What addFilePath and removeFilePath keep of a path: everything before its last separator,
// looking no further down than the second character; "" when there is none.
std::string trimFilePath(const std::string& sstrFilePath)
{
    const std::size_t nLast = sstrFilePath.find_last_of(SEPARATORS);
    if (nLast == std::string::npos || nLast == 0)
        return std::string();
    return sstrFilePath.substr(0, nLast);
}

// Appends the names to the end of list, in order. qvSCList has no tail pointer, so one
// pushBack per name would walk the list each time (quadratic in a directory of thousands of
// files). The list is built from the front instead, by prepending in reverse order; the result
// is the same as a pushBack of each name, and on a failed allocation list is left as it was.
void appendToList(const std::vector<std::string>& vecNames, qvSCList<std::string>& list)
{
    if (vecNames.empty())
        return;
    if (list.isEmpty()) {
        try {
            for (auto ritName = vecNames.rbegin(); ritName != vecNames.rend(); ++ritName)
                list.insert(*ritName, 0);
        } catch (...) {
            list.clear();
            throw;
        }
        return;
    }
    std::vector<const std::string*> vecOld;
    vecOld.reserve(list.getSize());
    for (qvSCList<std::string>::Node* pNode = list.getHead(); pNode; pNode = pNode->getNext())
        vecOld.push_back(&pNode->m_Value);
    qvSCList<std::string> combined;
    for (auto ritName = vecNames.rbegin(); ritName != vecNames.rend(); ++ritName)
        combined.insert(*ritName, 0);
    for (auto ritOld = vecOld.rbegin(); ritOld != vecOld.rend(); ++ritOld)
        combined.insert(**ritOld, 0);
    list = combined;
}

bool endsWith(const char* pName, std::size_t nNameLength, const std::string& sstrEnding)
{
    return nNameLength >= sstrEnding.size() &&
           sstrEnding.compare(0, std::string::npos, pName + (nNameLength - sstrEnding.size()),
                              sstrEnding.size()) == 0;
}

} // namespace

qvFileLocator::qvFileLocator() {}

qvFileLocator::~qvFileLocator() {}

void qvFileLocator::addFilePath(const std::string& sstrFilePath)
{
    const std::string sstrFilePathToAdd = trimFilePath(sstrFilePath);
    m_setFilePaths.insert(sstrFilePathToAdd);
}

void qvFileLocator::removeFilePath(const std::string& sstrFilePath)
{
    const std::string sstrFilePathToRemove = trimFilePath(sstrFilePath);
    m_setFilePaths.erase(sstrFilePathToRemove);
}

bool qvFileLocator::locateFile(const std::string& sstrFile, std::string& sstrFullPath)
{
    if (qvPlatform::FileSystem::exists(sstrFile)) {
        // The name exists as written. Make it absolute unless it already is, or already
        // contains the working directory. The root directory occurs in every name that has a
        // separator, so it says nothing about the name and is not looked for.
        std::string sstrName(sstrFile);
        convertSeparators(sstrName, SEPARATOR_BACKSLASH);
        std::string buffer;
        const bool bHaveWorkingDirectory = qvPlatform::FileSystem::getCurrentDirectory(buffer);
        // It is joined to the working directory only when there is one (else there is nothing
        // to join it to), when it does not contain it already and when it is relative.
        const bool bContainsWorkingDirectory = bHaveWorkingDirectory &&
                                               buffer != QV_BACKSLASH_STRING &&
                                               sstrName.find(buffer) != std::string::npos;
        std::string sstrIntermedateFile;
        if (bHaveWorkingDirectory && !bContainsWorkingDirectory && isRelative(sstrName)) {
            // A working directory that ends in a separator already (the root) gets no second
            // one: a name that begins with two backslashes would name a network path.
            sstrIntermedateFile = buffer;
            if (buffer.empty() || !isSeparator(buffer.back()))
                sstrIntermedateFile += QV_BACKSLASH_STRING;
            sstrIntermedateFile += sstrName;
        } else
            sstrIntermedateFile = sstrName;
        sstrFullPath.swap(sstrIntermedateFile);
        return true;
    }

    // Rounds: the whole name in every search path, then the name without its first directory,
    // and so on down to the bare file name. An empty remainder is never tried.
    std::string sstrStrippedInputFile(sstrFile);
    std::string sstrTestPath;
    std::size_t nPosition = 0;
    while (nPosition < sstrFile.size()) {
        for (std::set<std::string>::const_iterator citCurrPath = m_setFilePaths.begin(),
                                                   citLastPath = m_setFilePaths.end();
             citCurrPath != citLastPath; ++citCurrPath) {
            sstrTestPath.assign(*citCurrPath)
                .append(QV_BACKSLASH_STRING)
                .append(sstrStrippedInputFile);
            if (qvPlatform::FileSystem::exists(sstrTestPath)) {
                convertSeparators(sstrTestPath, SEPARATOR_BACKSLASH);
                sstrFullPath.swap(sstrTestPath);
                return true;
            }
        }
        nPosition = sstrFile.find_first_of(SEPARATORS, nPosition);
        if (nPosition == std::string::npos)
            break;
        ++nPosition;
        sstrStrippedInputFile.assign(sstrFile, nPosition, std::string::npos);
    }
    return false;
}

void qvFileLocator::getPath(const std::string& sstrPath, std::string& sstrDirectory)
{
    if (qvPlatform::FileSystem::isDirectory(sstrPath)) {
        sstrDirectory = sstrPath; // a directory, or nothing that can be read: as given
        return;
    }
    // An existing entry that is no directory: its name is the path's last component, whatever
    // characters it holds. The name is not looked up again: a directory search would take a name
    // with '?' or '*' for a pattern, which other entries match too.
    std::string sstrResult =
        sstrPath.substr(0, qvPlatform::DirectorySearch::getDirectoryPartLength(sstrPath));
    convertSeparators(sstrResult, SEPARATOR_BACKSLASH);
    sstrDirectory.swap(sstrResult);
}

void qvFileLocator::getRelativePath(const std::string& sstrBase, std::string& sstrPath)
{
    const std::size_t nSeparator = sstrBase.find_last_of("\\,/");
    const std::size_t nFullStop = sstrBase.rfind('.');
    std::string sstrHolder(sstrBase);
    if (nSeparator != std::string::npos && nFullStop != std::string::npos && nSeparator < nFullStop)
        sstrHolder.erase(nSeparator + 1);

    // Either separator matches either; the path keeps its own characters.
    std::string sstrComparablePath(sstrPath);
    convertSeparators(sstrComparablePath, SEPARATOR_BACKSLASH);
    convertSeparators(sstrHolder, SEPARATOR_BACKSLASH);
    const std::size_t nFound = sstrComparablePath.find(sstrHolder);
    if (nFound != std::string::npos)
        sstrPath.erase(0, nFound + sstrHolder.size());
}

void qvFileLocator::findFilesInPath(const std::string& sstrPath, const std::string& sstrEnding,
                                    FileMask mask, qvSCList<std::string>& list)
{
    if (sstrPath.empty())
        return; // names no directory
    const std::string sstrFirstFile = isSeparator(sstrPath.back()) ? sstrPath + "*" : sstrPath;

    // Full names are the pattern's directory part followed by the entry name: "data/" for
    // both "data/" and "data/*.txt". Entry names hold no slash, so converting the directory
    // part once gives the backslash form of every full name.
    std::string sstrDirectoryPart =
        sstrFirstFile.substr(0, qvPlatform::DirectorySearch::getDirectoryPartLength(sstrFirstFile));
    convertSeparators(sstrDirectoryPart, SEPARATOR_BACKSLASH);
    const bool bWithDirectories = (mask & FILEMASK_DIRECTORIES) != 0;

    std::vector<std::string> vecTaken;
    std::string sstrCurrentFile;
    qvPlatform::DirectorySearch search;
    for (bool bFound = search.findFirst(sstrFirstFile); bFound; bFound = search.findNext()) {
        const char* pName = search.getName();
        const std::size_t nNameLength = std::char_traits<char>::length(pName);
        sstrCurrentFile.assign(sstrDirectoryPart).append(pName, nNameLength);

        bool bDirectory = false;
        switch (search.getType()) {
        case qvPlatform::DirectorySearch::ENTRY_DIRECTORY:
            bDirectory = true;
            break;
        case qvPlatform::DirectorySearch::ENTRY_FILE:
            bDirectory = false;
            break;
        case qvPlatform::DirectorySearch::ENTRY_UNKNOWN:
            bDirectory = qvPlatform::FileSystem::isDirectory(sstrCurrentFile);
            break;
        }

        if (bDirectory) {
            if (!bWithDirectories || std::strcmp(pName, ".") == 0 || std::strcmp(pName, "..") == 0)
                continue;
        } else if (!sstrEnding.empty() && !endsWith(pName, nNameLength, sstrEnding)) {
            continue;
        }
        vecTaken.push_back(sstrCurrentFile);
    }
    appendToList(vecTaken, list);
}

bool qvFileLocator::isRelative(const std::string& sstrPath)
{
    if (sstrPath.empty())
        return false; // names nothing, so there is nothing for it to be relative to
    if (isSeparator(sstrPath[0]))
        return false; // the root of the file system, or a network path
    if (sstrPath.size() >= 2 && sstrPath[1] == ':' &&
        (sstrPath.size() == 2 || isSeparator(sstrPath[2])))
        return false; // a drive ("C:") or a path from a drive's root ("C:\", "C:\dir")
    return true;      // short names too: "a.c" is as relative as "abcd.c"
}

void qvFileLocator::convertSeparators(std::string& sstrPath, SeparatorType type)
{
    char cReverseSeparator;
    if (type == SEPARATOR_SLASH)
        cReverseSeparator = '\\';
    else if (type == SEPARATOR_BACKSLASH)
        cReverseSeparator = '/';
    else
        return;
    const char cTheSeparator = static_cast<char>(type);
    std::replace(sstrPath.begin(), sstrPath.end(), cReverseSeparator, cTheSeparator);
}

namespace qvFCSingletons {

qvFileLocator& getFileLocator()
{
    return Loki::SingletonHolder<qvFileLocator>::Instance();
}

} // namespace qvFCSingletons
