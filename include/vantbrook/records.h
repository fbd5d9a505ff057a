/*
 * Records shared between the host and the request library. Fields are in
 * wire/record order with natural alignment and exact widths; the records that
 * have fixed byte offsets are checked at compile time at the end of this file.
 *
 * Handles are 32 bits; -1 (all ones) means "none" throughout.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef VANTBROOK_RECORDS_H
#define VANTBROOK_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "vantbrook/callconv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Progress callback: percentage in, 1 out to abort. Called on the link
 * library's receiver thread while the link is open, and (with 0) on a thread
 * of the link library while a port driver sets up the link's call, whose
 * set-up it aborts (result code 24). */
typedef int (VB_CDECL *VantbrookProgressCallback)(int percent);

/* Application port callbacks: reopen or close the host's own serial line
 * during a reconnect. They may store a new OS handle of the line (a file
 * descriptor; a HANDLE on Windows) through the pointer. The close callback
 * returns non-zero on success. */
typedef int (VB_STDCALL *VantbrookPortCallback)(int32_t *portHandle);

#define VB_TEXT_FIELD 40
#define VB_SOURCE_FIELD 40
#define VB_MESSAGE_FIELD 128
#define VB_ADDRESS_FIELD 40
#define VB_PROTOCOL_FIELD 4
#define VB_PASSWORD_FIELD 41

/* The host's settings and in/out values for one request. */
typedef struct RequestRecord {
  int16_t portNumber;
  int16_t requestCode;
  char protocol[VB_PROTOCOL_FIELD]; /* not terminated: "COM1".."COM8" or a driver code */
  char address[VB_ADDRESS_FIELD];
  uint32_t receiveTimeout; /* ms */
  int32_t linkHandle;      /* -1 while no link is open */
  int32_t portHandle;      /* the host's own open line, or -1 */
  void *download;          /* DownloadRecord*, or VersionRecord* for request 2746 */
  unsigned char *data;
  uint32_t dataLength;
  int32_t linkReserved;
  int16_t specifier;
  int32_t rangeStart;
  int32_t rangeEnd;
  int16_t logNo;
  char setTimeMode; /* 'B' before, 'A' after, anything else: never */
  char password[VB_PASSWORD_FIELD];
  int32_t connectCount;
  uint32_t frameTimeout; /* ms */
  unsigned char reserved[4];
  uint32_t resumeLimit;
  uint32_t commandAttempts;
  uint32_t reconnectAttempts;
  VantbrookProgressCallback progressCallback;
  VantbrookPortCallback reopenPortCallback;
  VantbrookPortCallback closePortCallback;
  int32_t holdConnection;
} RequestRecord;

/* The outcome of a request. Texts are bounded copies, NUL-filled; a text that
 * fills its field is not terminated. */
typedef struct ResultRecord {
  int32_t code;
  char source[VB_SOURCE_FIELD];
  char message[VB_MESSAGE_FIELD];
} ResultRecord;

/* The meter's identity block, decoded. */
typedef struct DibRecord {
  uint16_t strusize;
  uint16_t struvers;
  uint16_t supplier; /* in: expected supplier, 0 = any */
  char meter_id[VB_TEXT_FIELD];
  unsigned char reserved1[6];
  uint32_t last_alt; /* host time value */
  uint32_t trans_id;
  uint16_t transpin;
  unsigned char reserved2[2];
  uint32_t flows_id;
  uint32_t press_id;
  float calibore;
  uint16_t aux_word;
  char flowcont[VB_TEXT_FIELD];
  char trancont[VB_TEXT_FIELD];
  char prescont[VB_TEXT_FIELD];
  char transtag[VB_TEXT_FIELD];
  char presstag[VB_TEXT_FIELD];
  char manufact[VB_TEXT_FIELD];
  char transtyp[VB_TEXT_FIELD];
  char business[VB_TEXT_FIELD];
  char location[VB_TEXT_FIELD];
  char flowcali[VB_TEXT_FIELD];
  char prescali[VB_TEXT_FIELD];
  char usermess[VB_TEXT_FIELD];
  char tranvers[VB_TEXT_FIELD];
  char protvers[VB_TEXT_FIELD];
  char loggvers[VB_TEXT_FIELD];
} DibRecord;

/* Header and download requests: where the decoded header and entries go. */
typedef struct DownloadRecord {
  void *header;   /* DataHeaderRecord* (loggers 1, 2) or TotalsHeaderRecord* (logger 3) */
  void *entries;  /* RawPair*, ConvertedPair* or TotalsRecord* */
  uint32_t capacity; /* entries the array holds */
} DownloadRecord;

