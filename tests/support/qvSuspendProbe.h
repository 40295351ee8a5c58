#ifndef QV_SUSPENDPROBE_H
#define QV_SUSPENDPROBE_H

// Whether qvThread::suspend() returns while the thread runs user code that the library called:
// no such code may run inside one of the library's internal regions (qvLocks.h), where suspend()
// would wait until the code has ended, for ever if it waits for the suspender.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "Threading/qvThread.h"
#include "qvTestSupport.h"

namespace qvTest {

// What the user code does: it reports that it runs, then waits (without time limit, as user
// code may) until it is let go. Only an armed probe waits, so that copies made before the test
// point pass through.
struct UserCodeWait
{
    std::atomic<bool> bArmed{false};
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bRelease{false};

    void waitIfArmed()
    {
        if (!bArmed)
            return;
        bEntered = true;
        // A blocking call per round: where ThreadSanitizer delivers the suspension signal.
        while (!bRelease)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
};

// Runs call on a qvThread of its own; once it is inside the armed user code, suspends that
// thread from another one. Returns whether suspend() returned within the deadline (it may not
// when the code runs inside a region); lets the code go either way, and resumes and joins the
// thread, so nothing is left behind.
inline bool suspendReturnsInsideUserCode(UserCodeWait& wait, const std::function<void()>& call)
{
    struct Body
    {
        const std::function<void()>* pCall;
        static long run(void* pArgument)
        {
            (*static_cast<Body*>(pArgument)->pCall)();
            return 0;
        }
    } body{&call};
    wait.bArmed = true;
    qvThreadData data(&Body::run, &body);
    qvThread thread;
    thread.run(&data);
    if (!waitUntil([&] { return wait.bEntered.load(); })) {
        wait.bRelease = true;
        thread.join();
        return false;
    }
    bool bReturned = false;
    {
        AsyncCall suspender([&] { thread.suspend(); });
        bReturned = suspender.finishedWithin();
        wait.bRelease = true; // also ends a suspend() that waits for the code to end
        static_cast<void>(suspender.finishedWithin());
    }
    thread.resume();
    thread.join();
    return bReturned;
}

} // namespace qvTest

#endif
