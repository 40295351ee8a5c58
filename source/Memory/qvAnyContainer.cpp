#include "Memory/qvAnyContainer.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>

qvAnyContainer::AnyImpl::AnyImpl() : m_pValue(nullptr), m_pfnDeleteValue(nullptr) {}

qvAnyContainer::AnyImpl::AnyImpl(void* pValue, const std::string& sstrTypeName,
                                 void (*pfnDeleteValue)(void*))
    : m_pValue(pValue), m_sstrTypeName(sstrTypeName), m_pfnDeleteValue(pfnDeleteValue)
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
    return m_pValue == other.m_pValue && m_sstrTypeName == other.m_sstrTypeName &&
           m_pfnDeleteValue == other.m_pfnDeleteValue;
}

std::string qvAnyContainer::getTypeName() const
{
    return m_pImpl ? m_pImpl->getTypeName() : std::string();
}

std::string qvAnyContainer::demangle(const char* pMangledName)
{
    int nStatus = 0;
    std::unique_ptr<char, void (*)(void*)> pName(
        abi::__cxa_demangle(pMangledName, nullptr, nullptr, &nStatus), std::free);
    return (nStatus == 0 && pName) ? std::string(pName.get()) : std::string(pMangledName);
}
