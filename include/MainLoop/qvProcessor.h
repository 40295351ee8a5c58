#ifndef QV_PROCESSOR_H
#define QV_PROCESSOR_H

/// \file

/// \class qvProcessor
/// qvProcessor owns a set of main loops, the threads that run them and the inter-thread
/// controller through which code on one thread makes a call run on another loop's thread. A host
/// creates one processor, creates loops with createMainLoop() (ids 2, 3, ...), fills them through
/// getMainLoop(id), starts each with run(id) and ends them with shutdown(id) or by destroying the
/// processor. The processor's own loop (PROCESSOR_MAINLOOP_ID, 0) runs on whichever thread calls
/// run(), has no scheduler and cannot receive messages.
///
/// Each created loop gets an invocation task scheduler before its thread ever runs, so messages
/// may be sent to getThreadID(id) at once; they run when the loop runs. The processor is its
/// controller's qvITC::Interface: it implements the interface's four operations privately, for
/// the controller alone; they are not part of its API.
///
/// Guarantees:
/// - shutdown(id) and the destructor return: a loop whose thread was never run is ended without
///   calling its entry or exit function; a suspended loop is resumed so that it can see its
///   shutdown; a loop that already ended by itself is simply joined.
/// - When a loop's run() ends (by its condition or an exception), its scheduler is closed at once:
///   queued messages are discarded (waiting senders are told) and later ones refused.
///   getMainLoopState(id) then tells how it ended, and getMainLoopException(id) gives the
///   exception that ended it.
/// - A message for a loop that has ended never runs on another thread: after shutdown(id), also
///   to the loop's old thread id and to what getThreadID(id) answers then (NO_THREAD_ID), a
///   synchronous message throws the controller's discard error and an asynchronous one is
///   dropped, until that thread id runs a new loop of this processor (see qvITC::Controller).
/// - The start record of a loop's thread lives until the thread has been joined.
/// Non-guarantees:
/// - suspend(id) stops the thread wherever it is (on Windows outside the library's internal locks,
///   see qvThread.h); the loop does not reach a safe point first. A loop stopped inside the heap's
///   lock holds up every allocation of the process, sends to other loops included, until resume.
/// - shutdown(id) waits for the loop's current turn; a pipeline function that never returns
///   blocks it.
///
/// Threads: the processor takes no lock. createMainLoop, run(id), suspend, resume, shutdown(id),
/// getMainLoop, getThreadID, getMainLoopState, getMainLoopException and destruction are called
/// by one controlling thread at a time. shutdown(id) and destruction wait for the loops'
/// threads, so neither may run on a created loop's own thread: shutdown(id) refuses it with an
/// exception, the destructor ends the process (see there). getITC(), run() and shutdown() may be
/// called from any thread; messages may be sent from any thread.
///
/// Failures: shutdown(id) and getMainLoop(id) with an id that names no loop throw
/// std::invalid_argument "MainLoop not found!"; shutdown(id) on that loop's own thread throws
/// std::logic_error "MainLoop cannot be shut down from its own thread."; the interface operations
/// (private: only the controller calls them) throw std::logic_error
/// "No mainloop for thread available." for a thread that runs no created loop; thread creation
/// failures throw the thread's std::runtime_error out of createMainLoop(), which then changes
/// nothing.

#include <exception>
#include <map>

#include "ITC/qvITCController.h"
#include "ITC/qvITCInterface.h"
#include "MainLoop/qvMainLoop.h"
#include "qvConfig.h"
#include "qvExport.h"

class qvThread;
class qvThreadData;

// The processor is its controller's qvITC::Interface, but the four operations are private: the
// reference leaves the base out, so that they are not listed as the processor's own API.
class QV_EXPORT qvProcessor /** \cond INTERNAL */ : public qvITC::Interface /** \endcond */
{
public:
    /// The id of the processor's own loop, which run() runs on the calling thread.
    static const unsigned long PROCESSOR_MAINLOOP_ID;
    /// No thread, and so no loop (0xFFFFFFFF): what getThreadID() answers for an id that names
    /// no created loop. The controller refuses messages addressed to it. The same value as
    /// qvITC::Interface::NO_THREAD_ID.
    static constexpr unsigned long NO_THREAD_ID = qvITC::Interface::NO_THREAD_ID;

    /// What has become of a created loop (getMainLoopState()).
    enum MainLoopState
    {
        MAINLOOP_NOT_FOUND, ///< no created loop has this id (nor has PROCESSOR_MAINLOOP_ID)
        MAINLOOP_CREATED,   ///< created; its thread has not been started by run(id)
        MAINLOOP_RUNNING,   ///< started; its run() has not returned (also while suspended)
        MAINLOOP_FINISHED,  ///< its run() returned: its loop condition said no
        MAINLOOP_FAILED     ///< its run() ended by an exception (see getMainLoopException())
    };

