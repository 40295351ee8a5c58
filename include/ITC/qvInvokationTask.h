#ifndef QV_INVOKATIONTASK_H
#define QV_INVOKATIONTASK_H

/// \file

/// \class qvITC::InvokationTask
/// qvITC::InvokationTask: one call queued for another thread: a message functor, a copy of its
/// argument vector, and the means to hand the result back. The sender of a waited-for call keeps
/// its own task and queues a copy, which the target runs; the copies share the result container,
/// the completion signal and the outcome through atomic reference counts, because they are
/// released on two threads at overlapping times. (A task nobody waits for is built in its queue
/// node and never copied.)
///
/// Outcome of a call that someone waits for (a task built with a signal):
/// - run: the functor's return value is stored in the result container, then the signal rises;
/// - the functor threw: the exception is kept, the signal rises, and the exception leaves
///   execute() on the target thread as well; getResult() rethrows it to the sender;
/// - discarded (destroyed unrun by its scheduler): the signal rises and getResult() throws
///   std::runtime_error "ITC message was discarded before it ran.".
/// So a waiting sender is always released.
///
/// Threads: a task object is used by one thread at a time; copies may live on different threads.

#include <atomic>
#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>

#include <loki/SmartPtr.h>

#include "Container/qvDynamicVector.h"
#include "Memory/qvAnyContainer.h"
#include "Threading/qvSignal.h"
#include "qvConfig.h"

namespace qvITC {

///@{
/// The argument vector of a message and the message functor.
typedef qvDynamicVector<qvAnyContainer, qvClassTypeHandlingPolicy> ArgumentVector;
typedef Loki::Functor<qvAnyContainer, Loki::Typelist<const ArgumentVector&, Loki::NullType>,
                      Loki::SingleThreaded>
    MessageFunctor;
///@}

/// An argument vector holding heap copies of the given values, in order, every slot in use:
/// makeArguments(3, std::string("name")). Read them back with qvAnyCast<T>(arguments[n]).
template <class... Values>
ArgumentVector makeArguments(const Values&... values)
{
    ArgumentVector arguments(sizeof...(Values), true);
    unsigned int nPosition = 0;
    ((arguments[nPosition++] = qvMakeAny(values)), ...);
    return arguments;
}

/// A Loki::SmartPtr ownership policy: a shared, atomic reference count, so that copies of one
/// pointer may be made and released on several threads at once. (Loki's own RefCounted keeps a
/// plain count in its single-threaded small-object allocator.)
///
/// The count is made when a pointer is first copied: a pointer that is never copied (the task of
/// an asynchronous message, built once and run in place) costs no allocation for it. Until then
/// the one holder is the sole owner. Copying the same pointer on two threads at once stays safe:
/// the first count published wins and the other is freed.
template <class P>
class qvAtomicRefCounted
{
public:
    qvAtomicRefCounted() : m_pCount(nullptr) {}
    /// Shares other's count, making it first if other has none yet.
    qvAtomicRefCounted(const qvAtomicRefCounted& other) : m_pCount(other.shareCount()) {}

    /// Counts one more holder of value and returns it.
    P Clone(const P& value)
    {
        m_pCount.load(std::memory_order_relaxed)->fetch_add(1, std::memory_order_relaxed);
        return value;
    }

    /// True for the last release: the pointee is then destroyed by the smart pointer.
    bool Release(const P&)
    {
        Count* pCount = m_pCount.load(std::memory_order_relaxed);
        if (!pCount)
            return true;
        if (pCount->fetch_sub(1, std::memory_order_acq_rel) != 1)
            return false;
        delete pCount;
        m_pCount.store(nullptr, std::memory_order_relaxed);
        return true;
    }

    /// Exchanges the counts of two pointers.
    void Swap(qvAtomicRefCounted& other)
    {
        Count* pCount = m_pCount.load(std::memory_order_relaxed);
        m_pCount.store(other.m_pCount.load(std::memory_order_relaxed), std::memory_order_relaxed);
        other.m_pCount.store(pCount, std::memory_order_relaxed);
    }

    enum
    {
        destructiveCopy = false
    };

private:
    typedef std::atomic<unsigned long> Count;

    /// The count that a new copy shares, made (holding this one owner) on the first copy.
    Count* shareCount() const
    {
        Count* pCount = m_pCount.load(std::memory_order_acquire);
        if (pCount)
            return pCount;
        Count* pNew = new Count(1);
        if (m_pCount.compare_exchange_strong(pCount, pNew, std::memory_order_acq_rel,
                                             std::memory_order_acquire))
            return pNew;
        delete pNew; // another thread's copy published its count first
        return pCount;
    }

    mutable std::atomic<Count*> m_pCount;
};

/// What became of a waited-for call; written on the target thread before the completion signal
/// rises and read by the sender after it has woken.
struct InvokationOutcome
{
    /// The values of m_nState.
    enum State
    {
        PENDING,  ///< not run yet
        DONE,     ///< run: the result is stored
        FAILED,   ///< the functor threw: m_pException holds the exception
        DISCARDED ///< destroyed unrun by its scheduler
    };

    InvokationOutcome() : m_nState(PENDING) {}

