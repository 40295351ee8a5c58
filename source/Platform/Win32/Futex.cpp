#include "Platform/Futex.h"

#include <windows.h>

#include <new>

#include "Platform/Check.h"
#include "Platform/ThreadStorage.h"

// The wait-on-address seam on Windows: a parking lot of kernel events.
//
// Why not WaitOnAddress: its wait records live on the waiting thread's stack, linked into a
// process-wide table. A thread killed by TerminateThread while it waits (Thread::terminate()
// allows that) leaves its record linked to a stack that no longer exists, which corrupts the
// table for every address that shares the record's slot: wake-ups get lost, or the waker reads
// freed memory. Here every thread parks on an auto-reset event of its own, its record lives on
// the heap, and a waker that finds the record of a thread that has ended removes and frees it.
//
// - futexWait: under the lock of the address's bucket, compare the word with the expected value
//   (so that a wake between the caller's look and its sleep is never lost: the waker needs the
//   same lock), queue the thread's record, then sleep on its event.
// - futexWake: under the bucket lock, take up to nCount records of that address off the queue
//   and set their events. Records of threads that have ended are freed instead and do not
//   count. The word itself is never read, so waking the address of a destroyed object is
//   harmless, as with a futex.
//
// The buckets' locks are critical sections held for a few instructions only. SuspendThread and
// TerminateThread can stop a thread anywhere, and one stopped inside such a lock would hold up
// every address of that bucket: the locks are internal regions (Futex.h), inside which
// Thread::suspend() and Thread::terminate() never leave a thread stopped. A thread killed after
// a wake-up took it off its address and before it acted on it would take the wake-up with it:
// the address it last parked on is kept for Thread::terminate(), which wakes that address
// again once the thread has gone.

namespace qvPlatform {

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "a wait-on-address word must be a plain 32-bit word");

struct Parker
{
    // The address the thread waits on while queued; null once a waker has taken it off.
    std::atomic<const void*> m_pAddress{nullptr};
    Parker* m_pPrevious = nullptr;
    Parker* m_pNext = nullptr;
    HANDLE m_hEvent = nullptr;  // auto-reset, set once per wake-up
    HANDLE m_hThread = nullptr; // the parked thread, to tell whether it still exists
    std::atomic<std::uint32_t> m_nPollRecord{0}; // see pollRecord(); this thread's only
    // The internal regions (Futex.h) the thread is inside, and the address it last parked on:
    // its WaitRecord, read by Thread while the thread is stopped.
    std::atomic<std::uint32_t> m_nInternalRegions{0};
    std::atomic<const void*> m_pLastParked{nullptr};
    // Set by Thread::terminate() before it kills the thread (takeOverWaitRecord): the record is
    // then the terminator's to free, and a waker that finds it queued only takes it off.
    std::atomic<bool> m_bFreedByTerminator{false};

    ~Parker()
    {
        if (m_hEvent)
            ::CloseHandle(m_hEvent);
        if (m_hThread)
            ::CloseHandle(m_hThread);
    }
};

struct Bucket
{
    CRITICAL_SECTION m_Lock;
    Parker* m_pHead = nullptr;
    Parker* m_pTail = nullptr;

    void append(Parker* pParker)
    {
        pParker->m_pPrevious = m_pTail;
        pParker->m_pNext = nullptr;
        (m_pTail ? m_pTail->m_pNext : m_pHead) = pParker;
        m_pTail = pParker;
    }
    void remove(Parker* pParker)
    {
        (pParker->m_pPrevious ? pParker->m_pPrevious->m_pNext : m_pHead) = pParker->m_pNext;
        (pParker->m_pNext ? pParker->m_pNext->m_pPrevious : m_pTail) = pParker->m_pPrevious;
        pParker->m_pPrevious = pParker->m_pNext = nullptr;
    }
};

constexpr std::size_t BUCKETS = 256;
// A bucket lock is held for a few instructions: spin briefly before sleeping on it.
constexpr DWORD BUCKET_SPIN_COUNT = 1000;

// Created once and never destroyed: waits and wakes may come from static destructors and from
// threads that outlive them.
Bucket* buckets()
{
    static Bucket* const s_pBuckets = [] {
        Bucket* pBuckets = new Bucket[BUCKETS];
        for (std::size_t n = 0; n < BUCKETS; ++n)
            ::InitializeCriticalSectionAndSpinCount(&pBuckets[n].m_Lock, BUCKET_SPIN_COUNT);
        return pBuckets;
    }();
    return s_pBuckets;
}