/* Header of loggers 1 and 2 (flow/pressure pairs). */
typedef struct DataHeaderRecord {
  uint16_t recordSize; /* always 112 */
  uint16_t formatVersion;
  uint16_t type;
  uint16_t supplier;
  char siteId[VB_TEXT_FIELD];
  uint32_t currentDateTime;
  uint32_t priorDateTime;
  uint32_t postDateTime;
  uint32_t originalLoggerResetDateTime;
  uint32_t correctedLoggerResetDateTime;
  uint32_t firstPairDateTime;
  uint32_t firstPairRSN;
  uint32_t lastPairDateTime;
  uint32_t lastPairRSN;
  uint16_t loggingInterval;
  unsigned char reserved1[2];
  float calibratedBore;
  uint32_t velocityFormat;
  uint32_t pressureFormat;
  int16_t heightOffset;
  unsigned char reserved2[2];
  uint32_t statusFlags;
  uint32_t count; /* entries decoded */
} DataHeaderRecord;

/* Header of logger 3 (totals). */
typedef struct TotalsHeaderRecord {
  uint32_t recordSize; /* always 132 */
  uint16_t formatVersion;
  uint16_t type;
  uint16_t supplier;
  char siteId[VB_TEXT_FIELD];
  unsigned char reserved1[2];
  uint32_t currentDateTime;
  uint32_t priorDateTime;
  uint32_t postDateTime;
  char auxText[VB_TEXT_FIELD];
  float auxValue;
  uint32_t firstRecordDateTime;
  uint32_t firstRecordRSN;
  uint32_t lastRecordDateTime;
  uint32_t lastRecordRSN;
  uint32_t statusFlags;
  uint32_t count; /* entries decoded */
} TotalsHeaderRecord;

/* A flow/pressure pair as the meter logged it (request 2744). */
typedef struct RawPair {
  uint16_t flow;
  uint16_t pressure;
} RawPair;

/* A flow/pressure pair in engineering units (request 2738). */
typedef struct ConvertedPair {
  float flow;
  float pressure;
} ConvertedPair;

/* One totals record of logger 3. */
typedef struct TotalsRecord {
  uint32_t dateTime; /* host time value */
  uint32_t totals[8];
  uint8_t extra1;
  uint8_t extra2;
  unsigned char reserved[2];
  uint32_t crcValid; /* 1 when the record's CRC-16 matched */
} TotalsRecord;

/* The meter's eight version texts, in reply order (request 2746). */
typedef struct VersionRecord {
  char text[8][VB_TEXT_FIELD];
} VersionRecord;

/* Bit 13 of statusFlags: the identity block has changed. */
#define VB_STATUS_DIB_CHANGED 0x2000u

/* Initialiser of the status-flag texts: entry 0 for no bit set, entry k + 1
 * for bit k. */
#define VB_STATUS_FLAG_TEXT_COUNT 15
#define VB_STATUS_FLAG_TEXTS                                                   \
  {"No error indications",  "Flow sensor absent",                            \
   "Flow sensor fault",     "Pressure sensor absent",                        \
   "Pressure sensor fault", "Battery 1 absent",                              \
   "Battery 1 discharged",  "Battery 1 warning",                             \
   "Battery 2 absent",      "Battery 2 discharged",                          \
   "Battery 2 warning",     "External power absent",                         \
   "Empty pipe",            "Tamper switch activated",                       \
   "DIB changed"}

#define VB_RESULT_CODE_COUNT 26

/* Initialiser of the result-text table, indexed by result code 0..25. */
#define VB_RESULT_TEXTS                                                        \
  {"Command successful",                                                     \
   "Not implemented",                                                        \
   "Command not successful",                                                 \
   "Write Access denied (Logger locked at level 1)",                         \
   "Read Access denied (Logger locked at level 2)",                          \
   "Logger does not exist",                                                  \
   "Logger has not been read",                                               \
   "No data in specified range",                                             \
   "Busy",                                                                   \
   "Parameter not valid",                                                    \
   "Tamper seal active",                                                     \
   "Cannot allocate memory",                                                 \
   "Datamode not supported",                                                 \
   "Bad byte count",                                                         \
   "Mismatch on supplier Id",                                                \
   "Mismatch on Meter Id",                                                   \
   "Request timeout",                                                        \
   "LogNo received differs from that sent",                                  \
   "Message truncated",                                                      \
   "Port driver error",                                                      \
   "Meter Not Responding",                                                   \
   "Frame retries failed",                                                   \
   "DIB not available",                                                      \
   "Received unsupported control frame request",                             \
   "Abort due to user request",                                              \
   "Unspecified Brisel error"}