    std::atomic<int> m_nState;       ///< A State.
    std::exception_ptr m_pException; ///< The functor's exception, for FAILED.
};

class InvokationTask
{
public:
    /// The result container, shared by the copies of a task.
    typedef Loki::SmartPtr<qvAnyContainer, qvAtomicRefCounted> ResultPtr;
    /// The completion signal, shared by the copies of a task.
    typedef Loki::SmartPtr<qvSynch::Signal, qvAtomicRefCounted> SignalPtr;
    /// The outcome, shared by the copies of a task.
    typedef Loki::SmartPtr<InvokationOutcome, qvAtomicRefCounted> OutcomePtr;

    /// Copies functor and arguments and takes ownership of pResult and pSignal (either may be
    /// null: null result for a call whose result nobody wants, null signal when nobody waits).
    /// Ownership passes even when the constructor throws: both are then deleted.
    InvokationTask(const MessageFunctor& message, const ArgumentVector& arguments,
                   qvAnyContainer* pResult, qvSynch::Signal* pSignal)
        : InvokationTask(message, arguments, std::unique_ptr<qvAnyContainer>(pResult),
                         std::unique_ptr<qvSynch::Signal>(pSignal))
    {
    }

    /// Copies the functor and the arguments; the copy shares the result, signal and outcome.
    InvokationTask(const InvokationTask&) = default;
    /// Copies the whole source before any member changes: a source reachable only through this
    /// task's own functor or arguments is read before they are released.
    InvokationTask& operator=(const InvokationTask& other)
    {
        if (&other != this) {
            InvokationTask copy(other);
            m_Message = copy.m_Message;
            m_Arguments.swap(copy.m_Arguments);
            m_spResult.Swap(copy.m_spResult);
            m_spSignal.Swap(copy.m_spSignal);
            m_spOutcome.Swap(copy.m_spOutcome);
        } // the old members go with copy
        return *this;
    }
    ~InvokationTask() = default;

    /// Runs the call on the calling thread: stores the result (when there is a container), then
    /// raises the signal (when there is one). An exception from the functor is recorded for the
    /// waiting sender, the signal raised, and the exception passed on.
    void execute()
    {
        try {
            if (has(m_spResult))
                *m_spResult = m_Message(m_Arguments);
            else
                m_Message(m_Arguments);
        } catch (...) {
            finish(InvokationOutcome::FAILED, std::current_exception());
            throw;
        }
        finish(InvokationOutcome::DONE, nullptr);
    }

    /// Marks a call that will never run and releases its waiting sender. A task that already
    /// ran keeps its outcome.
    void discard() { finish(InvokationOutcome::DISCARDED, nullptr); }

    /// Waits for completion if there is a signal, then returns a container sharing the result.
    /// Rethrows the functor's exception, or throws std::runtime_error "ITC message was discarded
    /// before it ran." for a discarded call. The task must have a result container.
    qvAnyContainer getResult()
    {
        if (has(m_spSignal)) {
            m_spSignal->waitAndReset();
            const int nState = m_spOutcome->m_nState.load(std::memory_order_acquire);
            if (nState == InvokationOutcome::FAILED)
                std::rethrow_exception(m_spOutcome->m_pException);
            if (nState == InvokationOutcome::DISCARDED)
                throw std::runtime_error("ITC message was discarded before it ran.");
        }
        return qvAnyContainer(*m_spResult);
    }

    /// Whether someone waits for this call.
    bool isWaitedFor() const { return has(m_spSignal); }

private:
    InvokationTask(const MessageFunctor& message, const ArgumentVector& arguments,
                   std::unique_ptr<qvAnyContainer> upResult,
                   std::unique_ptr<qvSynch::Signal> upSignal)
        : m_Message(message), m_Arguments(arguments)
    {
        // Only the outcome's allocation may still fail; until it has succeeded the unique
        // pointers own result and signal. Wrapping a pointer allocates nothing.
        std::unique_ptr<InvokationOutcome> upOutcome(upSignal ? new InvokationOutcome : nullptr);
        // (A task nobody waits for has none of them: its pointers stay null at no cost.)
        if (upResult)
            Reset(m_spResult, upResult.release());
        if (upSignal) {
            Reset(m_spSignal, upSignal.release());
            Reset(m_spOutcome, upOutcome.release());
        }
    }

    template <class Pointer>
    static bool has(const Pointer& sp)
    {
        return Loki::GetImpl(sp) != nullptr;
    }

    void finish(InvokationOutcome::State state, std::exception_ptr pException)
    {
        if (!has(m_spOutcome))
            return;
        // The first outcome wins; the sender reads the exception only after the signal.
        int nPending = InvokationOutcome::PENDING;
        if (!m_spOutcome->m_nState.compare_exchange_strong(nPending, state,
                                                           std::memory_order_acq_rel))
            return;
        m_spOutcome->m_pException = std::move(pException);
        m_spSignal->signal();
    }

    MessageFunctor m_Message;
    ArgumentVector m_Arguments;
    ResultPtr m_spResult;
    SignalPtr m_spSignal;
    OutcomePtr m_spOutcome;
};

} // namespace qvITC

#endif