Bucket& bucketOf(const void* pAddress)
{
    const auto nAddress = reinterpret_cast<std::uintptr_t>(pAddress);
    return buckets()[(nAddress >> 2) % BUCKETS];
}

// The records come from a heap of their own, not the C runtime's: a thread that terminate()
// killed inside malloc (in its own code) leaves the process heap's lock taken, and freeing its
// record there would block the terminator (and a waker, under a bucket lock) for ever. Only a
// thread making or freeing its own record takes this heap's lock, which a library thread does
// before its gate and at its end, where it is never killed. Made when the library is loaded,
// like the other statics of this file (s_bMadeAtLoad below).
HANDLE recordHeap()
{
    static HANDLE s_hHeap = ::HeapCreate(0, 0, 0); // written once, as the library loads
    return s_hHeap;
}

Parker* newParker()
{
    HANDLE hHeap = recordHeap();
    void* pMemory = hHeap ? ::HeapAlloc(hHeap, 0, sizeof(Parker)) : nullptr;
    return pMemory ? new (pMemory) Parker : nullptr;
}

void deleteParker(Parker* pParker)
{
    pParker->~Parker();
    ::HeapFree(recordHeap(), 0, pParker);
}

// A TLS slot of the library's own that points to the calling thread's record, read on every
// internal region: TlsGetValue reads the thread's block directly. Not a C++ thread_local, whose
// first use on a thread makes the C runtime's emulated TLS allocate a per-thread array and a
// record of the threads library (an event and a thread handle, taken under that library's
// process-wide lock, the one pthread_create needs): a thread killed by terminate() never frees
// those, and one killed while they are being made leaves that lock taken. The slot is made when
// the library is loaded and given back as it is unloaded when no record was ever kept (a record
// pins the library, see ThreadStorage.h).
std::atomic<DWORD> s_nRecordSlot{TLS_OUT_OF_INDEXES};
std::atomic<bool> s_bRecordKept{false};

struct RecordSlotGiveBack
{
    ~RecordSlotGiveBack()
    {
        const DWORD nSlot = s_nRecordSlot.exchange(TLS_OUT_OF_INDEXES);
        if (nSlot != TLS_OUT_OF_INDEXES && !s_bRecordKept.load(std::memory_order_acquire))
            ::TlsFree(nSlot);
    }
} s_RecordSlotGiveBack;

// The calling thread's record, null when it has none (yet). TlsGetValue clears the thread's
// last error; it is kept, as a region may come between an OS call and the reading of its error.
Parker* ownParker()
{
    const DWORD nSlot = s_nRecordSlot.load(std::memory_order_relaxed);
    if (nSlot == TLS_OUT_OF_INDEXES)
        return nullptr;
    const DWORD nLastError = ::GetLastError();
    void* pParker = ::TlsGetValue(nSlot);
    ::SetLastError(nLastError);
    return static_cast<Parker*>(pParker);
}

class BucketGuard
{
public:
    explicit BucketGuard(Bucket& bucket) : m_Bucket(bucket)
    {
        enterInternalRegion();
        ::EnterCriticalSection(&m_Bucket.m_Lock);
    }
    ~BucketGuard()
    {
        ::LeaveCriticalSection(&m_Bucket.m_Lock);
        leaveInternalRegion();
    }
    BucketGuard(const BucketGuard&) = delete;
    BucketGuard& operator=(const BucketGuard&) = delete;

private:
    Bucket& m_Bucket;
};

// The calling thread's parker, created at its first wait (a library thread's before its gate)
// and freed when the thread ends normally; a thread killed by terminate() leaves it to the
// terminator, one killed otherwise (TerminateThread of the program's own) to a waker when it was
// queued. Null when it can't be made (out of handles or memory); the wait then only gives way
// once. The FLS slot frees it at the thread's end; the TLS slot is the fast way to it.
void releaseParker(void* pValue)
{
    auto* pParker = static_cast<Parker*>(pValue);
    const DWORD nSlot = s_nRecordSlot.load(std::memory_order_relaxed);
    // The callback also runs for another fiber's value on the thread that deletes that fiber.
    if (nSlot != TLS_OUT_OF_INDEXES && ::TlsGetValue(nSlot) == pParker)
        ::TlsSetValue(nSlot, nullptr);
    deleteParker(pParker);
}

