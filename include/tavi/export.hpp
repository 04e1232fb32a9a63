/* tavi — the export macro. Marks what the shared library exports; everything else in it is
 * hidden. Written in the common subset of C and C++: the C interface (tavi/tavi.h) uses it too.
 *
 * TAVI_STATIC is defined for the static library's consumers (the CMake target tavi::tavi_static
 * and `pkg-config --static` set it): there the macro is empty and the host's own visibility
 * settings apply. */
#ifndef TAVI_EXPORT_HPP
#define TAVI_EXPORT_HPP

#if defined(TAVI_STATIC)
#define TAVI_EXPORT
#elif defined(__GNUC__)
#define TAVI_EXPORT __attribute__((visibility("default")))
#else
#define TAVI_EXPORT
#endif

#endif /* TAVI_EXPORT_HPP */
