/*
 * export.h - linkage and visibility of the core's public interface.
 *
 * The core is compiled with hidden visibility by default, so only what a
 * header marks with TOVAREL_API leaves an object file that links it (the
 * Python extension module included).  Every such function has C linkage, so
 * C programs and ctypes can call it by its plain name.
 */
#ifndef TOVAREL_EXPORT_H
#define TOVAREL_EXPORT_H

#if defined(_WIN32)
#define TOVAREL_API __declspec(dllexport)
#else
#define TOVAREL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define TOVAREL_BEGIN_DECLS extern "C" {
#define TOVAREL_END_DECLS }
#else
#define TOVAREL_BEGIN_DECLS
#define TOVAREL_END_DECLS
#endif

#endif /* TOVAREL_EXPORT_H */
