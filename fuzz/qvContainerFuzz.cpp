// Random sequences of container operations, each checked against a standard-library model.
//
// Two instances of each of qvDCList, qvSCList and qvDynamicVector (and, once it exists, of
// qvPoolList) take operations chosen by the input: inserts at every kind of position, pushes,
// pops, copies, assignments (also to itself), swaps and slot writes. After every operation the
// container must hold exactly what the model holds, its links must agree in both directions,
// and the number of live elements must equal what the models hold: a leaked or doubly
// destroyed element shows at once, not only in the sanitizer's leak report.
//
// Element copies can be made to throw after a countdown chosen by the input, to check that a
// failed operation frees what it made and leaves the container in the state its comment
// promises.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "Container/qvDCList.h"
#include "Container/qvDynamicVector.h"
#include "Container/qvSCList.h"
#include "qvFuzzCheck.h"

#if __has_include("Container/qvPoolList.h")
#include "Container/qvPoolList.h"
#include "Threading/qvLocks.h"
#define QV_FUZZ_POOLLIST 1
#endif

namespace {

// Keeps the lists short enough that the walks after every operation stay cheap.
constexpr std::size_t MAX_ELEMENTS = 64;
constexpr unsigned int MAX_SLOTS = 16;

struct CopyFailure
{};

// An element that counts its live instances, keeps its value on the heap (so that a use after
// destruction is a sanitizer report) and can be told to fail its n-th next copy.
class Tracked
{
public:
    static inline long s_nLive = 0;
    static inline int s_nCopiesUntilThrow = 0; // 0: copies never throw

    Tracked() : m_pValue(new int(-1)) { ++s_nLive; }
    explicit Tracked(int nValue) : m_pValue(new int(nValue)) { ++s_nLive; }
    Tracked(const Tracked& other) : m_pValue(nullptr)
    {
        countCopy();
        m_pValue = new int(*other.m_pValue);
        ++s_nLive;
    }
    Tracked& operator=(const Tracked& other)
    {
        countCopy();
        *m_pValue = *other.m_pValue;
        return *this;
    }
    ~Tracked()
    {
        delete m_pValue;
        --s_nLive;
    }

    int get() const { return *m_pValue; }

    static void failCopyAfter(int nCopies) { s_nCopiesUntilThrow = nCopies; }
    static void disarm() { s_nCopiesUntilThrow = 0; }

private:
    static void countCopy()
    {
        if (s_nCopiesUntilThrow > 0 && --s_nCopiesUntilThrow == 0)
            throw CopyFailure();
    }

