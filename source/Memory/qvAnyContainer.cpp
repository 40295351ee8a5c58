#include "Memory/qvAnyContainer.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "Threading/qvLocks.h"
#include "Threading/qvScopedLock.h"

namespace {

// The readable names asked for so far, by the compiler's name of the type. The keys are copies,
// so an entry outlives the module whose type it names; entries are never removed, and a map
// never moves them, so references to them stay valid while the library is loaded.
class ReadableNames
{
public:
    const std::string& lookUp(const char* cstrTypeName)
    {
        qvSynchDetail::ScopedLock<qvSynch::LWLock> lock(m_Lock);
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

ReadableNames& readableNames()
{
    static ReadableNames s_Names;
    return s_Names;
}

// The Itanium C++ ABI's name of an anonymous namespace, part of the name of every type declared
// in one (and of every type built from one).
bool namesAnonymousNamespace(const char* cstrTypeName)
{
    return std::strstr(cstrTypeName, "_GLOBAL__N") != nullptr;
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
// the name of a type of internal linkage; its inline comparison looks at the mark of its left
// operand only, so the comparison is made both ways. Clang marks nothing, so a type declared in
// an anonymous namespace (or built from one) is also recognised by its name.
bool qvAnyContainer::isSameType(const std::type_info& first, const std::type_info& second)
{
    if (&first == &second)
        return true;
    return first == second && second == first && !namesAnonymousNamespace(first.name());
}