    /// A processor with its own loop (PROCESSOR_MAINLOOP_ID, not running), its controller with
    /// itself registered as the interface, and no created loop; the first createMainLoop()
    /// returns 2. Starts no thread. Throws only the allocator's exception.
    qvProcessor();
    /// Resumes every suspended loop, then shuts down every created loop in ascending id order,
    /// then deregisters from the controller. The processor's own loop must not be running.
    ///
    /// On a created loop's own thread (a loop function that destroys the processor) it can
    /// neither wait for that thread, which is itself, nor leave the loop running on freed state,
    /// and a destructor cannot throw: it writes "qvProcessor destroyed on the thread of its own
    /// main loop <id>." to standard error and calls std::terminate(), before it changes anything.
    ~qvProcessor();
    qvProcessor(const qvProcessor&) = delete;
    qvProcessor& operator=(const qvProcessor&) = delete;

    /// A new loop with a suspended thread of its own and a scheduler; returns its id.
    unsigned long createMainLoop();
    /// Starts the loop on its thread; a second call resumes it once if it was suspended. Unknown
    /// ids (PROCESSOR_MAINLOOP_ID included) are ignored.
    void run(unsigned long id);
    /// Runs the processor's own loop on the calling thread until it ends.
    void run();
    ///@{
    /// Suspend or resume the loop's thread (counted: two suspends need two resumes). Unknown ids
    /// are ignored.
    void suspend(unsigned long id);
    void resume(unsigned long id);
    ///@}
    /// Shuts the loop down, removes its scheduler, waits for its thread and deletes both.
    /// Throws std::invalid_argument "MainLoop not found!" for an id that names no created loop,
    /// and std::logic_error "MainLoop cannot be shut down from its own thread." when called on
    /// that loop's thread (it would wait for itself); either way nothing changes. A loop function
    /// that wants its loop to end calls getMainLoop(id).shutdown() instead, and the controlling
    /// thread calls shutdown(id) afterwards.
    void shutdown(unsigned long id);
    /// Shuts down the processor's own loop only.
    void shutdown();

    /// The created loop with this id, or the processor's own loop for PROCESSOR_MAINLOOP_ID.
    qvMainLoop& getMainLoop(unsigned long id);
    /// The OS id of the loop's thread; NO_THREAD_ID for an id that names no created loop,
    /// PROCESSOR_MAINLOOP_ID and shut-down loops included. Also NO_THREAD_ID for a loop that ended
    /// by itself once a new loop's thread has got its old thread id (Linux gives the id of an
    /// ended thread to a new one): messages to that id reach the new loop.
    unsigned long getThreadID(unsigned long id) const;
    /// Whether the loop with this id still runs, and if not, how it ended. The state of a loop
    /// is written by its thread when its run() ends (after its scheduler has been closed) and
    /// seen here from then on; a loop that ended stays in the processor until shutdown(id).
    /// Unknown ids report MAINLOOP_NOT_FOUND.
    MainLoopState getMainLoopState(unsigned long id) const;
    /// The exception that ended the loop's run() (state MAINLOOP_FAILED); null in every other
    /// state and for an unknown id. The processor keeps it until shutdown(id) or destruction.
    std::exception_ptr getMainLoopException(unsigned long id) const;
    /// The inter-thread controller that reaches every loop of this processor.
    qvITC::Controller& getITC() { return m_ITC; }

private:
    // qvITC::Interface, for the controller only: not part of the processor's API.
    unsigned long getCurrentThreadID() override;
    qvVoidFunctor getWakeUpFunctor(unsigned long threadId) override;
    void attachSchedulerHook(unsigned long threadId, const qvVoidFunctor& hook) override;
    void detachSchedulerHook(unsigned long threadId) override;

    /// A created loop and what runs it. The record's address is stable (a map node), so the
    /// loop's thread gets the record itself as its start argument.
    struct MainLoopData
    {
        qvMainLoop* m_pMainLoop;
        qvThread* m_pThread;
        /// The start record, made by the first run(id); it also keeps how the loop's run()
        /// ended (a record of the source file derived from qvThreadData).
        qvThreadData* m_pThreadData;
        qvITC::Controller* m_pITC; ///< closes the loop's scheduler when its run() ends
        unsigned long m_nThreadID;
        unsigned int m_nSuspendCount; ///< suspend(id) calls not yet undone
    };

    static long runMainLoop(void* pMainLoopData);

    qvMainLoop& loopOfThread(unsigned long threadId);
    /// Shuts the loop down, removes its scheduler, lets its thread end and frees both; the map
    /// entries are the caller's.
    void endMainLoop(MainLoopData& data);
    /// Undoes every suspend(id) of the loop that is still in force.
    void resumeFully(MainLoopData& data);

    qvITC::Controller m_ITC;
    qvMainLoop m_MainLoop;
    std::map<unsigned long, unsigned long> m_mapThreadToMainLoop;
    std::map<unsigned long, MainLoopData> m_mapMainLoops;
    unsigned long m_nLastMainLoopID;
};

#endif
