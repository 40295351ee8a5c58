#ifndef QV_MAINLOOP_TEST_SUPPORT_H
#define QV_MAINLOOP_TEST_SUPPORT_H

// Small helpers of the main-loop tests: a thread-safe trace of calls and a functor object that
// counts its living copies and poisons itself when destroyed, so that a call running on a
// destroyed copy is seen (by AddressSanitizer, and by the poison check without it).

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "MainLoop/qvFunctionPipeLine.h"
#include "MainLoop/qvMainLoop.h"

namespace qvMainLoopTest {

class Trace
{
public:
    void add(const std::string& sstrEvent)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_vecEvents.push_back(sstrEvent);
    }
    std::vector<std::string> get() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_vecEvents;
    }

private:
    mutable std::mutex m_Mutex;
    std::vector<std::string> m_vecEvents;
};

// Shuts a loop down when a test leaves its scope early (a failed assertion), so that joining the
// loop's thread cannot hang. Declare it after the thread that runs the loop.
class ShutdownOnExit
{
public:
    explicit ShutdownOnExit(qvMainLoop& loop) : m_Loop(loop) {}
    ~ShutdownOnExit() { m_Loop.shutdown(); }
    ShutdownOnExit(const ShutdownOnExit&) = delete;
    ShutdownOnExit& operator=(const ShutdownOnExit&) = delete;

private:
    qvMainLoop& m_Loop;
};

template <class Lambda>
qvVoidFunctor makeVoid(Lambda lambda)
{
    return qvVoidFunctor(lambda);
}

template <class Lambda>
qvBoolFunctor makeBool(Lambda lambda)
{
    return qvBoolFunctor(lambda);
}

// Every copy counts itself in *pAlive. body(self) runs on call; it may replace or remove the
// functor that is being called and then check self.isIntact().
template <class R, class Body>
class CountedFunctor
{
public:
    CountedFunctor(std::atomic<int>* pAlive, Body body)
        : m_pAlive(pAlive), m_Body(body), m_nMagic(MAGIC)
    {
        m_pAlive->fetch_add(1);
    }
    CountedFunctor(const CountedFunctor& other)
        : m_pAlive(other.m_pAlive), m_Body(other.m_Body), m_nMagic(MAGIC)
    {
        m_pAlive->fetch_add(1);
    }
    CountedFunctor& operator=(const CountedFunctor&) = delete;
    ~CountedFunctor()
    {
        m_nMagic = 0;
        m_pAlive->fetch_sub(1);
    }
    R operator()() { return m_Body(*this); }
    bool isIntact() const { return m_nMagic == MAGIC; }

private:
    static constexpr unsigned int MAGIC = 0x5EC0FFEEu;
    std::atomic<int>* m_pAlive;
    Body m_Body;
    volatile unsigned int m_nMagic;
};

template <class Body>
qvVoidFunctor makeCountedVoid(std::atomic<int>* pAlive, Body body)
{
    return qvVoidFunctor(CountedFunctor<void, Body>(pAlive, body));
}

template <class Body>
qvBoolFunctor makeCountedBool(std::atomic<int>* pAlive, Body body)
{
    return qvBoolFunctor(CountedFunctor<bool, Body>(pAlive, body));
}

} // namespace qvMainLoopTest

#endif
