/*
 * Vantbrook request interface: the one export VantbrookRequest and the records
 * that cross it.
 *
 * A host fills a RequestRecord, hands it in with its DibRecord and a
 * ResultRecord, and gets back 1 (success) or 0 (failure) with the outcome in
 * the ResultRecord. Every request runs to its end inside the call.
 *
 * Thread safety: different threads may run requests at the same time, each
 * with its own RequestRecord and link. One RequestRecord must not be used by
 * two calls at once. Callbacks are called on the caller's thread, except the
 * progress callback, which the link library calls on its receiver thread.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef VANTBROOK_VANTBROOK_H
#define VANTBROOK_VANTBROOK_H

#include <stddef.h>
#include <stdint.h>

#include "vantbrook/records.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VANTBROOK_API VB_EXPORT

/* Request codes. */
enum VantbrookRequestCode {
  VB_REQ_DOWNLOAD_CONVERTED = 2738,
  VB_REQ_MESSAGE = 2739,
  VB_REQ_RESERVED_2740 = 2740,
  VB_REQ_RESERVED_2741 = 2741,
  VB_REQ_DIB = 2742,
  VB_REQ_NOOP = 2743,
  VB_REQ_DOWNLOAD_RAW = 2744,
  VB_REQ_HEADER = 2745,
  VB_REQ_VERSIONS = 2746,
  VB_REQ_RESERVED_2747 = 2747,
  VB_REQ_HOLD = 2748,
  VB_REQ_RELEASE = 2749
};

/* Result codes: ResultRecord.code. A meter status n (1..25) is reported as
 * result code n. */
enum ResultCode {
  VB_OK = 0,
  VB_NOT_IMPLEMENTED = 1,
  VB_COMMAND_NOT_SUCCESSFUL = 2,
  VB_WRITE_ACCESS_DENIED = 3,
  VB_READ_ACCESS_DENIED = 4,
  VB_LOGGER_DOES_NOT_EXIST = 5,
  VB_LOGGER_NOT_READ = 6,
  VB_NO_DATA_IN_RANGE = 7,
  VB_BUSY = 8,
  VB_PARAMETER_NOT_VALID = 9,
  VB_TAMPER_SEAL_ACTIVE = 10,
  VB_CANNOT_ALLOCATE_MEMORY = 11,
  VB_DATAMODE_NOT_SUPPORTED = 12,
  VB_BAD_BYTE_COUNT = 13,
  VB_SUPPLIER_MISMATCH = 14,
  VB_METER_ID_MISMATCH = 15,
  VB_REQUEST_TIMEOUT = 16,
  VB_LOGNO_MISMATCH = 17,
  VB_MESSAGE_TRUNCATED = 18,
  VB_PORT_DRIVER_ERROR = 19,
  VB_METER_NOT_RESPONDING = 20,
  VB_FRAME_RETRIES_FAILED = 21,
  VB_DIB_NOT_AVAILABLE = 22,
  VB_UNSUPPORTED_CONTROL = 23,
  VB_USER_ABORT = 24,
  VB_UNSPECIFIED_LINK_ERROR = 25
};


/*
 * Runs one request. Returns 1 on success, 0 on failure; the outcome is in
 * *result (code, source, message). request->data and request->dataLength
 * always come back as the host passed them.
 */
VANTBROOK_API int32_t VB_STDCALL VantbrookRequest(DibRecord *dib, RequestRecord *request,
                                                  ResultRecord *result);

#ifdef __cplusplus
}
#endif

#endif /* VANTBROOK_VANTBROOK_H */
