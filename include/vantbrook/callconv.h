/*
 * Calling conventions and export marks of the system's C interfaces.
 *
 * On 32-bit Windows the link library's eight exports, a port driver's nine,
 * VantbrookRequest and the application port callbacks are callee-cleans-up
 * (__stdcall); the progress callback is caller-cleans-up (__cdecl). 64-bit
 * Windows and ELF have one C convention each, and the convention macros are
 * empty there.
 *
 * On Windows each library's .def file names its exports (on 32-bit Windows
 * the decorated names _OpenPort@4 ... for the link library and the drivers,
 * on 64-bit Windows the plain names OpenPort ...), so the export mark is
 * empty there; on ELF it makes the symbol visible.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef VANTBROOK_CALLCONV_H
#define VANTBROOK_CALLCONV_H

#if defined(_WIN32) && !defined(_WIN64)
#define VB_STDCALL __stdcall
#define VB_CDECL __cdecl
#else
#define VB_STDCALL
#define VB_CDECL
#endif

#if defined(_WIN32)
#define VB_EXPORT
#else
#define VB_EXPORT __attribute__((visibility("default")))
#endif

#endif /* VANTBROOK_CALLCONV_H */
