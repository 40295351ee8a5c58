#include "MainLoop/qvFunctionPipeLine.h"

#include "Threading/qvLocks.h"
#include "Threading/qvSignal.h"

// How a pass and the changes made by other threads (or by its own functions) stay apart without
// a lock on the pass:
//
// - Nodes are linked under m_Lock and announced afterwards through m_nState (and m_pFirst for
//   the first live node). A pass follows a node's successor only after it has read, in
//   m_nState, a count that includes that successor, so it never reads a link being written.
// - flush() and assignment never unlink nodes a pass may reach: they advance the generation,
//   set the live count to 0 and mark all current nodes as removed. A pass that sees the
//   generation change stops after the function in progress.
// - Removed nodes are freed only while no pass runs. A pass raises the pass counter (its own
//   m_nPassDepth, or the busy count of the owning loop, raised for all of run() but its sleeps;
//   the loop then frees what flushes left behind between two of its passes) before it reads
//   anything, and a remover lowers nothing: it publishes the new state, then reads the depth.
//   With sequentially consistent operations on both sides, either the remover sees the pass
//   (and leaves the nodes to the end of the pass) or the pass sees the new state (and never
//   reaches the removed nodes). The end of a pass mirrors this with m_nRemoved.
// - m_Lock is an internal region (qvLocks.h), so no user code runs under it: a function's node
//   (its copy) is made before the lock is taken, removed nodes are detached under it and
//   destroyed after it is let go, and a copy of the pipeline reads it as a pass does, without
//   the lock.

typedef qvSynchDetail::RegionLock<qvSynch::LWLock> RegionLock;

namespace {

std::uint64_t makeState(std::uint32_t nGeneration, unsigned int nCount)
{
    return (static_cast<std::uint64_t>(nGeneration) << 32) | nCount;
}

} // namespace

// Counts a pass as running for its whole duration, also when a function throws; the last pass
// to end frees what was removed while it ran.
class qvFunctionPipeLine::PassScope
{
public:
    explicit PassScope(qvFunctionPipeLine& pipeLine) : m_PipeLine(pipeLine)
    {
        m_PipeLine.m_pnPassDepth->fetch_add(1, std::memory_order_seq_cst);
    }
    ~PassScope()
    {
        if (m_PipeLine.m_pnPassDepth->fetch_sub(1, std::memory_order_seq_cst) == 1 &&
            m_PipeLine.m_nRemoved.load(std::memory_order_seq_cst) != 0) {
            qvDCList<qvVoidFunctor> removed; // destroyed after the lock is let go
            RegionLock lock(m_PipeLine.m_Lock);
            m_PipeLine.detachRemoved(removed);
        }
    }
    PassScope(const PassScope&) = delete;
    PassScope& operator=(const PassScope&) = delete;

private:
    qvFunctionPipeLine& m_PipeLine;
};

qvFunctionPipeLine::qvFunctionPipeLine()
    : m_nState(0), m_pFirst(nullptr), m_nPassDepth(0), m_pnPassDepth(&m_nPassDepth), m_nRemoved(0),
      m_pWakeUpSignal(nullptr), m_pbOwnerSleeping(nullptr)
{
}

qvFunctionPipeLine::qvFunctionPipeLine(const qvFunctionPipeLine& other)
    : m_nState(0), m_pFirst(nullptr), m_nPassDepth(0), m_pnPassDepth(&m_nPassDepth), m_nRemoved(0),
      m_pWakeUpSignal(nullptr), m_pbOwnerSleeping(nullptr)
{
    // Nobody else sees this pipeline yet: no lock for its own list.
    copyFunctions(other, m_Functions);
    m_pFirst.store(m_Functions.getHead(), std::memory_order_relaxed);
    m_nState.store(makeState(0, m_Functions.getSize()), std::memory_order_seq_cst);
}

qvFunctionPipeLine& qvFunctionPipeLine::operator=(const qvFunctionPipeLine& other)
{
    if (&other == this)
        return *this;
    // Copied from the source without its lock, then linked in under our own: no functor is
    // copied or destroyed under a lock, and no two locks are held at once.
    qvDCList<qvVoidFunctor> copies;
    copyFunctions(other, copies);
    qvDCList<qvVoidFunctor> removed; // destroyed after the lock is let go
    RegionLock lock(m_Lock);
    removeAll(removed);
    while (Node* pNode = copies.unlinkFront())
        linkNode(pNode);
    return *this;
}

qvFunctionPipeLine::~qvFunctionPipeLine()
{
    qvDCList<qvVoidFunctor> removed; // destroyed after the lock is let go
    RegionLock lock(m_Lock);
    removeAll(removed);
}

void qvFunctionPipeLine::addFunction(
    const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& function)
{
    if (!function) // empty: nothing to call
        return;
    // The copy first, with no lock held: it is the user's code, and may throw or take long.
    Node* pNode = new Node(function);
    RegionLock lock(m_Lock);
    linkNode(pNode);
}

void qvFunctionPipeLine::flush()
{
    qvDCList<qvVoidFunctor> removed; // destroyed after the lock is let go
    RegionLock lock(m_Lock);
    removeAll(removed);
}

void qvFunctionPipeLine::operator()()
{
    PassScope pass(*this);
    runPass();
}

