#include "Memory/qvAnyContainer.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "Threading/qvLocks.h"

namespace {

// The readable names asked for so far, by the compiler's name of the type. The keys are copies,
// so an entry outlives the module whose type it names; entries are never removed, and a map
// never moves them, so references to them stay valid while the library is loaded.
class ReadableNames
{
public:
    const std::string& lookUp(const char* cstrTypeName)
    {
        qvSynchDetail::RegionLock<qvSynch::LWLock> lock(m_Lock);
        auto itName = m_mapNames.find(std::string_view(cstrTypeName));
        if (itName == m_mapNames.end())
            itName = m_mapNames
                         .emplace(std::string(cstrTypeName), qvAnyContainer::demangle(cstrTypeName))
                         .first;
        return itName->second;
    }

private:
    qvSynch::LWLock m_Lock;
    std::map<std::string, std::string, std::less<>> m_mapNames;
};

// Made on the first request and never destroyed, so that a type's name may be asked for at
// any time until the process ends, from the destructor of a global or static object too (a
// static cache would be destroyed at exit before the objects made ahead of it). The memory goes
// back with the process; should this library itself be unloaded before (a dependency of a
// plug-in module only), the cache's memory stays allocated: one entry per type name asked for.
ReadableNames& readableNames()
{
    static ReadableNames* const s_pNames = new ReadableNames;
    return *s_pNames;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Whether a nested name that begins at nPosition (just after its 'N') names something of internal
// linkage in its prefix: the Itanium C++ ABI writes such a name as 'L' and the name's
// <source-name> ("N2nsL6configEv", a static function in a namespace). The prefix is read through
// source names, abi tags and substitutions; anything else ends the look at this name.
bool prefixShowsInternalName(std::string_view name, std::size_t nPosition)
{
    while (nPosition < name.size() && std::strchr("rVKRO", name[nPosition]) != nullptr)
        ++nPosition; // cv- and ref-qualifiers of a member function
    while (nPosition < name.size()) {
        const char c = name[nPosition];
        if (c == 'L')
            return nPosition + 1 < name.size() && isDigit(name[nPosition + 1]);
        if (c == 'B') { // abi tag: B <source-name>
            ++nPosition;
            if (nPosition >= name.size() || !isDigit(name[nPosition]))
                return false;
        } else if (isDigit(c)) { // <source-name>: length, then that many characters
            std::size_t nLength = 0;
            while (nPosition < name.size() && isDigit(name[nPosition]) && nLength <= name.size())
                nLength = nLength * 10 + static_cast<std::size_t>(name[nPosition++] - '0');
            if (nLength > name.size() - nPosition)
                return false;
            nPosition += nLength;
        } else if (c == 'S') { // substitution: St, Sa, ... or S [<seq-id>] _
            ++nPosition;
            if (nPosition < name.size() && name[nPosition] >= 'a' && name[nPosition] <= 'z') {
                ++nPosition;
                continue;
            }
            while (nPosition < name.size() &&
                   (isDigit(name[nPosition]) || (name[nPosition] >= 'A' && name[nPosition] <= 'Z')))
                ++nPosition;
            if (nPosition >= name.size() || name[nPosition] != '_')
                return false;
            ++nPosition;
        } else {
            return false;
        }
    }
    return false;
}

// Whether the compiler's name of a type (std::type_info::name(), an Itanium C++ ABI mangling)
// shows that the type, or one that it is built from, is known in one translation unit only. The
// whole name is searched, inside the names of its parts too, so a part of internal linkage is
// never missed; the price is that a rare name of external linkage may be taken for one of
// internal linkage (a source name that itself spells "ZL5" or "_GLOBAL__N"), and such a type
// then matches only its own type information. It is internal when it holds:
// - "_GLOBAL__N": an anonymous namespace;
// - 'L' before a name in the prefix of a nested name, or "ZL" and a digit: an entity of internal
//   linkage, such as the function a local class is declared in ("ZL6configvE6Config",
//   "ZN2nsL6configEvE6Config"), or a static function as template argument;
// - '$': clang's name of a type without a name ("$_0");
// - "Ut" [digits] '_': a type without a name (in a class, that type is one in every unit, but
//   it is taken as internal all the same).
bool showsInternalLinkage(const char* cstrTypeName)
{
    const std::string_view name(cstrTypeName);
    if (name.find("_GLOBAL__N") != std::string_view::npos ||
        name.find('$') != std::string_view::npos)
        return true;
    for (std::size_t n = 0; n < name.size(); ++n) {
        if (name[n] == 'Z' && n + 2 < name.size() && name[n + 1] == 'L' && isDigit(name[n + 2]))
            return true;
        if (name[n] == 'N' && prefixShowsInternalName(name, n + 1))
            return true;
        if (name[n] == 'U' && n + 1 < name.size() && name[n + 1] == 't') {
            std::size_t nEnd = n + 2;
            while (nEnd < name.size() && isDigit(name[nEnd]))
                ++nEnd;
            if (nEnd < name.size() && name[nEnd] == '_')
                return true;
        }
    }
    return false;
}

} // namespace

qvAnyContainer::AnyImpl::AnyImpl() : m_pValue(nullptr), m_pfnDeleteValue(nullptr), m_pType(nullptr)
{
}

qvAnyContainer::AnyImpl::AnyImpl(void* pValue, const std::string& sstrTypeName,
                                 void (*pfnDeleteValue)(void*))
    : m_pValue(pValue), m_sstrTypeName(sstrTypeName), m_pfnDeleteValue(pfnDeleteValue),
      m_pType(nullptr)
{
}

// The readable name is looked up when someone asks for it: making a value costs no string.
qvAnyContainer::AnyImpl::AnyImpl(void* pValue, const std::type_info& type,
                                 void (*pfnDeleteValue)(void*))
    : m_pValue(pValue), m_pfnDeleteValue(pfnDeleteValue), m_pType(&type)
{
}

qvAnyContainer::AnyImpl::~AnyImpl()
{
    if (m_pValue && m_pfnDeleteValue) {
        m_pfnDeleteValue(m_pValue);
        m_pValue = nullptr;
        m_sstrTypeName.clear();
    }
}

bool qvAnyContainer::AnyImpl::operator==(const AnyImpl& other) const
{
    if (&other == this)
        return true;
    if (m_pValue != other.m_pValue || m_pfnDeleteValue != other.m_pfnDeleteValue)
        return false;
    if (m_pType || other.m_pType)
        return m_pType && other.m_pType && isSameType(*m_pType, *other.m_pType);
    return m_sstrTypeName == other.m_sstrTypeName;
}

const std::string& qvAnyContainer::AnyImpl::getTypeName() const
{
    return m_pType ? readableName(*m_pType) : m_sstrTypeName;
}

std::string qvAnyContainer::getTypeName() const
{
    return m_pImpl ? m_pImpl->getTypeName() : std::string();
}

const std::string& qvAnyContainer::readableName(const std::type_info& type)
{
    return readableNames().lookUp(type.name());
}

std::string qvAnyContainer::demangle(const char* pMangledName)
{
    int nStatus = 0;
    std::unique_ptr<char, void (*)(void*)> pName(
        abi::__cxa_demangle(pMangledName, nullptr, nullptr, &nStatus), std::free);
    return (nStatus == 0 && pName) ? std::string(pName.get()) : std::string(pMangledName);
}

// One object describes a type of internal linkage in each translation unit that uses it, and
// no other translation unit can name that type: for such a type only the same object matches.
// Other types may be described by one object per shared library, matched by name.
//
// libstdc++ compares by name unless a name is marked with a leading '*', which GCC puts before
// the name of a type of internal linkage or of a local class; its inline comparison looks at the
// mark of its left operand only, so the comparison is made both ways. Clang marks nothing, so
// the name itself is read too (showsInternalLinkage): two distinct objects match only when it
// shows no internal linkage.
bool qvAnyContainer::isSameType(const std::type_info& first, const std::type_info& second)
{
    if (&first == &second)
        return true;
    return first == second && second == first && !showsInternalLinkage(first.name()) &&
           !showsInternalLinkage(second.name());
}