#ifdef __cplusplus
#define VB_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VB_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Layout checks: C++, C11, or a C99 compiler that offers _Static_assert. */
#if defined(__cplusplus) || defined(__GNUC__) || \
    (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
VB_STATIC_ASSERT(offsetof(DibRecord, supplier) == 4, "DibRecord.supplier");
VB_STATIC_ASSERT(offsetof(DibRecord, meter_id) == 6, "DibRecord.meter_id");
VB_STATIC_ASSERT(offsetof(DibRecord, last_alt) == 52, "DibRecord.last_alt");
VB_STATIC_ASSERT(offsetof(DibRecord, trans_id) == 56, "DibRecord.trans_id");
VB_STATIC_ASSERT(offsetof(DibRecord, transpin) == 60, "DibRecord.transpin");
VB_STATIC_ASSERT(offsetof(DibRecord, flows_id) == 64, "DibRecord.flows_id");
VB_STATIC_ASSERT(offsetof(DibRecord, press_id) == 68, "DibRecord.press_id");
VB_STATIC_ASSERT(offsetof(DibRecord, calibore) == 72, "DibRecord.calibore");
VB_STATIC_ASSERT(offsetof(DibRecord, aux_word) == 76, "DibRecord.aux_word");
VB_STATIC_ASSERT(offsetof(DibRecord, flowcont) == 78, "DibRecord.flowcont");
VB_STATIC_ASSERT(offsetof(DibRecord, trancont) == 118, "DibRecord.trancont");
VB_STATIC_ASSERT(offsetof(DibRecord, usermess) == 518, "DibRecord.usermess");
VB_STATIC_ASSERT(offsetof(DibRecord, tranvers) == 558, "DibRecord.tranvers");
VB_STATIC_ASSERT(offsetof(DibRecord, protvers) == 598, "DibRecord.protvers");
VB_STATIC_ASSERT(offsetof(DibRecord, loggvers) == 638, "DibRecord.loggvers");
VB_STATIC_ASSERT(offsetof(DibRecord, loggvers) + VB_TEXT_FIELD == 678, "DibRecord end");
VB_STATIC_ASSERT(sizeof(DibRecord) == 680, "DibRecord size (678 + tail padding)");

VB_STATIC_ASSERT(offsetof(DataHeaderRecord, siteId) == 8, "DataHeaderRecord.siteId");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, currentDateTime) == 48, "DataHeaderRecord.currentDateTime");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, firstPairDateTime) == 68, "DataHeaderRecord.firstPairDateTime");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, firstPairRSN) == 72, "DataHeaderRecord.firstPairRSN");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, lastPairDateTime) == 76, "DataHeaderRecord.lastPairDateTime");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, lastPairRSN) == 80, "DataHeaderRecord.lastPairRSN");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, loggingInterval) == 84, "DataHeaderRecord.loggingInterval");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, calibratedBore) == 88, "DataHeaderRecord.calibratedBore");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, velocityFormat) == 92, "DataHeaderRecord.velocityFormat");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, pressureFormat) == 96, "DataHeaderRecord.pressureFormat");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, heightOffset) == 100, "DataHeaderRecord.heightOffset");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, statusFlags) == 104, "DataHeaderRecord.statusFlags");
VB_STATIC_ASSERT(offsetof(DataHeaderRecord, count) == 108, "DataHeaderRecord.count");
VB_STATIC_ASSERT(sizeof(DataHeaderRecord) == 112, "DataHeaderRecord size");

VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, formatVersion) == 4, "TotalsHeaderRecord.formatVersion");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, supplier) == 8, "TotalsHeaderRecord.supplier");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, siteId) == 10, "TotalsHeaderRecord.siteId");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, currentDateTime) == 52, "TotalsHeaderRecord.currentDateTime");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, auxText) == 64, "TotalsHeaderRecord.auxText");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, auxValue) == 104, "TotalsHeaderRecord.auxValue");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, firstRecordDateTime) == 108, "TotalsHeaderRecord.firstRecordDateTime");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, lastRecordRSN) == 120, "TotalsHeaderRecord.lastRecordRSN");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, statusFlags) == 124, "TotalsHeaderRecord.statusFlags");
VB_STATIC_ASSERT(offsetof(TotalsHeaderRecord, count) == 128, "TotalsHeaderRecord.count");
VB_STATIC_ASSERT(sizeof(TotalsHeaderRecord) == 132, "TotalsHeaderRecord size");

VB_STATIC_ASSERT(sizeof(RawPair) == 4, "RawPair size");
VB_STATIC_ASSERT(offsetof(RawPair, pressure) == 2, "RawPair.pressure");
VB_STATIC_ASSERT(sizeof(ConvertedPair) == 8, "ConvertedPair size");
VB_STATIC_ASSERT(offsetof(ConvertedPair, pressure) == 4, "ConvertedPair.pressure");

VB_STATIC_ASSERT(offsetof(TotalsRecord, totals) == 4, "TotalsRecord.totals");
VB_STATIC_ASSERT(offsetof(TotalsRecord, extra1) == 36, "TotalsRecord.extra1");
VB_STATIC_ASSERT(offsetof(TotalsRecord, extra2) == 37, "TotalsRecord.extra2");
VB_STATIC_ASSERT(offsetof(TotalsRecord, crcValid) == 40, "TotalsRecord.crcValid");
VB_STATIC_ASSERT(sizeof(TotalsRecord) == 44, "TotalsRecord size");

VB_STATIC_ASSERT(sizeof(VersionRecord) == 320, "VersionRecord size");
VB_STATIC_ASSERT(sizeof(((ResultRecord *)0)->source) == 40, "ResultRecord.source");
VB_STATIC_ASSERT(sizeof(((ResultRecord *)0)->message) == 128, "ResultRecord.message");
#endif

#ifdef __cplusplus
}
#endif

#endif /* VANTBROOK_RECORDS_H */
