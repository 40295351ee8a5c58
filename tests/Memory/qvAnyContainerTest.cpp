#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Memory/qvAnyContainer.h"

namespace {

struct Tracked
{
    static inline std::atomic<int> s_nLive{0};
    explicit Tracked(int nValue) : m_nValue(nValue) { ++s_nLive; }
    Tracked(const Tracked& other) : m_nValue(other.m_nValue) { ++s_nLive; }
    ~Tracked() { --s_nLive; }
    int m_nValue;
};

struct Point
{
    int m_nX;
    int m_nY;
};

// Spelled like the Config of qvAnyContainerOtherUnit.cpp, another type with another layout.
struct Config
{
    char m_szName[64];
};

template <class T>
bool castsTo(const qvAnyContainer& container)
{
    return qvAnyCast<T>(container) != nullptr;
}

} // namespace

namespace qvTest {
qvAnyContainer makeOtherUnitsConfig();
}

TEST(qvAnyContainerTest, DefaultIsEmptyAndEqualToAnotherEmpty)
{
    qvAnyContainer first;
    qvAnyContainer second;
    EXPECT_TRUE(first.isEmpty());
    EXPECT_EQ("", first.getTypeName());
    EXPECT_TRUE(first == second);
    EXPECT_FALSE(first != second);
}

TEST(qvAnyContainerTest, CopiesShareTheRecordNotTheValue)
{
    qvAnyContainer original = qvMakeAny(Tracked(7));
    EXPECT_EQ(1, Tracked::s_nLive);
    qvAnyContainer copy(original);
    qvAnyContainer assigned;
    assigned = original;
    EXPECT_EQ(1, Tracked::s_nLive);
    EXPECT_TRUE(copy == original);
    EXPECT_TRUE(assigned == original);
    EXPECT_EQ(3u, original.getImpl()->getRefCount());
    EXPECT_EQ(qvAnyCast<Tracked>(original), qvAnyCast<Tracked>(copy));
}

TEST(qvAnyContainerTest, EqualValuesInDifferentRecordsDiffer)
{
    EXPECT_TRUE(qvMakeAny(5) != qvMakeAny(5));
}

TEST(qvAnyContainerTest, SelfAssignmentKeepsTheCount)
{
    qvAnyContainer container = qvMakeAny(1);
    qvAnyContainer& alias = container;
    container = alias;
    EXPECT_EQ(1u, container.getImpl()->getRefCount());
    EXPECT_EQ(1, *qvAnyCast<int>(container));

    // Assigning another container of the same record releases and re-takes it safely.
    qvAnyContainer sharer(container);
    container = sharer;
    EXPECT_EQ(2u, container.getImpl()->getRefCount());
}

TEST(qvAnyContainerTest, SwapExchangesRecordsAndKeepsCounts)
{
    qvAnyContainer first = qvMakeAny(1);
    qvAnyContainer second = qvMakeAny(std::string("two"));
    qvAnyContainer firstSharer(first);
    qvAnyContainer::AnyImpl* pFirst = first.getImpl();
    qvAnyContainer::AnyImpl* pSecond = second.getImpl();
    first.swap(second);
    EXPECT_EQ(pSecond, first.getImpl());
    EXPECT_EQ(pFirst, second.getImpl());
    EXPECT_EQ(2u, pFirst->getRefCount());
    EXPECT_EQ(1u, pSecond->getRefCount());
}

TEST(qvAnyContainerTest, LastContainerDestroysTheValueOnce)
{
    {
        qvAnyContainer first = qvMakeAny(Tracked(1));
        {
            qvAnyContainer second(first);
        }
        EXPECT_EQ(1, Tracked::s_nLive);
    }
    EXPECT_EQ(0, Tracked::s_nLive);
}

TEST(qvAnyContainerTest, RecordWithoutDeleteFunctionLeavesTheValueAlone)
{
    int nValue = 3;
    {
        qvAnyContainer container(new qvAnyContainer::AnyImpl(&nValue, typeid(int), nullptr));
        EXPECT_FALSE(container.isEmpty());
        EXPECT_EQ(3, *qvAnyCast<int>(container));
    }
    EXPECT_EQ(3, nValue); // nothing freed the stack value: ASan would report it
}

