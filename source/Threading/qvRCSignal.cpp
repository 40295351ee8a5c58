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
    qvSynchDetail::RegionLock<LWLock> lock(m_CountLock);
    m_nCount += nCount;
}

void RCSignal::unref()
{
    unref(1);
}

void RCSignal::unref(unsigned int nCount)
{
    unsigned int nNewCount;
    {
        qvSynchDetail::RegionLock<LWLock> lock(m_CountLock);
        m_nCount -= nCount;
        nNewCount = m_nCount;
    }
    if (nNewCount == 0)
        signal();
}

} // namespace qvSynch