ThreadStorage& parkerSlot()
{
    static ThreadStorage s_Slot(&releaseParker);
    return s_Slot;
}

Parker* currentParker()
{
    if (Parker* pParker = ownParker())
        return pParker;
    const DWORD nSlot = s_nRecordSlot.load(std::memory_order_relaxed);
    if (nSlot == TLS_OUT_OF_INDEXES)
        return nullptr;
    Parker* pParker = newParker();
    if (!pParker)
        return nullptr;
    pParker->m_hEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    // OpenThread rather than DuplicateHandle of the pseudo handle: under Wine the latter holds
    // a process-wide lock across its server call, and a thread killed by TerminateThread in
    // that window leaves it taken, hanging every later CloseHandle in the process.
    pParker->m_hThread = ::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId());
    if (!pParker->m_hEvent || !pParker->m_hThread || !parkerSlot().set(pParker)) {
        deleteParker(pParker);
        return nullptr;
    }
    s_bRecordKept.store(true, std::memory_order_release);
    ::TlsSetValue(nSlot, pParker);
    return pParker;
}

bool hasEnded(const Parker* pParker)
{
    return ::WaitForSingleObject(pParker->m_hThread, 0) == WAIT_OBJECT_0;
}

} // namespace

void prepareThreadForWaits()
{
    currentParker();
}

// Counted in the thread's record. A thread without one (one not made by the library, before its
// first wait) counts nothing: only the library's own threads are ever stopped or killed, and
// they make theirs before their gate. The count never goes below 0, so that a region entered
// before the record existed and left after is harmless.
void enterInternalRegion()
{
    if (Parker* pParker = ownParker())
        pParker->m_nInternalRegions.fetch_add(1, std::memory_order_seq_cst);
}

void leaveInternalRegion()
{
    Parker* pParker = ownParker();
    if (pParker && pParker->m_nInternalRegions.load(std::memory_order_relaxed) != 0)
        pParker->m_nInternalRegions.fetch_sub(1, std::memory_order_seq_cst);
}

WaitRecord waitRecord()
{
    Parker* pParker = currentParker();
    if (!pParker)
        return WaitRecord{nullptr, nullptr};
    return WaitRecord{&pParker->m_nInternalRegions, &pParker->m_pLastParked, pParker};
}

void takeOverWaitRecord(const WaitRecord& record)
{
    if (auto* pParker = static_cast<Parker*>(record.m_pParker))
        pParker->m_bFreedByTerminator.store(true, std::memory_order_seq_cst);
}

void giveBackWaitRecord(const WaitRecord& record)
{
    if (auto* pParker = static_cast<Parker*>(record.m_pParker))
        pParker->m_bFreedByTerminator.store(false, std::memory_order_seq_cst);
}

void futexWaitCancellable(std::atomic<std::uint32_t>& word, std::uint32_t nExpected)
{
    futexWait(word, nExpected);
}

bool haveSeveralProcessors()
{
    static const bool s_bSeveral = [] {
        DWORD_PTR nProcessMask = 0;
        DWORD_PTR nSystemMask = 0;
        if (!::GetProcessAffinityMask(::GetCurrentProcess(), &nProcessMask, &nSystemMask))
            return true;
        return (nProcessMask & (nProcessMask - 1)) != 0;
    }();
    return s_bSeveral;
}

namespace {
// The function-local statics of this file are made when the library is loaded, not at a first
// wait: a thread that terminate() kills while it makes one would leave it half-made, and every
// later thread that reaches it would wait for ever for its construction to finish. What could
// throw here is an allocation failing while the library loads, which may well end the process.
// NOLINTNEXTLINE(cert-err58-cpp)
[[maybe_unused]] const bool s_bMadeAtLoad =
    (buckets(), parkerSlot(), recordHeap(), s_nRecordSlot.store(::TlsAlloc()),
     haveSeveralProcessors(), true);
} // namespace

std::atomic<std::uint32_t>* pollRecord()
{
    Parker* pParker = currentParker();
    return pParker ? &pParker->m_nPollRecord : nullptr;
}

