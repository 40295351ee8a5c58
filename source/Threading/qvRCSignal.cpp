#include "Threading/qvRCSignal.h"

namespace qvSynch {

RCSignal::RCSignal(bool bSignalled) : Signal(bSignalled), m_nCount(0) {}

RCSignal::RCSignal(bool bSignalled, unsigned int nCount) : Signal(bSignalled), m_nCount(nCount) {}

RCSignal::~RCSignal() {}

void RCSignal::ref()
{
    ref(1);
}

void RCSignal::ref(unsigned int nCount)
{
    m_CountLock.acquire();
    m_nCount += nCount;
    m_CountLock.release();
}

void RCSignal::unref()
{
    unref(1);
}

void RCSignal::unref(unsigned int nCount)
{
    m_CountLock.acquire();
    m_nCount -= nCount;
    const unsigned int nNewCount = m_nCount;
    m_CountLock.release();
    if (nNewCount == 0)
        signal();
}

} // namespace qvSynch