// Tests that a typed read matches the held value's type as the C++ runtime identifies it, not by
// its name: two internal-linkage types spelled alike in two source files stay apart.
TEST(qvAnyContainerTest, TypedAccessChecksTheRecordedType)
{
    struct CastCase
    {
        const char* m_cstrName;
        qvAnyContainer m_Container;
        bool (*m_pfnCasts)(const qvAnyContainer&);
        bool m_bMatches;
        const char* m_cstrTypeName;
    };
    static int s_nNamedOnly = 0;
    const CastCase cases[] = {
        {"the held type", qvMakeAny(Point{1, 2}), castsTo<Point>, true,
         "(anonymous namespace)::Point"},
        {"another type", qvMakeAny(Point{1, 2}), castsTo<int>, false,
         "(anonymous namespace)::Point"},
        {"an empty container", qvAnyContainer(), castsTo<int>, false, ""},
        {"a built-in type", qvMakeAny(0), castsTo<int>, true, "int"},
        {"the same spelling from another source file", qvTest::makeOtherUnitsConfig(),
         castsTo<Config>, false, "(anonymous namespace)::Config"},
        {"a type given by name only",
         qvAnyContainer(new qvAnyContainer::AnyImpl(&s_nNamedOnly, "int", nullptr)), castsTo<int>,
         false, "int"},
    };
    for (const CastCase& row : cases) {
        SCOPED_TRACE(row.m_cstrName);
        EXPECT_EQ(row.m_bMatches, row.m_pfnCasts(row.m_Container));
        EXPECT_EQ(row.m_cstrTypeName, row.m_Container.getTypeName());
    }
    EXPECT_EQ(2, qvAnyCast<Point>(cases[0].m_Container)->m_nY);
    EXPECT_TRUE(castsTo<Config>(qvMakeAny(Config{})));
}

TEST(qvAnyContainerTest, RecordEqualityComparesValueTypeAndDeleter)
{
    int nValue = 0;
    qvAnyContainer first(new qvAnyContainer::AnyImpl(&nValue, "int", nullptr));
    qvAnyContainer second(new qvAnyContainer::AnyImpl(&nValue, "int", nullptr));
    qvAnyContainer third(new qvAnyContainer::AnyImpl(&nValue, "long", nullptr));
    qvAnyContainer typed(new qvAnyContainer::AnyImpl(&nValue, typeid(int), nullptr));
    qvAnyContainer typedToo(new qvAnyContainer::AnyImpl(&nValue, typeid(int), nullptr));
    EXPECT_TRUE(*first.getImpl() == *second.getImpl());
    EXPECT_FALSE(*first.getImpl() == *third.getImpl());
    EXPECT_TRUE(*typed.getImpl() == *typedToo.getImpl());
    EXPECT_FALSE(*typed.getImpl() == *first.getImpl()); // a name is no type identity
    EXPECT_TRUE(first != second); // containers compare records, not their content
}

// Containers of one record are copied and dropped on several threads, as inter-thread calls do
// with their arguments and results: the value is destroyed exactly once, after the last copy.
TEST(qvAnyContainerTest, CopiesOnSeveralThreadsReleaseTheValueOnce)
{
    {
        qvAnyContainer shared = qvMakeAny(Tracked(9));
        std::vector<std::thread> threads;
        for (int n = 0; n < 4; ++n) {
            qvAnyContainer mine(shared);
            threads.emplace_back([mine] {
                for (int i = 0; i < 2000; ++i) {
                    qvAnyContainer copy(mine);
                    qvAnyContainer other;
                    other = copy;
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(1u, shared.getImpl()->getRefCount());
        EXPECT_EQ(1, Tracked::s_nLive);
    }
    EXPECT_EQ(0, Tracked::s_nLive);
}
