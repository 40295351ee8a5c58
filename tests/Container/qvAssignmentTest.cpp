// Assignments whose source lives inside what the target holds: the target's old contents own the
// source, so an assignment that released them before reading the source read freed memory.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Container/qvDCList.h"
#include "Container/qvTuple.h"
#include "ITC/qvInvokationTask.h"
#include "Memory/qvAnyContainer.h"

namespace {

using qvITC::ArgumentVector;

// A linked structure of shared values: each node holds the container of the next one.
struct Link
{
    int m_nValue;
    qvAnyContainer m_Next;
};

// A tree of lists: each node owns the list of its children.
struct Tree
{
    int m_nValue;
    qvDCList<Tree> m_Children;
};

typedef qvTuple<qvAnyContainer, std::string> Pair;

// Walks down a chain whose only owner of each step is the step before it.
std::vector<std::string> walkLinks()
{
    qvAnyContainer head = qvMakeAny(Link{1, qvMakeAny(Link{2, qvMakeAny(Link{3, {}})})});
    std::vector<std::string> visited;
    while (!head.isEmpty()) {
        visited.push_back(std::to_string(qvAnyCast<Link>(head)->m_nValue));
        head = qvAnyCast<Link>(head)->m_Next;
    }
    return visited;
}

// An argument vector nested in its own first argument, unwrapped level by level.
std::vector<std::string> unwrapArguments()
{
    ArgumentVector args = qvITC::makeArguments(std::string("innermost"), 3);
    args = qvITC::makeArguments(args, 2);
    args = qvITC::makeArguments(args, 1);
    std::vector<std::string> visited;
    while (const ArgumentVector* pInner = qvAnyCast<ArgumentVector>(args[0])) {
        visited.push_back(std::to_string(*qvAnyCast<int>(args[1])));
        args = *pInner;
    }
    visited.push_back(*qvAnyCast<std::string>(args[0]) + std::to_string(*qvAnyCast<int>(args[1])));
    return visited;
}

// Descends a tree of lists along the first child of each level.
std::vector<std::string> descendForest()
{
    qvDCList<Tree> forest;
    forest.pushBack(Tree{1, {}});
    forest.getFront().m_Children.pushBack(Tree{2, {}});
    forest.getFront().m_Children.getFront().m_Children.pushBack(Tree{3, {}});
    forest.getFront().m_Children.pushBack(Tree{4, {}});
    std::vector<std::string> visited;
    while (!forest.isEmpty()) {
        visited.push_back(std::to_string(forest.getFront().m_nValue) + "/" +
                          std::to_string(forest.getSize()));
        forest = forest.getFront().m_Children;
    }
    return visited;
}

// A tuple whose first member holds the tuple it is assigned next; the second member is read
// after the first has been replaced.
std::vector<std::string> unwrapTuples()
{
    Pair pair(qvMakeAny(Pair(qvMakeAny(Pair(qvAnyContainer(), "c")), "b")), "a");
    std::vector<std::string> visited;
    for (;;) {
        visited.push_back(pair.m_Second);
        const Pair* pInner = qvAnyCast<Pair>(pair.m_First);
        if (!pInner)
            return visited;
        pair = *pInner;
    }
}

// A chain of calls in which each call's result is the next call; the result container of the
// task that ran is the only owner of its successor.
std::vector<std::string> runContinuations()
{
    using qvITC::InvokationTask;
    std::vector<std::string> visited;
    auto step = [&visited](const char* cstrName, const qvAnyContainer& next) {
        return InvokationTask(
            qvITC::MessageFunctor([&visited, cstrName, next](const ArgumentVector&) {
                visited.push_back(cstrName);
                return next;
            }),
            ArgumentVector(0, false), new qvAnyContainer, nullptr);
    };
    InvokationTask task = step("1", qvMakeAny(step("2", qvMakeAny(step("3", qvAnyContainer())))));
    for (;;) {
        task.execute();
        const InvokationTask* pNext = qvAnyCast<InvokationTask>(task.getResult());
        if (!pNext)
            return visited;
        task = *pNext;
    }
}

struct SelfOwnedSource
{
    const char* m_cstrName;
    std::function<std::vector<std::string>()> m_fnWalk;
    std::vector<std::string> m_vecExpected;
};

} // namespace

// Tests that an assignment reads its source before it releases its own contents, for every
// container that may own the value it is assigned from.
TEST(qvAssignmentTest, AssignmentThatFreesItsOwnSource)
{
    const SelfOwnedSource rows[] = {
        {"qvAnyContainer: head = next", walkLinks, {"1", "2", "3"}},
        {"qvDynamicVector: args = args[0]", unwrapArguments, {"1", "2", "innermost3"}},
        {"qvDCList: forest = front's children", descendForest, {"1/1", "2/2", "3/1"}},
        {"qvTuple: pair = first", unwrapTuples, {"a", "b", "c"}},
        {"qvITC::InvokationTask: task = result", runContinuations, {"1", "2", "3"}},
    };
    for (const SelfOwnedSource& row : rows) {
        SCOPED_TRACE(row.m_cstrName);
        EXPECT_EQ(row.m_vecExpected, row.m_fnWalk());
    }
}
