#include "meter_commands.h"

#include <optional>

#include "formats/cdtf.h"
#include "formats/pairs.h"
#include "formats/totals.h"
#include "formats/versions.h"
#include "message_frame.h"
#include "result.h"
#include "step_trace.h"
#include "trace.h"
#include "transaction.h"
#include "vantbrook/vantbrook.h"
#include "work_buffer.h"

namespace vb::request {
namespace {

constexpr int16_t kPairLoggerFirst = 1;
constexpr int16_t kPairLoggerLast = 2;
constexpr int16_t kTotalsLogger = 3;

bool IsPairLogger(int16_t logNo) { return logNo >= kPairLoggerFirst && logNo <= kPairLoggerLast; }

struct Range {
  uint32_t from;
  uint32_t to;
};

Range ChooseRange(int16_t selection, const RequestRecord& request) {
  const uint32_t start = static_cast<uint32_t>(request.rangeStart);
  const uint32_t end = static_cast<uint32_t>(request.rangeEnd);
  switch (selection) {
    case kSelectByTime:
    case kSelectByTimeAlso: {
      const Range sent{HostToCdtf(start), HostToCdtf(end)};
      Trace("Get by Time (time_t): %d to %d\n", request.rangeStart, request.rangeEnd);
      Trace("Get by Time: %d to %d\n", static_cast<int32_t>(sent.from),
            static_cast<int32_t>(sent.to));
      return sent;
    }
    case kSelectByRsn:
      Trace("Get by RSN: %d to %d\n", request.rangeStart, request.rangeEnd);
      return Range{start, end};
    case kSelectAll:
      Trace("Get all\n");
      return Range{0, 0};
    case kSelectByRsnAndReset:
      Trace("Get by RSN & issue reset: %d to %d\n", request.rangeStart, request.rangeEnd);
      return Range{start, end};
    case kSelectReset:
      Trace("Issue reset\n");
      return Range{0, 0};
    default:
      Trace("Invalid specifier\n");
      return Range{0, 0};
  }
}

std::optional<uint32_t> DataReplyRoom(const RequestRecord& request, uint32_t capacity) {
  if (IsPairLogger(request.logNo)) return PairDownloadReplyRoom(capacity);
  if (request.logNo == kTotalsLogger) return TotalsDownloadReplyRoom(capacity);
  return kOtherLoggerDataReplyRoom;
}

uint32_t HeaderReplyRoom(int16_t logNo) {
  if (IsPairLogger(logNo)) return kPairHeaderReplyRoom;
  if (logNo == kTotalsLogger) return kTotalsHeaderReplyRoom;
  return kOtherLoggerHeaderReplyRoom;
}

// Runs a logger command built in the buffer and decodes its reply.
int ExchangeAndDecodeLogger(DibRecord* dib, RequestRecord* request, ResultRecord* result,
                            uint16_t command, uint32_t replyRoom) {
  uint32_t received = 0;
  if (ResumableTransaction(request, result, replyRoom, &received) == 0) return 0;
  if (ValidateReply(result, Reply{request->data, received}, command, replyRoom) == 0) return 0;
  if (IsPairLogger(request->logNo)) return ProcessSentData(dib, request, result, received) ? 1 : 0;
  if (request->logNo == kTotalsLogger) {
    return ProcessSentTotals(dib, request, result, received) ? 1 : 0;
  }
  return 0;
}

}  // namespace

int GetDIB(RequestRecord* request, ResultRecord* result, uint32_t* received) {
  StepTrace trace("GetDIB");
  BuildCommandHeader(request->data, kClassMeterCommand, kCmdGetDib, kGetDibSent - kDataCountBase,
                     0);
  request->dataLength = kGetDibSent;
  if (ResumableTransaction(request, result, kGetDibReplyRoom, received) == 0) return 0;
  return ValidateReply(result, Reply{request->data, *received}, kCmdGetDib, kGetDibReplyRoom);
}

int GetHeader(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  StepTrace trace("GetHeader");
  BuildCommandHeader(request->data, kClassMeterCommand, kCmdGetHeader,
                     kGetHeaderSent - kDataCountBase, 0);
  PutU16(request->data + kCommandDataOffset, static_cast<uint16_t>(request->logNo));
  request->dataLength = kGetHeaderSent;
  return ExchangeAndDecodeLogger(dib, request, result, kCmdGetHeader,
                                 HeaderReplyRoom(request->logNo));
}

int GetData(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  StepTrace trace("GetData");
  const auto* download = static_cast<const DownloadRecord*>(request->download);
  if (download == nullptr) {
    SetResult(result, VB_COMMAND_NOT_SUCCESSFUL, kSource, "No download record given");
    return 0;
  }
  const std::optional<uint32_t> replyRoom = DataReplyRoom(*request, download->capacity);
  if (!replyRoom) {
    SetResult(result, VB_CANNOT_ALLOCATE_MEMORY, kSource, "Could not allocate memory for buffer");
    return 0;
  }
  const int16_t selection = ReducedSpecifier(request->specifier);
  Trace("DataMode = %d\n", request->specifier);
  Trace("Specifier = %d\n", selection);
  const Range range = ChooseRange(selection, *request);

  uint8_t* buffer = request->data;
  BuildCommandHeader(buffer, kClassMeterCommand, kCmdGetData, kGetDataSent - kDataCountBase, 0);
  PutU16(buffer + kCommandDataOffset, static_cast<uint16_t>(request->logNo));
  PutU16(buffer + kGetDataSelectionOffset, static_cast<uint16_t>(selection));
  PutU32(buffer + kGetDataFromOffset, range.from);
  PutU32(buffer + kGetDataToOffset, range.to);
  request->dataLength = kGetDataSent;
  return ExchangeAndDecodeLogger(dib, request, result, kCmdGetData, *replyRoom);
}

int GetVersions(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  StepTrace trace("GetVersions");
  BuildCommandHeader(request->data, kClassMeterCommand, kCmdGetVersions, kGetVersionsDataCount,
                     0);
  request->dataLength = kGetVersionsSent;
  uint32_t received = 0;
  if (CommandTransaction(request, result, kGetVersionsReplyRoom, &received) == 0) return 0;
  if (ValidateReply(result, Reply{request->data, received}, kCmdGetVersions,
                    kGetVersionsReplyRoom) == 0) {
    return 0;
  }
  return ProcessVersionInfo(dib, request, result, received) ? 1 : 0;
}

}  // namespace vb::request
