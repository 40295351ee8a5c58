#ifndef QV_PLATFORM_COMMON_SCOPEDHANDLE_H
#define QV_PLATFORM_COMMON_SCOPEDHANDLE_H

// Owns an OS handle (a file descriptor, a HANDLE) for one scope and closes it at the end of the
// scope. Traits names the handle type (Handle), tells a handle from the failure value that a
// failed open returns (isValid; such a value is never closed) and closes one (close).
//
// Ownership: the one object owns the handle; it can be neither copied nor moved.

namespace qvPlatform {

template <class Traits>
class ScopedHandle
{
public:
    typedef typename Traits::Handle Handle;

    explicit ScopedHandle(Handle handle) : m_Handle(handle) {}
    ~ScopedHandle()
    {
        if (Traits::isValid(m_Handle))
            Traits::close(m_Handle);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Handle get() const { return m_Handle; }

private:
    Handle m_Handle;
};

} // namespace qvPlatform

#endif
