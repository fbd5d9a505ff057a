#include "link_call.h"

#include "platform/text.h"
#include "result.h"
#include "vantbrook/brisel.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {
namespace {

struct LinkErrorMapping {
  int32_t linkError;
  int32_t resultCode;
};

constexpr LinkErrorMapping kLinkErrorMap[] = {
    {LINK_OK, VB_OK},
    {LINK_RX_OVERFLOW, VB_CANNOT_ALLOCATE_MEMORY},
    {2, VB_DATAMODE_NOT_SUPPORTED},
    {LINK_TIMEOUT, VB_REQUEST_TIMEOUT},
    {LINK_TRUNCATED, VB_MESSAGE_TRUNCATED},
    {LINK_FAILED, VB_PORT_DRIVER_ERROR},
    {LINK_RETRIES_FAILED, VB_FRAME_RETRIES_FAILED},
    {LINK_UNSUPPORTED_CONTROL, VB_UNSUPPORTED_CONTROL},
    {LINK_ABORTED, VB_USER_ABORT},
};

LinkRecord ToLinkRecord(const RequestRecord& request, const ResultRecord& result) {
  LinkRecord link{};
  link.port_number = static_cast<uint16_t>(request.portNumber);
  platform::copyField(link.protocol, sizeof link.protocol, request.protocol);
  platform::copyField(link.address, sizeof link.address, request.address);
  link.receive_timeout_ms = request.receiveTimeout;
  link.link = request.linkHandle;
  link.port_handle = request.portHandle;
  link.data = request.data;
  link.length = request.dataLength;
  link.spare = request.linkReserved;
  link.frame_timeout_ms = request.frameTimeout;
  link.progress = request.progressCallback;
  link.error_code = result.code;
  platform::copyField(link.source, sizeof link.source, result.source);
  platform::copyField(link.message, sizeof link.message, result.message);
  return link;
}

void FromLinkRecord(const LinkRecord& link, RequestRecord* request, ResultRecord* result) {
  request->portNumber = static_cast<int16_t>(link.port_number);
  platform::copyField(request->protocol, sizeof request->protocol, link.protocol);
  platform::copyField(request->address, sizeof request->address, link.address);
  request->receiveTimeout = link.receive_timeout_ms;
  request->linkHandle = link.link;
  request->portHandle = link.port_handle;
  request->data = link.data;
  request->dataLength = link.length;
  request->linkReserved = link.spare;
  request->frameTimeout = link.frame_timeout_ms;
  request->progressCallback = link.progress;
  platform::copyField(result->source, sizeof result->source, link.source);
  platform::copyField(result->message, sizeof result->message, link.message);
  bool replaceMessage = false;
  result->code = MapLinkError(link.error_code, &replaceMessage);
  if (replaceMessage) {
    platform::copyField(result->message, sizeof result->message,
                        ResultText(VB_UNSPECIFIED_LINK_ERROR));
  }
}

template <typename Call>
auto LinkCall(RequestRecord* request, ResultRecord* result, Call call) {
  LinkRecord link = ToLinkRecord(*request, *result);
  auto returned = call(&link);
  FromLinkRecord(link, request, result);
  return returned;
}

}  // namespace

int32_t MapLinkError(int32_t linkErrorCode, bool* replaceMessage) {
  for (const LinkErrorMapping& mapping : kLinkErrorMap) {
    if (mapping.linkError == linkErrorCode) {
      *replaceMessage = false;
      return mapping.resultCode;
    }
  }
  *replaceMessage = true;
  return VB_UNSPECIFIED_LINK_ERROR;
}

int32_t LinkOpenPort(RequestRecord* request, ResultRecord* result) {
  return LinkCall(request, result, [](LinkRecord* link) { return OpenPort(link); });
}

int32_t LinkClosePort(RequestRecord* request, ResultRecord* result) {
  return LinkCall(request, result, [](LinkRecord* link) { return ClosePort(link); });
}

int32_t LinkSendData(RequestRecord* request, ResultRecord* result) {
  return LinkCall(request, result, [](LinkRecord* link) { return SendData(link); });
}

int32_t LinkRecvData(RequestRecord* request, ResultRecord* result) {
  return LinkCall(request, result, [](LinkRecord* link) { return RecvData(link); });
}

uint32_t LinkGetResumePoint(RequestRecord* request, ResultRecord* result) {
  return LinkCall(request, result, [](LinkRecord* link) { return GetResumePoint(link); });
}

uint32_t LinkGetMsgLength(RequestRecord* request, ResultRecord* result) {
  return LinkCall(request, result, [](LinkRecord* link) { return GetMsgLength(link); });
}

int32_t LinkSetStartPoint(RequestRecord* request, ResultRecord* result, uint32_t offset) {
  return LinkCall(request, result,
                  [offset](LinkRecord* link) { return SetStartPoint(link, offset); });
}

int32_t LinkSetMsgLength(RequestRecord* request, ResultRecord* result, uint32_t length) {
  return LinkCall(request, result,
                  [length](LinkRecord* link) { return SetMsgLength(link, length); });
}

}  // namespace vb::request
