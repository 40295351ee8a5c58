#ifndef QV_ITCCONTROLLER_H
#define QV_ITCCONTROLLER_H

/// \file

/// \class qvITC::Controller
/// qvITC::Controller lets any thread run a call on the thread of a main loop: asynchronously
/// (queue it and return) or synchronously (queue it, wait until the loop has run it, return its
/// result). It keeps one InvokationTaskScheduler per main-loop thread, keyed by the OS thread id,
/// and reaches the loops only through the registered qvITC::Interface.
///
/// Guarantees:
/// - Messages to one thread run on that thread's loop one per turn of the loop, and those of one
///   sender in the order it sent them; a loop with queued tasks keeps turning until they are
///   done, even when its pipeline is empty (it does not wait for an unrelated wake-up).
/// - A synchronous sender is always released: with the result; with the functor's own exception
///   (which also leaves the target loop); or with std::runtime_error "ITC message was discarded
///   before it ran." when the task is destroyed unrun (scheduler removed or closed, controller
///   destroyed). A message for a loop that has ended never runs on another thread: messages to
///   a closed scheduler (its loop's run() has ended), to a thread id whose scheduler was removed
///   (until createInvokationTaskScheduler() gives it one again) and to
///   qvITC::Interface::NO_THREAD_ID are refused at once: synchronous ones throw that error,
///   asynchronous ones are dropped.
/// - A synchronous message to the calling thread itself runs at once on the calling thread, and
///   so does one to a thread id that has never had a scheduler of this controller. An
///   asynchronous message to such a thread id is dropped.
/// - An empty (default-constructed) message functor is refused by both sends with
///   std::invalid_argument "ITC message functor is empty.", before anything is queued or run.
/// - Sends may overlap with creating, closing and removing schedulers: the map is guarded, and
///   a scheduler lives until its last user has let go of it. Once closeInvokationTaskScheduler,
///   removeInvokationTaskScheduler or the destructor has returned, no sender calls that loop's
///   wake-up functor any more, so the loop may be destroyed.
/// - Sending to a recently used thread takes no lock: the sender finds the target's scheduler in
///   a small cache of its own (see "Sender cache" below) and queues with one compare-and-swap.
///   A busy loop is not woken for each message; an idle one is woken by the first sender that
///   finds it idle. Queue nodes come back from the loop to its senders, so a sender that keeps
///   up with its loop allocates only the functor's copy and the argument vector's storage per
///   message.
/// Non-guarantees:
/// - No order between messages from different senders beyond the order in which their queueing
///   took effect; no time limit on a synchronous wait (loops waiting on each other in a cycle of
///   synchronous messages deadlock).
/// - Registering and deregistering the interface must not overlap with other calls.
/// - A message that overlaps with the removal of its target's scheduler is either run or
///   discarded (its synchronous sender then gets the discard error), never both.
/// - Wake-ups are not exact: a loop may make a turn more than its messages need.
///
/// Termination (qvThread's suspend() and terminate() on Windows): a send's own steps (the push
/// of its task and the claim of the loop's wake-up) are an internal region, in which no sender
/// is stopped or killed; the interface's wake-up functor, which the sender that claimed the
/// wake-up calls next, is the interface's code and runs outside every region, as do the copies
/// of the message functor and arguments. So suspend() may stop a sender inside the wake-up
/// functor (its loop then wakes when the sender is resumed), and a sender terminated there takes
/// the wake-up with it: its loop sleeps on with the task until its next wake-up, and closing or
/// removing that loop's scheduler waits for ever for the sender to finish waking it. Terminate
/// a sender only outside its sends.
///
/// Sender cache: each sending thread keeps a reference to the schedulers of the last few
/// (controller, thread id) pairs it sent to, with node memory handed back by their loops (the
/// cache itself is allocated by the thread's first send and freed when the thread ends). An
/// entry is used only while its scheduler is open; a closed one is dropped at the thread's next
/// send to that pair (which then looks in the map again: the thread id may have a new
/// scheduler by then), when the thread itself closes or removes it or destroys the controller,
/// or when the thread ends. Until then a closed scheduler, emptied of its tasks and of all but a
/// few blocks of node memory, stays allocated.
///
/// Node memory: the loop hands the memory of the nodes it has run back to its senders 16 blocks
/// at a time, and what is left when it goes idle. What waits for the senders is bounded: once
/// 256 blocks wait untaken, the loop frees the memory of the nodes it runs instead of handing it
/// back, so at most 256 blocks and one batch more wait, during a burst and after it. A sending
/// thread takes everything that waits at once and keeps it in its cache entry until it uses it,
/// drops the entry or ends. Removing or closing a scheduler frees what waits there.
///
/// Ownership: the controller owns its schedulers (shared with the hooks it hands out and with
/// the sender caches); it does not own the interface.

