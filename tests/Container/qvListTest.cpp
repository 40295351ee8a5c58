#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Container/qvDCList.h"
#include "Container/qvSCList.h"

namespace {

template <class List>
std::vector<int> contents(const List& list)
{
    std::vector<int> values;
    for (auto* pNode = list.getHead(); pNode; pNode = pNode->getNext())
        values.push_back(pNode->m_Value);
    return values;
}

// Copying throws once armed; used to check that a failed insert leaves the list as it was.
struct Fragile
{
    static inline bool s_bThrowOnCopy = false;
    explicit Fragile(int nValue) : m_nValue(nValue) {}
    Fragile(const Fragile& other) : m_nValue(other.m_nValue)
    {
        if (s_bThrowOnCopy)
            throw std::runtime_error("copy");
    }
    int m_nValue;
};

} // namespace

TEST(qvDCListTest, PushBackThenPopFrontIsFifo)
{
    qvDCList<int> list;
    EXPECT_TRUE(list.isEmpty());
    EXPECT_TRUE(list.pushBack(1));
    EXPECT_TRUE(list.pushBack(2));
    EXPECT_TRUE(list.pushBack(3));
    std::vector<int> taken;
    while (!list.isEmpty()) {
        taken.push_back(list.getFront());
        list.popFront();
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3}), taken);
    EXPECT_EQ(nullptr, list.getHead());
    EXPECT_EQ(nullptr, list.getTail());
}

TEST(qvDCListTest, InsertSupportsOnlyTheEnds)
{
    qvDCList<int> list;
    EXPECT_TRUE(list.insert(5, 7)); // any position on an empty list
    EXPECT_TRUE(list.insert(6, 9)); // any non-zero position on one element appends
    EXPECT_TRUE(list.insert(4, 0)); // position 0 prepends
    EXPECT_EQ((std::vector<int>{4, 5, 6}), contents(list));
    EXPECT_FALSE(list.insert(9, 1)); // the middle of three
    EXPECT_FALSE(list.insert(9, 4)); // past the end
    EXPECT_TRUE(list.insert(7, 3));  // exactly the count appends
    EXPECT_EQ((std::vector<int>{4, 5, 6, 7}), contents(list));
    EXPECT_EQ(4u, list.getSize());
}

TEST(qvDCListTest, PopOnEmptyListDoesNothing)
{
    qvDCList<int> list;
    list.popFront();
    list.popBack();
    EXPECT_TRUE(list.isEmpty());
    list.pushBack(1);
    list.popBack();
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(nullptr, list.getHead());
    list.pushBack(2); // both ends were cleared: the next element is head and tail
    EXPECT_EQ(list.getHead(), list.getTail());
}

TEST(qvDCListTest, CopiesKeepOrderAndAreIndependent)
{
    qvDCList<int> source;
    source.pushBack(1);
    source.pushBack(2);
    qvDCList<int> copy(source);
    qvDCList<int> assigned;
    assigned.pushBack(9);
    assigned = source;
    copy.pushBack(3);
    EXPECT_EQ((std::vector<int>{1, 2}), contents(source));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), contents(copy));
    EXPECT_EQ((std::vector<int>{1, 2}), contents(assigned));
    qvDCList<int>& alias = assigned;
    assigned = alias;
    EXPECT_EQ((std::vector<int>{1, 2}), contents(assigned));
}

TEST(qvDCListTest, ThrowingCopyLeavesTheListUnchanged)
{
    qvDCList<Fragile> list;
    list.pushBack(Fragile(1));
    qvDCList<Fragile> target;
    target.pushBack(Fragile(5));
    target.pushBack(Fragile(6));
    Fragile::s_bThrowOnCopy = true;
    EXPECT_THROW(list.pushBack(Fragile(2)), std::runtime_error);
    EXPECT_THROW(list.insert(Fragile(0), 0), std::runtime_error);
    EXPECT_THROW(target = list, std::runtime_error);
    Fragile::s_bThrowOnCopy = false;
    EXPECT_EQ(1u, list.getSize());
    EXPECT_EQ(1, list.getFront().m_nValue);
    EXPECT_EQ(list.getHead(), list.getTail());
    EXPECT_EQ(2u, target.getSize()); // a failed assignment keeps the old elements
    EXPECT_EQ(6, target.getTail()->m_Value.m_nValue);
}

// Nodes built outside the list and taken out again: the list links and unlinks, copies nothing,
// and keeps both ends and the links of the neighbours right.
TEST(qvDCListTest, LinkedAndUnlinkedNodesKeepOrderAndEnds)
{
    using Node = qvDCList<Fragile>::Node;
    qvDCList<Fragile> list;
    Fragile::s_bThrowOnCopy = true; // nothing below may copy an element
    EXPECT_EQ(nullptr, list.unlinkFront());
    list.linkBack(new Node(std::in_place, 1));
    list.linkBack(new Node(std::in_place, 2));
    list.linkBack(new Node(std::in_place, 3));
    EXPECT_EQ(3u, list.getSize());
    EXPECT_EQ(nullptr, list.getHead()->getPrev());
    EXPECT_EQ(list.getTail(), list.getHead()->getNext()->getNext());
    EXPECT_EQ(list.getHead(), list.getTail()->getPrev()->getPrev());

    std::unique_ptr<Node> upFirst(list.unlinkFront());
    EXPECT_EQ(1, upFirst->m_Value.m_nValue);
    EXPECT_EQ(nullptr, upFirst->getNext()); // detached: it leads nowhere into the list
    EXPECT_EQ(nullptr, list.getHead()->getPrev());
    EXPECT_EQ(2u, list.getSize());

    list.linkBack(upFirst.release()); // a node may be queued again
    EXPECT_EQ(1, list.getTail()->m_Value.m_nValue);
    std::vector<int> taken;
    while (Node* pNode = list.unlinkFront()) {
        taken.push_back(pNode->m_Value.m_nValue);
        delete pNode;
    }
    Fragile::s_bThrowOnCopy = false;
    EXPECT_EQ((std::vector<int>{2, 3, 1}), taken);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(nullptr, list.getHead());
    EXPECT_EQ(nullptr, list.getTail());
}

TEST(qvSCListTest, InsertAppendsPrependsOrRefuses)
{
    qvSCList<int> list;
    EXPECT_TRUE(list.insert(1, 5)); // any position on an empty list
    EXPECT_TRUE(list.pushBack(2));
    EXPECT_FALSE(list.insert(9, 1)); // neither front nor end
    EXPECT_TRUE(list.insert(3, 2));  // the count appends
    EXPECT_TRUE(list.insert(0, 0));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), contents(list));
    EXPECT_EQ(4u, list.getSize());
}

TEST(qvSCListTest, CopiesAreIndependent)
{
    qvSCList<std::string> source;
    source.pushBack("a");
    source.pushBack("b");
    qvSCList<std::string> copy(source);
    copy.pushBack("c");
    qvSCList<std::string> assigned;
    assigned.pushBack("x");
    assigned = copy;
    EXPECT_EQ(2u, source.getSize());
    EXPECT_EQ(3u, assigned.getSize());
    EXPECT_EQ("a", assigned.getHead()->m_Value);
    assigned.clear();
    EXPECT_TRUE(assigned.isEmpty());
}
