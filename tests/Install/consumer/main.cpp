// A user of the installed library: one include, one target (or one pkg-config line).
#include <qvFoundationComponents.h>

#include <cstdio>
#include <stdexcept>

namespace {

long throwFromTheConsumer(void*)
{
    throw std::runtime_error("thrown by the consumer");
}

} // namespace

int main()
{
    qvAnyContainer value = qvMakeAny(42);
    qvSynch::LWLock lock;
    lock.acquire();
    const int* pValue = qvAnyCast<int>(value);
    lock.release();

    qvSynch::Signal signal(false);
    qvVoidFunctor raise([&signal] { signal.signal(); });
    raise();
    signal.waitAndReset();

    if (!pValue || *pValue != 42) {
        std::puts("consumer: wrong value");
        return 1;
    }

    // Exceptions cross the library boundary both ways: the library throws to the consumer, and
    // the library catches what the consumer's start function throws.
    bool bCaught = false;
    try {
        qvThreadData invalid(nullptr, nullptr);
    } catch (const std::runtime_error&) {
        bCaught = true;
    }
    qvThread thread;
    qvThreadData data(&throwFromTheConsumer, nullptr);
    thread.run(&data);
    thread.join();
    if (!bCaught || thread.getExitCode() != 0xFFFFFFFFul) {
        std::puts("consumer: an exception did not cross the library boundary");
        return 1;
    }
    std::puts("consumer: ok");
    return 0;
}
