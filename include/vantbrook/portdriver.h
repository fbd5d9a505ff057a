/*
 * The port driver interface: the nine exports that every port driver module
 * (pnetport, dialport, or one of your own) provides, as function types.
 *
 * A driver module is named after its 4-character protocol code: protocol
 * "pnet" loads "pnetport.so" ("pnetport.dll" on Windows). brisel loads it
 * with dlopen (LoadLibraryA) and looks the entries up by name, on Windows by
 * their decorated __stdcall names (_OpenPort@16 ...). OpenPort, ClosePort,
 * SendData, ReceiveData and GetPortError are required; Abort,
 * StartReadThread and CloseReadThread are optional.
 *
 * A connection is a 32-bit handle issued by the driver (the port slot); -1
 * means none. A handle the driver did not issue, or has destroyed, is
 * refused, never dereferenced.
 *
 * Thread safety: one thread may read (ReceiveData) while another writes
 * (SendData) on the same connection; Abort may be called from another thread
 * to end a blocked read or write. ClosePort and ReleaseConnection must not
 * run while another call on the same connection is in progress. Different
 * connections are independent.
 *
 * Aborting a call set-up: the drivers put the new connection in the port
 * slot (with an atomic store) before they set up the call, and an Abort of
 * that connection from another thread while OpenPort runs ends the set-up's
 * pauses and waits for the device's answer at once: OpenPort fails with
 * "Call set-up aborted." and the line is left as the set-up left it.
 * ClosePort then clears the call as after any failed open, its pauses and
 * waits in full. brisel does this when its host asks to abort (see
 * brisel.h); a driver of your own gets it by publishing its connection the
 * same way early in OpenPort.
 *
 * The functions are declared here as types only, because their names collide
 * with brisel's exports; a driver defines them with C linkage.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef VANTBROOK_PORTDRIVER_H
#define VANTBROOK_PORTDRIVER_H

#include <stdint.h>

#include "vantbrook/callconv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Frame format codes for OpenPortWithSettings (low byte counts). */
#define VB_FRAME_7O1 1
#define VB_FRAME_7E1 2
/* any other value: 8 data bits, no parity, 1 stop bit */

/* Opens a new line (slot holds -1) or attaches to the line handle in the slot,
 * and sets up the call. The slot holds the new connection handle on return,
 * whether or not the open succeeded. */
typedef int32_t (VB_STDCALL *PortOpenFn)(int32_t *portSlot, int32_t portNumber,
                              const char *protocol, const char *address);
/* Opens a new line only, with the given baud rate and frame format code. */
typedef int32_t (VB_STDCALL *PortOpenWithSettingsFn)(int32_t *portSlot, int32_t portNumber,
                                          const char *protocol,
                                          const char *address, uint32_t baud,
                                          int32_t frameFormat);
typedef int32_t (VB_STDCALL *PortSendFn)(int32_t port, const unsigned char *data,
                              uint32_t length);
/* count: bytes wanted in, bytes received out. */
typedef int32_t (VB_STDCALL *PortReceiveFn)(int32_t port, unsigned char *buffer,
                                 uint32_t *count, uint32_t timeoutMs);
/* The connection's last error text (at most 127 characters). */
typedef const char *(VB_STDCALL *PortErrorFn)(int32_t port);
/* The line's OS handle, or -1. */
typedef int32_t (VB_STDCALL *PortHandleFn)(int32_t port);
typedef int32_t (VB_STDCALL *PortAbortFn)(int32_t port);
typedef int32_t (VB_STDCALL *PortCloseFn)(int32_t port);
/* Clears the call and destroys the connection but leaves the line open;
 * returns the line's OS handle, or -1. */
typedef int32_t (VB_STDCALL *PortReleaseFn)(int32_t port);
/* Optional receiver-thread hooks. */
typedef int32_t (VB_STDCALL *PortThreadHookFn)(int32_t port);

#ifdef __cplusplus
}
#endif

#endif /* VANTBROOK_PORTDRIVER_H */
