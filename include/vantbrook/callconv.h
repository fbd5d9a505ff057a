/*
 * Calling conventions and export marks of the system's C interfaces.
 *
 * On 32-bit Windows the link library's eight exports, a port driver's nine,
 * VantbrookRequest and the application port callbacks are callee-cleans-up
 * (__stdcall); the progress callback is caller-cleans-up (__cdecl). Elsewhere
 * there is one C convention and the convention macros are empty.
 *
 * On Windows each library's .def file names its exports (the decorated names
 * _OpenPort@4 ... for the link library and the drivers), so the export mark
 * is empty there; on ELF it makes the symbol visible.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef VANTBROOK_CALLCONV_H
#define VANTBROOK_CALLCONV_H

#if defined(_WIN32)
#define VB_STDCALL __stdcall
#define VB_CDECL __cdecl
#define VB_EXPORT
#else
#define VB_STDCALL
#define VB_CDECL
#define VB_EXPORT __attribute__((visibility("default")))
#endif

#endif /* VANTBROOK_CALLCONV_H */
