#include "Threading/qvBarrier.h"

namespace qvSynch {

Barrier::Barrier() : m_nThreads(-1), m_pCurrentPhase(nullptr) {}

Barrier::~Barrier()
{
    m_pCurrentPhase.store(nullptr, std::memory_order_relaxed);
}

void Barrier::init(int nThreads)
{
    if (nThreads < 1)
        nThreads = 1;
    m_nThreads = nThreads;
    for (BarrierPhase& phase : m_Phases) {
        phase.m_nRemaining = nThreads;
        phase.m_Signal.reset();
    }
    m_pCurrentPhase.store(&m_Phases[0], std::memory_order_release);
}

void Barrier::wait()
{
    BarrierPhase* pPhase = m_pCurrentPhase.load(std::memory_order_acquire);
    if (!pPhase)
        return;
    qvSynchDetail::RegionLock<Lock> lock(pPhase->m_Lock);
    if (pPhase->m_nRemaining <= 1) {
        if (m_nThreads != 1) {
            BarrierPhase* pNextPhase = (pPhase == &m_Phases[0]) ? &m_Phases[1] : &m_Phases[0];
            // Everyone released by the other phase's last cycle has arrived here since, so none
            // of them still waits on its signal: it can be re-armed.
            pNextPhase->m_Signal.reset();
            pPhase->m_nRemaining = m_nThreads;
            m_pCurrentPhase.store(pNextPhase, std::memory_order_release);
            pPhase->m_Signal.signal();
        }
        return;
    }
    --pPhase->m_nRemaining;
    lock.unlock();
    pPhase->m_Signal.wait();
}

} // namespace qvSynch