namespace {

// Milliseconds for WaitForSingleObject, rounded up, so that a sleep never ends before its limit.
DWORD toMilliseconds(std::uint64_t nNanoseconds)
{
    const std::uint64_t nMilliseconds = (nNanoseconds + 999999u) / 1000000u;
    return nMilliseconds >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(nMilliseconds);
}

void sleepOn(std::atomic<std::uint32_t>& word, std::uint32_t nExpected, DWORD nMilliseconds)
{
    Parker* pParker = currentParker();
    if (!pParker) {
        ::SwitchToThread(); // a spurious return; callers re-check
        return;
    }
    Bucket& bucket = bucketOf(&word);
    {
        BucketGuard guard(bucket);
        if (word.load(std::memory_order_seq_cst) != nExpected)
            return;
        pParker->m_pAddress.store(&word, std::memory_order_relaxed);
        pParker->m_pLastParked.store(&word, std::memory_order_relaxed);
        bucket.append(pParker);
    }
    const DWORD nResult = ::WaitForSingleObject(pParker->m_hEvent, nMilliseconds);
    QV_PLATFORM_CHECK(nResult == WAIT_OBJECT_0 || nResult == WAIT_TIMEOUT);
    if (nResult != WAIT_OBJECT_0) {
        // Not woken (the limit ran out): leave the queue, under the bucket lock. A waker that
        // took the record off first has set the event under the same lock, so that wake-up is
        // there now: take it. Left set, it would end this thread's next sleep at once, while
        // the thread is queued again, and the record would then be queued twice (or freed at
        // the thread's end while still queued). The caller re-checks either way.
        BucketGuard guard(bucket);
        if (pParker->m_pAddress.load(std::memory_order_relaxed)) {
            bucket.remove(pParker);
            pParker->m_pAddress.store(nullptr, std::memory_order_relaxed);
        } else {
            ::WaitForSingleObject(pParker->m_hEvent, 0);
        }
    }
}

} // namespace

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t nExpected)
{
    sleepOn(word, nExpected, INFINITE);
}

void futexWaitFor(std::atomic<std::uint32_t>& word, std::uint32_t nExpected,
                  std::uint64_t nNanoseconds)
{
    sleepOn(word, nExpected, toMilliseconds(nNanoseconds));
}

void futexWaitCancellableFor(std::atomic<std::uint32_t>& word, std::uint32_t nExpected,
                             std::uint64_t nNanoseconds)
{
    futexWaitFor(word, nExpected, nNanoseconds);
}

void futexWake(std::atomic<std::uint32_t>& word, int nCount)
{
    const void* pAddress = &word;
    Bucket& bucket = bucketOf(pAddress);
    BucketGuard guard(bucket);
    Parker* pParker = bucket.m_pHead;
    while (pParker && nCount > 0) {
        Parker* pNext = pParker->m_pNext;
        if (pParker->m_pAddress.load(std::memory_order_relaxed) == pAddress) {
            bucket.remove(pParker);
            if (hasEnded(pParker)) {
                // Its thread was killed while it waited: the terminator frees the record, or,
                // for a thread that the program killed itself, this waker.
                if (pParker->m_bFreedByTerminator.load(std::memory_order_seq_cst))
                    pParker->m_pAddress.store(nullptr, std::memory_order_release);
                else
                    deleteParker(pParker);
            } else {
                pParker->m_pAddress.store(nullptr, std::memory_order_release);
                ::SetEvent(pParker->m_hEvent);
                --nCount;
            }
        }
        pParker = pNext;
    }
}

void releaseOwnWaitRecord()
{
    Parker* pParker = ownParker();
    if (!pParker)
        return;
    parkerSlot().set(nullptr);
    releaseParker(pParker);
}

// The thread has ended (killed), so nothing changes its record but wakers, which take it off the
// queue (and set its event) under the lock of its address's bucket. That address is the one it
// last parked on: once this has taken that lock the record is off the queue, or taken off here,
// and no waker touches it any more.
void freeWaitRecordOfKilledThread(const WaitRecord& record)
{
    auto* pParker = static_cast<Parker*>(record.m_pParker);
    if (!pParker)
        return;
    if (const void* pAddress = pParker->m_pLastParked.load(std::memory_order_acquire)) {
        Bucket& bucket = bucketOf(pAddress);
        BucketGuard guard(bucket);
        if (pParker->m_pAddress.load(std::memory_order_relaxed) == pAddress) {
            bucket.remove(pParker);
            pParker->m_pAddress.store(nullptr, std::memory_order_relaxed);
        }
    }
    deleteParker(pParker);
}

} // namespace qvPlatform
