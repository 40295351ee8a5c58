#include "Threading/qvSignal.h"

#include "Platform/Event.h"

namespace qvSynch {

Signal::Signal(bool bSignalled) : m_hEvent(nullptr), m_bWaiting(false)
{
    m_hEvent = new qvPlatform::Event(bSignalled);
}

Signal::~Signal()
{
    delete m_hEvent;
}

// The hint is cleared before the event is set: once a waiter can return (and destroy the
// signal), signal() touches nothing of the object any more.
void Signal::signal()
{
    m_bWaiting.store(false, std::memory_order_relaxed);
    m_hEvent->set();
}

void Signal::reset()
{
    m_bWaiting.store(false, std::memory_order_relaxed);
    m_hEvent->reset();
}

void Signal::wait()
{
    m_bWaiting.store(true, std::memory_order_relaxed);
    m_hEvent->wait();
}

void Signal::waitAndReset()
{
    m_bWaiting.store(true, std::memory_order_relaxed);
    m_hEvent->wait();
    reset();
}

bool Signal::wait(unsigned long nMilliseconds)
{
    m_bWaiting.store(true, std::memory_order_relaxed);
    return m_hEvent->wait(qvPlatform::Deadline(nMilliseconds));
}

bool Signal::waitAndReset(unsigned long nMilliseconds)
{
    m_bWaiting.store(true, std::memory_order_relaxed);
    if (!m_hEvent->wait(qvPlatform::Deadline(nMilliseconds)))
        return false;
    reset();
    return true;
}

} // namespace qvSynch