void qvFunctionPipeLine::runPass()
{
    // The first live node and the state it belongs to, read consistently: the generation did
    // not change while the node was read.
    std::uint64_t nState;
    Node* pNode;
    for (;;) {
        nState = m_nState.load(std::memory_order_seq_cst);
        if (countOf(nState) == 0)
            return;
        pNode = m_pFirst.load(std::memory_order_seq_cst);
        if (generationOf(m_nState.load(std::memory_order_seq_cst)) == generationOf(nState))
            break;
    }
    for (unsigned int nCalled = 1;; ++nCalled) {
        pNode->m_Value();
        // The successor is read after the call, so functions appended meanwhile run too.
        const std::uint64_t nNow = m_nState.load(std::memory_order_acquire);
        if (generationOf(nNow) != generationOf(nState) || countOf(nNow) <= nCalled)
            return;
        pNode = pNode->m_pNext;
    }
}

void qvFunctionPipeLine::linkNode(Node* pNode)
{
    m_Functions.linkBack(pNode);
    const std::uint64_t nState = m_nState.load(std::memory_order_relaxed);
    const unsigned int nCount = countOf(nState);
    if (nCount == 0)
        m_pFirst.store(pNode, std::memory_order_seq_cst);
    m_nState.store(makeState(generationOf(nState), nCount + 1), std::memory_order_seq_cst);
    // An owning loop that went to sleep on the empty pipeline would not look at it again: wake
    // it. The loop raises its flag before its last emptiness test, so one side always sees the
    // other.
    if (nCount == 0 && m_pbOwnerSleeping && m_pbOwnerSleeping->load(std::memory_order_seq_cst))
        m_pWakeUpSignal->signal();
}

void qvFunctionPipeLine::removeAll(qvDCList<qvVoidFunctor>& removed)
{
    const std::uint64_t nState = m_nState.load(std::memory_order_relaxed);
    if (countOf(nState) != 0) {
        m_nRemoved.store(m_Functions.getSize(), std::memory_order_seq_cst);
        m_nState.store(makeState(generationOf(nState) + 1, 0), std::memory_order_seq_cst);
        m_pFirst.store(nullptr, std::memory_order_seq_cst);
    }
    detachRemoved(removed);
}

void qvFunctionPipeLine::reclaimBetweenPasses(unsigned int nOwnPasses)
{
    // Sequentially consistent, like the remover's store of m_nRemoved before it reads the pass
    // count: the owning loop calls this right after lowering that count, so either it sees the
    // removal here or the remover sees the count lowered and frees the nodes itself.
    if (m_nRemoved.load(std::memory_order_seq_cst) == 0)
        return;
    qvDCList<qvVoidFunctor> removed; // destroyed after the lock is let go
    RegionLock lock(m_Lock);
    detachRemoved(removed, nOwnPasses);
}

void qvFunctionPipeLine::detachRemoved(qvDCList<qvVoidFunctor>& removed, unsigned int nOwnPasses)
{
    unsigned int nRemoved = m_nRemoved.load(std::memory_order_relaxed);
    if (nRemoved == 0 || m_pnPassDepth->load(std::memory_order_seq_cst) != nOwnPasses)
        return;
    if (nRemoved == m_Functions.getSize()) {
        m_Functions.swap(removed);
    } else {
        // Live nodes follow the removed ones; a pass starting now begins at m_pFirst, behind
        // them, and never reads the links unlinkFront() changes.
        while (nRemoved--)
            removed.linkBack(m_Functions.unlinkFront());
    }
    m_nRemoved.store(0, std::memory_order_seq_cst);
}

void qvFunctionPipeLine::copyFunctions(const qvFunctionPipeLine& source,
                                       qvDCList<qvVoidFunctor>& target)
{
    // Announced as a pass: the nodes read here are not freed before it ends. (PassScope changes
    // the source only to free removed nodes, which a pipeline defined const never has.)
    PassScope pass(const_cast<qvFunctionPipeLine&>(source));
    for (;;) {
        // The first live node as runPass() reads it.
        const std::uint64_t nState = source.m_nState.load(std::memory_order_seq_cst);
        if (countOf(nState) == 0)
            return;
        Node* pNode = source.m_pFirst.load(std::memory_order_seq_cst);
        if (generationOf(source.m_nState.load(std::memory_order_seq_cst)) != generationOf(nState))
            continue;
        qvDCList<qvVoidFunctor> copies;
        for (unsigned int nCopied = 1;; ++nCopied) {
            copies.pushBack(pNode->m_Value);
            const std::uint64_t nNow = source.m_nState.load(std::memory_order_acquire);
            if (generationOf(nNow) != generationOf(nState))
                break; // flushed or assigned meanwhile: the copy starts again
            if (countOf(nNow) <= nCopied) {
                while (Node* pCopy = copies.unlinkFront())
                    target.linkBack(pCopy);
                return;
            }
            pNode = pNode->m_pNext;
        }
    }
}

// The earlier steps, kept for the exported interface (see the header).

void qvFunctionPipeLine::appendLocked(const qvVoidFunctor& function)
{
    addFunction(function);
}

void qvFunctionPipeLine::removeAllLocked()
{
    flush();
}

void qvFunctionPipeLine::reclaimLocked(unsigned int nOwnPasses)
{
    reclaimBetweenPasses(nOwnPasses);
}
