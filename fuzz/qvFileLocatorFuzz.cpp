// The file locator's path operations on arbitrary input, each checked against a model written
// from the locator's documented behaviour.
//
// String operations (isRelative, convertSeparators, getRelativePath, the trimming done by
// addFilePath and removeFilePath) take any bytes. The file-system operations (getPath,
// findFilesInPath, locateFile) run on a fixed tree that the program creates once under the
// temporary directory and removes at exit; the working directory is the tree's root while an
// input runs, and is restored afterwards (libFuzzer writes its corpus and crash files relative
// to the directory it was started in). Paths are either raw bytes or put together from the
// names in the tree, with either separator, wildcards, "." and "..", and now and then a NUL.
//
// The oracle for the file system is std::filesystem. The search set of the locator singleton
// is mirrored in a std::set; every input removes what it registered, so inputs stay
// independent.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "File/qvFileLocator.h"
#include "qvFuzzCheck.h"

namespace fs = std::filesystem;

namespace {

// What an output parameter holds before a call, to see whether the call wrote it.
const std::string UNTOUCHED("\x01untouched");

// ---------------------------------------------------------------------------------------------
// The tree

// Names used to put paths together: the tree's own entries first, then path pieces.
const char* const NAMES[] = {
    "a.txt", "b.dat", "noext",  ".hidden",       "a.txt.bak", "sub",         "c.txt",     "d.TXT",
    "deep",  "e.txt", "f.dat",  "empty",         "sp ace",    "h.txt",       "br[ack]et", "i.txt",
    "star*", "j.txt", "q?mark", "dir.with.dots", "g.txt",     "link-to-sub", "dangling",  "loop",
    ".",     "..",    "*",      "*.txt",         "?.txt",     "*.*",         "[ack]",     "",
    "C:",    "x,y.z",
};

class Tree
{
public:
    Tree()
    {
        std::random_device random;
        const fs::path base = fs::temp_directory_path();
        for (int nTry = 0; nTry < 100 && m_Root.empty(); ++nTry) {
            const fs::path candidate = base / ("qvFileLocatorFuzz." + std::to_string(random()));
            if (fs::create_directory(candidate))
                m_Root = fs::canonical(candidate);
        }
        QV_FUZZ_CHECK(!m_Root.empty());
        for (const char* pFile :
             {"a.txt", "b.dat", "noext", ".hidden", "a.txt.bak", "sub/a.txt", "sub/c.txt",
              "sub/d.TXT", "sub/deep/e.txt", "sub/deep/f.dat", "sp ace/h.txt", "br[ack]et/i.txt",
              "star*/j.txt", "q?mark", "qXmark", "dir.with.dots/g.txt", "x,y.z"})
            makeFile(pFile);
        fs::create_directories(m_Root / "empty");
        fs::create_directory_symlink("sub", m_Root / "link-to-sub");
        fs::create_symlink("missing", m_Root / "dangling");
        fs::create_symlink("loop", m_Root / "loop");
        m_sstrRootBackslashed = backslashed(m_Root.string());
    }

    ~Tree()
    {
        std::error_code error;
        fs::remove_all(m_Root, error);
    }

    const fs::path& root() const { return m_Root; }
    const std::string& rootBackslashed() const { return m_sstrRootBackslashed; }

    static std::string backslashed(std::string sstrPath)
    {
        std::replace(sstrPath.begin(), sstrPath.end(), '/', '\\');
        return sstrPath;
    }

private:
    void makeFile(const char* pName)
    {
        const fs::path path = m_Root / pName;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
        QV_FUZZ_CHECK(fs::is_regular_file(path));
    }

