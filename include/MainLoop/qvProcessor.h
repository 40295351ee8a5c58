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
/// may be sent to getThreadID(id) at once; they run when the loop runs.
///
/// Guarantees:
/// - shutdown(id) and the destructor return: a loop whose thread was never run is ended without
///   calling its entry or exit function; a suspended loop is resumed so that it can see its
///   shutdown; a loop that already ended by itself is simply joined.
/// - When a loop's run() ends (by its condition or an exception), its scheduler is closed at once:
///   queued messages are discarded (waiting senders are told) and later ones refused.
/// - The start record of a loop's thread lives until the thread has been joined.
/// Non-guarantees:
/// - suspend(id) stops the thread wherever it is (on Windows outside the library's internal locks,
///   see qvThread.h); the loop does not reach a safe point first. A loop stopped inside the heap's
///   lock holds up every allocation of the process, sends to other loops included, until resume.
/// - shutdown(id) waits for the loop's current turn; a pipeline function that never returns
///   blocks it.
///
/// Threads: the processor takes no lock. createMainLoop, run(id), suspend, resume, shutdown(id),
/// getMainLoop, getThreadID and destruction are called by one controlling thread at a time, never
/// from a created loop's own thread for shutdown(id). getITC(), run() and shutdown() may be called
/// from any thread; messages may be sent from any thread.
///
/// Failures: shutdown(id) and getMainLoop(id) with an id that names no loop throw
/// std::invalid_argument "MainLoop not found!"; the interface operations throw std::logic_error
/// "No mainloop for thread available." for a thread that runs no created loop; thread creation
/// failures throw the thread's std::runtime_error out of createMainLoop(), which then changes
/// nothing.

#include <map>

#include "ITC/qvITCController.h"
#include "ITC/qvITCInterface.h"
#include "MainLoop/qvMainLoop.h"
#include "qvConfig.h"
#include "qvExport.h"

class qvThread;
class qvThreadData;

class QV_EXPORT qvProcessor : public qvITC::Interface
{
public:
    /// The id of the processor's own loop, which run() runs on the calling thread.
    static const unsigned long PROCESSOR_MAINLOOP_ID;

    qvProcessor();
    /// Resumes every suspended loop, then shuts down every created loop in ascending id order,
    /// then deregisters from the controller. The processor's own loop must not be running.
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
    void shutdown(unsigned long id);
    /// Shuts down the processor's own loop only.
    void shutdown();

    /// The created loop with this id, or the processor's own loop for PROCESSOR_MAINLOOP_ID.
    qvMainLoop& getMainLoop(unsigned long id);
    /// The OS id of the loop's thread; 0xFFFFFFFF for an id that names no created loop.
    unsigned long getThreadID(unsigned long id) const;
    /// The inter-thread controller that reaches every loop of this processor.
    qvITC::Controller& getITC() { return m_ITC; }

private:
    /// qvITC::Interface, for the controller.
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
        qvThreadData* m_pThreadData; ///< the start record, made by the first run(id)
        qvITC::Controller* m_pITC;   ///< closes the loop's scheduler when its run() ends
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
