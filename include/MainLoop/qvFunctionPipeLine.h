#ifndef QV_FUNCTIONPIPELINE_H
#define QV_FUNCTIONPIPELINE_H

/// \file

/// \class qvFunctionPipeLine
/// qvFunctionPipeLine: an ordered list of functions without arguments or result, called one after
/// the other as one pass. A main loop runs one pass per turn while its pipeline holds functions.
///
/// Ownership: the pipeline owns a copy of every function added to it (copying a Loki::Functor
///            clones its target); copies of a pipeline share nothing with their source.
///
/// Threads:   one thread runs passes and asks isEmpty() (the thread of the owning main loop);
///            any thread may call addFunction(), flush(), copy from or assign to the pipeline at
///            any time, also while a pass runs and from inside a function of the pipeline.
///
/// Guarantees while a pass runs:
/// - a pass takes no lock and allocates nothing unless the pipeline is changed during it;
/// - a function appended during a pass (by one of its functions or by another thread) runs later
///   in that same pass, after all functions that were there before;
/// - a flush() or an assignment during a pass ends that pass once the function in progress has
///   returned; the removed functions are destroyed only when no pass is running any more, so the
///   function in progress (even one that flushed its own pipeline) is never destroyed under its
///   own call. The functions the assignment brought in run from the next pass on.
/// Non-guarantees: a pass that starts while another thread flushes may still call the first
/// function of the old contents; passes on one pipeline from two threads at once are not
/// supported.
///
/// Failures: an exception thrown by a function ends the pass at once and reaches the caller of
/// operator(); the functions after it are not called in that pass and the list is unchanged.
/// An allocation failure in addFunction() or a copy throws the allocator's exception and leaves
/// the functions added so far in place. An empty (default-constructed) functor has nothing to
/// call: addFunction() ignores it.

#include <atomic>
#include <cstdint>

#include "Container/qvDCList.h"
#include "Threading/qvLocks.h"
#include "qvConfig.h"
#include "qvExport.h"

namespace qvSynch {
class Signal;
}

class qvMainLoop;

class QV_EXPORT qvFunctionPipeLine
{
public:
    /// An empty pipeline with a lock of its own: isEmpty() is true and a pass does nothing.
    /// Allocates nothing and throws nothing.
    qvFunctionPipeLine();
    /// Copies the source's functions in their order. Takes the source's lock for the copy only.
    qvFunctionPipeLine(const qvFunctionPipeLine& other);
    /// Removes all own functions (as flush() does), then appends copies of the source's functions
    /// in their order; assignment to itself changes nothing. The pipeline keeps its own lock.
    qvFunctionPipeLine& operator=(const qvFunctionPipeLine& other);
    /// Flushes; no pass may run any more.
    ~qvFunctionPipeLine();

    /// Appends a copy of the function at the end of the list. Never blocks on a running pass.
    void addFunction(const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& function);
    /// Removes every function. Those that a running pass may still reach are destroyed when it
    /// ends, the others at once, the last added first.
    void flush();
    /// Runs one pass: calls every function in order; see the guarantees above.
    void operator()();
    /// True when the pipeline holds no function. Takes no lock.
    bool isEmpty() const { return countOf(m_nState.load(std::memory_order_seq_cst)) == 0; }

private:
    friend class qvMainLoop;
    typedef qvDCList<qvVoidFunctor>::Node Node;
    class PassScope;

    static unsigned int countOf(std::uint64_t nState) { return static_cast<unsigned int>(nState); }
    static std::uint32_t generationOf(std::uint64_t nState)
    {
        return static_cast<std::uint32_t>(nState >> 32);
    }

    /// One pass without announcing it; the owning loop announces its passes itself.
    void runPass();
    /// Earlier steps, kept for the library's exported interface and no longer used: each now
    /// forwards to its public or lock-free counterpart (addFunction, flush, reclaimBetweenPasses)
    /// and is called with m_Lock not held.
    ///@{
    void appendLocked(const qvVoidFunctor& function);
    void removeAllLocked();
    void reclaimLocked(unsigned int nOwnPasses = 0);
    ///@}
    /// For the owning loop's thread between two passes: frees what flushes left behind.
    void reclaimBetweenPasses(unsigned int nOwnPasses);
    /// Appends copies of the source's live functions to target, in their order, as a pass over
    /// the source does: without its lock (a functor's copy is the user's code), and starting
    /// again if the source is flushed or assigned meanwhile.
    static void copyFunctions(const qvFunctionPipeLine& source, qvDCList<qvVoidFunctor>& target);

    /// The steps under m_Lock. No functor is copied or destroyed there: nodes are made before the
    /// lock is taken, and the removed ones are handed to the caller, who destroys them (the last
    /// added first) after it has let the lock go.
    ///@{
    /// Links a node made beforehand as the last live function and announces it.
    void linkNode(Node* pNode);
    /// Marks every function removed, and detaches what no pass can reach any more.
    void removeAll(qvDCList<qvVoidFunctor>& removed);
    /// Detaches the removed nodes into removed if no pass but nOwnPasses of the caller's own runs.
    void detachRemoved(qvDCList<qvVoidFunctor>& removed, unsigned int nOwnPasses = 0);
    ///@}

    /// The functions: removed ones (waiting for the end of a pass) first, then the live ones.
    qvDCList<qvVoidFunctor> m_Functions;
    /// Serialises every change of m_Functions and the fields below.
    mutable qvSynch::LWLock m_Lock;
    /// What a pass reads without the lock: the generation (advanced by every flush and
    /// assignment) in the upper 32 bits, the number of live functions in the lower 32 bits.
    /// Stored after the nodes it announces are linked, so a pass that reads it may follow them.
    std::atomic<std::uint64_t> m_nState;
    /// The first live node, or null.
    std::atomic<Node*> m_pFirst;
    /// How many passes are running; removed nodes are freed only while it is 0.
    std::atomic<unsigned int> m_nPassDepth;
    /// The counter that announces passes: m_nPassDepth, or the busy count of the owning loop,
    /// which is raised for all of its run() but its sleeps, so that the loop's own passes cost
    /// no atomic operation of their own.
    std::atomic<unsigned int>* m_pnPassDepth;
    /// How many nodes at the front of m_Functions are removed but not yet freed.
    std::atomic<unsigned int> m_nRemoved;
    /// Set by an owning main loop: the signal to raise when a function arrives while the loop
    /// sleeps on the empty pipeline, and the flag that says it sleeps. Null otherwise.
    qvSynch::Signal* m_pWakeUpSignal;
    const std::atomic<bool>* m_pbOwnerSleeping;
};

#endif
