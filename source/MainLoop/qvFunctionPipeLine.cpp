#include "MainLoop/qvFunctionPipeLine.h"

#include "Threading/qvScopedLock.h"
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

typedef qvSynchDetail::ScopedLock<qvSynch::LWLock> ScopedLock;

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
            ScopedLock lock(m_PipeLine.m_Lock);
            m_PipeLine.reclaimLocked();
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
    {
        ScopedLock lock(other.m_Lock);
        copyFunctions(other, m_Functions);
    }
    m_pFirst.store(m_Functions.getHead(), std::memory_order_relaxed);
    m_nState.store(makeState(0, m_Functions.getSize()), std::memory_order_seq_cst);
}

qvFunctionPipeLine& qvFunctionPipeLine::operator=(const qvFunctionPipeLine& other)
{
    if (&other == this)
        return *this;
    // Copied under the source's lock, then brought in under our own: never both at once.
    qvDCList<qvVoidFunctor> copies;
    {
        ScopedLock lock(other.m_Lock);
        copyFunctions(other, copies);
    }
    ScopedLock lock(m_Lock);
    removeAllLocked();
    for (Node* pNode = copies.getHead(); pNode; pNode = pNode->m_pNext)
        appendLocked(pNode->m_Value);
    return *this;
}

qvFunctionPipeLine::~qvFunctionPipeLine()
{
    ScopedLock lock(m_Lock);
    removeAllLocked();
}

void qvFunctionPipeLine::addFunction(
    const Loki::Functor<void, Loki::NullType, Loki::SingleThreaded>& function)
{
    if (!function) // empty: nothing to call
        return;
    ScopedLock lock(m_Lock);
    appendLocked(function);
}

void qvFunctionPipeLine::flush()
{
    ScopedLock lock(m_Lock);
    removeAllLocked();
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

void qvFunctionPipeLine::appendLocked(const qvVoidFunctor& function)
{
    m_Functions.pushBack(function); // may throw; nothing is announced then
    Node* pNode = m_Functions.getTail();
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

void qvFunctionPipeLine::removeAllLocked()
{
    const std::uint64_t nState = m_nState.load(std::memory_order_relaxed);
    if (countOf(nState) != 0) {
        m_nRemoved.store(m_Functions.getSize(), std::memory_order_seq_cst);
        m_nState.store(makeState(generationOf(nState) + 1, 0), std::memory_order_seq_cst);
        m_pFirst.store(nullptr, std::memory_order_seq_cst);
    }
    reclaimLocked();
}

void qvFunctionPipeLine::reclaimBetweenPasses(unsigned int nOwnPasses)
{
    // Sequentially consistent, like the remover's store of m_nRemoved before it reads the pass
    // count: the owning loop calls this right after lowering that count, so either it sees the
    // removal here or the remover sees the count lowered and frees the nodes itself.
    if (m_nRemoved.load(std::memory_order_seq_cst) == 0)
        return;
    ScopedLock lock(m_Lock);
    reclaimLocked(nOwnPasses);
}

void qvFunctionPipeLine::reclaimLocked(unsigned int nOwnPasses)
{
    unsigned int nRemoved = m_nRemoved.load(std::memory_order_relaxed);
    if (nRemoved == 0 || m_pnPassDepth->load(std::memory_order_seq_cst) != nOwnPasses)
        return;
    if (nRemoved == m_Functions.getSize()) {
        while (!m_Functions.isEmpty())
            m_Functions.popBack(); // the last added first
    } else {
        // Live nodes follow the removed ones; a pass starting now begins at m_pFirst, behind
        // them, and never reads the links popFront() changes.
        while (nRemoved--)
            m_Functions.popFront();
    }
    m_nRemoved.store(0, std::memory_order_seq_cst);
}

void qvFunctionPipeLine::copyFunctions(const qvFunctionPipeLine& source,
                                       qvDCList<qvVoidFunctor>& target)
{
    Node* pNode = source.m_Functions.getHead();
    for (unsigned int nSkip = source.m_nRemoved.load(std::memory_order_relaxed); nSkip && pNode;
         --nSkip)
        pNode = pNode->m_pNext;
    for (; pNode; pNode = pNode->m_pNext)
        target.pushBack(pNode->m_Value);
}
