#ifndef QV_TUPLE_H
#define QV_TUPLE_H

/// \file

#include <type_traits>
#include <utility>

/// qvTuple<A, B>: a pair of public values; the default constructor value-initialises both
/// (null for pointers).
///
/// Assignment copies (or moves) the whole source before it replaces either member, so a source
/// owned by one of the members (a tuple held in a value of its own m_First) is read whole before
/// the old m_First is released.
template <class A, class B>
struct qvTuple
{
    qvTuple() : m_First(), m_Second() {}
    /// Copies of first and second.
    qvTuple(const A& first, const B& second) : m_First(first), m_Second(second) {}
    /// Member-wise copy.
    qvTuple(const qvTuple&) = default;
    /// Member-wise move; no-throw exactly when both members' moves are, as the implicit one
    /// would be (written out so that it shows).
    qvTuple(qvTuple&&) noexcept(std::conjunction_v<std::is_nothrow_move_constructible<A>,
                                                   std::is_nothrow_move_constructible<B>>) =
        default;

    /// Takes the source by value: the copy is made before either member changes.
    qvTuple& operator=(qvTuple other)
    {
        m_First = std::move(other.m_First);
        m_Second = std::move(other.m_Second);
        return *this;
    }

    A m_First;  ///< The first value.
    B m_Second; ///< The second value.
};

#endif
