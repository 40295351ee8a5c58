// A user of the installed library: one include, one target (or one pkg-config line).
#include <qvFoundationComponents.h>

#include <cstdio>

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
    std::puts("consumer: ok");
    return 0;
}
