// VantbrookRequest: the one export. Saves the host's data pointer and length
// for the call, checks the request, allocates the work buffer, runs the flow
// of the request code and puts the host's data pointer and length back.

#include <algorithm>
#include <optional>

#include "connection.h"
#include "control_commands.h"
#include "flows.h"
#include "formats/dib.h"
#include "host_buffer.h"
#include "link_call.h"
#include "message_frame.h"
#include "meter_commands.h"
#include "platform/text.h"
#include "result.h"
#include "trace.h"
#include "vantbrook/vantbrook.h"
#include "work_buffer.h"

namespace vb::request {
namespace {

constexpr const char* kEntryName = "VantbrookRequest";
// The smallest work buffer: the identity block's reply room.
constexpr uint32_t kStandardWorkBuffer = kGetDibReplyRoom;
// The message request builds Unlock (password and NUL) and receives the
// 12-byte status replies in its work buffer, whatever the host's length.
constexpr uint32_t kMessageWorkBufferMin = std::max(kUnlockMaxSent, kStatusReplyRoom);

constexpr int16_t kFirstLogger = 1;
constexpr int16_t kLastLogger = 3;
constexpr int16_t kTotalsLogger = 3;
// What the link library answers for the resume point of a link it does not
// hold open.
constexpr uint32_t kNoOpenLink = 0xFFFFFFFFu;

using FlowFunction = int (*)(DibRecord*, RequestRecord*, ResultRecord*);
// Work buffer size of a request, or empty when it does not fit in 32 bits.
using BufferSizeFunction = std::optional<uint32_t> (*)(const RequestRecord& request);
// 1 when the host's records let the request run; otherwise code 2 is set.
using HostCheckFunction = int (*)(const DibRecord* dib, const RequestRecord& request,
                                  ResultRecord* result);

struct RequestKind {
  int16_t code;
  bool checksLogNo;
  HostCheckFunction checkHost;      // nullptr: nothing to check
  BufferSizeFunction bufferSize;    // nullptr: no work buffer
  FlowFunction run;
};

int Refuse(ResultRecord* result, const char* message) {
  SetResult(result, VB_COMMAND_NOT_SUCCESSFUL, kSource, message);
  return 0;
}

int CheckDib(const DibRecord* dib, ResultRecord* result) {
  return dib != nullptr ? 1 : Refuse(result, "No DIB record given");
}

int CheckHeaderHost(const DibRecord* dib, const RequestRecord& request, ResultRecord* result) {
  if (CheckDib(dib, result) == 0) return 0;
  const auto* download = static_cast<const DownloadRecord*>(request.download);
  if (download == nullptr) return Refuse(result, "No download record given");
  if (download->header == nullptr) return Refuse(result, "No header record given");
  return 1;
}

int CheckDownloadHost(const DibRecord* dib, const RequestRecord& request, ResultRecord* result) {
  if (CheckHeaderHost(dib, request, result) == 0) return 0;
  const auto* download = static_cast<const DownloadRecord*>(request.download);
  if (download->entries == nullptr && download->capacity > 0) {
    return Refuse(result, "No entry array given");
  }
  if (request.specifier >= kRestartAfterDownload) return CheckRestartParameters(result);
  return 1;
}

int CheckDibHost(const DibRecord* dib, const RequestRecord&, ResultRecord* result) {
  return CheckDib(dib, result);
}

int CheckVersionHost(const DibRecord*, const RequestRecord& request, ResultRecord* result) {
  return request.download != nullptr ? 1 : Refuse(result, "No version record given");
}

// The text goes out as it is, so there must be at least one character; the
// link could not send an empty message, and by then the logger would be
// unlocked.
int CheckMessageHost(const DibRecord*, const RequestRecord& request, ResultRecord* result) {
  if (request.data == nullptr || request.dataLength == 0) {
    return Refuse(result, "No message buffer given");
  }
  if (request.data[0] == '\0') return Refuse(result, "No message text given");
  return 1;
}

std::optional<uint32_t> StandardBuffer(const RequestRecord&) { return kStandardWorkBuffer; }
std::optional<uint32_t> VersionBuffer(const RequestRecord&) { return kGetVersionsReplyRoom; }

std::optional<uint32_t> MessageBuffer(const RequestRecord& request) {
  return std::max(request.dataLength, kMessageWorkBufferMin);
}

std::optional<uint32_t> DownloadBuffer(const RequestRecord& request) {
  const uint32_t capacity = static_cast<const DownloadRecord*>(request.download)->capacity;
  const std::optional<uint32_t> room = request.logNo == kTotalsLogger
                                           ? TotalsDownloadReplyRoom(capacity)
                                           : PairDownloadReplyRoom(capacity);
  if (!room) return std::nullopt;
  return std::max(*room, kStandardWorkBuffer);
}

int Succeed(DibRecord*, RequestRecord*, ResultRecord*) { return 1; }

int DibRequestWithDump(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  if (DIBRequest(dib, request, result) == 0) return 0;
  DumpDib(*dib);
  return 1;
}

constexpr RequestKind kRequestKinds[] = {
    {VB_REQ_DOWNLOAD_CONVERTED, true, CheckDownloadHost, DownloadBuffer, DownloadRequest},
    {VB_REQ_MESSAGE, false, CheckMessageHost, MessageBuffer, MessageRequest},
    {VB_REQ_DIB, false, CheckDibHost, StandardBuffer, DibRequestWithDump},
    {VB_REQ_NOOP, false, nullptr, StandardBuffer, Succeed},
    {VB_REQ_DOWNLOAD_RAW, true, CheckDownloadHost, DownloadBuffer, DownloadRequest},
    {VB_REQ_HEADER, true, CheckHeaderHost, StandardBuffer, HeaderRequest},
    {VB_REQ_VERSIONS, false, CheckVersionHost, VersionBuffer, VersionRequest},
    {VB_REQ_HOLD, false, nullptr, nullptr, HoldConnection},
    {VB_REQ_RELEASE, false, nullptr, nullptr, ReleaseConnection},
};

const RequestKind* FindRequestKind(int16_t code) {
  for (const RequestKind& kind : kRequestKinds) {
    if (kind.code == code) return &kind;
  }
  return nullptr;
}

int RunRequest(const RequestKind& kind, DibRecord* dib, RequestRecord* request,
               ResultRecord* result) {
  if (kind.checksLogNo && (request->logNo < kFirstLogger || request->logNo > kLastLogger)) {
    SetResult(result, VB_LOGNO_MISMATCH, kSource, ResultText(VB_LOGNO_MISMATCH));
    return 0;
  }
  if (kind.checkHost != nullptr && kind.checkHost(dib, *request, result) == 0) return 0;
  if (kind.bufferSize == nullptr) return kind.run(dib, request, result);

  const std::optional<uint32_t> size = kind.bufferSize(*request);
  HeapBytes workBuffer;
  if (!size || !workBuffer.Allocate(*size)) {
    SetResult(result, VB_CANNOT_ALLOCATE_MEMORY, kSource, "Could not allocate memory for buffer");
    return 0;
  }
  request->data = workBuffer.data();
  return kind.run(dib, request, result);
}

// A linkHandle that the link library did not issue, or whose link has been
// closed, would make every link call fail without setting a result. It is
// refused before anything is sent, with the code a closed link gives.
int CheckLinkHandle(RequestRecord* request, ResultRecord* result) {
  if (request->linkHandle == kNoHandle) return 1;
  ResultRecord scratch{};
  if (LinkGetResumePoint(request, &scratch) != kNoOpenLink) return 1;
  Trace("Link handle %d is not open\n", static_cast<int>(request->linkHandle));
  SetResultF(result, VB_PORT_DRIVER_ERROR,
             "%s: linkHandle %d is not a link the link library holds open",
             ResultText(VB_PORT_DRIVER_ERROR), static_cast<int>(request->linkHandle));
  return 0;
}

int32_t Request(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  HostBufferScope hostBuffer(request);
  Trace("In %s \n", kEntryName);
  platform::copyField(result->source, sizeof result->source, kEntryName);
  request->connectCount = 0;
  if (CheckLinkHandle(request, result) == 0) return 0;

  const RequestKind* kind = FindRequestKind(request->requestCode);
  if (kind == nullptr) {
    Trace("This request type not yet catered for\n");
    SetResult(result, VB_NOT_IMPLEMENTED, kSource, ResultText(VB_NOT_IMPLEMENTED));
    return 0;
  }
  if (RunRequest(*kind, dib, request, result) == 0) return 0;
  Trace("Leaving %s\n", kEntryName);
  return 1;
}

}  // namespace
}  // namespace vb::request

extern "C" VANTBROOK_API int32_t VB_STDCALL VantbrookRequest(DibRecord* dib,
                                                             RequestRecord* request,
                                                             ResultRecord* result) {
  if (request == nullptr || result == nullptr) return 0;
  return vb::request::Request(dib, request, result);
}
