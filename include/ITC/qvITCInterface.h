#ifndef QV_ITCINTERFACE_H
#define QV_ITCINTERFACE_H

/// \file

/// \class qvITC::Interface
/// qvITC::Interface: how the inter-thread controller reaches main loops. Its owner (the
/// processor, in this library) implements it and registers it with the controller, which then
/// finds a loop, its wake-up function and its scheduler hook by the id of the thread running it.
///
/// Threads: getCurrentThreadID() is called from any thread that sends a synchronous message;
/// the other three only from the controller's controlling thread, while it creates or removes a
/// scheduler. Implementations may throw from the last three when no loop runs on threadId; the
/// controller lets those exceptions through.

#include "qvConfig.h"
#include "qvExport.h"

namespace qvITC {

class QV_EXPORT Interface
{
public:
    /// The thread id that names no thread (all 32 bits set): no thread has it, so no loop runs
    /// on it. qvProcessor::getThreadID() answers it for an id that names no created loop, and
    /// the controller refuses a message addressed to it (see qvITC::Controller).
    static constexpr unsigned long NO_THREAD_ID = 0xFFFFFFFFul;

    /// The operating-system id of the calling thread.
    virtual unsigned long getCurrentThreadID() = 0;
    /// A functor that, called from any thread, wakes the loop running on threadId out of its
    /// idle wait.
    virtual qvVoidFunctor getWakeUpFunctor(unsigned long threadId) = 0;
    /// Installs hook as that loop's scheduler hook, called once per turn of the loop.
    virtual void attachSchedulerHook(unsigned long threadId, const qvVoidFunctor& hook) = 0;
    /// Removes that loop's scheduler hook.
    virtual void detachSchedulerHook(unsigned long threadId) = 0;

protected:
    /// Not owned by the controller: never deleted through this interface.
    ~Interface() = default;
};

} // namespace qvITC

#endif
