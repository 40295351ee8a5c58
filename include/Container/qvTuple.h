#ifndef QV_TUPLE_H
#define QV_TUPLE_H

// qvTuple<A, B>: a pair of public values; the default constructor value-initialises both
// (null for pointers).
template <class A, class B>
struct qvTuple
{
    qvTuple() : m_First(), m_Second() {}
    qvTuple(const A& first, const B& second) : m_First(first), m_Second(second) {}

    A m_First;
    B m_Second;
};

#endif
