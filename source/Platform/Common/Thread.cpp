#include "Platform/Thread.h"

namespace qvPlatform {

int Thread::create(Body pBody, Thread*& pThread)
{
    State* pState = nullptr;
    NativeThreadHandle handle;
    const int nResult = launch(pBody, pState, handle);
    if (nResult != 0)
        return nResult;
    try {
        pThread = new Thread(pState, handle);
    } catch (...) {
        // No wrapper for the new thread: a temporary one ends it as a destroyed wrapper would
        // (it never started, so it leaves its start gate at once) and lets go of the state.
        Thread abandoned(pState, handle);
        throw;
    }
    return 0;
}

Thread::Thread(State* pState, NativeThreadHandle handle) : m_pState(pState), m_Handle(handle) {}

} // namespace qvPlatform