    int* m_pValue;
};

// Runs an operation with copies armed to fail after nCopies (0: not armed); true when it threw
// CopyFailure. Leaves copies disarmed.
template <class Operation>
bool runArmed(int nCopies, Operation operation)
{
    Tracked::failCopyAfter(nCopies);
    bool bThrew = false;
    try {
        operation();
    } catch (const CopyFailure&) {
        bThrew = true;
    }
    Tracked::disarm();
    QV_FUZZ_CHECK(nCopies > 0 || !bThrew);
    return bThrew;
}

// ---------------------------------------------------------------------------------------------
// qvDCList

typedef qvDCList<Tracked> DCList;
typedef std::deque<int> DCModel;

void checkDCList(const DCList& list, const DCModel& model)
{
    QV_FUZZ_CHECK(list.getSize() == model.size());
    QV_FUZZ_CHECK(list.isEmpty() == model.empty());
    std::size_t n = 0;
    const DCList::Node* pPrevious = nullptr;
    for (const DCList::Node* pNode = list.getHead(); pNode; pNode = pNode->getNext(), ++n) {
        QV_FUZZ_CHECK(n < model.size());
        QV_FUZZ_CHECK(pNode->m_Value.get() == model[n]);
        QV_FUZZ_CHECK(pNode->getPrev() == pPrevious);
        pPrevious = pNode;
    }
    QV_FUZZ_CHECK(n == model.size());
    QV_FUZZ_CHECK(list.getTail() == pPrevious);
    if (!model.empty())
        QV_FUZZ_CHECK(list.getFront().get() == model.front());
}

// Where qvDCList::insert links a node, or false when it refuses the position.
bool modelDCInsert(DCModel& model, int nValue, unsigned int nPosition)
{
    if (model.empty() || (nPosition != 0 && (model.size() == 1 || nPosition == model.size())))
        model.push_back(nValue);
    else if (nPosition == 0)
        model.push_front(nValue);
    else
        return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// qvSCList

typedef qvSCList<Tracked> SCList;
typedef std::vector<int> SCModel;

void checkSCList(const SCList& list, const SCModel& model)
{
    QV_FUZZ_CHECK(list.getSize() == model.size());
    QV_FUZZ_CHECK(list.isEmpty() == model.empty());
    std::size_t n = 0;
    for (const SCList::Node* pNode = list.getHead(); pNode; pNode = pNode->getNext(), ++n) {
        QV_FUZZ_CHECK(n < model.size());
        QV_FUZZ_CHECK(pNode->m_Value.get() == model[n]);
    }
    QV_FUZZ_CHECK(n == model.size());
}

bool modelSCInsert(SCModel& model, int nValue, unsigned int nPosition)
{
    if (model.empty() || nPosition == model.size())
        model.push_back(nValue);
    else if (nPosition == 0)
        model.insert(model.begin(), nValue);
    else
        return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// qvDynamicVector

typedef qvDynamicVector<Tracked, qvClassTypeHandlingPolicy> Vector;

struct VectorModel
{
    std::vector<int> m_vecSlots;
    unsigned int m_nLastElement = Vector::NO_ELEMENT;
};

void checkVector(const Vector& vector, const VectorModel& model)
{
    QV_FUZZ_CHECK(vector.getSize() == model.m_vecSlots.size());
    QV_FUZZ_CHECK(vector.getLastElement() == model.m_nLastElement);
    for (unsigned int n = 0; n < vector.getSize(); ++n)
        QV_FUZZ_CHECK(vector[n].get() == model.m_vecSlots[n]);
}

// ---------------------------------------------------------------------------------------------
// qvPoolList: a list of nodes that recycles them through a pool that is never empty.

#ifdef QV_FUZZ_POOLLIST

struct PoolItem
{
    long m_nValue = 0;
};

typedef qvPoolList<PoolItem, qvSynch::NullLock> PoolList;

// The element a pool node holds; the name of the node's element member is the header's.
template <class NodeType>
PoolItem& poolItem(NodeType* pNode)
{
    if constexpr (requires { pNode->m_Value; })
        return pNode->m_Value;
    else if constexpr (requires { pNode->m_Element; })
        return pNode->m_Element;
    else
        return pNode->m_Data;
}

struct PoolState
{
    typedef decltype(std::declval<PoolList&>().takeFreeNode()) NodePointer;

    explicit PoolState(unsigned int nSpare) : m_List(nSpare), m_nFree(nSpare + 1) {}
    ~PoolState()
    {
        // Nodes taken and not handed back belong to no list; give them back so that the
        // list's destructor frees them.
        for (NodePointer pNode : m_vecHeld)
            m_List.returnFreeNode(pNode);
    }

    PoolList m_List;
    std::deque<long> m_Used; // values in the used list, front first
    std::vector<NodePointer> m_vecHeld;
    std::size_t m_nFree;
};

void checkPool(PoolState& state) // not const: the getters need not be
{
    QV_FUZZ_CHECK(state.m_List.getSize() == state.m_Used.size());
    QV_FUZZ_CHECK(state.m_List.getFreeSize() == state.m_nFree);
    QV_FUZZ_CHECK(state.m_nFree >= 1);
}

void runPoolOperation(FuzzedDataProvider& data, std::optional<PoolState>& pool, long& nNextValue)
{
    if (!pool) {
        pool.emplace(data.ConsumeIntegralInRange<unsigned int>(0, 8));
        checkPool(*pool);
        return;
    }
    PoolState& state = *pool;
    switch (data.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: { // take a node from the pool
        if (state.m_vecHeld.size() >= MAX_ELEMENTS)
            break;
        auto pNode = state.m_List.takeFreeNode();
        QV_FUZZ_CHECK(pNode != nullptr);
        QV_FUZZ_CHECK(pNode->m_pNext == nullptr && pNode->m_pPrev == nullptr);
        for (auto pHeld : state.m_vecHeld)
            QV_FUZZ_CHECK(pHeld != pNode);
        if (state.m_nFree > 1)
            --state.m_nFree; // else a fresh node replaced the last one
        state.m_vecHeld.push_back(pNode);
        break;
    }
    case 1: { // append a held node to the used list
        if (state.m_vecHeld.empty())
            break;
        const std::size_t nIndex =
            data.ConsumeIntegralInRange<std::size_t>(0, state.m_vecHeld.size() - 1);
        auto pNode = state.m_vecHeld[nIndex];
        state.m_vecHeld.erase(state.m_vecHeld.begin() + static_cast<std::ptrdiff_t>(nIndex));
        poolItem(pNode).m_nValue = ++nNextValue;
        state.m_List.pushBack(pNode);
        state.m_Used.push_back(nNextValue);
        break;
    }
    case 2: { // take the first used node
        if (state.m_Used.empty())
            break;
        auto pNode = state.m_List.popFront();
        QV_FUZZ_CHECK(pNode != nullptr);
        QV_FUZZ_CHECK(pNode->m_pNext == nullptr && pNode->m_pPrev == nullptr);
        QV_FUZZ_CHECK(poolItem(pNode).m_nValue == state.m_Used.front());
        state.m_Used.pop_front();
        state.m_vecHeld.push_back(pNode);
        break;
    }
    case 3: { // hand a held node back to the pool
        if (state.m_vecHeld.empty())
            break;
        auto pNode = state.m_vecHeld.back();
        state.m_vecHeld.pop_back();
        poolItem(pNode).m_nValue = 0;
        state.m_List.returnFreeNode(pNode);
        ++state.m_nFree;
        break;
    }
    case 4: // destroy the list with whatever it holds
        pool.reset();
        return;
    }
    checkPool(state);
}

#endif

// ---------------------------------------------------------------------------------------------

struct State
{
    DCList m_aDC[2];
    DCModel m_aDCModel[2];
    SCList m_aSC[2];
    SCModel m_aSCModel[2];
    std::optional<Vector> m_aVector[2];
    VectorModel m_aVectorModel[2];
#ifdef QV_FUZZ_POOLLIST
    std::optional<PoolState> m_Pool;
#endif

    // Elements the models say are alive: every list element and every vector slot.
    long expectedLive() const
    {
        long nLive = 0;
        for (int n = 0; n < 2; ++n) {
            nLive += static_cast<long>(m_aDCModel[n].size() + m_aSCModel[n].size());
            if (m_aVector[n])
                nLive += static_cast<long>(m_aVectorModel[n].m_vecSlots.size());
        }
        return nLive;
    }
};

// A position for insert: mostly the interesting ones (the ends and their neighbours), now and
// then any value.
unsigned int choosePosition(FuzzedDataProvider& data, std::size_t nSize)
{
    const unsigned int nCount = static_cast<unsigned int>(nSize);
    switch (data.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
        return 0;
    case 1:
        return nCount;
    case 2:
        return 1;
    case 3:
        return nCount + 1;
    case 4:
        return nCount - 1; // wraps to all bits set on an empty list
    default:
        return data.ConsumeIntegral<unsigned int>();
    }
}

// How many copies an operation may make before one throws: mostly never.
int chooseCopyFailure(FuzzedDataProvider& data)
{
    return data.ConsumeIntegralInRange<int>(0, 7) == 0 ? data.ConsumeIntegralInRange<int>(1, 8) : 0;
}

void runDCListOperation(FuzzedDataProvider& data, State& state, int& nNextValue)
{
    const int nThis = data.ConsumeBool() ? 1 : 0;
    const int nOther = 1 - nThis;
    DCList& list = state.m_aDC[nThis];
    DCModel& model = state.m_aDCModel[nThis];
    switch (data.ConsumeIntegralInRange<int>(0, 8)) {
    case 0: { // insert, possibly at a position the list refuses
        if (model.size() >= MAX_ELEMENTS)
            break;
        const unsigned int nPosition = choosePosition(data, model.size());
        const int nCopies = data.ConsumeBool() ? 1 : 0;
        const int nValue = ++nNextValue;
        DCModel expected(model);
        const bool bExpected = modelDCInsert(expected, nValue, nPosition);
        bool bResult = false;
        const Tracked value(nValue);
        const bool bThrew = runArmed(nCopies, [&] { bResult = list.insert(value, nPosition); });
        // A refused position makes no copy, so only an accepted insert can throw.
        QV_FUZZ_CHECK(bThrew == (bExpected && nCopies == 1));
        if (!bThrew) {
            QV_FUZZ_CHECK(bResult == bExpected);
            model.swap(expected);
        }
        break;
    }
    case 1: { // pushBack always appends
        if (model.size() >= MAX_ELEMENTS)
            break;
        const int nValue = ++nNextValue;
        QV_FUZZ_CHECK(list.pushBack(Tracked(nValue)));
        model.push_back(nValue);
        break;
    }
    case 2:
        list.popFront();
        if (!model.empty())
            model.pop_front();
        break;
    case 3:
        list.popBack();
        if (!model.empty())
            model.pop_back();
        break;
    case 4: { // copy construction; a failed copy frees every node it made
        const long nLiveBefore = Tracked::s_nLive;
        const int nCopies = chooseCopyFailure(data);
        const bool bThrew = runArmed(nCopies, [&] {
            DCList copy(list);
            checkDCList(copy, model);
        });
        QV_FUZZ_CHECK(bThrew == (nCopies > 0 && static_cast<std::size_t>(nCopies) <= model.size()));
        QV_FUZZ_CHECK(Tracked::s_nLive == nLiveBefore);
        break;
    }
    case 5: { // assignment from the other list: all or nothing
        const int nCopies = chooseCopyFailure(data);
        const bool bThrew = runArmed(nCopies, [&] { state.m_aDC[nOther] = list; });
        if (!bThrew)
            state.m_aDCModel[nOther] = model;
        break;
    }
    case 6: { // assignment to itself changes nothing and copies nothing
        const bool bThrew = runArmed(1, [&] { list = static_cast<const DCList&>(list); });
        QV_FUZZ_CHECK(!bThrew);
        break;
    }
    case 7:
        list.swap(state.m_aDC[nOther]);
        model.swap(state.m_aDCModel[nOther]);
        break;
    case 8: { // walk from the tail back to the head
        std::size_t n = model.size();
        for (const DCList::Node* pNode = list.getTail(); pNode; pNode = pNode->getPrev()) {
            QV_FUZZ_CHECK(n > 0);
            QV_FUZZ_CHECK(pNode->m_Value.get() == model[--n]);
        }
        QV_FUZZ_CHECK(n == 0);
        break;
    }
    }
    checkDCList(list, model);
    checkDCList(state.m_aDC[nOther], state.m_aDCModel[nOther]);
}

void runSCListOperation(FuzzedDataProvider& data, State& state, int& nNextValue)
{
    const int nThis = data.ConsumeBool() ? 1 : 0;
    const int nOther = 1 - nThis;
    SCList& list = state.m_aSC[nThis];
    SCModel& model = state.m_aSCModel[nThis];
    switch (data.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: { // insert, possibly at a position the list refuses
        if (model.size() >= MAX_ELEMENTS)
            break;
        const unsigned int nPosition = choosePosition(data, model.size());
        const int nCopies = data.ConsumeBool() ? 1 : 0;
        const int nValue = ++nNextValue;
        SCModel expected(model);
        const bool bExpected = modelSCInsert(expected, nValue, nPosition);
        bool bResult = false;
        const Tracked value(nValue);
        const bool bThrew = runArmed(nCopies, [&] { bResult = list.insert(value, nPosition); });
        QV_FUZZ_CHECK(bThrew == (bExpected && nCopies == 1));
        if (!bThrew) {
            QV_FUZZ_CHECK(bResult == bExpected);
            model.swap(expected);
        }
        break;
    }
    case 1: {
        if (model.size() >= MAX_ELEMENTS)
            break;
        const int nValue = ++nNextValue;
        QV_FUZZ_CHECK(list.pushBack(Tracked(nValue)));
        model.push_back(nValue);
        break;
    }
    case 2: { // copy construction
        const long nLiveBefore = Tracked::s_nLive;
        const int nCopies = chooseCopyFailure(data);
        const bool bThrew = runArmed(nCopies, [&] {
            SCList copy(list);
            checkSCList(copy, model);
        });
        QV_FUZZ_CHECK(bThrew == (nCopies > 0 && static_cast<std::size_t>(nCopies) <= model.size()));
        QV_FUZZ_CHECK(Tracked::s_nLive == nLiveBefore);
        break;
    }
    case 3: { // assignment: all or nothing
        const int nCopies = chooseCopyFailure(data);
        const bool bThrew = runArmed(nCopies, [&] { state.m_aSC[nOther] = list; });
        if (!bThrew)
            state.m_aSCModel[nOther] = model;
        break;
    }
    case 4: {
        const bool bThrew = runArmed(1, [&] { list = static_cast<const SCList&>(list); });
        QV_FUZZ_CHECK(!bThrew);
        break;
    }
    case 5:
        list.clear();
        model.clear();
        break;
    }
    checkSCList(list, model);
    checkSCList(state.m_aSC[nOther], state.m_aSCModel[nOther]);
}

void runVectorOperation(FuzzedDataProvider& data, State& state, int& nNextValue)
{
    const int nThis = data.ConsumeBool() ? 1 : 0;
    const int nOther = 1 - nThis;
    std::optional<Vector>& vector = state.m_aVector[nThis];
    VectorModel& model = state.m_aVectorModel[nThis];
    switch (data.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: { // a new vector, filled or not
        const unsigned int nSize = data.ConsumeIntegralInRange<unsigned int>(0, MAX_SLOTS);
        const bool bFilled = data.ConsumeBool();
        vector.reset();
        vector.emplace(nSize, bFilled);
        model.m_vecSlots.assign(nSize, -1);
        model.m_nLastElement = bFilled ? nSize - 1 : Vector::NO_ELEMENT;
        break;
    }
    case 1: { // write a slot
        if (!vector || model.m_vecSlots.empty())
            break;
        const unsigned int nPos =
            data.ConsumeIntegralInRange<unsigned int>(0, vector->getSize() - 1);
        const int nValue = ++nNextValue;
        (*vector)[nPos] = Tracked(nValue);
        model.m_vecSlots[nPos] = nValue;
        break;
    }
    case 2: { // copy construction copies every slot; a failed copy frees its storage
        if (!vector)
            break;
        const long nLiveBefore = Tracked::s_nLive;
        const int nCopies = chooseCopyFailure(data);
        const bool bThrew = runArmed(nCopies, [&] {
            Vector copy(*vector);
            checkVector(copy, model);
        });
        QV_FUZZ_CHECK(bThrew == (nCopies > 0 &&
                                 static_cast<std::size_t>(nCopies) <= model.m_vecSlots.size()));
        QV_FUZZ_CHECK(Tracked::s_nLive == nLiveBefore);
        break;
    }
    case 3: { // assignment from the other vector
        std::optional<Vector>& source = state.m_aVector[nOther];
        if (!vector || !source)
            break;
        const int nCopies = chooseCopyFailure(data);
        // All or nothing: a failed copy leaves the target as it was.
        const bool bThrew = runArmed(nCopies, [&] { *vector = *source; });
        if (!bThrew)
            model = state.m_aVectorModel[nOther];
        break;
    }
    case 4: { // assignment to itself copies nothing
        if (!vector)
            break;
        const bool bThrew = runArmed(1, [&] { *vector = static_cast<const Vector&>(*vector); });
        QV_FUZZ_CHECK(!bThrew);
        break;
    }
    case 5:
        vector.reset();
        model = VectorModel();
        break;
    }
    if (vector)
        checkVector(*vector, model);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    FuzzedDataProvider data(pData, nSize);
    const long nLiveAtStart = Tracked::s_nLive;
    {
        State state;
        int nNextValue = 0;
#ifdef QV_FUZZ_POOLLIST
        long nNextPoolValue = 0;
        const int nKinds = 4;
#else
        const int nKinds = 3;
#endif
        while (data.remaining_bytes() > 0) {
            switch (data.ConsumeIntegralInRange<int>(0, nKinds - 1)) {
            case 0:
                runDCListOperation(data, state, nNextValue);
                break;
            case 1:
                runSCListOperation(data, state, nNextValue);
                break;
            case 2:
                runVectorOperation(data, state, nNextValue);
                break;
#ifdef QV_FUZZ_POOLLIST
            case 3:
                runPoolOperation(data, state.m_Pool, nNextPoolValue);
                break;
#endif
            }
            QV_FUZZ_CHECK(Tracked::s_nLive - nLiveAtStart == state.expectedLive());
        }
    }
    QV_FUZZ_CHECK(Tracked::s_nLive == nLiveAtStart);
    return 0;
}
