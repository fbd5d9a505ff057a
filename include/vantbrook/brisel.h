/*
 * brisel: the link-protocol library. Eight exports, each taking one
 * LinkRecord that carries the settings in and the outcome out.
 *
 * Calling order for one request: OpenPort; pairs of SendData and RecvData;
 * ClosePort. A reception that fails with LINK_TIMEOUT is resumed with
 * GetResumePoint and GetMsgLength on the old link, ClosePort, OpenPort,
 * the resume dialogue, SetStartPoint and SetMsgLength, then RecvData.
 *
 * Thread safety: the exports run on the caller's thread and are not
 * re-entrant for one link: one call at a time per link. Different links may
 * be used from different threads at once. Each open link has one receiver
 * thread of its own, which calls the progress callback. While OpenPort waits
 * for a port driver to set up a call, a thread of its own asks the callback
 * every 100 ms; when it answers 1, the driver's Abort ends the set-up and
 * OpenPort fails with LINK_ABORTED after the call is cleared.
 *
 * A link is a 32-bit handle (LinkRecord.link); -1 means not open. A handle
 * that is not open (closed, stale or never issued) is refused like -1.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef VANTBROOK_BRISEL_H
#define VANTBROOK_BRISEL_H

#include <stdint.h>

#include "vantbrook/records.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BRISEL_API VB_EXPORT

/* The most bytes one message from the meter may hold: a longer reply fails
 * with LINK_RX_OVERFLOW ("Receiver buffer overflowed"). A host sizes its
 * downloads so that each reply fits. */
#define BRISEL_MAX_MESSAGE_BYTES 100000u

/* Link error codes (LinkRecord.error_code). The value 2 is never produced. */
enum LinkErrorCode {
  LINK_OK = 0,
  LINK_RX_OVERFLOW = 1,
  LINK_TIMEOUT = 3,
  LINK_TRUNCATED = 4,
  LINK_FAILED = 5,
  LINK_RETRIES_FAILED = 6,
  LINK_UNSUPPORTED_CONTROL = 7,
  LINK_ABORTED = 8,
  LINK_UNSPECIFIED = 999
};

/* The record passed to every export. */
typedef struct LinkRecord {
  uint16_t port_number;  /* 1..8, handed to a port driver */
  char protocol[4];      /* "COM1".."COM8" (any case) or a driver code; not terminated */
  char address[40];      /* zero-terminated, handed to a port driver */
  uint32_t receive_timeout_ms;
  int32_t link;          /* open link handle, -1 when not open */
  int32_t port_handle;   /* OS handle of a line already open, or -1 */
  unsigned char *data;
  uint32_t length;       /* SendData: message length; RecvData: capacity in, delivered out */
  int32_t spare;         /* neither read nor written by the library */
  int32_t error_code;
  char source[40];
  char message[128];
  uint32_t frame_timeout_ms;
  VantbrookProgressCallback progress;
} LinkRecord;

/* Opens a link: port or driver, wake-up text, receiver thread. 1 opened. */
BRISEL_API int32_t VB_STDCALL OpenPort(LinkRecord *record);
/* Stops the receiver, aborts and closes the port; link becomes -1. */
BRISEL_API int32_t VB_STDCALL ClosePort(LinkRecord *record);
/* Sends length bytes from data as one message. 1 when sent. */
BRISEL_API int32_t VB_STDCALL SendData(LinkRecord *record);
/* Waits up to receive_timeout_ms for the next message. 1 when complete. */
BRISEL_API int32_t VB_STDCALL RecvData(LinkRecord *record);
/* Offset up to which the pending message has arrived; all ones when closed. */
BRISEL_API uint32_t VB_STDCALL GetResumePoint(LinkRecord *record);
/* The next receive continues the pending message at offset. */
BRISEL_API int32_t VB_STDCALL SetStartPoint(LinkRecord *record, uint32_t offset);
/* Total length of the pending message (0 when closed). */
BRISEL_API uint32_t VB_STDCALL GetMsgLength(LinkRecord *record);
/* Sets the total length of the pending message. */
BRISEL_API int32_t VB_STDCALL SetMsgLength(LinkRecord *record, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif /* VANTBROOK_BRISEL_H */