    fs::path m_Root;
    std::string m_sstrRootBackslashed;
};

Tree& tree()
{
    static Tree s_Tree;
    return s_Tree;
}

// ---------------------------------------------------------------------------------------------
// The model

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

bool hasNul(const std::string& sstrPath)
{
    return sstrPath.find('\0') != std::string::npos;
}

std::string slashed(std::string sstrPath)
{
    std::replace(sstrPath.begin(), sstrPath.end(), '\\', '/');
    return sstrPath;
}

bool modelIsRelative(const std::string& sstrPath)
{
    if (sstrPath.empty() || isSeparator(sstrPath[0]))
        return false;
    return !(sstrPath.size() >= 2 && sstrPath[1] == ':' &&
             (sstrPath.size() == 2 || isSeparator(sstrPath[2])));
}

// The path up to its last separator, looking no further down than the second character.
std::string modelTrim(const std::string& sstrPath)
{
    for (std::size_t n = sstrPath.size(); n-- > 1;) {
        if (isSeparator(sstrPath[n]))
            return sstrPath.substr(0, n);
    }
    return std::string();
}

// A path names something when the file system can reach it; a NUL ends no path here, so a
// path that holds one names nothing.
bool modelExists(const std::string& sstrPath)
{
    if (sstrPath.empty() || hasNul(sstrPath))
        return false;
    std::error_code error;
    return fs::exists(fs::path(slashed(sstrPath)), error);
}

// Whether the locator treats a path as a directory: a directory (links followed), or anything
// whose attributes can't be read; a link whose target can't be read is no directory.
bool modelIsDirectory(const std::string& sstrPath)
{
    if (sstrPath.empty() || hasNul(sstrPath))
        return true;
    const fs::path path(slashed(sstrPath));
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::exists(status))
        return fs::is_directory(status);
    const fs::file_status linkStatus = fs::symlink_status(path, error);
    if (fs::exists(linkStatus))
        return false;
    return true;
}

// '*' any run of characters, '?' one character, everything else itself. Linear: on a mismatch
// only the last '*' takes one more character (a recursive matcher is exponential in the number
// of stars, which the fuzzer finds).
bool wildcardMatch(const char* pPattern, const char* pName)
{
    const char* pStar = nullptr;
    const char* pStarName = nullptr;
    while (*pName != '\0') {
        if (*pPattern == '*') {
            pStar = pPattern++;
            pStarName = pName;
        } else if (*pPattern != '\0' && (*pPattern == '?' || *pPattern == *pName)) {
            ++pPattern;
            ++pName;
        } else if (pStar) {
            pPattern = pStar + 1;
            pName = ++pStarName;
        } else {
            return false;
        }
    }
    while (*pPattern == '*')
        ++pPattern;
    return *pPattern == '\0';
}

std::size_t directoryPartLength(const std::string& sstrPattern)
{
    const std::size_t nLast = sstrPattern.find_last_of("/\\");
    return nLast == std::string::npos ? 0 : nLast + 1;
}

// Whether the directory a pattern searches lies inside the tree, so that its contents can't
// change between the call and the model (the temporary directory above it can).
bool searchesInsideTree(const std::string& sstrDirectory)
{
    std::error_code error;
    const fs::path directory =
        fs::weakly_canonical(tree().root() / fs::path(slashed(sstrDirectory)), error);
    if (error)
        return false;
    const std::string sstrRoot = tree().root().string();
    const std::string sstrDirectory2 = directory.string();
    return sstrDirectory2.compare(0, sstrRoot.size(), sstrRoot) == 0 &&
           (sstrDirectory2.size() == sstrRoot.size() || sstrDirectory2[sstrRoot.size()] == '/');
}

// ---------------------------------------------------------------------------------------------
// Inputs

std::string consumePath(FuzzedDataProvider& data)
{
    if (data.ConsumeIntegralInRange<int>(0, 3) == 0)
        return data.ConsumeRandomLengthString(96);

    std::string sstrPath;
    switch (data.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
        sstrPath = tree().root().string() + "/";
        break;
    case 1:
        sstrPath = tree().rootBackslashed() + "\\";
        break;
    case 2:
        sstrPath = "./";
        break;
    case 3:
        sstrPath = "\\";
        break;
    default:
        break;
    }
    const int nComponents = data.ConsumeIntegralInRange<int>(0, 4);
    for (int n = 0; n < nComponents; ++n) {
        if (n > 0) {
            const int nSeparator = data.ConsumeIntegralInRange<int>(0, 4);
            sstrPath += nSeparator == 0 ? "\\" : nSeparator == 1 ? "//" : "/";
        }
        if (data.ConsumeIntegralInRange<int>(0, 7) == 0)
            sstrPath += data.ConsumeRandomLengthString(12);
        else
            sstrPath += data.PickValueInArray(NAMES);
    }
    switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        sstrPath += "/";
        break;
    case 1:
        sstrPath += "\\";
        break;
    case 2:
        sstrPath.insert(data.ConsumeIntegralInRange<std::size_t>(0, sstrPath.size()), 1, '\0');
        break;
    default:
        break;
    }
    return sstrPath;
}