#include <atomic>
#include <map>
#include <memory>

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
    /// The queue of calls for one main-loop thread. Its hook, runNextTask(), runs on that loop's
    /// thread once per turn; addTask() may be called from any thread. Reference-counted: the
    /// controller's map, every hook functor and the sender caches hold a reference, so a loop
    /// that is still inside the hook keeps its scheduler alive.
    ///
    /// Senders push onto a lock-free stack (newest first). The loop takes the whole stack at once
    /// when it has nothing left of the last take, turns it into a list (oldest first) that only
    /// it uses, and runs one task of that list per call. So tasks run in the order their
    /// queueing took effect, and neither side ever waits for the other.
    class QV_EXPORT InvokationTaskScheduler : public qvRCData
    {
    public:
        /// wakeUp: wakes the target loop when it is idle. Called from senders (the first one
        /// that finds the loop idle) and from the loop itself inside runNextTask() (when it
        /// leaves tasks behind), possibly at the same time: it must return quickly, must not
        /// throw, must not wait for the target loop and must not close or remove this scheduler.
        /// It is never called by a sender once close() has returned; it is destroyed with the
        /// scheduler.
        explicit InvokationTaskScheduler(const qvVoidFunctor& wakeUp);

        /// Queues a copy of task and wakes the loop if it has declared itself idle (it has run
        /// everything it took); a busy loop takes the task without a wake-up. Once closed,
        /// queues nothing: a waited-for task is discarded (its sender is released with the
        /// discard error), and the result is false. Any thread.
        bool addTask(const InvokationTask& task);

        /// Runs the oldest queued task, if any, on the calling thread; wakes the loop again first
        /// when more tasks remain, so that they do not wait for another wake-up. An exception
        /// from the task's functor leaves this call (after its sender has been told). Called by
        /// one thread at a time, the loop's; with nothing queued it only reads (unless a sender
        /// woke the loop for a task it had already run: then it declares itself idle again).
        void runNextTask();

        /// The loop will run no more tasks: discards what is queued and refuses what comes. A
        /// task that the loop has taken already still runs. Returns once no sender calls the
        /// wake-up functor any more. Any thread; a second call changes nothing.
        void close();

        /// Whether close() has run.
        bool isClosed() const;

    protected:
        /// Discards the tasks still queued.
        ~InvokationTaskScheduler() override;

    private:
        friend class Controller;

        /// Keeps the senders' fields, the loop's fields and the rest on separate cache lines.
        static constexpr unsigned int CACHE_LINE = 64;
        /// Node memory waits for the senders up to MAX_FREE_NODES blocks (and one batch more);
        /// the loop frees the memory of what it runs beyond that. So a sender takes at most
        /// that much at once and keeps at most that much per cache entry, and an idle loop holds
        /// no more, whatever burst came before.
        static constexpr unsigned int MAX_FREE_NODES = 256;
        /// The loop hands node memory back this many blocks at a time, and when it goes idle.
        static constexpr unsigned int SPENT_NODES_BATCH = 16;

        /// A queued task in its node. Node memory is raw storage of sizeof(TaskNode) from the
        /// global operator new, built in place and reused for later nodes.
        struct TaskNode;
        /// Owns a node outside the queue. Deleting it discards the task (which releases the
        /// waiting sender of a task that never ran and does nothing to one that ran) and frees
        /// the memory.
        struct DiscardAndDelete
        {
            void operator()(TaskNode* pNode) const;
        };
        typedef std::unique_ptr<TaskNode, DiscardAndDelete> NodePtr;

        /// Builds a node for a task made from args in pMemory (node memory), or in new memory
        /// when pMemory is null. On an exception pMemory is freed.
        template <class... Args>
        static NodePtr makeNode(void* pMemory, Args&&... args);
        /// Queues a node; as addTask().
        bool queue(NodePtr upNode);
        /// The node memory that the loop has handed back since the last call (a chain linked
        /// through each block's first word), or null.
        void* takeFreeNodes();

        /// Loop side.
        TaskNode* takeIncoming();
        /// Sets m_bLoopIdle, then wakes the loop itself for a task that came in unnoticed.
        void declareIdle();
        /// Destroys the run task and keeps its node's memory for the senders.
        void recycle(TaskNode* pNode);
        void handBackSpentNodes();
        void pushFreeNodes(void* pFirst, void* pLast, unsigned int nCount);
        /// Sender side: calls m_WakeUp unless the scheduler is closed, registered in m_nWakers.
        void wakeUpFromSender();
        /// As wakeUpFromSender(), for a sender already counted in m_nWakers (in the region of
        /// its push); the wake-up functor runs outside every internal region.
        void wakeUpCounted();
        /// Once the hook is attached: wakes the loop if a sender cleared m_bLoopIdle before.
        void wakeUpIfWokenBeforeHook();

        static TaskNode* closedMark();
        static TaskNode* inUseMark();
        static TaskNode* reversed(TaskNode* pNewestFirst);
        static void discardAll(TaskNode* pList);

        /// The senders' side: newest first, null when empty, closedMark() once closed.
        std::atomic<TaskNode*> m_pIncoming;
        /// The loop has run everything it took and will not turn again for its tasks by itself:
        /// the next sender wakes it. Cleared by that sender, or by the loop when it takes work.
        std::atomic<bool> m_bLoopIdle;
        /// Senders inside wakeUpFromSender(); close() waits until there are none.
        std::atomic<unsigned int> m_nWakers;
        char m_SendersLine[CACHE_LINE];
        /// The loop's side: the rest of its last take, oldest first; null when empty,
        /// inUseMark() while runNextTask() works on it, closedMark() once closed.
        std::atomic<TaskNode*> m_pTaken;
        /// Memory of the nodes the loop has run since it last handed node memory back (a chain,
        /// its last block and its length), and how many blocks it has put into m_pFreeNodes
        /// since it last found that empty (at least as many as are there). The loop's thread
        /// only.
        void* m_pSpentNodes;
        void* m_pLastSpentNode;
        unsigned int m_nSpentNodes;
        unsigned int m_nFreeNodes;
        char m_LoopLine[CACHE_LINE];
        /// Node memory for the senders to take back: filled by the loop a batch at a time.
        std::atomic<void*> m_pFreeNodes;
        char m_FreeNodesLine[CACHE_LINE];
        qvVoidFunctor m_WakeUp;
    };

    /// A controller without an interface and without schedulers. Register the interface before
    /// creating schedulers; messages may be sent from the start (see the guarantees above for
    /// thread ids without a scheduler). Any thread; allocates nothing.
    Controller();
    /// Detaches (when an interface is registered) and releases every scheduler in ascending
    /// thread-id order, discarding their queued tasks; then deregisters the interface.
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    /// Stores the interface, replacing any earlier one.
    void registerInterface(Interface* pInterface);
    /// Forgets the registered interface; the interface itself is not touched.
    void deregisterInterface();

    /// Creates the scheduler for threadId and attaches its hook to that thread's loop; a thread
    /// id whose scheduler was removed gets a new one, and its messages are taken again. A second
    /// call for the same thread id keeps the first scheduler and attaches nothing; of two calls
    /// that overlap, the one that enters its scheduler in the map first wins, and the other
    /// frees its scheduler and attaches nothing.
    /// Throws std::logic_error "Invalid ITC interface." without an interface; exceptions of the
    /// interface pass through (from getWakeUpFunctor: nothing changed; from attachSchedulerHook:
    /// the scheduler stays, without hook).
    void createInvokationTaskScheduler(unsigned long threadId);

    /// Detaches the hook, then removes and closes the scheduler (queued tasks are discarded).
    /// The thread id stays known as ended: later messages to it are refused (see above) until
    /// createInvokationTaskScheduler() gives it a scheduler again. (That costs one map entry per
    /// such thread id, kept until then or until the controller is destroyed.)
    /// Throws std::logic_error "Invalid ITC interface." without an interface; an exception from
    /// detachSchedulerHook leaves the scheduler in place.
    void removeInvokationTaskScheduler(unsigned long threadId);

    /// Marks the loop on threadId as ended (its run() returned or threw): queued tasks are
    /// discarded and later messages refused. Called on any thread; needs no interface.
    void closeInvokationTaskScheduler(unsigned long threadId);

    /// Whether a scheduler exists for threadId, open or closed; false once it has been removed.
    bool hasInvokationTaskScheduler(unsigned long threadId) const;

    /// Queues the call for the loop on threadId and returns; the result is discarded. Throws
    /// std::invalid_argument "ITC message functor is empty." for an empty functor.
    void sendAsyncMessage(const MessageFunctor& message, const ArgumentVector& arguments,
                          unsigned long threadId);

    /// Runs the call on the loop on threadId and returns a container sharing its result (see
    /// the guarantees above for the direct path and for failures). Throws
    /// std::invalid_argument "ITC message functor is empty." for an empty functor.
    qvAnyContainer sendSyncMessage(const MessageFunctor& message, const ArgumentVector& arguments,
                                   unsigned long threadId);

private:
    /// How one send reaches its scheduler: through the calling thread's sender cache, or with a
    /// reference of its own (defined in the source file).
    class Route;

    /// The scheduler for threadId with one reference taken for the caller, or null.
    InvokationTaskScheduler* acquireScheduler(unsigned long threadId);

    Interface* m_pInterface;
    std::map<unsigned long, InvokationTaskScheduler*> m_mapTaskSchedulers;
    mutable qvSynch::LWLock m_MapLock;
};

} // namespace qvITC

#endif
