#ifndef QV_ITCCONTROLLER_H
#define QV_ITCCONTROLLER_H

// qvITC::Controller lets any thread run a call on the thread of a main loop: asynchronously
// (queue it and return) or synchronously (queue it, wait until the loop has run it, return its
// result). It keeps one InvokationTaskScheduler per main-loop thread, keyed by the OS thread id,
// and reaches the loops only through the registered qvITC::Interface.
//
// Guarantees:
// - Messages to one thread run on that thread's loop in the order they were queued, one per
//   turn of the loop; a loop with queued tasks keeps turning until they are done, even when its
//   pipeline is empty (it does not wait for an unrelated wake-up).
// - A synchronous sender is always released: with the result; with the functor's own exception
//   (which also leaves the target loop); or with std::runtime_error "ITC message was discarded
//   before it ran." when the task is destroyed unrun (scheduler removed or closed, controller
//   destroyed). Messages to a closed scheduler (its loop has ended) are refused at once:
//   synchronous ones throw that error, asynchronous ones are dropped.
// - A synchronous message to the calling thread itself, or to a thread without a scheduler,
//   runs at once on the calling thread. An asynchronous message to a thread without a
//   scheduler is dropped.
// - Sends may overlap with creating, closing and removing schedulers: the map is guarded, and
//   a scheduler lives until its last user has let go of it.
// Non-guarantees:
// - No order between messages from different senders beyond the order in which they were
//   queued; no time limit on a synchronous wait (loops waiting on each other in a cycle of
//   synchronous messages deadlock).
// - Registering and deregistering the interface must not overlap with other calls.
//
// Ownership: the controller owns its schedulers (shared with the hooks it hands out); it does
// not own the interface.

#include <map>
#include <memory>

#include "Container/qvDCList.h"
#include "ITC/qvITCInterface.h"
#include "ITC/qvInvokationTask.h"
#include "Memory/qvRCData.h"
#include "Threading/qvLocks.h"
#include "qvConfig.h"
#include "qvExport.h"

namespace qvITC {

class QV_EXPORT Controller
{
public:
    // The queue of calls for one main-loop thread. Its hook, runNextTask(), runs on that loop's
    // thread once per turn; addTask() may be called from any thread. Reference-counted: the
    // controller's map and every hook functor hold a reference, so a loop that is still inside
    // the hook keeps its scheduler alive.
    class QV_EXPORT InvokationTaskScheduler : public qvRCData
    {
    public:
        // wakeUp: wakes the target loop when it is idle. It is called while the scheduler's
        // lock is held (so that close() is a barrier after which it is never called again):
        // it must return quickly and must not wait for the target loop.
        explicit InvokationTaskScheduler(const qvVoidFunctor& wakeUp);

        // Queues a copy of task (made before the lock is taken) and wakes the loop if the
        // queue was empty; a queue that holds tasks has a wake-up on its way already. Once
        // closed, queues nothing: a waited-for task is discarded (its sender is released with
        // the discard error), and the result is false.
        bool addTask(const InvokationTask& task);

        // Takes the oldest queued task, if any, off the queue and runs it outside the lock; wakes
        // the loop again first when more tasks remain, so that they do not wait for another
        // wake-up. An exception from the task's functor leaves this call (after its sender has
        // been told).
        void runNextTask();

        // The loop will run no more tasks: discards what is queued and refuses what comes.
        void close();

        unsigned int getNumberOfTasks() const { return m_nQueued.load(std::memory_order_relaxed); }

    protected:
        // Discards the tasks still queued.
        ~InvokationTaskScheduler() override;

    private:
        friend class Controller;

        typedef qvDCList<InvokationTask>::Node TaskNode;
        // Owns a queue node outside the list. Deleting it discards the task, which releases the
        // waiting sender of a task that never ran and does nothing to one that ran.
        struct DiscardAndDelete
        {
            void operator()(TaskNode* pNode) const
            {
                pNode->m_Value.discard();
                delete pNode;
            }
        };
        typedef std::unique_ptr<TaskNode, DiscardAndDelete> NodePtr;

        // A node for a task built from args, in the calling thread's spare node memory if it
        // has any.
        template <class... Args>
        static NodePtr makeNode(Args&&... args);
        // Queues a node built outside the lock; as addTask(). Gives the calling thread spare
        // node memory for its next message when the loop has returned some.
        bool queue(NodePtr upNode);

        qvSynch::LWLock m_Lock;
        qvVoidFunctor m_WakeUp;
        qvDCList<InvokationTask> m_TaskList;
        // The queue length, readable without the lock for the cheap emptiness test.
        std::atomic<unsigned int> m_nQueued;
        bool m_bClosed;
        // Node memory passed back from the loop to its senders: m_pSpareNode (guarded by
        // m_Lock) waits for a sender; m_pSpentNode is the node of the task run last, touched
        // only by runNextTask(), which hands it on at its next take.
        void* m_pSpareNode;
        void* m_pSpentNode;
    };

    Controller();
    // Detaches (when an interface is registered) and releases every scheduler in ascending
    // thread-id order, discarding their queued tasks; then deregisters the interface.
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Stores the interface, replacing any earlier one.
    void registerInterface(Interface* pInterface);
    void deregisterInterface();

    // Creates the scheduler for threadId and attaches its hook to that thread's loop. A second
    // call for the same thread id keeps the first scheduler and attaches nothing; of two calls
    // that overlap, the one that enters its scheduler in the map first wins, and the other
    // frees its scheduler and attaches nothing.
    // Throws std::logic_error "Invalid ITC interface." without an interface; exceptions of the
    // interface pass through (from getWakeUpFunctor: nothing changed; from attachSchedulerHook:
    // the scheduler stays, without hook).
    void createInvokationTaskScheduler(unsigned long threadId);

    // Detaches the hook, then removes and closes the scheduler (queued tasks are discarded).
    // Throws std::logic_error "Invalid ITC interface." without an interface; an exception from
    // detachSchedulerHook leaves the scheduler in place.
    void removeInvokationTaskScheduler(unsigned long threadId);

    // Marks the loop on threadId as ended (its run() returned or threw): queued tasks are
    // discarded and later messages refused. Called on any thread; needs no interface.
    void closeInvokationTaskScheduler(unsigned long threadId);

    bool hasInvokationTaskScheduler(unsigned long threadId) const;

    // Queues the call for the loop on threadId and returns; the result is discarded.
    void sendAsyncMessage(const MessageFunctor& message, const ArgumentVector& arguments,
                          unsigned long threadId);

    // Runs the call on the loop on threadId and returns a container sharing its result (see
    // the guarantees above for the direct path and for failures).
    qvAnyContainer sendSyncMessage(const MessageFunctor& message, const ArgumentVector& arguments,
                                   unsigned long threadId);

private:
    // The scheduler for threadId with one reference taken for the caller, or null.
    InvokationTaskScheduler* acquireScheduler(unsigned long threadId);

    Interface* m_pInterface;
    std::map<unsigned long, InvokationTaskScheduler*> m_mapTaskSchedulers;
    mutable qvSynch::LWLock m_MapLock;
};

} // namespace qvITC

#endif