// ---------------------------------------------------------------------------------------------
// Operations

void checkIsRelative(FuzzedDataProvider& data)
{
    const std::string sstrPath = consumePath(data);
    QV_FUZZ_CHECK(qvFileLocator::isRelative(sstrPath) == modelIsRelative(sstrPath));
}

void checkConvertSeparators(FuzzedDataProvider& data)
{
    const std::string sstrPath = consumePath(data);
    int nType;
    switch (data.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        nType = qvFileLocator::SEPARATOR_SLASH;
        break;
    case 1:
        nType = qvFileLocator::SEPARATOR_BACKSLASH;
        break;
    default: // any other value of the enumeration's range leaves the path alone
        nType = data.ConsumeIntegralInRange<int>(0, 127);
        break;
    }
    std::string sstrExpected(sstrPath);
    if (nType == qvFileLocator::SEPARATOR_SLASH)
        std::replace(sstrExpected.begin(), sstrExpected.end(), '\\', '/');
    else if (nType == qvFileLocator::SEPARATOR_BACKSLASH)
        std::replace(sstrExpected.begin(), sstrExpected.end(), '/', '\\');
    std::string sstrConverted(sstrPath);
    qvFileLocator::convertSeparators(sstrConverted,
                                     static_cast<qvFileLocator::SeparatorType>(nType));
    QV_FUZZ_CHECK(sstrConverted == sstrExpected);
}

void checkGetRelativePath(FuzzedDataProvider& data)
{
    const std::string sstrBase = consumePath(data);
    const std::string sstrPath = consumePath(data);

    // A base ending in a file name with an extension stands for its directory, separator
    // included (a comma counts as one here).
    std::string sstrHolder(sstrBase);
    const std::size_t nSeparator = sstrBase.find_last_of("\\,/");
    const std::size_t nFullStop = sstrBase.rfind('.');
    if (nSeparator != std::string::npos && nFullStop != std::string::npos && nSeparator < nFullStop)
        sstrHolder.erase(nSeparator + 1);
    // Either separator matches either; everything up to the end of the first occurrence goes.
    std::string sstrExpected(sstrPath);
    const std::size_t nFound = Tree::backslashed(sstrPath).find(Tree::backslashed(sstrHolder));
    if (nFound != std::string::npos)
        sstrExpected.erase(0, nFound + sstrHolder.size());

    std::string sstrResult(sstrPath);
    qvFileLocator::getRelativePath(sstrBase, sstrResult);
    QV_FUZZ_CHECK(sstrResult == sstrExpected);
}

void checkGetPath(FuzzedDataProvider& data)
{
    const std::string sstrPath = consumePath(data);
    std::string sstrDirectory(UNTOUCHED);
    qvFileLocator::getPath(sstrPath, sstrDirectory);

    if (modelIsDirectory(sstrPath)) {
        QV_FUZZ_CHECK(sstrDirectory == sstrPath);
        return;
    }
    // An existing entry that is no directory: the path before its last component, in
    // backslash form. A last component with wildcards may be matched by another entry first;
    // the result is then still a beginning of the path.
    QV_FUZZ_CHECK(sstrDirectory != UNTOUCHED);
    const std::string sstrBackslashed = Tree::backslashed(sstrPath);
    const std::size_t nDirectory = directoryPartLength(sstrPath);
    if (sstrPath.find_first_of("*?", nDirectory) == std::string::npos)
        QV_FUZZ_CHECK(sstrDirectory == sstrBackslashed.substr(0, nDirectory));
    else
        QV_FUZZ_CHECK(sstrBackslashed.compare(0, sstrDirectory.size(), sstrDirectory) == 0);
}

