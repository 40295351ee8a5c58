#ifndef QV_EXPORT_H
#define QV_EXPORT_H

/// \file

/// QV_EXPORT marks the classes (and the one free function) that the shared library exports.
///
/// Linux: the library is compiled with -fvisibility=hidden, so nothing else is visible from it;
/// users see the same default visibility, which keeps type information and exceptions of the
/// exported classes identical on both sides of the library boundary.
///
/// Windows: __declspec(dllexport) while qvFoundationComponents.dll itself is built (the build
/// defines QV_BUILDING_LIBRARY), __declspec(dllimport) for its users, who link the import
/// library. Type information of the exported classes is compared by name there, so exceptions
/// and dynamic_cast work across the DLL boundary as well.
#if defined(_WIN32)
#if defined(QV_BUILDING_LIBRARY)
#define QV_EXPORT __declspec(dllexport)
#else
#define QV_EXPORT __declspec(dllimport)
#endif
#else
#define QV_EXPORT __attribute__((visibility("default")))
#endif

#endif
