// Tests of qvPoolList: node counts of the pool, FIFO order of the used list, links of detached
// nodes, and the element's lifetime. Allocation failures are tested in tests/Allocation.

#include <gtest/gtest.h>

#include <vector>

#include "Container/qvPoolList.h"
#include "Threading/qvLocks.h"

namespace {

typedef qvPoolList<int, qvSynch::NullLock> IntList;

std::vector<int> drain(IntList& list)
{
    std::vector<int> values;
    while (IntList::Node* pNode = list.popFront()) {
        values.push_back(pNode->m_Element);
        list.returnFreeNode(pNode);
    }
    return values;
}

void append(IntList& list, int nValue)
{
    IntList::Node* pNode = list.takeFreeNode();
    pNode->m_Element = nValue;
    list.pushBack(pNode);
}

// Counts live elements, so that the test sees every element destroyed exactly once.
struct Counted
{
    static inline int s_nAlive = 0;
    Counted() { ++s_nAlive; }
    ~Counted() { --s_nAlive; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
};

} // namespace

TEST(qvPoolListTest, NewListHasSpareNodesPlusOneFreeAndNoneUsed)
{
    IntList list(255);
    EXPECT_EQ(256u, list.getFreeSize());
    EXPECT_EQ(0u, list.getSize());
    EXPECT_EQ(nullptr, list.popFront());
}

TEST(qvPoolListTest, TakingTheLastFreeNodeLeavesAFreshOne)
{
    IntList list(0);
    ASSERT_EQ(1u, list.getFreeSize());
    IntList::Node* pFirst = list.takeFreeNode();
    EXPECT_EQ(1u, list.getFreeSize());
    IntList::Node* pSecond = list.takeFreeNode();
    EXPECT_NE(pFirst, pSecond);
    EXPECT_EQ(1u, list.getFreeSize());
    list.returnFreeNode(pFirst);
    list.returnFreeNode(pSecond);
    EXPECT_EQ(3u, list.getFreeSize());
}

TEST(qvPoolListTest, NodesComeBackInFifoOrder)
{
    IntList list(2);
    for (int n = 1; n <= 5; ++n)
        append(list, n);
    EXPECT_EQ(5u, list.getSize());
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), drain(list));
    EXPECT_EQ(0u, list.getSize());
}

TEST(qvPoolListTest, ThreeHundredNodesGrowThePoolByFortyFive)
{
    IntList list(255);
    for (int n = 0; n < 300; ++n)
        append(list, n);
    EXPECT_EQ(300u, list.getSize());
    EXPECT_EQ(1u, list.getFreeSize());
    drain(list);
    EXPECT_EQ(0u, list.getSize());
    EXPECT_EQ(301u, list.getFreeSize());
}

TEST(qvPoolListTest, DetachedNodesHaveNoLinks)
{
    IntList list(3);
    IntList::Node* pTaken = list.takeFreeNode();
    EXPECT_EQ(nullptr, pTaken->m_pPrev);
    EXPECT_EQ(nullptr, pTaken->m_pNext);
    list.pushBack(pTaken);
    append(list, 2);
    IntList::Node* pPopped = list.popFront();
    EXPECT_EQ(pTaken, pPopped);
    EXPECT_EQ(nullptr, pPopped->m_pPrev);
    EXPECT_EQ(nullptr, pPopped->m_pNext);
    list.returnFreeNode(pPopped);
    drain(list);
}

TEST(qvPoolListTest, NodeAppendedToEmptiedListIsFirstAndLast)
{
    IntList list(1);
    append(list, 1);
    EXPECT_EQ((std::vector<int>{1}), drain(list));
    append(list, 2);
    IntList::Node* pNode = list.popFront();
    ASSERT_NE(nullptr, pNode);
    EXPECT_EQ(2, pNode->m_Element);
    EXPECT_EQ(nullptr, list.popFront());
    list.returnFreeNode(pNode);
}

TEST(qvPoolListTest, DestructionDestroysEveryElementOnce)
{
    {
        qvPoolList<Counted, qvSynch::NullLock> list(4);
        EXPECT_EQ(5, Counted::s_nAlive);
        for (int n = 0; n < 7; ++n)
            list.pushBack(list.takeFreeNode());
        EXPECT_EQ(8, Counted::s_nAlive);
        list.returnFreeNode(list.popFront());
    }
    EXPECT_EQ(0, Counted::s_nAlive);
}
