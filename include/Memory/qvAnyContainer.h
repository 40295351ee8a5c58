#ifndef QV_ANYCONTAINER_H
#define QV_ANYCONTAINER_H

/// \file

/// \class qvAnyContainer
/// qvAnyContainer: a type-erased value shared by reference. A container is one pointer to a
/// shared record (AnyImpl) that owns the value; copying a container shares the record and never
/// copies the value. Containers compare by identity of the record, not by value.
///
/// Values go in with qvMakeAny(value) (a heap copy) and come out with qvAnyCast<T>(container),
/// which matches the held value's type as the C++ runtime identifies it (std::type_info): one
/// type matches across shared libraries (the library, a program and its plug-in modules), while
/// two types with internal linkage that are spelled alike (a struct Config in an anonymous
/// namespace of two source files or two modules) never pass for each other. getTypeName() gives
/// the demangled name, for people to read; two different types may share it.
///
/// Threads: the record's count is atomic (qvRCData), so copies of one container may be made and
/// dropped on several threads at once; a single container object is used by one thread at a time.
/// The value itself is not guarded.
///
/// Lifetime: a value made in a plug-in module must not outlive that module. The function that
/// destroys it and its type's identity live in the module's code, so every container sharing such
/// a value must be released before the module is unloaded. The value templates define no static
/// data of their own, so using them never keeps a module from being unloaded.

#include <string>
#include <typeinfo>

#include "Memory/qvRCData.h"
#include "qvExport.h"

class QV_EXPORT qvAnyContainer
{
public:
    /// The shared record: the value, its type's name and the function that destroys it.
    /// Destroyed only through qvRCData::unref().
    class QV_EXPORT AnyImpl : public qvRCData
    {
    public:
        AnyImpl();
        /// Takes ownership of pValue, to be destroyed with pfnDeleteValue (when both are set).
        /// The type is known by its name only: no typed read (qvAnyCast) matches such a record.
        AnyImpl(void* pValue, const std::string& sstrTypeName, void (*pfnDeleteValue)(void*));
        /// The same for a value of the type type (what qvMakeAny makes); type must outlive the
        /// record, as the type information of the code that made the value does.
        AnyImpl(void* pValue, const std::type_info& type, void (*pfnDeleteValue)(void*));

        /// Same record, or the same value pointer, recorded type and delete function.
        bool operator==(const AnyImpl& other) const;

        /// The held value; null when none was given.
        void* getValue() const { return m_pValue; }
        /// The readable name of the held value's type ("" when none was given).
        const std::string& getTypeName() const;
        /// The held value's type; null for a record given a type name only.
        const std::type_info* getType() const { return m_pType; }
        /// Whether the held value is of the type type, by the C++ runtime's type identity.
        bool holdsType(const std::type_info& type) const
        {
            return m_pType && (m_pType == &type || isSameType(*m_pType, type));
        }

    protected:
        ~AnyImpl() override;

    private:
        void* m_pValue;
        std::string m_sstrTypeName;
        void (*m_pfnDeleteValue)(void*);
        const std::type_info* m_pType;
    };

    qvAnyContainer() : m_pImpl(nullptr) {}
    /// Shares pImpl (takes one reference); null makes an empty container.
    explicit qvAnyContainer(AnyImpl* pImpl) : m_pImpl(pImpl)
    {
        if (m_pImpl)
            m_pImpl->ref();
    }
    /// Shares other's record (takes one reference); the value is not copied.
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

    /// Shares other's record, then releases the one held before. Taking the new reference first
    /// keeps other alive when it lives inside the released value (head =
    /// qvAnyCast<Node>(head)->next walks a chain whose only owner of each node is the node before
    /// it). Self-assignment changes nothing.
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

    /// Same object or same record (two empty containers are equal).
    bool operator==(const qvAnyContainer& other) const
    {
        return &other == this || m_pImpl == other.m_pImpl;
    }
    /// The negation of operator==.
    bool operator!=(const qvAnyContainer& other) const { return !(*this == other); }

    /// Exchanges the records; reference counts stay as they are.
    void swap(qvAnyContainer& other)
    {
        if (m_pImpl != other.m_pImpl) {
            AnyImpl* pTemp = m_pImpl;
            m_pImpl = other.m_pImpl;
            other.m_pImpl = pTemp;
        }
    }

    /// Whether the container holds no record.
    bool isEmpty() const { return m_pImpl == nullptr; }

    /// The held value's type name ("" for an empty container), demangled: "int", "Point".
    std::string getTypeName() const;

    /// The held record (null when empty), for typed access.
    AnyImpl* getImpl() const { return m_pImpl; }

    /// The readable name of T, as getTypeName() reports it for a value made by qvMakeAny<T>.
    template <class T>
    static const std::string& typeNameOf()
    {
        return readableName(typeid(T));
    }

    /// The readable name of a type. The library keeps one copy per type name for as long as it
    /// is loaded (its copies are never freed before the process ends), so the reference stays
    /// valid after the type's own module is gone, and names may be asked for from the
    /// destructors of global and static objects too.
    static const std::string& readableName(const std::type_info& type);

    /// The readable form of a compiler's type name.
    static std::string demangle(const char* pMangledName);

    /// Whether first and second identify one type, as the C++ runtime decides it (also for type
    /// information held twice by two shared libraries), with types of internal linkage told apart
    /// by the object that describes them whichever compiler described them: a type whose name
    /// shows internal linkage (GCC's mark, an anonymous namespace, a class local to a function of
    /// internal linkage, a type without a name) matches only its own object. The name is read
    /// conservatively: a rare name of external linkage may be taken for internal, which only
    /// keeps such a type from matching its copy in another library.
    static bool isSameType(const std::type_info& first, const std::type_info& second);

private:
    AnyImpl* m_pImpl;
};

/// A non-empty container holding a heap copy of value, recorded as a value of type T.
template <class T>
qvAnyContainer qvMakeAny(const T& value)
{
    T* pValue = new T(value);
    qvAnyContainer::AnyImpl* pImpl;
    try {
        pImpl = new qvAnyContainer::AnyImpl(pValue, typeid(T),
                                            [](void* p) { delete static_cast<T*>(p); });
    } catch (...) {
        delete pValue;
        throw;
    }
    return qvAnyContainer(pImpl);
}

/// The held value, or null when the container is empty, holds no value, holds another type or
/// was given its type by name only.
template <class T>
T* qvAnyCast(const qvAnyContainer& container)
{
    const qvAnyContainer::AnyImpl* pImpl = container.getImpl();
    if (!pImpl || !pImpl->getValue() || !pImpl->holdsType(typeid(T)))
        return nullptr;
    return static_cast<T*>(pImpl->getValue());
}

#endif
