// Marking the functions a shared library of the product exports.
#pragma once

/// QMA_LIBRARY_EXPORT on a function makes it one of its library's exports: on Windows
/// a DLL export (the library then exports nothing else), elsewhere default visibility in
/// a library built with hidden visibility. Callers see the plain declaration.
#if defined(_WIN32)
#define QMA_LIBRARY_EXPORT __declspec(dllexport)
#else
#define QMA_LIBRARY_EXPORT __attribute__((visibility("default")))
#endif
