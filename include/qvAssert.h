#ifndef QV_ASSERT_H
#define QV_ASSERT_H

/// \file
///
/// The library's debug assertion. With assertions on (no NDEBUG) a failed check writes the
/// checked expression and the file that states the precondition to standard error and aborts;
/// with NDEBUG it compiles to nothing and the documented behaviour without assertions applies.
///
/// \code
///   QV_ASSERT(0 < m_nRefCount, "include/Memory/qvRCData.h");
///   QV_ASSERT_TEXT("0", "source/Threading/qvSemaphore");   // an unconditional failure report
/// \endcode
///
/// The expression text is the one written in the source, so that the message matches the
/// documented precondition character for character.

#include <cstdio>
#include <cstdlib>

/// Writes "Assertion failed: <expression>, file <file>" to standard error and aborts.
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
/// Checks expression; on failure reports its text and file and aborts (nothing with NDEBUG).
#define QV_ASSERT(expression, file) ((expression) ? (void)0 : qvAssertionFailed(#expression, file))
/// Reports text and file as a failed assertion and aborts (nothing with NDEBUG).
#define QV_ASSERT_TEXT(text, file) qvAssertionFailed(text, file)
#endif

#endif
