#include <gtest/gtest.h>

#include <stdexcept>

#include "Container/qvDynamicVector.h"
#include "Container/qvTuple.h"
#include "Memory/qvAnyContainer.h"

typedef qvDynamicVector<qvAnyContainer, qvClassTypeHandlingPolicy> ArgumentVector;

TEST(qvDynamicVectorTest, FilledVectorAcceptsEveryIndex)
{
    ArgumentVector vector(3, true);
    EXPECT_EQ(3u, vector.getSize());
    EXPECT_EQ(2u, vector.getLastElement());
    for (unsigned int n = 0; n < 3; ++n) {
        vector[n] = qvMakeAny(static_cast<int>(n));
        EXPECT_EQ(static_cast<int>(n), *qvAnyCast<int>(vector[n]));
    }
}

TEST(qvDynamicVectorTest, UnfilledVectorMarksNoElement)
{
    ArgumentVector vector(3, false);
    EXPECT_EQ(3u, vector.getSize());
    EXPECT_EQ(0xFFFFFFFFu, vector.getLastElement());
    EXPECT_TRUE(vector[2].isEmpty()); // every slot is a live, default-constructed element
}

TEST(qvDynamicVectorTest, CopySharesTheRecordsOfEverySlot)
{
    ArgumentVector source(2, false);
    source[0] = qvMakeAny(1);
    source[1] = qvMakeAny(2);
    ArgumentVector copy(source);
    EXPECT_EQ(source.getLastElement(), copy.getLastElement());
    EXPECT_TRUE(copy[0] == source[0]);
    EXPECT_TRUE(copy[1] == source[1]);

    ArgumentVector assigned(5, true);
    assigned = source;
    EXPECT_EQ(2u, assigned.getSize());
    EXPECT_TRUE(assigned[1] == source[1]);
    EXPECT_EQ(3u, source[1].getImpl()->getRefCount());
}

TEST(qvDynamicVectorTest, SelfAssignmentChangesNothing)
{
    ArgumentVector vector(2, true);
    vector[0] = qvMakeAny(4);
    ArgumentVector& alias = vector;
    vector = alias;
    EXPECT_EQ(2u, vector.getSize());
    EXPECT_EQ(4, *qvAnyCast<int>(vector[0]));
    EXPECT_EQ(1u, vector[0].getImpl()->getRefCount());
}

TEST(qvDynamicVectorTest, EmptyVectorHasNoStorage)
{
    ArgumentVector vector(0, false);
    EXPECT_EQ(0u, vector.getSize());
    ArgumentVector copy(vector);
    EXPECT_EQ(0u, copy.getSize());
}

namespace {

// Counts its live instances; copy assignment throws once armed.
struct CountedFragile
{
    static inline int s_nLive = 0;
    static inline bool s_bThrowOnAssign = false;
    CountedFragile() { ++s_nLive; }
    CountedFragile(const CountedFragile&) { ++s_nLive; }
    CountedFragile& operator=(const CountedFragile&)
    {
        if (s_bThrowOnAssign)
            throw std::runtime_error("assign");
        return *this;
    }
    ~CountedFragile() { --s_nLive; }
};

} // namespace

// Found by the container fuzzer: a copy constructor whose element copy threw left its
// freshly allocated slots behind. A failed assignment leaves its target as it was.
TEST(qvDynamicVectorTest, ThrowingElementCopyInCopyConstructorLeaksNothing)
{
    {
        qvDynamicVector<CountedFragile, qvClassTypeHandlingPolicy> source(3, true);
        qvDynamicVector<CountedFragile, qvClassTypeHandlingPolicy> target(2, false);
        EXPECT_EQ(5, CountedFragile::s_nLive);
        CountedFragile::s_bThrowOnAssign = true;
        EXPECT_THROW((qvDynamicVector<CountedFragile, qvClassTypeHandlingPolicy>(source)),
                     std::runtime_error);
        EXPECT_THROW(target = source, std::runtime_error);
        CountedFragile::s_bThrowOnAssign = false;
        EXPECT_EQ(5, CountedFragile::s_nLive);
        EXPECT_EQ(2u, target.getSize());
        EXPECT_EQ(0xFFFFFFFFu, target.getLastElement());
    }
    EXPECT_EQ(0, CountedFragile::s_nLive);
}

// The two checks run in a fixed order: an index past the last element in use fails the first,
// an index past the storage of a vector with no element marked fails only the second.
TEST(qvDynamicVectorDeathTest, AccessChecksNameTheFailedExpression)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the assertions are compiled out (NDEBUG)";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ArgumentVector vector(3, true);
            vector[3];
        },
        "nPos <= m_nLastElement, file include/Container/qvDynamicVector.h");
    EXPECT_DEATH(
        {
            ArgumentVector vector(3, false);
            vector[3];
        },
        "nPos < m_nVectorSize, file include/Container/qvDynamicVector.h");
}

TEST(qvTupleTest, DefaultHoldsNullPointers)
{
    qvTuple<int*, const char*> tuple;
    EXPECT_EQ(nullptr, tuple.m_First);
    EXPECT_EQ(nullptr, tuple.m_Second);
}
