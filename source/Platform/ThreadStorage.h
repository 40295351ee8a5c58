#ifndef QV_PLATFORM_THREADSTORAGE_H
#define QV_PLATFORM_THREADSTORAGE_H

// One pointer per thread, handed to a release function when a thread that set it ends: for the
// caches the library keeps per thread.
//
// Linux: a thread_local array, and a second thread_local whose destructor calls the release
// functions and closes the array (so that a later set() on the exit path keeps nothing).
// Windows: a fiber-local storage slot (FlsAlloc) with the release function as its callback; the
// thread's first callback as it ends closes its slots (a mark in a TLS slot), because
// thread_local destructors may run after the callbacks and a value they set would never be
// released.
// Not a thread_local with a destructor: for such a variable in a DLL MinGW's C++ runtime pins the
// DLL and releases it with FreeLibrary as the thread ends, while it holds the thread-exit lock
// of its threads library; two threads that end at once then wait for each other for ever (one
// holds the loader lock and waits for that lock, the other the reverse).
//
// Unloading: a library that has set a value keeps itself loaded for the rest of the process's
// life, because the release functions run at thread exit and must still be there. Windows: the
// first set() of a non-null value pins the DLL (GetModuleHandleEx with
// GET_MODULE_HANDLE_EX_FLAG_PIN); a DLL that never set one gives its slots back as it is unloaded.
// Linux: the reaper is a thread_local with a destructor, registered with the C library per
// thread; glibc does not unmap a shared object while such a destructor of any living thread is
// still due (dlclose leaves it loaded), so nothing is needed there.
//
// Threads: get() and set() concern the calling thread only. Lifetime: a slot lives as long as
// the process (the objects are meant to be function-local statics); the release function runs
// on the ending thread, never for a null pointer, and must not use the slot.

namespace qvPlatform {

class ThreadStorage
{
public:
    typedef void (*Release)(void* pValue);

    explicit ThreadStorage(Release pRelease);
    ThreadStorage(const ThreadStorage&) = delete;
    ThreadStorage& operator=(const ThreadStorage&) = delete;

    // The calling thread's pointer; null until it sets one (or when no slot could be made).
    void* get() const;
    // Sets the calling thread's pointer; false (and nothing kept) when no slot could be made, the
    // calling thread is ending, or (Windows) the library could not be kept loaded.
    bool set(void* pValue);

private:
    unsigned long m_nSlot;
    bool m_bValid;
};

} // namespace qvPlatform

#endif
