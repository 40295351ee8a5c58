#ifndef QV_ANYCONTAINER_H
#define QV_ANYCONTAINER_H

// qvAnyContainer: a type-erased value shared by reference. A container is one pointer to a
// shared record (AnyImpl) that owns the value; copying a container shares the record and never
// copies the value. Containers compare by identity of the record, not by value.
//
// Values go in with qvMakeAny(value) (a heap copy) and come out with qvAnyCast<T>(container),
// which checks the recorded type name, so it also works across shared libraries.
//
// Threads: the record's count is atomic (qvRCData), so copies of one container may be made and
// dropped on several threads at once; a single container object is used by one thread at a time.
// The value itself is not guarded.

#include <string>
#include <typeinfo>

#include "Memory/qvRCData.h"
#include "qvExport.h"

class QV_EXPORT qvAnyContainer
{
public:
    // The shared record: the value, its type's name and the function that destroys it.
    // Destroyed only through qvRCData::unref().
    class QV_EXPORT AnyImpl : public qvRCData
    {
    public:
        AnyImpl();
        // Takes ownership of pValue, to be destroyed with pfnDeleteValue (when both are set).
        AnyImpl(void* pValue, const std::string& sstrTypeName, void (*pfnDeleteValue)(void*));

        // Same record, or the same value pointer, type name and delete function.
        bool operator==(const AnyImpl& other) const;

        void* getValue() const { return m_pValue; }
        const std::string& getTypeName() const { return m_sstrTypeName; }

    protected:
        ~AnyImpl() override;

    private:
        void* m_pValue;
        std::string m_sstrTypeName;
        void (*m_pfnDeleteValue)(void*);
    };

    qvAnyContainer() : m_pImpl(nullptr) {}
    // Shares pImpl (takes one reference); null makes an empty container.
    explicit qvAnyContainer(AnyImpl* pImpl) : m_pImpl(pImpl)
    {
        if (m_pImpl)
            m_pImpl->ref();
    }
    qvAnyContainer(const qvAnyContainer& other) : m_pImpl(other.m_pImpl)
    {
        if (m_pImpl)
            m_pImpl->ref();
    }
    ~qvAnyContainer()
    {
        if (m_pImpl)
            m_pImpl->unref();
    }

    // Shares other's record, then releases the one held before. Taking the new reference first
    // keeps other alive when it lives inside the released value (head = qvAnyCast<Node>(head)->next
    // walks a chain whose only owner of each node is the node before it). Self-assignment
    // changes nothing.
    qvAnyContainer& operator=(const qvAnyContainer& other)
    {
        if (&other == this)
            return *this;
        AnyImpl* pReleased = m_pImpl;
        m_pImpl = other.m_pImpl;
        if (m_pImpl)
            m_pImpl->ref();
        if (pReleased)
            pReleased->unref(); // may destroy other: it is not touched again
        return *this;
    }

    // Same object or same record (two empty containers are equal).
    bool operator==(const qvAnyContainer& other) const
    {
        return &other == this || m_pImpl == other.m_pImpl;
    }
    bool operator!=(const qvAnyContainer& other) const { return !(*this == other); }

    // Exchanges the records; reference counts stay as they are.
    void swap(qvAnyContainer& other)
    {
        if (m_pImpl != other.m_pImpl) {
            AnyImpl* pTemp = m_pImpl;
            m_pImpl = other.m_pImpl;
            other.m_pImpl = pTemp;
        }
    }

    bool isEmpty() const { return m_pImpl == nullptr; }

    // The held value's type name ("" for an empty container), demangled: "int", "Point".
    std::string getTypeName() const;

    // The held record (null when empty), for typed access.
    AnyImpl* getImpl() const { return m_pImpl; }

    // The name that qvMakeAny records for T.
    template <class T>
    static const std::string& typeNameOf()
    {
        static const std::string s_sstrName = demangle(typeid(T).name());
        return s_sstrName;
    }

    // The readable form of a compiler's type name.
    static std::string demangle(const char* pMangledName);

private:
    AnyImpl* m_pImpl;
};

// A non-empty container holding a heap copy of value.
template <class T>
qvAnyContainer qvMakeAny(const T& value)
{
    T* pValue = new T(value);
    qvAnyContainer::AnyImpl* pImpl;
    try {
        pImpl = new qvAnyContainer::AnyImpl(pValue, qvAnyContainer::typeNameOf<T>(),
                                            [](void* p) { delete static_cast<T*>(p); });
    } catch (...) {
        delete pValue;
        throw;
    }
    return qvAnyContainer(pImpl);
}

// The held value, or null when the container is empty, holds no value or holds another type.
template <class T>
T* qvAnyCast(const qvAnyContainer& container)
{
    const qvAnyContainer::AnyImpl* pImpl = container.getImpl();
    if (!pImpl || !pImpl->getValue() || pImpl->getTypeName() != qvAnyContainer::typeNameOf<T>())
        return nullptr;
    return static_cast<T*>(pImpl->getValue());
}

#endif
