#include "Threading/qvThread.h"

#include <sstream>
#include <stdexcept>

#include "Platform/Thread.h"

namespace {

// The entry procedure's body: the start record that run() handed over.
long invokeThreadData(void* pData)
{
    return static_cast<qvThreadData*>(pData)->invoke();
}

} // namespace

qvThreadData::qvThreadData(long (*pThreadFunc)(void*), void* pThreadData)
    : m_pThreadFunc(pThreadFunc), m_pArgument(pThreadData)
{
    if (!m_pThreadFunc) {
        std::ostringstream message;
        message << "Could not create thread data with invalid null function pointer." << std::endl;
        throw std::runtime_error(message.str());
    }
}

qvThreadData::~qvThreadData()
{
    m_pThreadFunc = nullptr;
    m_pArgument = nullptr;
}

long qvThreadData::invoke()
{
    return m_pThreadFunc(m_pArgument);
}

qvThread::qvThread() : m_hThread(nullptr), m_pData(nullptr)
{
    const int nError = qvPlatform::Thread::create(&invokeThreadData, m_hThread);
    if (nError != 0) {
        std::ostringstream message;
        message << "Could not create thread: " << static_cast<unsigned int>(nError) << "."
                << std::endl;
        throw std::runtime_error(message.str());
    }
}

qvThread::~qvThread()
{
    delete m_hThread;
    m_hThread = nullptr;
    m_pData = nullptr;
}

void qvThread::run(qvThreadData* pData)
{
    m_pData = pData;
    if (pData && !isFinished())
        m_hThread->start(pData);
}

void qvThread::suspend()
{
    if (!isFinished())
        m_hThread->suspend();
}

void qvThread::resume()
{
    if (!isFinished())
        m_hThread->resume();
}

void qvThread::join()
{
    m_hThread->join();
}

void qvThread::terminate()
{
    const int nError = m_hThread->terminate();
    if (nError != 0) {
        std::ostringstream message;
        message << "Could not terminate thread: " << nError << "." << std::endl;
        throw std::runtime_error(message.str());
    }
}

unsigned long qvThread::getID() const
{
    return m_hThread->getId();
}

unsigned long qvThread::getExitCode() const
{
    return m_hThread->getExitCode();
}

bool qvThread::isFinished() const
{
    return m_hThread->isFinished();
}

unsigned long qvThread::currentThreadId()
{
    return qvPlatform::Thread::currentId();
}