void checkFindFilesInPath(FuzzedDataProvider& data)
{
    const std::string sstrPath = consumePath(data);
    const std::string sstrEnding =
        data.ConsumeBool()
            ? std::string()
            : data.PickValueInArray({".txt", "txt", ".TXT", "t", "a.txt", "x", ".dat"});
    const bool bDirectories = data.ConsumeBool();
    const qvFileLocator::FileMask mask =
        bDirectories ? qvFileLocator::FILEMASK_DIRECTORIES : qvFileLocator::FILEMASK_FILES;

    // Results follow what the list already holds.
    qvSCList<std::string> list;
    const int nSeeds = data.ConsumeIntegralInRange<int>(0, 2);
    for (int n = 0; n < nSeeds; ++n)
        list.pushBack(UNTOUCHED + std::to_string(n));
    qvFileLocator::findFilesInPath(sstrPath, sstrEnding, mask, list);

    std::vector<std::string> vecFound;
    int nSeen = 0;
    for (qvSCList<std::string>::Node* pNode = list.getHead(); pNode; pNode = pNode->getNext()) {
        if (nSeen < nSeeds)
            QV_FUZZ_CHECK(pNode->m_Value == UNTOUCHED + std::to_string(nSeen));
        else
            vecFound.push_back(pNode->m_Value);
        ++nSeen;
    }
    QV_FUZZ_CHECK(list.getSize() == static_cast<unsigned int>(nSeen));

    if (sstrPath.empty() || hasNul(sstrPath)) {
        QV_FUZZ_CHECK(vecFound.empty());
        return;
    }
    const std::string sstrPattern = isSeparator(sstrPath.back()) ? sstrPath + "*" : sstrPath;
    const std::size_t nDirectory = directoryPartLength(sstrPattern);
    const std::string sstrDirectoryPart = sstrPattern.substr(0, nDirectory);
    const std::string sstrComponent = sstrPattern.substr(nDirectory);
    const std::string sstrPrefix = Tree::backslashed(sstrDirectoryPart);
    for (const std::string& sstrFound : vecFound) {
        QV_FUZZ_CHECK(sstrFound.find('/') == std::string::npos);
        QV_FUZZ_CHECK(sstrFound.compare(0, sstrPrefix.size(), sstrPrefix) == 0);
    }
    const std::string sstrDirectory = sstrDirectoryPart.empty() ? "." : sstrDirectoryPart;
    if (!searchesInsideTree(sstrDirectory))
        return;

    // The model lists the directory itself ("." and ".." never qualify: they are directories,
    // and directories of those names are never taken).
    std::vector<std::string> vecExpected;
    std::error_code error;
    fs::directory_iterator itEntry(fs::path(slashed(sstrDirectory)), error);
    if (!error) {
        for (; itEntry != fs::directory_iterator(); itEntry.increment(error)) {
            const std::string sstrName = itEntry->path().filename().string();
            if (!wildcardMatch(sstrComponent.c_str(), sstrName.c_str()))
                continue;
            if (modelIsDirectory(sstrDirectoryPart + sstrName)) {
                if (!bDirectories)
                    continue;
            } else if (!sstrEnding.empty() &&
                       (sstrName.size() < sstrEnding.size() ||
                        sstrName.compare(sstrName.size() - sstrEnding.size(), sstrEnding.size(),
                                         sstrEnding) != 0)) {
                continue;
            }
            vecExpected.push_back(sstrPrefix + sstrName);
        }
    }
    std::sort(vecFound.begin(), vecFound.end());
    std::sort(vecExpected.begin(), vecExpected.end());
    QV_FUZZ_CHECK(vecFound == vecExpected);
}

