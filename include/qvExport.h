#ifndef QV_EXPORT_H
#define QV_EXPORT_H

// QV_EXPORT marks the classes (and the one free function) that the shared library exports.
// The library is compiled with -fvisibility=hidden, so nothing else is visible from it; users
// see the same default visibility, which keeps type information and exceptions of the exported
// classes identical on both sides of the library boundary.
#define QV_EXPORT __attribute__((visibility("default")))

#endif
