#include "Threading/qvSemaphore.h"

#include "Platform/Semaphore.h"
#include "qvAssert.h"

namespace qvSynch {

Semaphore::Semaphore(int nInitialCount, int nMaximumCount) : m_hSemaphore(nullptr)
{
    if (nMaximumCount < 1 || nInitialCount < 0 || nInitialCount > nMaximumCount) {
        QV_ASSERT_TEXT("0", "source/Threading/qvSemaphore.cpp");
        if (nMaximumCount < 1)
            nMaximumCount = 1;
        if (nInitialCount < 0)
            nInitialCount = 0;
        if (nInitialCount > nMaximumCount)
            nInitialCount = nMaximumCount;
    }
    m_hSemaphore = new qvPlatform::Semaphore(static_cast<unsigned int>(nInitialCount),
                                             static_cast<unsigned int>(nMaximumCount));
}

Semaphore::~Semaphore()
{
    delete m_hSemaphore;
    m_hSemaphore = nullptr;
}

void Semaphore::P()
{
    m_hSemaphore->wait();
}

bool Semaphore::tryP()
{
    return m_hSemaphore->tryWait();
}

bool Semaphore::P(unsigned long nMilliseconds)
{
    if (nMilliseconds == 0)
        return m_hSemaphore->tryWait();
    return m_hSemaphore->wait(qvPlatform::Deadline(nMilliseconds));
}

void Semaphore::V()
{
    if (!m_hSemaphore->post())
        QV_ASSERT_TEXT("0", "source/Threading/qvSemaphore.cpp");
}

} // namespace qvSynch