std::string modelLocate(const std::set<std::string>& setPaths, const std::string& sstrFile,
                        bool& bFound)
{
    bFound = true;
    if (modelExists(sstrFile)) {
        const std::string sstrName = Tree::backslashed(sstrFile);
        const std::string& sstrWorking = tree().rootBackslashed();
        if (sstrName.find(sstrWorking) != std::string::npos || !modelIsRelative(sstrName))
            return sstrName;
        return sstrWorking + "\\" + sstrName;
    }
    // Whole, then without its first directory, and so on; each in every path in set order.
    std::size_t nPosition = 0;
    std::string sstrStripped(sstrFile);
    while (nPosition < sstrFile.size()) {
        for (const std::string& sstrSearchPath : setPaths) {
            const std::string sstrTest = sstrSearchPath + "\\" + sstrStripped;
            if (modelExists(sstrTest))
                return Tree::backslashed(sstrTest);
        }
        nPosition = sstrFile.find_first_of("/\\", nPosition);
        if (nPosition == std::string::npos)
            break;
        sstrStripped = sstrFile.substr(++nPosition);
    }
    bFound = false;
    return UNTOUCHED;
}

void checkLocateFile(FuzzedDataProvider& data, const std::set<std::string>& setPaths)
{
    const std::string sstrFile = consumePath(data);
    bool bExpected = false;
    const std::string sstrExpected = modelLocate(setPaths, sstrFile, bExpected);
    std::string sstrFullPath(UNTOUCHED);
    const bool bFound = qvFCSingletons::getFileLocator().locateFile(sstrFile, sstrFullPath);
    QV_FUZZ_CHECK(bFound == bExpected);
    QV_FUZZ_CHECK(sstrFullPath == sstrExpected);
}

} // namespace

// Inputs run with the tree as working directory, so a relative -artifact_prefix (the default is
// "./") would put crash files into the tree, which goes at exit. Unless the command line names
// one, crash files go to the directory the fuzzer was started in.
extern "C" int LLVMFuzzerInitialize(int* pArgc, char*** pArgv)
{
    for (int n = 1; n < *pArgc; ++n) {
        if (std::string((*pArgv)[n]).rfind("-artifact_prefix=", 0) == 0)
            return 0;
    }
    static std::string s_sstrPrefix = "-artifact_prefix=" + fs::current_path().string() + "/";
    static std::vector<char*> s_vecArguments(*pArgv, *pArgv + *pArgc);
    s_vecArguments.push_back(s_sstrPrefix.data());
    s_vecArguments.push_back(nullptr);
    *pArgc += 1;
    *pArgv = s_vecArguments.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    FuzzedDataProvider data(pData, nSize);
    const fs::path startDirectory = fs::current_path();
    fs::current_path(tree().root());

    qvFileLocator& locator = qvFCSingletons::getFileLocator();
    std::set<std::string> setPaths; // the locator's search set, as the model sees it
    while (data.remaining_bytes() > 0) {
        switch (data.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            checkIsRelative(data);
            break;
        case 1:
            checkConvertSeparators(data);
            break;
        case 2:
            checkGetRelativePath(data);
            break;
        case 3: {
            const std::string sstrPath = consumePath(data);
            locator.addFilePath(sstrPath);
            setPaths.insert(modelTrim(sstrPath));
            break;
        }
        case 4: {
            const std::string sstrPath = consumePath(data);
            locator.removeFilePath(sstrPath);
            setPaths.erase(modelTrim(sstrPath));
            break;
        }
        case 5:
            checkGetPath(data);
            break;
        case 6:
            checkFindFilesInPath(data);
            break;
        case 7:
            checkLocateFile(data, setPaths);
            break;
        }
    }

    // Empty the search set again: every entry is the trimmed form of itself plus a separator.
    for (const std::string& sstrEntry : setPaths)
        locator.removeFilePath(sstrEntry + "/");
    std::string sstrFullPath(UNTOUCHED);
    QV_FUZZ_CHECK(!locator.locateFile("a.txt/not-there", sstrFullPath));
    QV_FUZZ_CHECK(!locator.locateFile("zz/e.txt", sstrFullPath));
    QV_FUZZ_CHECK(sstrFullPath == UNTOUCHED);

    fs::current_path(startDirectory);
    return 0;
}
