#include <gtest/gtest.h>

#include "Memory/qvRCData.h"

#ifndef NDEBUG
#error "this program checks the behaviour without assertions"
#endif

namespace {

class CountedData : public qvRCData
{
public:
    explicit CountedData(int* pDestroyed) : m_pDestroyed(pDestroyed) {}

protected:
    ~CountedData() override { ++*m_pDestroyed; }

private:
    int* m_pDestroyed;
};

} // namespace

TEST(qvRCDataWithoutAssertionsTest, UnrefOfANeverReferencedObjectDestroysIt)
{
    int nDestroyed = 0;
    (new CountedData(&nDestroyed))->unref();
    EXPECT_EQ(1, nDestroyed);
}

TEST(qvRCDataWithoutAssertionsTest, UnrefNoDeleteAtZeroChangesNothing)
{
    int nDestroyed = 0;
    CountedData* pData = new CountedData(&nDestroyed);
    pData->unrefNoDelete();
    EXPECT_EQ(0u, pData->getRefCount());
    EXPECT_EQ(0, nDestroyed);
    pData->unref();
    EXPECT_EQ(1, nDestroyed);
}
