/* The export macro of both public headers: symbols are hidden by default and
 * each entry of the interface is exported through RDR00800_API (C++) or
 * RDR00800_CAPI (C). RDR00800_BUILDING is defined while the library itself
 * is compiled. Valid C and C++. */
#ifndef RDR00800_EXPORT_H
#define RDR00800_EXPORT_H

#if defined(_WIN32)
#if defined(RDR00800_BUILDING)
#define RDR00800_EXPORT __declspec(dllexport)
#else
#define RDR00800_EXPORT __declspec(dllimport)
#endif
#else
#define RDR00800_EXPORT __attribute__((visibility("default")))
#endif

#define RDR00800_API RDR00800_EXPORT
#define RDR00800_CAPI RDR00800_EXPORT

#endif /* RDR00800_EXPORT_H */
