#ifndef QV_FUZZCHECK_H
#define QV_FUZZCHECK_H

// The fuzz targets' assertion: a failed check names itself and aborts, which libFuzzer reports
// as a crash with the input that caused it. Active in every build, unlike assert().

#include <cstdio>
#include <cstdlib>

#define QV_FUZZ_CHECK(condition)                                                                   \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

#endif
