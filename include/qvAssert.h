#ifndef QV_ASSERT_H
#define QV_ASSERT_H

// The library's debug assertion. With assertions on (no NDEBUG) a failed check writes the
// checked expression and the file that states the precondition to standard error and aborts;
// with NDEBUG it compiles to nothing and the documented behaviour without assertions applies.
//
//   QV_ASSERT(0 < m_nRefCount, "include/Memory/qvRCData.h");
//   QV_ASSERT_TEXT("0", "source/Threading/qvSemaphore");   // an unconditional failure report
//
// The expression text is the one written in the source, so that the message matches the
// documented precondition character for character.

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void qvAssertionFailed(const char* pExpression, const char* pFile)
{
    // Whether the message could be written changes nothing: the process aborts next.
    static_cast<void>(std::fprintf(stderr, "Assertion failed: %s, file %s\n", pExpression, pFile));
    static_cast<void>(std::fflush(stderr));
    std::abort();
}

#ifdef NDEBUG
#define QV_ASSERT(expression, file) ((void)0)
#define QV_ASSERT_TEXT(text, file) ((void)0)
#else
#define QV_ASSERT(expression, file) ((expression) ? (void)0 : qvAssertionFailed(#expression, file))
#define QV_ASSERT_TEXT(text, file) qvAssertionFailed(text, file)
#endif

#endif
