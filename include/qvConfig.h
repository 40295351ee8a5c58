#ifndef QV_CONFIG_H
#define QV_CONFIG_H

/// \file

/// Configuration that the library and every user of it must share.
///
/// Loki's small-object allocator is single-threaded, while this library clones and destroys
/// functors on several threads at once (pipelines, main loops, inter-thread calls). Functor
/// storage therefore comes from the global allocator. The definition must be the same in every
/// translation unit that uses Loki::Functor, so it is made here, before any Loki header, and the
/// CMake target exports it to its users as well.
#ifndef LOKI_FUNCTOR_IS_NOT_A_SMALLOBJECT
#define LOKI_FUNCTOR_IS_NOT_A_SMALLOBJECT
#endif

#include <loki/Functor.h>

#include "qvExport.h"

/// A callback without arguments or result: pipeline functions, a main loop's entry, exit and
/// scheduler hook, the wake-up functor of an inter-thread scheduler.
typedef Loki::Functor<void, Loki::NullType, Loki::SingleThreaded> qvVoidFunctor;

/// A callback answering yes or no: a main loop's loop condition.
typedef Loki::Functor<bool, Loki::NullType, Loki::SingleThreaded> qvBoolFunctor;

#endif
